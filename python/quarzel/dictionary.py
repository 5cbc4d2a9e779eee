"""CIF dictionaries (DDL1, DDL2 and DDLm): which items exist, and which of
them are numbers.

``Dictionary(path)`` reads a dictionary with ``quarzel_core.parse_cif`` and
keeps, for every defined item, a ``Definition`` (name, category, looped,
type, enumeration, range, units). DDLm ``_import.get`` is resolved, in
``Contents`` and ``Full`` mode, from the dictionary's own folder and then
from the given search paths.
"""

from __future__ import annotations

import os

TYPE_CHECKING = False
if TYPE_CHECKING:
    from collections.abc import Iterator, Sequence
    from typing import Any

__all__ = ["Definition", "Dictionary", "DictionaryError"]


class DictionaryError(ValueError):
    """A dictionary that cannot be read: not a dictionary, or an import
    that is missing, unreadable or part of a cycle. The message names the
    file and the save frame (or data block) concerned."""


class Definition:
    """One defined item.

    - ``name``: the defined name as the dictionary writes it;
    - ``category``: its category (lower case);
    - ``looped``: whether the item may be given in a loop;
    - ``type``: ``"integer"``, ``"real"`` or ``"text"``;
    - ``type_code``: the dictionary's own type as written (DDL1 ``_type``,
      DDL2 ``_item_type.code``, DDLm ``_type.contents``), or ``None``;
    - ``enumeration``: the permitted values (list of str, empty when any);
    - ``range``: ``(min, max)``, ``None`` for an open end, or ``None``;
    - ``units``: the units code, or ``None``;
    - ``aliases``: the other names of the item.
    """

    __slots__ = ("name", "category", "looped", "type", "type_code", "enumeration", "range",
                 "units", "aliases")

    def __init__(self, name: str, category: str | None, looped: bool, type: str,
                 type_code: str | None, enumeration: list[str],
                 range: tuple[Any, Any] | None, units: str | None, aliases: list[str]):
        self.name = name
        self.category = category
        self.looped = looped
        self.type = type
        self.type_code = type_code
        self.enumeration = enumeration
        self.range = range
        self.units = units
        self.aliases = aliases

    def __repr__(self) -> str:
        return (f"Definition(name={self.name!r}, category={self.category!r}, "
                f"looped={self.looped}, type={self.type!r}, units={self.units!r})")


# ---- small helpers over parsed values ----

def _first(tags: dict, tag: str) -> Any:
    values = tags.get(tag)
    if not values:
        return None
    value = values[0]
    return None if value in ("?", ".") else value


def _texts(tags: dict, tag: str) -> list[str]:
    return [v for v in tags.get(tag, ()) if isinstance(v, str) and v not in ("?", ".")]


def _bound(text: str | None) -> Any:
    if text is None:
        return None
    text = text.strip()
    if not text or text in ("?", "."):
        return None
    from .numbers import number

    value = number(text)[0]
    return text if value is None else value


def _colon_range(text: Any) -> tuple[Any, Any] | None:
    """``"0.0:1.0"`` / ``"0.0:"`` / ``":5"`` as (min, max)."""
    if not isinstance(text, str) or ":" not in text:
        return None
    low, _, high = text.partition(":")
    return _bound(low), _bound(high)


def _read_cif(path: str):
    """The parsed file, read as ``quarzel.read`` reads files: gzip, bzip2
    or xz recognised by their first bytes, text that is not UTF-8 as
    Latin-1."""
    import quarzel_core

    from . import _rule_cache
    from ._files import describe, read_source

    try:
        text = _rule_cache.read_text(path, lambda p: read_source(p).text)
    except OSError as e:
        raise DictionaryError(f"{path}: cannot read: {describe(e)}") from e
    cif, _errors = quarzel_core.parse_cif(text)
    return cif


# ---- the dictionary ----

