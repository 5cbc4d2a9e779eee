"""Rules of a DDL1 dictionary (the CIF core dictionary 2.x and its kin).

``_type numb`` values are numbers, with an su only where
``_type_conditions`` says ``esd`` or ``su``; ``char`` values are any text
(``_type_construct``, where given, is matched as a POSIX extended
expression). ``_list`` says whether an item must (yes), may (both) or may
not (no, also when absent) be looped. A looped item needs beside it, in
its loop, the items its ``_list_reference`` names (which together are the
loop's key: unique) and the other ``_list_mandatory`` items of its own
definition (h, k and l of ``_refln_index_``); ``_list_uniqueness`` values
(together with the defined item's) are unique, and ``_list_link_parent``
values present in the parent. DDL1 categories may span several loops.
A name ending in ``_`` refers to the family of names its own definition
block defines (``_refln_index_``: h, k and l). Numbers compare as numbers.
"""

from __future__ import annotations

import os
from typing import Any

from ._rules_common import first, is_null, number_text, texts
from ._rules_text import RuleWriter

RULES = {
    "type": "_type",
    "construct": "_type_construct",
    "enumeration": "_enumeration",
    "range": "_enumeration_range",
    "su": "_type_conditions",
    "looped": "_list",
    "mandatory": "_list_mandatory",
    "key": "_list_mandatory",
    "unique": "_list_uniqueness",
    "reference": "_list_reference",
    "link": "_list_link_parent",
    "category": "_category",
    "deprecated": "_related_function",
    "container": "_type",
    "dimension": "_type",
    "category_mandatory": "_category",
    "scope": "_name",
}


def is_ddl1(blocks: list) -> bool:
    return any("_name" in b._tags for b in blocks)


class _Ddl1:
    def __init__(self, w: RuleWriter, path: str, blocks: list):
        self.w = w
        self.blocks = blocks
        info = next((b for b in blocks if "_dictionary_name" in b._tags), None)
        tags = info._tags if info is not None else {}
        self.d = w.dictionary(str(first(tags, "_dictionary_name") or os.path.basename(path)),
                              str(first(tags, "_dictionary_version") or ""), "ddl1", RULES)
        # Definition block name -> the names it defines (for families).
        self.families = {b.name.lower(): texts(b._tags, "_name") for b in blocks}

    def resolve(self, name: str, where: str) -> list[int]:
        """Item numbers a reference names: the item, or the family of
        names of the block it names."""
        iid = self.w.item_id(name)
        if iid is not None:
            return [iid]
        family = self.families.get(name.lstrip("_").lower())
        if name.endswith("_") and family:
            ids = [self.w.item_id(n) for n in family]
            if all(i is not None for i in ids):
                return ids  # type: ignore[return-value]
        self.w.problem(self.d, where, f"{name} is not defined")
        return []

    def run(self) -> None:
        definitions = []
        for b in self.blocks:
            t = b._tags
            names = [n for n in texts(t, "_name") if not n.endswith("[]")]
            if not names or str(first(t, "_type") or "").lower() == "null":
                continue
            for name in names:
                self.item(b, name)
            definitions.append((b, names))
        # References need every item defined first.
        for b, names in definitions:
            self.relations(b, names)

    def item(self, block: Any, name: str) -> None:
        t = block._tags
        where = f"data_{block.name}"
        category = first(t, "_category")
        if not isinstance(category, str):
            category = name[1:].split("_", 1)[0]
            self.w.problem(self.d, where, f"{name} has no _category")
        cat = self.w.category_id(category)
        if cat is None:
            cat = self.w.category(category, dict=self.d, keys="never", one_loop=False)
        type_code = str(first(t, "_type") or "char").lower()
        attributes: dict[str, Any] = {"dict": self.d, "cat": cat}
        if type_code == "numb":
            conditions = {str(c).lower() for c in texts(t, "_type_conditions")}
            attributes.update(type="numb", compare="numeric",
                              su="yes" if conditions & {"esd", "su"} else "no")
        elif type_code != "char":
            self.w.problem(self.d, where, f"unknown _type {type_code!r} of {name}")
        construct = first(t, "_type_construct")
        if isinstance(construct, str):
            attributes["pattern"] = self.w.pattern(construct)
            attributes["type_name"] = type_code
        attributes["enum"] = texts(t, "_enumeration")
        rng = first(t, "_enumeration_range")
        if isinstance(rng, str):
            low, sep, high = rng.partition(":")
            if not sep:
                self.w.problem(self.d, where, f"_enumeration_range {rng!r} of {name} has no ':'")
            elif type_code == "numb":
                lo, hi = number_text(low), number_text(high)
                if lo is False or hi is False:
                    self.w.problem(self.d, where,
                                   f"_enumeration_range {rng!r} of {name} is not numeric")
                else:
                    attributes["range"] = [f"{lo or ''}:{hi or ''}"]
            else:
                attributes["range"] = [f"{low.strip()}:{high.strip()}"]
                attributes["range_kind"] = "text"
        listed = str(first(t, "_list") or "no").lower()
        attributes["list"] = {"yes": "yes", "both": "any"}.get(listed, "no")
        if listed not in ("yes", "no", "both"):
            self.w.problem(self.d, where, f"_list {listed!r} of {name} is not yes, no or both")
        if first(t, "_enumeration_default") is not None:
            attributes["default"] = True
        for related, function in zip(t.get("_related_item", []), t.get("_related_function", [])):
            if isinstance(function, str) and function.lower() == "replace" \
                    and isinstance(related, str):
                attributes["deprecated"] = True
                attributes["replaced"] = related
        self.w.item(name, **attributes)

    def relations(self, block: Any, names: list[str]) -> None:
        t = block._tags
        where = f"data_{block.name}"
        refs = [i for r in texts(t, "_list_reference") for i in self.resolve(r, where)]
        unique = [i for r in texts(t, "_list_uniqueness") for i in self.resolve(r, where)]
        parents = [i for r in texts(t, "_list_link_parent") for i in self.resolve(r, where)]
        mandatory = str(first(t, "_list_mandatory") or "no").lower() == "yes"
        family = [self.w.item_id(n) for n in names] if mandatory else []
        for name in names:
            iid = self.w.item_id(name)
            if iid is None:
                continue
            record = self.w.items[iid]
            if refs:
                record["ref"] = refs
            companions = [i for i in family if i is not None and i != iid]
            if companions:
                record["with"] = companions
            if unique:
                group = [iid] + [u for u in unique if u != iid]
                cat = record.get("cat")
                if cat is not None:
                    sets = self.w.categories[cat].setdefault("unique", [])
                    text = ",".join(str(g) for g in group)
                    if text not in sets:
                        sets.append(text)
            for p in parents:
                self.w.link(dict=self.d, child=[iid], parent=[p], default=True)


def compile_ddl1(w: RuleWriter, path: str, blocks: list) -> None:
    _Ddl1(w, path, blocks).run()
