"""Validation of CIF documents against DDL1, DDL2 and DDLm dictionaries.

``validate(source, dictionary)`` checks every value, loop and category of a
document against the dictionary's rules and returns a ``Report`` of
``Finding`` objects, each pointing at the line and column of the value (or
tag) concerned. The values are checked natively, without a Python object
per value and with the interpreter lock released; the dictionary is
compiled once and reused by later calls.
"""

from __future__ import annotations

import os

from ._files import _looks_like_path, read_source

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterator, Sequence

    from .types import ParseError

__all__ = ["Finding", "Report", "validate"]

SEVERITIES = ("error", "warning", "info")


class Finding:
    """One fault of a document against a dictionary.

    ``code``: a short stable name (``type``, ``enumeration``, ``range``,
    ``su``, ``mandatory``, ``key``, ``duplicate-key``, ``link``, ``looped``,
    ``not-looped``, ``loop-category``, ``unknown``, ``deprecated``,
    ``container``, ``dictionary``, ``alias``, ``prohibited``,
    ``recommended``); ``severity``: ``error``, ``warning`` or ``info``;
    ``block`` and ``frame`` (None outside save frames; both None for a
    finding about the dictionary itself); ``category``; ``tags`` (a tuple);
    ``value`` (or None); ``row`` (0-based in its loop, or None); ``line`` and
    ``column`` of the value, or of the tag where no value is at fault (0
    where there is no place); ``rule``: the dictionary attribute applied;
    ``dictionary``: its name and version.
    """

    __slots__ = ("code", "severity", "message", "block", "frame", "category", "tags", "value",
                 "row", "line", "column", "rule", "dictionary")

    def __init__(self, code: str, severity: str, message: str, block: str | None,
                 frame: str | None, category: str | None, tags: tuple[str, ...],
                 value: str | None, row: int | None, line: int, column: int, rule: str,
                 dictionary: str | None):
        self.code = code
        self.severity = severity
        self.message = message
        self.block = block
        self.frame = frame
        self.category = category
        self.tags = tags
        self.value = value
        self.row = row
        self.line = line
        self.column = column
        self.rule = rule
        self.dictionary = dictionary

    def as_dict(self) -> dict[str, Any]:
        return {name: getattr(self, name) for name in self.__slots__} | {"tags": list(self.tags)}

    def __eq__(self, other: object) -> bool:
        return isinstance(other, Finding) and all(
            getattr(self, n) == getattr(other, n) for n in self.__slots__)

    def __repr__(self) -> str:
        where = f"{self.line}:{self.column} " if self.line else ""
        block = f"data_{self.block} " if self.block is not None else ""
        tags = " ".join(self.tags)
        return (f"Finding({self.severity} [{self.code}] {where}{block}"
                f"{tags + ': ' if tags else ''}{self.message})")


class Report:
    """The findings of one document: ``findings`` in document order (those
    about the dictionaries first), ``ok`` (no finding of severity error),
    ``counts`` per severity, iteration over the findings, ``to_arrow()``.
    ``errors`` holds the reader's own records (``ParseError``) for the
    document: faults of the text, not of its content."""

    def __init__(self, findings: list[Finding], errors: list[ParseError], source: str | None,
                 dictionaries: list[str]):
        self.findings = findings
        self.errors = errors
        self.source = source
        self.dictionaries = dictionaries

    @property
    def ok(self) -> bool:
        return not any(f.severity == "error" for f in self.findings)

    @property
    def counts(self) -> dict[str, int]:
        from collections import Counter

        c = Counter(f.severity for f in self.findings)
        return {s: c.get(s, 0) for s in SEVERITIES}

    def __iter__(self) -> Iterator[Finding]:
        return iter(self.findings)

    def __len__(self) -> int:
        return len(self.findings)

    def to_arrow(self) -> Any:
        """A pyarrow Table, one row per finding."""
        import pyarrow as pa

        columns = {name: [getattr(f, name) for f in self.findings] for name in Finding.__slots__}
        columns["tags"] = [list(t) for t in columns["tags"]]
        schema = pa.schema([
            ("code", pa.string()), ("severity", pa.string()), ("message", pa.string()),
            ("block", pa.string()), ("frame", pa.string()), ("category", pa.string()),
            ("tags", pa.list_(pa.string())), ("value", pa.string()), ("row", pa.int64()),
            ("line", pa.int64()), ("column", pa.int64()), ("rule", pa.string()),
            ("dictionary", pa.string())])
        return pa.table(columns, schema=schema)

    def __repr__(self) -> str:
        c = self.counts
        return (f"Report({self.source or '<text>'}: {c['error']} errors, {c['warning']} warnings,"
                f" {c['info']} info)")


def _links_mode(links: bool | None) -> int:
    if links is None:
        return 0
    if not isinstance(links, bool):
        raise TypeError(f"links must be True, False or None, not {type(links).__name__}")
    return 1 if links else 2


