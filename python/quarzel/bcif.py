"""BinaryCIF: the PDB's binary form of (mm)CIF, read and written natively.

A BinaryCIF file is a MessagePack document holding the blocks, categories
and columns of a CIF file column by column, each column encoded for size
(often gzip-compressed as ``.bcif.gz``). ``quarzel.read`` recognises it by
its content and returns the same ``CifFile`` as for CIF text; this module
adds the typed view of its columns (``tables``) and the writer behind
``quarzel.dumps(obj, format="bcif")``.

Values become CIF text as follows: integers in decimal, FixedPoint columns
with their decimals (``12.300`` stays ``12.300``), other floats as the
shortest text that reads back as the same number, masked cells as ``.``
(inapplicable) or ``?`` (unknown). A category of one row gives items, any
other a loop; a column named with a leading underscore is a whole tag of
its own (how quarzel writes CIF tags without a dot, such as
``_cell_length_a``), any other is ``_category.column``.

String offsets count characters (code points), as the Python readers do.
JavaScript readers and writers count UTF-16 units instead, which differ for
characters outside the Basic Multilingual Plane; quarzel reads such files
too (their offsets end at the UTF-16 length of the string data).
"""

from __future__ import annotations

import mmap
import os
import threading
from typing import TYPE_CHECKING, Any

from ._files import _FORMATS, decompress
from .types import ParseError

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

    from ._read import ReadResult
    from .dictionary import Dictionary

__all__ = ["BinaryCIFError", "dumps", "is_bcif", "read_bytes", "tables"]


class BinaryCIFError(ValueError):
    """A BinaryCIF file with faults, where no record list can carry them.
    ``errors`` holds every problem as a ``ParseError``; the message is the
    first one's."""

    def __init__(self, errors: list[ParseError]) -> None:
        more = f" (and {len(errors) - 1} more)" if len(errors) > 1 else ""
        super().__init__(f"{errors[0].message}{more}")
        self.errors = errors


def _native() -> Any:
    from . import _native

    return _native


def is_bcif(data: bytes | bytearray | memoryview) -> bool:
    """True when ``data`` (uncompressed) begins like a BinaryCIF file: a
    MessagePack map whose first key is ``version``, ``encoder`` or
    ``dataBlocks``."""
    return bool(_native().bcif_is(data))


def read_bytes(data: bytes | bytearray | memoryview) -> "ReadResult":
    """The ``CifFile`` and problem list of BinaryCIF ``data`` (uncompressed),
    as ``quarzel.read`` gives them. Problems never raise: each is a
    ``ParseError`` naming the block, category and column, and what is sound
    is read."""
    return read_with_names(data)[0]


def read_with_names(data: bytes | bytearray | memoryview) -> tuple["ReadResult", dict[str, str]]:
    """``read_bytes`` and the spelling of the file's tags and block names
    (lower case → as stored, where they differ), which the object model
    keeps lower-cased and ``dumps(names=...)`` takes back."""
    import quarzel_core

    from ._read import ReadResult
    from .types import CifVersion

    blocks, errors, names = _native().bcif_read(data)
    cif = quarzel_core.CifFile(CifVersion.CIF_1_1)
    for index, (name, tags, order, loops) in enumerate(blocks):
        block = quarzel_core.CifBlock(name, index)
        block._tags = tags
        block._tag_order = order
        block._loops = loops
        cif._add_block(block)
    return ReadResult(cif, [ParseError(**e) for e in errors]), names


# Files are read into one buffer per thread, kept from call to call (up to
# _KEPT bytes): the memory is reused rather than taken afresh from the
# system page by page for every file. The buffer starts on a page, as the
# file's pages do: the system copies a file several times slower into memory
# a few bytes past a page's start (16 for a bytearray of megabytes) on some
# processors.
_kept = threading.local()
_KEPT = 64 << 20


def _page_aligned_buffer(size: int) -> mmap.mmap | bytearray:
    if hasattr(mmap, "MAP_PRIVATE"):
        return mmap.mmap(-1, size, flags=mmap.MAP_PRIVATE)
    return bytearray(size)


def _read_file(path: Any) -> bytes | memoryview:
    with open(path, "rb") as f:
        size = os.fstat(f.fileno()).st_size
        if not 0 < size <= _KEPT:
            return f.read()
        buf = getattr(_kept, "buffer", None)
        if buf is None or len(buf) <= size:
            grown = 2 * len(buf) if buf is not None else 0
            buf = _kept.buffer = _page_aligned_buffer(max(size + 1, min(grown, _KEPT + 1)))
        # One byte more than the size: a file that grew since is read whole.
        got = f.readinto(memoryview(buf)[:size + 1])
        if got > size:
            f.seek(0)
            return f.read()
        return memoryview(buf)[:got]


