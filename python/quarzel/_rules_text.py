"""The text in which compiled dictionary rules go to the native checker.

``RuleWriter`` collects dictionaries, patterns, categories, items, links,
scopes and problems, numbering each kind in order, and ``text()`` gives the
rule set in the format ``src/validate/rules_text.hpp`` describes: one record
per line, tab-separated ``key=value`` fields, a repeated key for a list.
"""

from __future__ import annotations

from typing import Any, Iterable

_ESCAPES = str.maketrans({"\\": "\\\\", "\t": "\\t", "\n": "\\n", "\r": "\\r"})
_UNESCAPES = {"\\": "\\", "t": "\t", "n": "\n", "r": "\r"}


def _unescape(value: str) -> str:
    out, i = [], 0
    while i < len(value):
        c = value[i]
        if c == "\\" and i + 1 < len(value):
            out.append(_UNESCAPES.get(value[i + 1], value[i + 1]))
            i += 2
        else:
            out.append(c)
            i += 1
    return "".join(out)


def _field(key: str, value: Any) -> str:
    if value is True or value is False:
        value = "1" if value else "0"
    elif not isinstance(value, str):
        value = str(value)
    if "\\" in value or "\t" in value or "\n" in value or "\r" in value:
        value = value.translate(_ESCAPES)
    return f"{key}={value}"