class Dictionary:
    """A CIF dictionary: ``dictionary[name]`` is the ``Definition`` of an
    item (aliases included, case ignored; ``KeyError`` for an undefined
    name); ``name in dictionary``, ``len(dictionary)`` and iteration over
    the defined names (as written, in dictionary order) work too.

    ``path``: a DDL1, DDL2 (mmCIF) or DDLm dictionary file, read as
    ``quarzel.read`` reads files (gzip, bzip2 or xz; Latin-1 when it is not
    UTF-8), and so are the files it imports.
    ``search_paths``: folders searched, after the dictionary's own folder,
    for the files that DDLm ``_import.get`` names.

    Types: DDLm ``_type.contents`` ``Real`` is ``"real"``, ``Integer``,
    ``Count`` and ``Index`` are ``"integer"`` (for a ``Single`` container;
    lists and matrices are ``"text"``). DDL2 types are numeric when the
    dictionary's own ``_item_type_list`` gives their code the primitive
    code ``numb`` and a construct that plain numbers match and ranges or
    lists (``1-245``, ``6.5-7.0``, ``1,2``) do not: ``int-range`` and
    ``float-range`` are ``"text"``. Such a code is ``"integer"`` when its
    construct matches ``1`` but not ``1.5``, otherwise ``"real"``. Aliases
    of a DDL2 item are those its own save frame declares. DDL1 ``_type numb`` is
    ``"real"`` (DDL1 does not tell integers apart). ``looped``: DDLm from
    the category's ``_definition.class`` (``Loop``), DDL1 from ``_list``
    (``yes`` or ``both``), and always true in DDL2, where any category may
    be given as a loop.

    ``path`` may also be a list of dictionaries (paths or ``Dictionary``
    objects): later ones extend the earlier ones and override the names
    they define again, as an extension dictionary does (PDBx and ModelCIF,
    a core dictionary and a local one). ``paths`` lists the files.

    Raises ``DictionaryError`` (a ``ValueError``) for a file with no
    definitions and for an import that cannot be resolved (missing file or
    frame, unreadable file, a cycle of imports), naming the file and frame.
    """

    def __init__(self, path: "str | os.PathLike[str] | Sequence[Any]",
                 search_paths: Sequence[str | os.PathLike[str]] = ()):
        self.search_paths = [os.path.abspath(os.fspath(p)) for p in search_paths]
        self._definitions: dict[str, Definition] = {}  # lower-case name or alias -> definition
        self._names: list[str] = []
        if isinstance(path, (list, tuple)):
            self._combine(path)
            return
        self.path = os.path.abspath(os.fspath(path))
        self.paths = [self.path]
        cif = _read_cif(self.path)
        blocks = [cif[name] for name in cif.blocks]
        if any(_has_ddlm_frames(b) for b in blocks):
            self.ddl = "DDLm"
            _DdlmReader(self).read(blocks)
        elif any(_has_ddl2_frames(b) for b in blocks):
            self.ddl = "DDL2"
            _read_ddl2(self, blocks)
        elif any("_name" in b._tags for b in blocks):
            self.ddl = "DDL1"
            _read_ddl1(self, blocks)
        else:
            raise DictionaryError(f"{self.path}: not a dictionary (no definitions found)")
        if not self._names:
            raise DictionaryError(f"{self.path}: not a dictionary (no item definitions found)")

    def _combine(self, parts: Sequence[Any]) -> None:
        if not parts:
            raise DictionaryError("no dictionary given")
        loaded = [p if isinstance(p, Dictionary) else Dictionary(p, self.search_paths)
                  for p in parts]
        self.path = loaded[0].path
        self.paths = [f for d in loaded for f in d.paths]
        ddls = {d.ddl for d in loaded}
        self.ddl = loaded[0].ddl if len(ddls) == 1 else "+".join(d.ddl for d in loaded)
        for d in loaded:
            for key, definition in d._definitions.items():
                if key == definition.name.lower() and key not in self._definitions:
                    self._names.append(definition.name)
                # A later dictionary's own names win over earlier ones' and
                # over aliases.
                if key == definition.name.lower() or key not in self._definitions:
                    self._definitions[key] = definition

    def validate(self, source: Any, **options: Any) -> Any:
        """``quarzel.validate(source, self, **options)``: a ``Report``."""
        from .validation import validate

        return validate(source, self, **options)

    def _add(self, definition: Definition) -> None:
        key = definition.name.lower()
        known = self._definitions.get(key)
        # The first definition of a name counts; one found so far only as
        # another item's alias gives way to the name's own.
        if known is None or known.name.lower() != key:
            self._names.append(definition.name)
            self._definitions[key] = definition
        for alias in definition.aliases:
            self._definitions.setdefault(alias.lower(), definition)

    def __getitem__(self, name: str) -> Definition:
        if not isinstance(name, str):
            raise KeyError(name)
        try:
            return self._definitions[name.lower()]
        except KeyError:
            raise KeyError(name) from None

    def get(self, name: str, default: Any = None) -> Any:
        try:
            return self[name]
        except KeyError:
            return default

    def __contains__(self, name: object) -> bool:
        return isinstance(name, str) and name.lower() in self._definitions

    def __iter__(self) -> Iterator[str]:
        return iter(self._names)

    def __len__(self) -> int:
        return len(self._names)

    def __repr__(self) -> str:
        return f"Dictionary({self.path!r}, {self.ddl}, {len(self)} items)"


