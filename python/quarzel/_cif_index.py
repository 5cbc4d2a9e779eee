"""An index of one input: where every data block, save frame and
category's rows are, so that one category of one block is read from its
own bytes without reading the rest.

``quarzel.index(path)`` reads the input once (window by window, storing no
value) and records every block and save frame, and every group of rows of
each category (a block's or frame's tags of one category that stand alone,
and each loop's tags of one category) with its byte range, first line and
row count. ``index.read(category, block=None)`` then reads just those byte
ranges of a plain file.
"""

from __future__ import annotations

import os
from typing import TYPE_CHECKING, Any, NamedTuple

from ._selective import _reraise, _source
from .types import ParseError

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

__all__ = ["CifIndex", "IndexedBlock", "IndexedCategory", "IndexedFrame", "index"]


class IndexedFrame(NamedTuple):
    """A save frame: its name and byte range (``begin`` starts the line of
    its ``save_``), and the line it starts on."""

    name: str
    begin: int
    end: int
    line: int


class IndexedBlock(NamedTuple):
    """A data block: its name, byte range, first line and save frames."""

    name: str
    begin: int
    end: int
    line: int
    frames: list[IndexedFrame]


class IndexedCategory(NamedTuple):
    """One group of rows of a category: in ``block`` (and save ``frame``, or
    None), a loop's tags of the category (``looped``) or the frame's tags of
    it that stand alone; bytes ``[begin, end)`` hold them from line ``line``
    on; ``rows`` rows, as ``read_categories`` gives them."""

    block: str
    frame: str | None
    category: str
    looped: bool
    tags: list[str]
    begin: int
    end: int
    line: int
    rows: int


class CifIndex:
    """The index of one input (see ``quarzel.index``)."""

    def __init__(self, source: str, is_path: bool, handle: Any, blocks: list[dict[str, Any]],
                 entries: list[dict[str, Any]], errors: list[dict[str, Any]], groups: list[int]) -> None:
        self._source = source
        self._is_path = is_path
        self._handle = handle
        self._groups = groups
        #: Every data block, in order.
        self.blocks = [IndexedBlock(b["name"], b["begin"], b["end"], b["line"],
                                    [IndexedFrame(**f) for f in b["frames"]]) for b in blocks]
        #: Every group of rows of every category, in the order they begin.
        self.categories = [IndexedCategory(e["block"], e["frame"], e["category"], e["looped"], e["tags"],
                                           e["begin"], e["end"], e["line"], e["rows"]) for e in entries]
        self._entry_groups = [e["group"] for e in entries]
        #: Every problem record of the input, in order (as ``quarzel.read`` gives them).
        self.errors = [ParseError(**e) for e in errors]

    def category_names(self) -> list[str]:
        """The categories of the input, in the order they first appear."""
        return list(dict.fromkeys(c.category for c in self.categories))

    def rows(self, category: str, block: str | None = None) -> int:
        """The rows ``read(category, block)`` gives."""
        category, block = category.lower(), None if block is None else block.lower()
        return sum(c.rows for c in self.categories
                   if c.category == category and (block is None or c.block == block))

    def errors_of(self, category: str, block: str | None = None) -> list[ParseError]:
        """The problem records found among the rows of ``category`` (in
        ``block``), in order: those ``read`` reports."""
        category, block = category.lower(), None if block is None else block.lower()
        groups = {g for c, g in zip(self.categories, self._entry_groups)
                  if c.category == category and (block is None or c.block == block)}
        return [e for e, g in zip(self.errors, self._groups) if g in groups]

    def read(self, category: str, block: str | None = None) -> "pyarrow.Table":
        """The table of ``category`` (of the data block named ``block``, or
        of every block), as ``read_categories`` gives it, read from the byte
        ranges the index holds: of a plain file only those bytes (a
        compressed file is read as a stream, keeping only that category).
        Raises ``UnreadableFile`` when the file changed since it was
        indexed. The records of the rows read are ``errors_of(category,
        block)``."""
        import quarzel._native as native
        from . import _selective

        if not isinstance(category, str):
            raise TypeError(f"category must be a str, not {type(category).__name__}")
        if block is not None and not isinstance(block, str):
            raise TypeError(f"block must be a str or None, not {type(block).__name__}")
        try:
            table, _errors = native.index_read(self._handle, category, block, _selective._WINDOW)
        except OSError as exc:
            raise _reraise(exc, self._source, self._is_path) from None
        return table

    def __repr__(self) -> str:
        return (f"<CifIndex of {len(self.blocks)} block(s), {len(self.categories)} group(s) of rows, "
                f"{len(self.errors)} problem(s)>")


def index(source: str | os.PathLike[str]) -> CifIndex:
    """The index of one input: a path (plain, or gzip, bzip2 or xz, read as
    a stream) or CIF text. One pass over the input, which stores no value:
    memory holds a window of text and the index. See ``CifIndex``."""
    import quarzel._native as native
    from . import _selective

    text, is_path = _source(source)
    try:
        handle, blocks, entries, errors, groups = native.index_build(text, is_path, _selective._WINDOW)
    except OSError as exc:
        raise _reraise(exc, text, is_path) from None
    return CifIndex(text, is_path, handle, blocks, entries, errors, groups)
