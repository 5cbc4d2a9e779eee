"""Files as users have them: plain, gzip, bzip2 or xz; UTF-8 or not.

Every feature of the package that reads a CIF file goes through
``read_source``: it recognises a compressed file by its first bytes (not by
its name), unpacks it, and decodes the text. Text that is not valid UTF-8 is
read as Latin-1, where every byte is one character, so nothing is lost; the
problem record returned beside it says where the first byte that is not
UTF-8 stands, and goes first in the document's error list.
"""

from __future__ import annotations

import codecs
import os
import zlib

from ._records import record

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Callable

__all__ = ["SourceText", "UnreadableFile", "decode_text", "decompress", "describe",
           "not_utf8_record", "read_content", "read_source"]


def _bzip2() -> Any:
    import bz2  # imported when first needed: most inputs are plain

    return bz2.BZ2Decompressor()


def _xz() -> Any:
    import lzma

    return lzma.LZMADecompressor(format=lzma.FORMAT_XZ)


# (name, first bytes, a fresh decompressor for one stream)
_FORMATS: list[tuple[str, bytes, Callable[[], Any]]] = [
    ("gzip", b"\x1f\x8b", lambda: zlib.decompressobj(wbits=31)),
    ("bzip2", b"BZh", _bzip2),
    ("xz", b"\xfd7zXZ\x00", _xz),
]
_PIECE = 1 << 20
_SUFFIXES = {".gz": "gzip", ".gzip": "gzip", ".bz2": "bzip2", ".xz": "xz"}
_BOM = b"\xef\xbb\xbf"  # a byte order mark in UTF-8


class UnreadableFile(OSError):
    """A file whose content cannot be made into text (a truncated or corrupt
    compressed stream, an empty compressed file). ``reason`` says why and
    ``filename`` names the file."""

    def __init__(self, filename: str | os.PathLike[str], reason: str) -> None:
        super().__init__(reason)
        self.filename = filename
        self.reason = reason

    def __str__(self) -> str:
        return f"{os.fsdecode(self.filename)}: {self.reason}"


# A record (a namedtuple) rather than typing's NamedTuple: loading typing
# (and the annotationlib a class body's annotations would need) costs a
# short `quarzel validate` process more than its checks take.
SourceText = record("SourceText", [
    "text",
    # The record for a file that is not UTF-8 (an error dictionary), or None.
    "problem",
    # "gzip", "bzip2", "xz", or None for a plain file.
    "compression",
    # Bytes of the text before decoding (after unpacking), and bytes on disk.
    "size",
    "stored_size",
], doc="""One file read as text.""")

_CIF_STARTS = ("data_", "global_", "save_", "loop_", "#")


def _looks_like_path(source: str) -> bool:
    """A one-line string naming an existing file, or a single word that
    cannot be a CIF document (such as ``"entry.cif"``): read as a path, so
    that a mistyped file name raises instead of reading as empty CIF."""
    if "\n" in source or "\r" in source:
        return False
    if os.path.isfile(source):
        return True
    word = source.strip()
    return bool(word) and word == source and not any(c.isspace() for c in word) and not (
        word.lower().startswith(_CIF_STARTS))


def mode_argument(strict: bool) -> str | None:
    """The native functions' ``mode`` argument for a ``strict`` flag."""
    return "strict" if strict else None


def decompress(data: bytes, filename: str | os.PathLike[str] = "<data>",
               ) -> tuple[bytes | bytearray, str | None]:
    """The content of a gzip, bzip2 or xz file (every stream of a file made
    of several), or ``data`` itself when it is not compressed. Raises
    ``UnreadableFile`` for a truncated or corrupt stream."""
    for name, magic, make in _FORMATS:
        if data.startswith(magic):
            return _unpack(data, name, magic, make, filename), name
    return data, None