# ---- DDL1 ----

def _read_ddl1(d: Dictionary, blocks) -> None:
    for block in blocks:
        tags = block._tags
        names = _texts(tags, "_name")
        if not names:
            continue
        type_code = _first(tags, "_type")
        if type_code == "null":
            continue  # a category's own entry (_atom_site_[])
        kind = "real" if type_code == "numb" else "text"
        category = _first(tags, "_category")
        listed = (_first(tags, "_list") or "no").lower()
        rng = _colon_range(_first(tags, "_enumeration_range"))
        for name in names:
            if name.endswith("[]"):
                continue
            d._add(Definition(
                name=name, category=category.lower() if isinstance(category, str) else None,
                looped=listed in ("yes", "both"), type=kind, type_code=type_code,
                enumeration=_texts(tags, "_enumeration"), range=rng,
                units=_first(tags, "_units"), aliases=[]))


# ---- DDL2 ----

def _has_ddl2_frames(block) -> bool:
    return any("_item.name" in f._tags or "_category.id" in f._tags
               for f in block._save_frame_list[:50])


# Forms that are no number: a type whose construct matches one of them
# (ranges such as int-range and float-range, lists) is text.
_NOT_NUMBERS = ("1-2", "-1--2", "1.5-2.5", "1,2", "1 2")


def _code_kind(construct: Any) -> str:
    """``"integer"``, ``"real"`` or ``"text"`` for a code of primitive code
    numb with this construct (a regular expression)."""
    if not isinstance(construct, str):
        return "real"
    import re  # loaded only where a dictionary is read, not where its rules are cached

    try:
        # a construct in a text field may start and end with a line break
        pattern = re.compile(construct.strip("\r\n"))
    except re.error:
        return "real"
    if any(pattern.fullmatch(text) for text in _NOT_NUMBERS):
        return "text"
    if pattern.fullmatch("1.5") or pattern.fullmatch("1e5") or pattern.fullmatch("1.5(2)"):
        return "real"
    if pattern.fullmatch("1") or pattern.fullmatch("-1") or pattern.fullmatch("+1"):
        return "integer"
    return "text"  # no plain number matches


def _numeric_codes(block) -> dict[str, str]:
    """Type code -> "integer"/"real" for the codes the dictionary's type list
    declares with primitive code numb and whose construct holds plain
    numbers only."""
    tags = block._tags
    codes = tags.get("_item_type_list.code", [])
    primitives = tags.get("_item_type_list.primitive_code", [])
    constructs = tags.get("_item_type_list.construct", [])
    out: dict[str, str] = {}
    for i, code in enumerate(codes):
        if i >= len(primitives) or not isinstance(primitives[i], str) \
                or primitives[i].lower() != "numb":
            continue
        kind = _code_kind(constructs[i] if i < len(constructs) else None)
        if kind != "text":
            out[code] = kind
    return out


