"""Rules of a DDL2 dictionary (PDBx/mmCIF, ModelCIF, mmcif_ddl.dic).

Types come from the dictionary's own ``_item_type_list``: the construct is
matched as a POSIX extended expression, the primitive code says how values
compare (``uchar`` ignoring case, ``numb`` as numbers, ``char`` exactly).
``_item_range`` rows are exclusive bounds, a row whose minimum equals its
maximum allowing exactly that value. Links (``_item_linked`` pairs and
``_pdbx_item_linked_group_list`` groups) are off unless asked for: real
entries break them by design. ``profile="deposition"`` applies
``_pdbx_item_enumeration``, ``_pdbx_item_range`` and ``_pdbx_item_type``
where they exist.
"""

from __future__ import annotations

import os
from typing import Any

from ._rules_common import first, is_null, number_text, texts
from ._rules_text import RuleWriter

RULES = {
    "type": "_item_type.code",
    "construct": "_item_type_list.construct",
    "enumeration": "_item_enumeration.value",
    "range": "_item_range",
    "su": "_item_type_conditions.code",
    "mandatory": "_item.mandatory_code",
    "key": "_category_key.name",
    "unique": "_category_key.name",
    "link": "_item_linked",
    "category": "_item.category_id",
    "deprecated": "_item_related.function_code",
    "category_mandatory": "_category.mandatory_code",
    "looped": "_item.name",
    "container": "_item_type.code",
    "dimension": "_item_type.code",
    "reference": "_item_linked",
    "scope": "_item.name",
}

_COMPARE = {"uchar": "fold", "numb": "numeric"}
_EMPTY: dict = {}


def _at(tags: dict, tag: str, index: int) -> Any:
    values = tags.get(tag)
    if not values or index >= len(values):
        return None
    v = values[index]
    return None if v == "?" or v == "." else v


def lent_name(frame: Any, row: int) -> str:
    return frame._tags["_item.name"][row]


def is_ddl2(blocks: list) -> bool:
    return any("_item.name" in f._tags or "_category.id" in f._tags
               for b in blocks for f in b._save_frame_list[:50])


def _rows(tags: dict, name_tag: str, name: str, value_tags: list[str]) -> list[list[Any]]:
    """Rows of a loop in a definition frame that belong to `name`: all of
    them when the loop has no `name_tag` column, else those naming it."""
    columns = [tags.get(t) for t in value_tags]
    if not any(columns):
        return []
    columns = [c or [] for c in columns]
    n = max(len(c) for c in columns)
    names = tags.get(name_tag) if name_tag else None
    out = []
    for i in range(n):
        if names is not None and i < len(names) and isinstance(names[i], str) \
                and names[i].lower() != name:
            continue
        out.append([c[i] if i < len(c) else None for c in columns])
    return out


