"""Rules of a DDLm dictionary (the CIF core dictionary 3.x, ddl.dic itself).

Definitions are read with their imports resolved (``_import.get``, as
``quarzel.Dictionary`` reads them). ``_type.contents`` gives the form of each
value or element (``ByReference`` taking the referenced item's, ``Implied``
the defined item's when a dictionary is checked against its DDL),
``_type.container`` and ``_type.dimension`` the shape of lists and tables.
Code, Name and Tag values compare ignoring case, numbers as numbers. Only
``Measurand`` items take an su, and their ``_enumeration.range`` widens by
su times the multiplier. Set categories may not be looped; a Loop category
given as a loop needs its ``_category_key.name`` items (unless they have a
default) with unique values. ``_name.linked_item_id`` is a link to a parent
item, or for an ``SU`` item the measurand it belongs to. Aliases
(``_alias.definition_id``) let DDL1 names through. ``_dictionary_valid``
(in ddl.dic) becomes the scope rules for checking dictionaries.
"""

from __future__ import annotations

import os
from typing import Any

from ._rules_common import first, is_null, number_text, texts
from ._rules_text import RuleWriter

RULES = {
    "type": "_type.contents",
    "construct": "_type.contents",
    "enumeration": "_enumeration_set.state",
    "range": "_enumeration.range",
    "su": "_type.purpose",
    "container": "_type.container",
    "dimension": "_type.dimension",
    "looped": "_definition.class",
    "mandatory": "_category_key.name",
    "key": "_category_key.name",
    "unique": "_category_key.name",
    "reference": "_category_key.name",
    "link": "_name.linked_item_id",
    "category": "_name.category_id",
    "deprecated": "_definition.replaced_by",
    "scope": "_dictionary_valid.attributes",
    "category_mandatory": "_definition.class",
}

_NUMERIC = {"real", "integer", "count", "index"}
_FOLD = {"code", "name", "tag"}


def is_ddlm(blocks: list) -> bool:
    return any("_definition.id" in f._tags for b in blocks for f in b._save_frame_list[:50])


def _read_definitions(path: str, blocks: list, search_paths: list[str]) -> list[dict]:
    """Every definition's attributes with its imports applied."""
    from .dictionary import _DdlmReader

    class Holder:
        pass

    holder = Holder()
    holder.path = path  # type: ignore[attr-defined]
    holder.search_paths = search_paths  # type: ignore[attr-defined]

    class Collect(_DdlmReader):
        def build(self, definitions: list[dict]) -> None:
            self.definitions = definitions

    reader = Collect(holder)
    reader.read(blocks)
    return reader.definitions


_CODES = {"text", "word", "code", "name", "tag", "filename", "uri", "date", "datetime",
          "version", "dimension", "range", "count", "index", "integer", "real", "imag",
          "complex", "binary", "hexadecimal", "octal", "symop", "implied"}


_NESTED = {"list", "array", "matrix", "table"}


def _contents(text: str) -> str | None:
    """A _type.contents value as the checker takes it ("Real", "Text|Real",
    "Real,Integer"); a container written around it ("Matrix(Real,Real)")
    gives its elements' forms. None for a code the checker does not know."""
    text = text.strip()
    if text.lower() in _NESTED:
        return "Text"  # elements that are lists themselves, of any form
    if "(" in text and text.endswith(")"):
        text = text[text.index("(") + 1:-1]
    if "," in text and "|" in text:
        return None
    parts = [p.strip() for p in text.replace("|", ",").split(",")]
    if not parts or any(p.lower() not in _CODES for p in parts):
        return None
    return text.replace(" ", "")


def _dimension(value: Any) -> list[str] | None:
    """[3], [3,3], [] (text or list) as dim fields; None when malformed."""
    if isinstance(value, list):
        parts = [str(v).strip() for v in value]
    elif isinstance(value, str):
        text = value.strip()
        if not (text.startswith("[") and text.endswith("]")):
            return None
        parts = text[1:-1].replace(",", " ").split()
    else:
        return None
    if not parts:
        return ["*"]
    if not all(p.isdigit() for p in parts):
        return None
    return parts