def _ddl2_range(tags: dict) -> tuple[Any, Any] | None:
    lows = tags.get("_item_range.minimum")
    highs = tags.get("_item_range.maximum")
    if not lows and not highs:
        return None
    lows = [_bound(v) if isinstance(v, str) else None for v in (lows or [None])]
    highs = [_bound(v) if isinstance(v, str) else None for v in (highs or [None])]
    low = None if any(v is None or isinstance(v, str) for v in lows) else min(lows)
    high = None if any(v is None or isinstance(v, str) for v in highs) else max(highs)
    return low, high


def _read_ddl2(d: Dictionary, blocks) -> None:
    for block in blocks:
        numeric = _numeric_codes(block)
        # Each frame defines the names of its _item.name list; the frame
        # named after an item is its own, the others (parents listing
        # their children) lend what the own frame leaves out.
        own: dict[str, dict] = {}
        lent: dict[str, tuple[dict, str | None]] = {}
        order: list[str] = []
        for frame in block._save_frame_list:
            tags = frame._tags
            names = tags.get("_item.name")
            if not names:
                continue
            categories = tags.get("_item.category_id", [])
            for i, name in enumerate(names):
                if not isinstance(name, str):
                    continue
                key = name.lower()
                category = categories[i] if i < len(categories) else None
                if key not in own and key not in lent:
                    order.append(name)
                if frame.name == key:
                    own[key] = tags
                elif key not in own and (len(names) == 1 or i == 0):
                    own.setdefault(key, tags)
                else:
                    lent.setdefault(key, (tags, category))
        for name in order:
            key = name.lower()
            tags = own.get(key)
            parent, parent_category = lent.get(key, ({}, None))
            if tags is None:
                tags = {}

            def attr(tag: str) -> Any:
                value = _first(tags, tag)
                return value if value is not None else _first(parent, tag)

            def values(tag: str) -> list[str]:
                return _texts(tags, tag) or _texts(parent, tag)

            names = tags.get("_item.name", [])
            categories = tags.get("_item.category_id", [])
            category = None
            for i, n in enumerate(names):
                if isinstance(n, str) and n.lower() == key and i < len(categories):
                    category = categories[i]
            category = category or parent_category
            if not isinstance(category, str) or category in ("?", "."):
                category = key[1:].split(".", 1)[0] if "." in key else None
            code = attr("_item_type.code")
            rng = _ddl2_range(tags) if ("_item_range.minimum" in tags
                                         or "_item_range.maximum" in tags) else _ddl2_range(parent)
            d._add(Definition(
                name=name, category=category.lower() if category else None, looped=True,
                type=numeric.get(code, "text") if isinstance(code, str) else "text",
                type_code=code, enumeration=values("_item_enumeration.value"), range=rng,
                units=attr("_item_units.code"),
                # aliases name this item only in its own frame: a parent's
                # are the parent's
                aliases=_texts(tags, "_item_aliases.alias_name")))


# ---- DDLm ----

_DDLM_INTEGER = {"integer", "count", "index"}


def _has_ddlm_frames(block) -> bool:
    return any("_definition.id" in f._tags for f in block._save_frame_list[:50])