class RuleWriter:
    """Rule records under construction. Items and categories are found
    again by lower-case name (``item_id``, ``category_id``) so that later
    dictionaries of a list extend or override earlier ones."""

    def __init__(self) -> None:
        self.dictionaries: list[list[str]] = []
        self.patterns: list[str] = []
        self._pattern_ids: dict[str, int] = {}
        self.categories: list[dict[str, Any]] = []
        self._category_ids: dict[str, int] = {}
        self.items: list[dict[str, Any]] = []
        self._item_ids: dict[str, int] = {}
        self.links: list[dict[str, Any]] = []
        self.scopes: list[dict[str, Any]] = []
        self.problems: list[tuple[int, str, str]] = []
        self.local_prefixes: list[str] = []

    # ---- records ----

    def dictionary(self, name: str, version: str, ddl: str, rules: dict[str, str]) -> int:
        fields = [_field("name", name), _field("version", version), _field("ddl", ddl)]
        fields += [_field(f"rule.{k}", v) for k, v in rules.items()]
        self.dictionaries.append(fields)
        return len(self.dictionaries) - 1

    def pattern(self, source: str) -> int:
        found = self._pattern_ids.get(source)
        if found is None:
            found = self._pattern_ids[source] = len(self.patterns)
            self.patterns.append(source)
        return found

    def category(self, name: str, **attributes: Any) -> int:
        """The category's number; attributes given again replace earlier
        ones (an extension dictionary redefining a category)."""
        key = name.lower()
        cid = self._category_ids.get(key)
        if cid is None:
            cid = self._category_ids[key] = len(self.categories)
            self.categories.append({"name": key})
        self.categories[cid].update(attributes)
        return cid

    def category_id(self, name: str) -> int | None:
        return self._category_ids.get(name.lower())

    def item(self, name: str, aliases: Iterable[str] = (), **attributes: Any) -> int:
        """The item's number. A name defined before (by an earlier
        dictionary of the list) is redefined: its attributes replaced."""
        key = name.lower()
        iid = self._item_ids.get(key)
        if iid is None:
            iid = len(self.items)
            self.items.append({"name": name, "alias": []})
        else:
            self.items[iid] = {"name": name, "alias": []}
        self._item_ids[key] = iid
        record = self.items[iid]
        record.update(attributes)
        for alias in aliases:
            lowered = alias.lower()
            if lowered != key and lowered not in self._item_ids:
                record["alias"].append(alias)
                self._item_ids[lowered] = iid
        return iid

    def item_id(self, name: str) -> int | None:
        return self._item_ids.get(name.lower())

    def link(self, **attributes: Any) -> None:
        self.links.append(attributes)

    def scope(self, **attributes: Any) -> None:
        self.scopes.append(attributes)

    def problem(self, dictionary: int, definition: str, message: str) -> None:
        self.problems.append((dictionary, definition, message))

    def local(self, prefix: str) -> None:
        if prefix.lower() not in self.local_prefixes:
            self.local_prefixes.append(prefix.lower())

    # ---- rules compiled elsewhere ----

    def absorb(self, text: str) -> None:
        """Adds a rule set's text (one dictionary's, numbered on its own, as
        the native DDL2 compiler gives it) to these records, renumbered;
        items and categories it defines again replace earlier ones."""
        dict_base = len(self.dictionaries)
        patterns: list[int] = []
        categories: list[tuple[int, dict[str, Any]]] = []
        items: list[int] = []
        rest: list[tuple[str, dict[str, Any]]] = []
        for line in text.splitlines()[1:]:
            if not line:
                continue
            kind, *fields = line.split("\t")
            record = _fields(fields)
            if kind == "dict":
                self.dictionaries.append(fields)
            elif kind == "pattern":
                patterns.append(self.pattern(record["source"]))
            elif kind == "category":
                name = record.pop("name")
                if record.get("defined") == "0" and self.category_id(name) is not None:
                    del record["defined"]  # an earlier dictionary's category
                categories.append((self.category(name), record))
            elif kind == "item":
                record["dict"] = int(record.get("dict", 0)) + dict_base
                if "cat" in record:
                    record["cat"] = categories[int(record["cat"])][0]
                if "pattern" in record:
                    record["pattern"] = patterns[int(record["pattern"])]
                rules = {k[5:]: record.pop(k) for k in list(record) if k.startswith("rule.")}
                if rules:
                    record["rule"] = rules
                name = record.pop("name")
                items.append(self.item(name, _as_list(record.pop("alias", [])), **record))
            else:
                rest.append((kind, record))
        for cid, record in categories:
            record["dict"] = int(record.get("dict", 0)) + dict_base
            if "key" in record:
                record["key"] = [self._item_ref(k, items) for k in _as_list(record["key"])]
            self.category(self.categories[cid]["name"], **record)
        for kind, record in rest:
            record["dict"] = int(record.get("dict", 0)) + dict_base
            if kind == "link":
                record["child"] = [self._item_ref(k, items) for k in _as_list(record["child"])]
                record["parent"] = [self._item_ref(k, items) for k in _as_list(record["parent"])]
                self.link(**record)
            elif kind == "problem":
                self.problem(record["dict"], record.get("definition", ""),
                             record.get("message", ""))
            elif kind == "scope":
                self.scope(**record)
            elif kind == "local":
                self.local(record["prefix"])

    def _item_ref(self, ref: str, items: list[int]) -> int | str:
        """A number of an absorbed text's item, renumbered; "@name" found
        among the items so far, or left for the checker to report."""
        if ref.startswith("@"):
            found = self.item_id(ref[1:])
            return ref if found is None else found
        return items[int(ref)]

    # ---- the text ----

    def text(self) -> str:
        lines = ["quarzel-rules 1"]
        lines += ["\t".join(["dict", *d]) for d in self.dictionaries]
        lines += ["pattern\t" + _field("source", p) for p in self.patterns]
        lines += [_record("category", c) for c in self.categories]
        lines += [_record("item", i) for i in self.items]
        lines += [_record("link", link) for link in self.links]
        lines += [_record("scope", s) for s in self.scopes]
        lines += ["\t".join(["problem", _field("dict", d), _field("definition", name),
                             _field("message", message)])
                  for d, name, message in self.problems]
        lines += ["local\t" + _field("prefix", p) for p in self.local_prefixes]
        return "\n".join(lines) + "\n"


def _as_list(value: Any) -> list:
    return value if isinstance(value, list) else [value]


def _fields(fields: list[str]) -> dict[str, Any]:
    """A record's fields as a dict; a repeated key gives a list."""
    record: dict[str, Any] = {}
    for f in fields:
        key, _, value = f.partition("=")
        if "\\" in value:
            value = _unescape(value)
        if key in record:
            if not isinstance(record[key], list):
                record[key] = [record[key]]
            record[key].append(value)
        else:
            record[key] = value
    return record


def _record(kind: str, attributes: dict[str, Any]) -> str:
    fields = [kind]
    append = fields.append
    for key, value in attributes.items():
        if value is None:
            continue
        if type(value) is str:
            if "\\" in value or "\t" in value or "\n" in value or "\r" in value:
                value = value.translate(_ESCAPES)
            append(f"{key}={value}")
        elif type(value) is int:
            append(f"{key}={value}")
        elif isinstance(value, (list, tuple)):
            fields += [_field(key, v) for v in value]
        elif isinstance(value, dict):
            fields += [_field(f"{key}.{k}", v) for k, v in value.items()]
        else:
            append(_field(key, value))
    return "\t".join(fields)