def _source_bytes(source: Any) -> bytes | bytearray | memoryview:
    if isinstance(source, (bytes, bytearray, memoryview)):
        data = source
        name: Any = "<data>"
    elif isinstance(source, (str, os.PathLike)):
        name = source
        data = _read_file(source)
        if isinstance(data, memoryview):
            # Compressed content is unpacked from bytes; anything else is
            # decoded where it lies.
            if not any(data[:len(m)] == m for _, m, _ in _FORMATS):
                return data
            data = bytes(data)
    else:
        raise TypeError(f"expected a path or bytes, not {type(source).__name__}")
    return decompress(bytes(data) if isinstance(data, memoryview) else data, name)[0]


def tables(source: Any) -> dict[str, dict[str, "pyarrow.Table"]]:
    """The columns of a BinaryCIF file (a path, or the file's bytes; gzip,
    bzip2 or xz compressed or not) as stored: ``{block header: {category:
    pyarrow.Table}}``, categories named without their leading underscore
    and columns as the file names them.

    Column types: ``int32`` (``int64`` for unsigned 32-bit data),
    ``float64`` or ``string``. Masked cells are null, and a column with
    masked cells is followed by a dictionary-encoded ``<column>_status``
    column telling ``"unknown"`` (``?``) from ``"inapplicable"`` (``.``)
    and ``"number"`` or ``"text"`` for cells with a value, the convention of
    ``quarzel.typed_table``.

    A file with faults raises ``BinaryCIFError`` (a ``ValueError``) listing
    them; ``quarzel.read`` reads such a file as far as it is sound.
    """
    data = _source_bytes(source)
    blocks, errors = _native().bcif_tables(data)
    if errors:
        raise BinaryCIFError([ParseError(**e) for e in errors])
    return blocks


def batches(data: bytes | bytearray | memoryview) -> tuple[list["pyarrow.RecordBatch"], list[dict[str, Any]]]:
    """``(batches, errors)`` for BinaryCIF ``data`` (uncompressed), exactly
    as ``quarzel_core.parse_arrow`` gives them for the same content as CIF
    text (text cells, identity columns)."""
    return _native().bcif_batches(data)


def _tags_of(obj: Any, kind: str) -> set[str]:
    if kind == "raw":
        return {t for b in obj.get("blocks", []) for t in b.get("tag_order", [])}
    if kind == "file":
        return {t for b in obj._block_list for t in b._tag_order}
    return set(obj._tag_order)


def _dictionary_hints(obj: Any, kind: str, dictionary: "Dictionary | None",
                      ) -> tuple[dict[str, str] | None, dict[str, str] | None]:
    """Per tag of ``obj`` that ``dictionary`` defines: its type ("integer",
    "real" or "text") and its spelling in the dictionary."""
    if dictionary is None:
        return None, None
    types: dict[str, str] = {}
    names: dict[str, str] = {}
    for tag in _tags_of(obj, kind):
        definition = dictionary.get(tag)
        if definition is None:
            continue
        types[tag] = definition.type
        if definition.name.lower() == tag.lower():
            names[tag] = definition.name
    return types, names


def dumps(obj: Any, *, dictionary: "Dictionary | None" = None,
          names: "dict[str, str] | None" = None) -> bytes:
    """The BinaryCIF bytes of ``obj`` (a ``CifFile``, ``CifBlock``,
    ``CifSaveFrame`` or ``parse_raw`` result); ``quarzel.dumps(obj,
    format="bcif")`` calls this.

    Each column is stored as numbers only when every value reads back
    unchanged (``1.00`` stays ``1.00``; ``012`` and ``1.5(3)`` stay text),
    unless ``dictionary`` (a ``quarzel.Dictionary``) types its tag
    ``"integer"`` or ``"real"``: then any plain number is stored as one (its
    formatting not kept), and a tag typed ``"text"`` always stays text. With
    a dictionary, tags are spelled as it spells them (``_atom_site.Cartn_x``);
    ``names`` maps lower-case tags or block names to other spellings.
    Otherwise names are written as the object holds them (lower case).

    BinaryCIF holds text values in blocks; save frames, lists and tables
    raise ``ValueError`` naming the block and tag.
    """
    from .write import _kind

    kind = _kind(obj)
    types, spelled = _dictionary_hints(obj, kind, dictionary)
    if names:
        spelled = {**(spelled or {}), **names}
    return _native().write_bcif(obj, kind, types, spelled or None)