class _DdlmReader:
    """Reads DDLm definitions, resolving _import.get as it goes."""

    def __init__(self, dictionary: Dictionary):
        self.d = dictionary
        self.full_imports: list = []
        self.full_chain: list[str] = []
        self.files: dict[str, Any] = {}  # absolute path -> parsed CifFile
        self.resolved: dict[tuple[str, str], dict] = {}  # (path, frame) -> merged tags
        self.stack: list[tuple[str, str]] = []

    # -- files and frames --

    def locate(self, name: str, importer: str, frame: str) -> str | None:
        from ._rule_cache import note_absent  # a file put there later may change the rules

        if name.startswith("file://"):
            name = name[len("file://"):]
        if os.path.isabs(name):
            if os.path.isfile(name):
                return name
            note_absent(name)
            return None
        for folder in [os.path.dirname(importer), *self.d.search_paths]:
            candidate = os.path.join(folder, name)
            if os.path.isfile(candidate):
                return os.path.abspath(candidate)
            note_absent(candidate)
        return None

    def load(self, path: str):
        cif = self.files.get(path)
        if cif is None:
            cif = self.files[path] = _read_cif(path)
        return cif

    @staticmethod
    def frames(cif) -> list:
        out = []
        for block in cif._block_list:
            out += block._save_frame_list
        return out

    # -- imports --

    def merged(self, path: str, frame) -> dict:
        """The frame's tags with its imports applied (a new dict)."""
        key = (path, frame.name)
        done = self.resolved.get(key)
        if done is not None:
            return done
        if key in self.stack:
            chain = " -> ".join(f"{os.path.basename(p)}:{f}" for p, f in
                                self.stack[self.stack.index(key):] + [key])
            raise DictionaryError(
                f"{path}, save frame {frame.name}: cycle of imports ({chain})")
        self.stack.append(key)
        try:
            tags = {t: list(v) for t, v in frame._tags.items()}
            for spec in tags.pop("_import.get", []):
                for item in (spec if isinstance(spec, list) else [spec]):
                    self.apply_import(path, frame.name, tags, item)
        finally:
            self.stack.pop()
        self.resolved[key] = tags
        return tags

    def target(self, path: str, frame_name: str, spec: dict):
        """(file path, frame) that an import names, or None when it may be
        missed."""
        lowered = {str(k).lower(): v for k, v in spec.items()}
        file_name = lowered.get("file")
        save = lowered.get("save")
        miss = str(lowered.get("miss", "Exit")).lower()
        where = f"{path}, save frame {frame_name}"
        if not isinstance(file_name, str) or not isinstance(save, str):
            raise DictionaryError(f"{where}: _import.get needs 'file' and 'save', got {spec!r}")
        found = self.locate(file_name, path, frame_name)
        if found is None:
            if miss == "ignore":
                return None
            searched = ", ".join([os.path.dirname(path), *self.d.search_paths])
            raise DictionaryError(
                f"{where}: imported file {file_name!r} not found (searched {searched})")
        try:
            cif = self.load(found)
        except DictionaryError as e:
            raise DictionaryError(f"{where}: cannot import {file_name!r}: {e}") from e
        for f in self.frames(cif):
            if f.name == save.lower():
                return found, f
        if miss == "ignore":
            return None
        raise DictionaryError(
            f"{where}: imported file {file_name!r} has no save frame {save!r}")

    def apply_import(self, path: str, frame_name: str, tags: dict, spec: Any) -> None:
        if not isinstance(spec, dict):
            raise DictionaryError(
                f"{path}, save frame {frame_name}: _import.get entry is not a table: {spec!r}")
        lowered = {str(k).lower(): v for k, v in spec.items()}
        mode = str(lowered.get("mode", "Contents")).lower()
        dupl = str(lowered.get("dupl", "Exit")).lower()
        found = self.target(path, frame_name, spec)
        if found is None:
            return
        source_path, source = found
        if mode == "full":
            if source_path in self.full_chain or source_path == self.d.path:
                chain = " -> ".join(os.path.basename(p) for p in
                                    [self.d.path, *self.full_chain, source_path])
                raise DictionaryError(
                    f"{path}, save frame {frame_name}: cycle of imports ({chain})")
            self.full_imports.append((path, frame_name, tags, source_path, source, dupl,
                                      [*self.full_chain, source_path]))
            return
        if mode != "contents":
            raise DictionaryError(
                f"{path}, save frame {frame_name}: unknown import mode {lowered.get('mode')!r}")
        for tag, values in self.merged(source_path, source).items():
            if tag == "_definition.id":
                continue
            if tag not in tags or dupl == "replace":
                tags[tag] = list(values)
            # "Exit" and "Ignore" keep the importing frame's own attributes:
            # templates carry bookkeeping (_definition.update,
            # _description.text) that the importing definitions restate.

    # -- definitions --

    def read(self, blocks) -> None:
        self.full_imports: list = []
        self.full_chain: list[str] = []  # files of the Full imports being read
        definitions: list[dict] = []
        for block in blocks:
            for frame in block._save_frame_list:
                definitions.append(self.merged(self.d.path, frame))
        # Full imports add whole definitions (and their children) from
        # another dictionary, under the importing frame's category.
        while self.full_imports:
            path, frame_name, tags, source_path, source, dupl, chain = self.full_imports.pop(0)
            self.full_chain = chain
            definitions += self.full(path, frame_name, tags, source_path, source, dupl,
                                     definitions)
        self.build(definitions)

    def full(self, path, frame_name, tags, source_path, source, dupl, existing) -> list[dict]:
        frames = [self.merged(source_path, f) for f in self.frames(self.load(source_path))]
        head = self.merged(source_path, source)
        head_id = str(_first(head, "_definition.id") or source.name).lower()
        own_id = _first(tags, "_definition.id")
        children: dict[str, list[dict]] = {}
        for t in frames:
            parent = _first(t, "_name.category_id")
            if isinstance(parent, str):
                children.setdefault(parent.lower(), []).append(t)
        is_head = str(_first(head, "_definition.class") or "").lower() == "head"
        out: list[dict] = [] if is_head else [dict(head)]
        if not is_head and isinstance(own_id, str):
            out[0]["_name.category_id"] = [own_id.lstrip("_")]
        todo = [head_id]
        seen = {head_id}
        while todo:
            parent = todo.pop()
            for t in children.get(parent, ()):
                t = dict(t)
                if parent == head_id and is_head and isinstance(own_id, str):
                    t["_name.category_id"] = [own_id.lstrip("_")]
                out.append(t)
                tid = _first(t, "_definition.id")
                if isinstance(tid, str) and tid.lower() not in seen:
                    seen.add(tid.lower())
                    todo.append(tid.lower())
        known = {str(_first(t, "_definition.id")).lower() for t in existing}
        result = []
        for t in out:
            tid = str(_first(t, "_definition.id")).lower()
            if tid in known:
                if dupl == "exit":
                    raise DictionaryError(
                        f"{path}, save frame {frame_name}: Full import of "
                        f"{os.path.basename(source_path)}:{source.name} redefines {tid}")
                if dupl == "ignore":
                    continue
                existing[:] = [e for e in existing
                               if str(_first(e, "_definition.id")).lower() != tid]
            result.append(t)
        return result

    def build(self, definitions: list[dict]) -> None:
        categories: dict[str, dict] = {}
        for tags in definitions:
            if str(_first(tags, "_definition.scope") or "Item").lower() == "category":
                cid = _first(tags, "_definition.id")
                if isinstance(cid, str):
                    categories[cid.lower()] = tags
        for tags in definitions:
            name = _first(tags, "_definition.id")
            if not isinstance(name, str):
                continue
            if str(_first(tags, "_definition.scope") or "Item").lower() != "item":
                continue
            category = _first(tags, "_name.category_id")
            category = category.lower() if isinstance(category, str) else None
            cat = categories.get(category or "", {})
            looped = str(_first(cat, "_definition.class") or "").lower() == "loop"
            contents = _first(tags, "_type.contents")
            container = str(_first(tags, "_type.container") or "Single").lower()
            kind = "text"
            if isinstance(contents, str) and container == "single":
                lowered = contents.lower()
                kind = "real" if lowered == "real" else (
                    "integer" if lowered in _DDLM_INTEGER else "text")
            self.d._add(Definition(
                name=name, category=category, looped=looped, type=kind,
                type_code=contents if isinstance(contents, str) else None,
                enumeration=_texts(tags, "_enumeration_set.state"),
                range=_colon_range(_first(tags, "_enumeration.range")),
                units=_first(tags, "_units.code"),
                aliases=_texts(tags, "_alias.definition_id")))