class _Ddl2:
    def __init__(self, w: RuleWriter, path: str, blocks: list, profile: str | None):
        self.w = w
        self.path = path
        self.blocks = blocks
        self.deposition = profile == "deposition"
        head = next((b for b in blocks if b._save_frame_list), blocks[0])
        tags = head._tags
        title = first(tags, "_dictionary.title") or first(tags, "_datablock.id") \
            or os.path.basename(path)
        self.d = w.dictionary(str(title), str(first(tags, "_dictionary.version") or ""),
                              "ddl2", RULES)
        self.types: dict[str, tuple[str, str | None]] = {}
        for b in blocks:
            t = b._tags
            for i, code in enumerate(t.get("_item_type_list.code", [])):
                if not isinstance(code, str):
                    continue
                prim = t.get("_item_type_list.primitive_code", [])
                cons = t.get("_item_type_list.construct", [])
                primitive = prim[i] if i < len(prim) and isinstance(prim[i], str) else "char"
                construct = cons[i] if i < len(cons) and isinstance(cons[i], str) \
                    and not is_null(cons[i]) else None
                self.types[code.lower()] = (primitive.lower(), construct)

    def problem(self, definition: str, message: str) -> None:
        self.w.problem(self.d, definition, message)

    def run(self) -> None:
        frames = [f for b in self.blocks for f in b._save_frame_list]
        self.categories(frames)
        own, listing = self.frames_of_items(frames)
        for name, (frame, row) in listing.items():
            self.item(name, own.get(name), frame, row)
        self.keys(frames)
        self.links(frames)

    # ---- categories ----

    def categories(self, frames: list) -> None:
        for f in frames:
            t = f._tags
            cid = first(t, "_category.id")
            if not isinstance(cid, str):
                continue
            mandatory = str(first(t, "_category.mandatory_code") or "no").lower() == "yes"
            contexts = [str(v).upper() for v in texts(t, "_pdbx_category_context.type")]
            self.w.category(cid, dict=self.d, keys="always", mandatory=mandatory,
                            deprecated=any("WWPDB_DEPRECATED" in c for c in contexts))

    def keys(self, frames: list) -> None:
        for f in frames:
            t = f._tags
            cid = first(t, "_category.id")
            if not isinstance(cid, str):
                continue
            keys = []
            for k in texts(t, "_category_key.name"):
                iid = self.w.item_id(k)
                if iid is None:
                    self.problem(f"save_{f.name}", f"key item {k} is not defined")
                    continue
                keys.append(iid)
            self.w.category(cid, key=keys)

    # ---- items ----

    def frames_of_items(self, frames: list) -> tuple[dict, dict]:
        """Per lower-case item name: the frame named after it (its own
        definition), and the first other frame listing it (a parent naming
        its children) with its row there, or the own frame and row."""
        own: dict[str, Any] = {}
        listing: dict[str, tuple[Any, int]] = {}
        for f in frames:
            names = f._tags.get("_item.name")
            if not names:
                continue
            for i, n in enumerate(names):
                if not isinstance(n, str):
                    continue
                key = n.lower()
                if f.name == key:
                    own[key] = f
                    listing.setdefault(key, (f, i))
                elif key not in listing or listing[key][0] is own.get(key):
                    listing[key] = (f, i)
        return own, listing

    def item(self, key: str, own: Any, listed_in: Any, row: int) -> None:
        # The own frame defines the item; a frame that only lists it (a
        # parent naming its children) lends what the own frame lacks, and
        # everything when there is no own frame.
        frame = own if own is not None else listed_in
        t = frame._tags
        lent = listed_in._tags if listed_in is not frame else _EMPTY
        names = t["_item.name"]
        i = row
        if own is not None:
            i = 0 if names[0].lower() == key else next(
                (k for k, n in enumerate(names) if isinstance(n, str) and n.lower() == key), 0)
        name = names[i] if own is not None else lent_name(listed_in, row)

        category = _at(t, "_item.category_id", i)
        if category is None and "." in name:
            category = name[1:].split(".", 1)[0]
        w = self.w
        cat = w.category_id(category) if isinstance(category, str) else None
        if cat is None and isinstance(category, str):
            self.problem(f"save_{frame.name}", f"category {category} of {name} is not defined")
            cat = w.category(category, dict=self.d, keys="always")
        mandatory = _at(t, "_item.mandatory_code", i)
        mandatory = mandatory.lower() if isinstance(mandatory, str) else "no"
        if mandatory not in ("yes", "implicit"):
            mandatory = "no"
        attributes: dict[str, Any] = {"dict": self.d, "cat": cat, "mandatory": mandatory}

        code = first(t, "_item_type.code") or first(lent, "_item_type.code")
        rules: dict[str, str] = {}
        enum = None
        if "_item_enumeration.value" in t:
            enum = [str(r[0]) for r in _rows(t, "_item_enumeration.name", key,
                                             ["_item_enumeration.value"]) if not is_null(r[0])]
        range_rows = _rows(t, "_item_range.name", key,
                           ["_item_range.minimum", "_item_range.maximum"]) \
            if "_item_range.minimum" in t or "_item_range.maximum" in t else ()
        if self.deposition:
            code, enum, range_rows = self.deposition_rules(t, key, code, enum, range_rows, rules)
        if isinstance(code, str):
            known = self.types.get(code.lower())
            if known is None:
                self.problem(f"save_{frame.name}",
                             f"type code {code!r} of {name} is not in _item_type_list")
            else:
                primitive, construct = known
                attributes["type_name"] = code
                if construct is not None:
                    attributes["pattern"] = w.pattern(construct)
                attributes["compare"] = _COMPARE.get(primitive, "exact")
        if enum:
            attributes["enum"] = enum
        if range_rows:
            ranges = []
            for low, high in range_rows:
                lo, hi = number_text(low), number_text(high)
                if lo is False or hi is False:
                    self.problem(f"save_{frame.name}",
                                 f"range {low}:{high} of {name} is not numeric")
                    continue
                ranges.append(f"{lo or ''}:{hi or ''}")
            if ranges:
                attributes["range"] = ranges
                attributes["ranges"] = "exclusive"
        if "_item_related.function_code" in t:
            for related_name, function in _rows(t, "_item_related.name", key,
                                                ["_item_related.related_name",
                                                 "_item_related.function_code"]):
                if isinstance(function, str) and function.lower() == "replacedby":
                    attributes["deprecated"] = True
                    attributes["replaced"] = str(related_name)
        if "_pdbx_item_context.type" in t and any(
                "WWPDB_DEPRECATED" in str(c).upper() for c in t["_pdbx_item_context.type"]):
            attributes["deprecated"] = True
        if rules:
            attributes["rule"] = rules
        aliases = texts(t, "_item_aliases.alias_name") \
            if own is not None and "_item_aliases.alias_name" in t else ()
        w.item(name, aliases, **attributes)

    def deposition_rules(self, t: dict, key: str, code: Any, enum: Any, range_rows: Any,
                         rules: dict[str, str]) -> tuple[Any, Any, Any]:
        """The deposition profile's type, enumeration and ranges, where the
        definition has them."""
        pcode = [r[0] for r in _rows(t, "_pdbx_item_type.name", key, ["_pdbx_item_type.code"])
                 if isinstance(r[0], str)]
        if pcode:
            code = pcode[0]
            rules["type"] = rules["construct"] = "_pdbx_item_type.code"
        penum = [str(r[0]) for r in _rows(t, "_pdbx_item_enumeration.name", key,
                                          ["_pdbx_item_enumeration.value"]) if not is_null(r[0])]
        if penum:
            enum = penum
            rules["enumeration"] = "_pdbx_item_enumeration.value"
        prange = _rows(t, "_pdbx_item_range.name", key,
                       ["_pdbx_item_range.minimum", "_pdbx_item_range.maximum"])
        if prange:
            range_rows = prange
            rules["range"] = "_pdbx_item_range"
        return code, enum, range_rows

    # ---- links ----

    def links(self, frames: list) -> None:
        grouped: set[tuple[str, str]] = set()
        for b in self.blocks:
            t = b._tags
            rows = _rows(t, "", "", ["_pdbx_item_linked_group_list.child_category_id",
                                     "_pdbx_item_linked_group_list.link_group_id",
                                     "_pdbx_item_linked_group_list.child_name",
                                     "_pdbx_item_linked_group_list.parent_name",
                                     "_pdbx_item_linked_group_list.parent_category_id"])
            labels = {}
            for cat, gid, label in _rows(t, "", "", ["_pdbx_item_linked_group.category_id",
                                                    "_pdbx_item_linked_group.link_group_id",
                                                    "_pdbx_item_linked_group.label"]):
                labels[(str(cat).lower(), str(gid))] = label
            groups: dict[tuple[str, str], list[tuple[str, str, str]]] = {}
            for cat, gid, child, parent, pcat in rows:
                if not all(isinstance(v, str) for v in (cat, child, parent)):
                    continue
                groups.setdefault((cat.lower(), str(gid)), []).append((child, parent, pcat))
            for (cat, gid), pairs in groups.items():
                child_ids, parent_ids = [], []
                for child, parent, _pcat in pairs:
                    c, p = self.w.item_id(child), self.w.item_id(parent)
                    if c is None or p is None:
                        self.problem(f"link group {cat} {gid}",
                                     f"{child if c is None else parent} is not defined")
                        continue
                    child_ids.append(c)
                    parent_ids.append(p)
                    grouped.add((child.lower(), parent.lower()))
                if not child_ids:
                    continue
                label = labels.get((cat, gid))
                self.w.link(dict=self.d, child=child_ids, parent=parent_ids,
                            label=f"link group {gid}" + (f" {label}" if isinstance(label, str)
                                                         and not is_null(label) else ""),
                            default=False, rule="_pdbx_item_linked_group_list")
        for f in frames:
            t = f._tags
            for child, parent in _rows(t, "", "", ["_item_linked.child_name",
                                                  "_item_linked.parent_name"]):
                if not isinstance(child, str) or not isinstance(parent, str):
                    continue
                if (child.lower(), parent.lower()) in grouped:
                    continue
                c, p = self.w.item_id(child), self.w.item_id(parent)
                if c is None or p is None:
                    self.problem(f"save_{f.name}",
                                 f"linked item {child if c is None else parent} is not defined")
                    continue
                grouped.add((child.lower(), parent.lower()))
                self.w.link(dict=self.d, child=[c], parent=[p], default=False)


def compile_ddl2(w: RuleWriter, path: str, blocks: list, profile: str | None) -> None:
    _Ddl2(w, path, blocks, profile).run()
