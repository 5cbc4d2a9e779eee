"""Writing CIF text: ``dumps`` and ``dump``.

The text is made natively in one pass over the document (``quarzel._native``);
this module settles the arguments and writes files safely (a temporary file
beside the target, renamed when complete; ``.gz`` paths compressed).
"""

from __future__ import annotations

import gzip
import os
from typing import Any

import quarzel_core

from . import _native
from ._atomic import check_folder, replacing
from .types import CifVersion

__all__ = ["dump", "dumps"]

STYLES = ("plain", "pdbx")


def _kind(obj: Any) -> str:
    if isinstance(obj, quarzel_core.CifFile):
        return "file"
    if isinstance(obj, quarzel_core.CifBlock):
        return "block"
    if isinstance(obj, quarzel_core.CifSaveFrame):
        return "frame"
    if isinstance(obj, dict) and "blocks" in obj:
        return "raw"
    raise TypeError(
        "obj must be a CifFile, CifBlock, CifSaveFrame or parse_raw result, "
        f"not {type(obj).__name__!r}"
    )


def _version(obj: Any, kind: str, version: Any) -> str | None:
    """'1.1', '2.0', or None: CIF 1.1 unless the content needs CIF 2.0."""
    if version is None:
        if kind == "file" and obj.version.name == "CIF_2_0":
            return "2.0"
        if kind == "raw" and obj.get("version") == "CIF_2_0":
            return "2.0"
        return None
    if isinstance(version, CifVersion):
        return "2.0" if version is CifVersion.CIF_2_0 else "1.1"
    if version in ("1.1", "2.0"):
        return version
    raise ValueError(f"version must be None, '1.1', '2.0' or a CifVersion, not {version!r}")


def dumps(obj: Any, *, version: Any = None, style: str = "plain", line_limit: int = 2048,
          format: str = "cif", dictionary: Any = None) -> Any:
    """The CIF text of ``obj``: a ``CifFile``, a ``CifBlock``, a
    ``CifSaveFrame`` (written as a save frame inside a data block of the
    frame's name: a save frame stands only in a data block) or a
    ``parse_raw`` result.

    ``version``: ``None`` (CIF 2.0 when the document was read as CIF 2.0 or
    holds a list, a table or a character outside ASCII, else CIF 1.1),
    ``"1.1"``, ``"2.0"`` or a ``CifVersion``. ``style``: ``"plain"`` or
    ``"pdbx"``. No line is longer than ``line_limit`` code points.

    Content the version cannot hold (or no version: control characters,
    noncharacters), names that break CIF rules, a tag given twice, an empty
    loop and values that are not str, list or dict raise ``ValueError`` or
    ``TypeError`` naming the block, save frame and tag. The reader's recovery
    tag ``_quarzel_error_value`` (values it found without a tag) is not
    written.

    ``format="bcif"`` gives BinaryCIF ``bytes`` instead (``dictionary``, a
    ``quarzel.Dictionary``, then types and spells the columns; see
    ``quarzel.bcif.dumps``).
    """
    if format == "bcif":
        from . import bcif

        return bcif.dumps(obj, dictionary=dictionary)
    if format != "cif":
        raise ValueError(f"format must be 'cif' or 'bcif', not {format!r}")
    kind = _kind(obj)
    if style not in STYLES:
        raise ValueError(f"style must be 'plain' or 'pdbx', not {style!r}")
    if isinstance(line_limit, bool) or not isinstance(line_limit, int):
        raise TypeError(f"line_limit must be an int, not {type(line_limit).__name__!r}")
    return _native.write_cif(obj, kind, _version(obj, kind, version), style == "pdbx", line_limit)


def dump(
    obj: Any,
    path: str | os.PathLike[str],
    *,
    version: Any = None,
    style: str = "plain",
    line_limit: int = 2048,
    format: str | None = None,
    dictionary: Any = None,
) -> None:
    """Write ``dumps(obj, ...)`` to ``path``: into a temporary file beside it,
    renamed to ``path`` when complete, so that a failure leaves an existing
    file untouched. A path ending in ``.gz`` (any case) is written
    gzip-compressed; a symbolic link is written through (the file it points
    to gets the text). ``format`` is "cif" or "bcif"; by default "bcif" for
    a path ending in ``.bcif`` or ``.bcif.gz``, else "cif"."""
    check_folder(path)
    path = os.fspath(path)
    if format is None:
        format = "bcif" if path.lower().endswith((".bcif", ".bcif.gz")) else "cif"
    if format == "bcif":
        from . import bcif

        write_bytes(bcif.dumps(obj, dictionary=dictionary), path)
        return
    text = dumps(obj, version=version, style=style, line_limit=line_limit, format=format)
    write_text(text, path)


def write_bytes(data: bytes, path: str) -> None:
    """Write ``data`` to ``path`` through a temporary file beside it (gzip-
    compressed when ``path`` ends in ``.gz``)."""
    write_text(data, path)


def write_text(text: str | bytes, path: str) -> None:
    """Write ``text`` as UTF-8 (or bytes as they are) to ``path`` through a
    temporary file beside it."""
    with replacing(path) as temp, open(temp, "wb") as raw:
        if path.lower().endswith(".gz"):
            with gzip.GzipFile(filename=os.path.basename(path), mode="wb", fileobj=raw) as f:
                _write_pieces(text, f)
        else:
            _write_pieces(text, raw)


def _write_pieces(text: str | bytes, f: Any) -> None:
    if isinstance(text, bytes):
        f.write(text)
        return
    # Encoded a piece at a time: the text is not held twice.
    step = 1 << 22
    for at in range(0, len(text), step):
        f.write(text[at : at + step].encode("utf-8"))