def _source_text(source: Any) -> tuple[str, str | None, dict | None, bool]:
    """(text, path, reader problem, positions meaningful) of a source."""
    if isinstance(source, os.PathLike) or (isinstance(source, str) and _looks_like_path(source)):
        path = os.fspath(source)
        read = read_source(path)
        return read.text, path, read.problem, True
    if isinstance(source, str):
        return source, None, None, True
    from ._read import ReadResult
    from .write import dumps

    if isinstance(source, ReadResult):
        source = source.cif
    try:
        text = dumps(source)
    except TypeError:
        raise TypeError("source must be a path, CIF text, a CifFile or a parse_raw result, "
                        f"not {type(source).__name__}") from None
    return text, None, None, False


def _imported(path: str | None, text: str) -> dict | None:
    """For a DDLm dictionary being checked against its DDL: the attribute
    names that imports give each definition, by (block, frame) index."""
    import quarzel_core

    from ._rules_ddlm import is_ddlm
    from .dictionary import DictionaryError, _DdlmReader

    cif, _ = quarzel_core.parse_cif(text)
    blocks = [cif[name] for name in cif.blocks]
    if not is_ddlm(blocks):
        return None

    class Holder:
        pass

    holder = Holder()
    holder.path = os.path.abspath(path) if path else os.path.abspath("<text>")
    holder.search_paths = []
    reader = _DdlmReader(holder)
    out: dict[tuple[int, int], list[str]] = {}
    for b, block in enumerate(blocks):
        for f, frame in enumerate(block._save_frame_list):
            try:
                merged = reader.merged(holder.path, frame)
            except DictionaryError:
                continue  # the import's own fault is not the scope's
            extra = [t for t in merged if t not in frame._tags]
            if extra:
                out[(b, f)] = extra
    return out


def validate(source: Any, dictionary: Any, *, links: bool | None = None,
             su_multiplier: float = 3.0, profile: str | None = None,
             ignore_case: bool = False) -> Report:
    """Check `source` against `dictionary` and report every fault.

    ``source``: a path (gzip, bzip2 and xz files too), CIF text, a
    ``CifFile`` (from ``quarzel.read`` or ``parse_cif``) or a ``parse_raw``
    result (findings then have no line and column). ``dictionary``: a
    ``Dictionary``, a path, or a list of them (later ones extend or override
    earlier ones). ``links``: check links between categories (None: each
    dictionary's default, on for DDL1 and DDLm, off for DDL2, whose real
    entries break its links by design). ``su_multiplier``: a DDLm value
    within its range widened by this many su passes. ``profile``:
    ``"deposition"`` applies PDBx's ``_pdbx_item_enumeration``,
    ``_pdbx_item_range`` and ``_pdbx_item_type``. ``ignore_case``: DDL1
    enumerations compare ignoring case.

    Raises ``DictionaryError`` for a dictionary that cannot be read or is
    not one, ``OSError`` for a source that cannot be read.
    """
    from ._rules import compile_rules

    rules = compile_rules(dictionary, profile)
    return _validate_compiled(source, rules, links=links, su_multiplier=su_multiplier,
                              ignore_case=ignore_case)


def _validate_compiled(source: Any, rules: Any, *, links: bool | None, su_multiplier: float,
                       ignore_case: bool) -> Report:
    from . import _validate_native as _native

    labels = rules.labels
    if not isinstance(source, (str, os.PathLike)) and not rules.has_scopes:
        # A document read beforehand: checked as it stands, not written out
        # and read again (None: one that only its text can show, such as
        # CIF 2.0 lists and tables).
        from ._read import ReadResult

        document = source.cif if isinstance(source, ReadResult) else source
        done = _native.validate_document(rules.native, document, _links_mode(links),
                                         float(su_multiplier), bool(ignore_case))
        if done is not None:
            findings = [_finding(t, labels, True) for t in rules.problems]
            findings += [_finding(t, labels, False) for t in done[0]]
            return Report(findings, [], None, labels)
    text, path, problem, placed = _source_text(source)
    imported = _imported(path, text) if rules.has_scopes else None
    raw, errors = _native.validate_text(rules.native, text, _links_mode(links),
                                        float(su_multiplier), bool(ignore_case), imported)
    findings = [_finding(t, labels, True) for t in rules.problems]
    findings += [_finding(t, labels, placed) for t in raw]
    if problem is not None:
        errors.insert(0, problem)
    if errors:  # quarzel.types (and enum) loaded only for a text with faults
        from .types import ParseError

        errors = [ParseError(**e) for e in errors]
    return Report(findings, errors, path, labels)


def _finding(t: tuple, labels: Sequence[str], placed: bool) -> Finding:
    (code, severity, message, block, frame, category, tags, value, row, line, column, rule,
     dict_index) = t
    if not placed:
        line = column = 0
    label = labels[dict_index] if dict_index is not None and dict_index < len(labels) else None
    return Finding(code, severity, message, block, frame, category, tags, value, row, line,
                   column, rule, label)
