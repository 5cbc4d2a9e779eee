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
from typing import TYPE_CHECKING, Any, NamedTuple

from ._files import UnreadableFile
from ._read import _looks_like_path
from .types import ParseError

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

    from .cifmodel.model import CifBlock

__all__ = ["BlockIterator", "BlockRead", "CategoryTables", "iter_blocks", "read_categories"]

# Bytes of text held at once (tests use small windows to cut every token).
# A window that stays in the processor's cache between the passes over it
# (the read, the line-end and UTF-8 checks, the lexer) reads a huge file
# about 1.4 times as fast as one of 16 MB; a token longer than the window
# grows it.
_WINDOW = 1 << 20


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


class BlockRead(NamedTuple):
    """One block of ``iter_blocks`` and the problem records that belong to
    it: those from its ``data_`` up to the next block's (the first block
    also takes those before it, the last those at the end of the input)."""

    block: "CifBlock"
    errors: list[ParseError]


class BlockIterator:
    """The blocks of one input, one at a time (``iter_blocks``). Once it is
    exhausted, ``errors`` holds the problem records that no block took (an
    input without data blocks)."""

    def __init__(self, handle: Any, path: str, is_path: bool) -> None:
        self._handle = handle
        self._path = path
        self._is_path = is_path
        self.errors: list[ParseError] = []

    def __iter__(self) -> "BlockIterator":
        return self

    def __next__(self) -> BlockRead:
        import quarzel._native as native

        if self._handle is None:
            raise StopIteration
        try:
            got = native.next_block(self._handle)
        except OSError as exc:
            self._handle = None
            raise _reraise(exc, self._path, self._is_path) from None
        if got is None:
            self.errors = [ParseError(**e) for e in native.rest_errors(self._handle)]
            self._handle = None
            raise StopIteration
        parts, errors = got
        return BlockRead(_block(parts), [ParseError(**e) for e in errors])


def _frame(frame: Any, tags: dict[str, list[Any]], order: list[str], loops: list[list[str]]) -> Any:
    frame._tags = tags
    frame._tag_order = order
    frame._loops = loops
    return frame


def _block(parts: tuple[Any, ...]) -> Any:
    import quarzel_core

    name, index, tags, order, loops, frames = parts
    block = _frame(quarzel_core.CifBlock(name, index), tags, order, loops)
    frame_list = []
    by_name: dict[str, Any] = {}
    for j, (frame_name, frame_tags, frame_order, frame_loops) in enumerate(frames):
        frame = _frame(quarzel_core.CifSaveFrame(frame_name, j), frame_tags, frame_order, frame_loops)
        frame_list.append(frame)
        by_name.setdefault(frame_name, frame)
    block._save_frame_list = frame_list
    block._save_frames = by_name
    return block


def iter_blocks(source: str | os.PathLike[str], *,
                categories: str | Iterable[str] | None = None) -> BlockIterator:
    """The data blocks of one input, one at a time: each a ``BlockRead``
    ``(block, errors)``, the ``CifBlock`` as ``quarzel.read`` builds it and
    the problem records that belong to it.

    ``source`` is a path (plain, or gzip, bzip2 or xz, decompressed as a
    stream) or CIF text. The input is read a window at a time and each block
    is handed out as soon as it is complete, so memory holds one block and a
    window of text, however large the input. ``categories`` keeps only the
    tags of the named categories (``read_categories`` names them); the other
    tags are read and counted, never stored, and the blocks hold none of
    them. A file that is not UTF-8 is read as Latin-1, as ``quarzel.read``
    does: should that show only after blocks were handed out, the input is
    read again and those blocks are not handed out twice.
    """
    import quarzel._native as native

    text, is_path = _source(source)
    names = None if categories is None else _names(categories, "categories")
    handle = native.open_blocks(text, is_path, names, _WINDOW)
    return BlockIterator(handle, text, is_path)