def _unpack(data: bytes, name: str, magic: bytes, make: Callable[[], Any],
            filename: str | os.PathLike[str]) -> bytearray:
    # Fed in pieces so that a file of many streams (bgzip, pbzip2) costs no
    # more than one of a single stream: what a decompressor leaves over at
    # the end of its stream is at most one piece.
    import lzma  # for its error class below

    view = memoryview(data)
    content = bytearray()  # grown in place, so the content is held once
    pos = 0
    carry = b""  # input left over after the end of a stream
    stream = None  # None between streams
    while True:
        if carry:
            piece, carry = carry, b""
        elif pos < len(data):
            piece = view[pos:pos + _PIECE]
            pos += len(piece)
        else:
            break
        if stream is None:
            # Zero bytes between and after streams are padding (gzip and xz
            # allow it); anything else must be the next stream.
            head = bytes(piece).lstrip(b"\0")
            if not head:
                continue
            if len(head) < len(magic):
                head += data[pos:pos + len(magic)]
                pos = min(pos + len(magic), len(data))
            if not head.startswith(magic):
                if magic.startswith(head):
                    raise UnreadableFile(filename, f"truncated {name} stream")
                raise UnreadableFile(filename, f"corrupt {name} stream (data after its end)")
            stream, piece = make(), head
        try:
            content += stream.decompress(piece)
        except (OSError, ValueError, EOFError, zlib.error, lzma.LZMAError) as exc:
            # zlib says "Error -3 while decompressing data: incorrect data check"
            detail = str(exc).rsplit(": ", 1)[-1] or type(exc).__name__
            raise UnreadableFile(filename, f"corrupt {name} stream ({detail})") from None
        if stream.eof:
            carry, stream = stream.unused_data, None
    if stream is not None:
        raise UnreadableFile(filename, f"truncated {name} stream")
    return content


def not_utf8_record(data: bytes | bytearray, pos: int) -> dict[str, Any]:
    """The problem record for a text read as Latin-1 whose first byte that is
    not UTF-8 is ``data[pos]``: its line and column count CR LF and a lone
    CR as one line end, and one column per byte (one Latin-1 character); a
    byte order mark at the start is no column, as the reader drops it."""
    line = 1 + data.count(b"\n", 0, pos) + data.count(b"\r", 0, pos) - data.count(b"\r\n", 0, pos)
    line_start = max(data.rfind(b"\n", 0, pos), data.rfind(b"\r", 0, pos)) + 1
    if line_start == 0 and data.startswith(_BOM):
        line_start = len(_BOM)
    byte = data[pos]
    return {
        "error_type": "lexical",
        "message": f"not valid UTF-8 (byte 0x{byte:02X}); read as Latin-1",
        "line": line,
        "column": pos - line_start + 1,
        "context": chr(byte),
        "recovery_action": "read as Latin-1",
    }


def decode_text(data: bytes | bytearray) -> tuple[str, dict[str, Any] | None]:
    """``data`` as text: UTF-8 when it is valid UTF-8, else as Latin-1
    together with the problem record of ``not_utf8_record``. A byte order mark
    at the start stays one either way (U+FEFF, which the reader drops)."""
    try:
        return data.decode("utf-8"), None
    except UnicodeDecodeError as exc:
        problem = not_utf8_record(data, exc.start)
        if data.startswith(_BOM):
            return "\ufeff" + codecs.latin_1_decode(memoryview(data)[len(_BOM):])[0], problem
        return data.decode("latin-1"), problem


def read_source(path: str | os.PathLike[str]) -> SourceText:
    """Read the file at ``path`` as text (see the module's description).

    Raises ``OSError`` when the file cannot be opened or read (the
    interpreter's own errors: ``FileNotFoundError``, ``IsADirectoryError``,
    ``PermissionError``...) and ``UnreadableFile`` when its compressed
    content is damaged or an empty file is named as compressed.
    """
    data, compression, stored = read_content(path)
    text, problem = decode_text(data)
    return SourceText(text, problem, compression, len(data), stored)


def read_content(path: str | os.PathLike[str]) -> tuple[bytes | bytearray, str | None, int]:
    """The bytes of the file at ``path``, unpacked when compressed: the
    content, the compression ("gzip", "bzip2", "xz" or None) and the size
    on disk. Raises as ``read_source`` does."""
    with open(path, "rb") as f:
        data = f.read()
    stored = len(data)
    if not data:
        suffix = os.path.splitext(os.fsdecode(path))[1].lower()
        if suffix in _SUFFIXES:
            raise UnreadableFile(path, f"empty file, no {_SUFFIXES[suffix]} stream")
    content, compression = decompress(data, path)
    return content, compression, stored


def describe(exc: OSError) -> str:
    """The cause of a read or write failure in a few words, without the
    file name (the caller names the file)."""
    if isinstance(exc, UnreadableFile):
        return exc.reason
    return exc.strerror or str(exc)