class _Ddlm:
    def __init__(self, w: RuleWriter, path: str, blocks: list, search_paths: list[str]):
        self.w = w
        self.path = path
        head = next((b for b in blocks if b._save_frame_list), blocks[0])
        tags = head._tags
        self.d = w.dictionary(str(first(tags, "_dictionary.title") or os.path.basename(path)),
                              str(first(tags, "_dictionary.version") or ""), "ddlm", RULES)
        self.head_tags = tags
        self.definitions = _read_definitions(path, blocks, search_paths)
        self.by_id = {}
        for t in self.definitions:
            did = first(t, "_definition.id")
            if isinstance(did, str):
                self.by_id[did.lower()] = t

    def problem(self, definition: str, message: str) -> None:
        self.w.problem(self.d, definition, message)

    def run(self) -> None:
        items, categories = [], []
        for t in self.definitions:
            scope = str(first(t, "_definition.scope") or "Item").lower()
            (categories if scope == "category" else items if scope == "item" else []).append(t)
        for t in categories:
            cid = first(t, "_definition.id")
            if not isinstance(cid, str):
                continue
            cls = str(first(t, "_definition.class") or "").lower()
            replaced = first(t, "_definition.replaced_by")
            self.w.category(cid, dict=self.d,
                            **{"class": {"loop": "loop", "set": "set"}.get(cls, "any")},
                            keys="looped" if cls == "loop" else "never",
                            deprecated=isinstance(replaced, str), replaced=replaced)
        for t in items:
            self.item(t)
        for t in categories:
            self.keys(t)
        for t in items:
            self.linked(t)
        self.scopes()

    def contents(self, t: dict, seen: set[str]) -> tuple[str | None, dict]:
        """The form of an item's values, following ByReference, and the
        definition it was found in."""
        contents = first(t, "_type.contents")
        if isinstance(contents, str) and contents.lower() == "byreference":
            ref = first(t, "_type.contents_referenced_id")
            target = self.by_id.get(str(ref).lower()) if isinstance(ref, str) else None
            if target is None or str(ref).lower() in seen:
                return None, t
            return self.contents(target, seen | {str(ref).lower()})
        return (contents if isinstance(contents, str) else None), t

    def item(self, t: dict) -> None:
        name = first(t, "_definition.id")
        if not isinstance(name, str):
            return
        where = f"save_{name.lstrip('_')}"
        category = first(t, "_name.category_id")
        cat = self.w.category_id(category) if isinstance(category, str) else None
        if cat is None:
            if isinstance(category, str):
                self.problem(where, f"category {category} of {name} is not defined")
                cat = self.w.category(category, dict=self.d, keys="never")
            else:
                self.problem(where, f"{name} has no _name.category_id")
        attributes: dict[str, Any] = {"dict": self.d, "cat": cat}
        raw = first(t, "_type.contents")
        contents, source = self.contents(t, {name.lower()})
        kind = ""
        if source is not t:
            # A list of the referenced item's values: of tables when those
            # are tables.
            element = first(source, "_type.container")
            if isinstance(element, str) and element.lower() == "table":
                attributes["elements"] = "Table"
        if contents is None and isinstance(raw, str):
            self.problem(where, f"_type.contents ByReference of {name} names no definition")
        elif isinstance(contents, str):
            known = _contents(contents)
            if known is None:
                self.problem(where, f"_type.contents {contents!r} of {name} is not a known form "
                             "(its values are not checked for form)")
            else:
                attributes["type"] = known
                kind = known.lower()
        container = first(t, "_type.container")
        if isinstance(container, str):
            attributes["container"] = container
        dim = t.get("_type.dimension")
        if dim:
            dims = _dimension(dim[0])
            if dims is None:
                self.problem(where, f"_type.dimension {dim[0]!r} of {name} is malformed")
            else:
                attributes["dim"] = dims
        purpose = str(first(t, "_type.purpose") or "").lower()
        if kind in _NUMERIC:
            attributes["compare"] = "numeric"
            attributes["su"] = "yes" if purpose == "measurand" else "no"
        elif kind in _FOLD:
            attributes["compare"] = "fold"
        attributes["enum"] = [str(v) for v in t.get("_enumeration_set.state", [])
                              if isinstance(v, str) and not is_null(v)]
        rng = first(t, "_enumeration.range")
        if isinstance(rng, str):
            low, sep, high = rng.partition(":")
            lo, hi = number_text(low), number_text(high)
            if not sep:
                self.problem(where, f"_enumeration.range {rng!r} of {name} has no ':'")
            elif lo is False or hi is False:
                attributes["range"] = [f"{low.strip()}:{high.strip()}"]
                attributes["range_kind"] = "text"
            else:
                attributes["range"] = [f"{lo or ''}:{hi or ''}"]
                attributes["widen"] = purpose == "measurand"
        if first(t, "_enumeration.default") is not None or \
                first(t, "_enumeration.def_index_id") is not None:
            attributes["default"] = True
        replaced = first(t, "_definition.replaced_by") or first(t, "_definition_replaced.by")
        if isinstance(replaced, str):
            attributes["deprecated"] = True
            attributes["replaced"] = replaced
        if cat is not None and self.w.categories[cat].get("class") == "set":
            attributes["list"] = "no"
        aliases = texts(t, "_alias.definition_id")
        self.w.item(name, aliases, **attributes)

    def keys(self, t: dict) -> None:
        cid = first(t, "_definition.id")
        if not isinstance(cid, str):
            return
        names = texts(t, "_category_key.name") or texts(t, "_category.key_id")
        keys = []
        for k in names:
            iid = self.w.item_id(k)
            if iid is None:
                self.problem(f"save_{cid}", f"key item {k} is not defined")
                continue
            keys.append(iid)
        self.w.category(cid, key=keys)

    def linked(self, t: dict) -> None:
        name = first(t, "_definition.id")
        parent = first(t, "_name.linked_item_id")
        if not isinstance(name, str) or not isinstance(parent, str) \
                or name.lower() == parent.lower():
            return
        iid, pid = self.w.item_id(name), self.w.item_id(parent)
        if pid is None:
            self.problem(f"save_{name.lstrip('_')}", f"linked item {parent} is not defined")
            return
        if str(first(t, "_type.purpose") or "").lower() == "su":
            self.w.items[iid]["su_of"] = pid
            return
        self.w.link(dict=self.d, child=[iid], parent=[pid], default=True)

    def scopes(self) -> None:
        tags = self.head_tags
        for application, attributes in zip(tags.get("_dictionary_valid.application", []),
                                           tags.get("_dictionary_valid.attributes", [])):
            if not isinstance(application, list) or len(application) != 2:
                self.problem("_dictionary_valid", f"application {application!r} is not "
                             "[scope option]")
                continue
            scope, option = (str(v).lower() for v in application)
            if option not in ("mandatory", "recommended", "prohibited"):
                self.problem("_dictionary_valid", f"unknown option {option!r}")
                continue
            names = attributes if isinstance(attributes, list) else [attributes]
            self.w.scope(dict=self.d, scope=scope, strength=option,
                         name=[str(n) for n in names])


def compile_ddlm(w: RuleWriter, path: str, blocks: list, search_paths: list[str]) -> None:
    _Ddlm(w, path, blocks, search_paths).run()
