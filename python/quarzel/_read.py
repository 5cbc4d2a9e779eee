"""Convenience readers on top of the native module."""

from __future__ import annotations

import json
import os
from typing import TYPE_CHECKING, Any, NamedTuple

from ._files import (_looks_like_path, decode_text, decompress,  # noqa: F401 (kept here too)
                     mode_argument, read_content, read_source)
from .bcif import is_bcif, read_bytes
from .types import ParseError

if TYPE_CHECKING:  # pragma: no cover
    import pandas
    import pyarrow

    from .cifmodel.model import CifBlock, CifFile, CifSaveFrame
    from .dictionary import Dictionary

__all__ = ["ReadResult", "read", "read_text", "loop_tags", "loop_table", "loop_dataframe"]


class ReadResult(NamedTuple):
    """A document and every problem found while reading it."""

    cif: "CifFile"
    errors: list[ParseError]




def read_text(path: str | os.PathLike[str]) -> str:
    """The whole file as text: unpacked when it is gzip, bzip2 or xz, decoded
    as UTF-8 or, when it is not valid UTF-8, as Latin-1 (a byte order mark is
    kept either way, and the reader drops it). ``read`` also reports where
    the UTF-8 failed."""
    return read_source(path).text


def read(source: str | os.PathLike[str] | bytes, *, strict: bool = False) -> ReadResult:
    """Read a CIF document from a path, from CIF text or from a file's bytes.

    ``source`` is taken as a path when it is a path object, a one-line
    string naming an existing file, or a single word that cannot begin a CIF
    document (so ``read("missing.cif")`` raises ``FileNotFoundError``);
    anything else is CIF text. A file may be
    compressed with gzip, bzip2 or xz (recognised by its first bytes), and may
    be BinaryCIF (recognised by its content, see ``quarzel.bcif``). A
    file that is not valid UTF-8 is read as Latin-1, and a "lexical" problem
    first in the list gives the line and column of its first byte that is
    not UTF-8. Returns the object model (``CifFile``) and the list of
    problems as ``ParseError`` objects. Problems in the text never raise; a
    file that cannot be read raises ``OSError`` (``UnreadableFile`` for a
    damaged compressed file).
    """
    import quarzel_core

    problem = None
    if isinstance(source, os.PathLike) or (isinstance(source, str) and _looks_like_path(source)):
        data = read_content(source)[0]
        if is_bcif(data):
            return read_bytes(data)
        text, problem = decode_text(data)
    elif isinstance(source, str):
        text = source
    elif isinstance(source, (bytes, bytearray, memoryview)):
        data = decompress(bytes(source) if isinstance(source, memoryview) else source)[0]
        if is_bcif(data):
            return read_bytes(data)
        text, problem = decode_text(data)
    else:
        raise TypeError(f"expected a path, CIF text or bytes, not {type(source).__name__}")
    cif, errors = quarzel_core.parse_cif(text, mode_argument(strict))
    if problem is not None:
        errors.insert(0, problem)
    return ReadResult(cif, [ParseError(**e) for e in errors])


def loop_tags(block: "CifBlock | CifSaveFrame", key: str,
              dictionary: "Dictionary | None" = None) -> list[str]:
    """The tags of the loop of ``block`` that holds the tag ``key``, or else
    the tags of the category ``key`` (``_atom_site``, ``_atom_site.`` or
    ``atom_site``) in the first loop that has any.

    A tag's category is exactly the text before its dot (``_atom_site``
    matches ``_atom_site.id`` but not ``_atom_site_anisotrop.id``); a tag
    without a dot takes the category that ``dictionary`` gives it, or else
    the longest common prefix ending at an underscore of its loop's other
    dotless tags (``_atom_site_label`` and ``_atom_site_fract_x``:
    ``atom_site``), as ``quarzel convert`` names its tables. Comparisons
    ignore case. Raises KeyError when no loop matches."""
    from ._categories import category_key, loop_categories

    wanted = key.lower()
    for tags in block.loops:
        if any(t.lower() == wanted for t in tags):
            return list(tags)
    category = category_key(key)
    for tags in block.loops:
        matching = [t for t, c in zip(tags, loop_categories(tags, dictionary)) if c == category]
        if matching:
            return matching
    raise KeyError(key)


def _cell(value: Any) -> str:
    if isinstance(value, str):
        return value
    return json.dumps(value, ensure_ascii=False)


def loop_table(block: "CifBlock | CifSaveFrame", key: str, *, numbers: bool = False,
               dictionary: "Dictionary | None" = None) -> "pyarrow.Table":
    """One loop of a block as a pyarrow Table of strings, one column per tag
    (list and table values as JSON text).

    ``key`` is a tag of the loop or its category, as ``loop_tags`` finds
    it (with the ``dictionary``'s categories for tags without a dot). With
    ``numbers=True``, or a ``dictionary`` (``quarzel.Dictionary``), numeric
    columns become int64/float64 with their ``_su``, ``_status`` and
    ``_text`` columns, as ``quarzel.typed_table`` describes."""
    import pyarrow as pa

    tags = loop_tags(block, key, dictionary)
    names: list[str] = []
    columns = []
    for tag in tags:
        if tag in names:
            continue
        names.append(tag)
        columns.append(pa.array([_cell(v) for v in block[tag]], type=pa.string()))
    table = pa.Table.from_arrays(columns, names=names)
    if numbers or dictionary is not None:
        from .numbers import typed_table

        table = typed_table(table, dictionary)
    return table


def loop_dataframe(block: "CifBlock | CifSaveFrame", key: str, *, numbers: bool = False,
                   dictionary: "Dictionary | None" = None) -> "pandas.DataFrame":
    """One loop of a block as a pandas DataFrame (see ``loop_table``).

    Numeric columns use pandas' nullable dtypes ``Int64`` and ``Float64``:
    integers stay exact whatever their size, and a value that is not a
    number (``?``, ``.``) is ``pandas.NA``, never NaN."""
    from .numbers import pandas_dtype

    table = loop_table(block, key, numbers=numbers, dictionary=dictionary)
    return table.to_pandas(types_mapper=pandas_dtype)
