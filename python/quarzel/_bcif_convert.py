"""`quarzel convert` with BinaryCIF on either side: reading an input that
may be CIF text or BinaryCIF (told apart by content, also inside gzip,
bzip2 or xz), and writing `.bcif` / `.bcif.gz` outputs."""

from __future__ import annotations

import os
from typing import Any, NamedTuple

from ._files import decode_text, read_content

BCIF_SUFFIXES = (".bcif", ".bcif.gz")


def is_bcif_output(path: str) -> bool:
    return path.lower().endswith(BCIF_SUFFIXES)


class Document(NamedTuple):
    cif: Any
    errors: list[dict[str, Any]]  # problem records, the Latin-1 reading first
    # How the input spelled its tags and block names, where not lower case
    # (None when not asked for).
    names: dict[str, str] | None


def read_document(path: str | os.PathLike[str], strict: bool, want_names: bool) -> Document:
    """The object model of a CIF or BinaryCIF file. Raises OSError as
    ``read_content`` does."""
    import quarzel_core

    from . import _native
    from .bcif import is_bcif, read_with_names

    data = read_content(path)[0]
    if is_bcif(data):
        (cif, errors), names = read_with_names(data)
        return Document(cif, [e.as_dict() for e in errors], names)
    text, problem = decode_text(data)
    del data
    cif, errors = quarzel_core.parse_cif(text, "strict" if strict else None)
    names = _native.name_spellings(text) if want_names else None
    return Document(cif, errors if problem is None else [problem, *errors], names)


def arrow_batches(path: str | os.PathLike[str], strict: bool) -> tuple[list[Any], list[dict]]:
    """``(batches, errors)`` of a CIF or BinaryCIF file, as ``parse_arrow``
    gives them for CIF text. Raises OSError as ``read_content`` does."""
    import quarzel_core

    from .bcif import batches, is_bcif

    data = read_content(path)[0]
    if is_bcif(data):
        return batches(data)
    text, problem = decode_text(data)
    del data
    found, errors = quarzel_core.parse_arrow(text, "strict" if strict else None)
    return found, errors if problem is None else [problem, *errors]


def write_bcif(cif: Any, path: str, names: dict[str, str] | None) -> None:
    from .bcif import dumps
    from .write import write_bytes

    write_bytes(dumps(cif, names=names), path)


def sniff(path: str | os.PathLike[str]) -> bool:
    """True when the file at ``path`` (perhaps compressed) begins like
    BinaryCIF; reads only its first bytes. False when it cannot be read
    (the caller's own reading reports why)."""
    import bz2
    import lzma
    import zlib

    from .bcif import is_bcif

    try:
        with open(path, "rb") as f:
            head = f.read(1 << 16)
    except OSError:
        return False
    try:
        if head.startswith(b"\x1f\x8b"):
            head = zlib.decompressobj(wbits=31).decompress(head, 64)
        elif head.startswith(b"BZh"):
            head = bz2.BZ2Decompressor().decompress(head, 64)
        elif head.startswith(b"\xfd7zXZ\x00"):
            head = lzma.LZMADecompressor().decompress(head, 64)
    except (OSError, EOFError, ValueError, zlib.error, lzma.LZMAError):
        return False
    return is_bcif(head)


def check_read(path: str | os.PathLike[str]) -> tuple[Any, str, list[dict[str, Any]] | None]:
    """For ``quarzel check``: ``(source, "", records)`` of a BinaryCIF file,
    ``source`` standing in for its text, or ``(None, cause, None)`` when it
    cannot be read."""
    from ._files import SourceText, describe
    from .bcif import read_bytes

    try:
        data, compression, stored = read_content(path)
    except OSError as exc:
        return None, describe(exc), None
    errors = [e.as_dict() for e in read_bytes(data).errors]
    return SourceText("", None, compression, len(data), stored), "", errors


def info(path: str, out: Any, err: Any) -> int:
    """``quarzel info`` for a BinaryCIF file: format, size, problems, and
    per block its tags, loops and values."""
    from . import cli
    from ._files import describe
    from .bcif import read_bytes

    try:
        data, compression, stored = read_content(path)
    except OSError as exc:
        print(f"{path}: cannot read: {describe(exc)}", file=err)
        return cli.EXIT_UNREADABLE
    cif, errors = read_bytes(data)
    size = f"{len(data):,} bytes"
    if compression:
        size += f" ({compression}, {stored:,} bytes compressed)"
    records = [e.as_dict() for e in errors]
    print(f"file:     {path}", file=out)
    print("version:  BinaryCIF", file=out)
    print(f"size:     {size}", file=out)
    print(f"errors:   {cli.summary(path, records).split(': ', 1)[1]}", file=out)
    print(f"blocks:   {len(cif._block_list)}", file=out)
    print(file=out)
    rows = [["block / save frame", "tags", "loops", "looped tags", "values"]]
    for block in cif._block_list:
        frame = {"tag_order": block._tag_order, "loops": block._loops, "tags": block._tags}
        rows.append(cli._frame_row(block.name, frame))
    if len(rows) > 1:
        cli._table(rows, out)
    return cli.EXIT_ERRORS if errors else cli.EXIT_CLEAN
