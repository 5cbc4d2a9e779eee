"""Reading inputs of every size: only the categories asked for, and one
block at a time.

The native reader takes the input a window at a time (a plain file in
reads of a window, a gzip, bzip2 or xz file decompressed as a stream,
never whole), lexes and parses all of it, and keeps only what was asked
for: everything else is counted, never stored. Every value, row and
problem record is the one a full reading (``quarzel.read``,
``parse_arrow``) gives for the same categories.
"""

from __future__ import annotations

import os
from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

from ._files import UnreadableFile
from ._read import _looks_like_path
from .types import ParseError

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

__all__ = ["CategoryTables", "read_categories"]

# Bytes of text held at once (tests use small windows to cut every token).
_WINDOW = 16 << 20


class CategoryTables(dict):
    """``{category: pyarrow.Table}`` of ``read_categories``, with ``errors``:
    the problem records of the input (``ParseError`` objects, in order)."""

    errors: list[ParseError]

    def __init__(self, tables: Iterable[tuple[str, "pyarrow.Table"]], errors: list[ParseError]) -> None:
        super().__init__(tables)
        self.errors = errors


def _source(source: Any) -> tuple[str, bool]:
    """(text or path, is_path) for a path object, a path string or CIF text."""
    if isinstance(source, os.PathLike):
        return os.fspath(source), True
    if isinstance(source, str):
        return source, _looks_like_path(source)
    raise TypeError(f"expected a path or CIF text, not {type(source).__name__}")


def _names(value: Any, what: str) -> list[str]:
    if isinstance(value, str):
        return [value]
    try:
        names = list(value)
    except TypeError:
        raise TypeError(f"{what} must be a str or an iterable of str, not {type(value).__name__}") from None
    for n in names:
        if not isinstance(n, str):
            raise TypeError(f"{what} must be str, not {type(n).__name__}")
    return names


def _reraise(exc: OSError, path: str, is_path: bool) -> OSError:
    """A damaged compressed stream (an OSError without errno) as
    ``UnreadableFile``; the system's own errors as they are."""
    if exc.errno is None and is_path:
        return UnreadableFile(path, str(exc))
    return exc


def read_categories(source: str | os.PathLike[str], categories: str | Iterable[str], *,
                    blocks: str | Iterable[str] | None = None) -> CategoryTables:
    """The tables of the named categories of one input.

    ``source`` is a path (plain, or compressed with gzip, bzip2 or xz) or CIF
    text, as ``quarzel.read`` takes it. ``categories`` names categories as
    the archive engine names its tables: ``"atom_site"`` for the tags
    ``_atom_site.*``, ``"_items"`` for the tags without a dot that stand
    alone, and for a loop of such tags the longest common prefix of its tags
    (``"geom_bond"``). ``blocks`` keeps only the named data blocks. Names are
    compared ignoring case.

    Returns ``{category: pyarrow.Table}`` (a ``CategoryTables``), one entry
    per category asked for: ``_block_name`` (and ``_frame_name`` when rows
    come from save frames), then one string column per tag, named by its
    lower-case tag, rows in file order; a category the input lacks gives an
    empty table. Its ``errors`` are the problem records of the whole input
    (the same as ``quarzel.read`` gives), then a record for any loop tag
    whose values do not fill the loop's rows (as the archive engine reports
    it). Everything not asked for is read and counted, never stored, so
    memory holds the tables and one window of text.
    """
    import quarzel._native as native

    text, is_path = _source(source)
    names = _names(categories, "categories")
    chosen = None if blocks is None else _names(blocks, "blocks")
    try:
        tables, errors = native.read_categories(text, is_path, names, chosen, _WINDOW)
    except OSError as exc:
        raise _reraise(exc, text, is_path) from None
    return CategoryTables(tables, [ParseError(**e) for e in errors])
