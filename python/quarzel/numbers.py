"""CIF numbers with standard uncertainties, and typed tables.

A CIF value such as ``5.6402(3)`` is a number with a standard uncertainty
(su) in its last digits; ``?`` means unknown and ``.`` inapplicable. The
parsing is native (``quarzel._native``): values are the correctly rounded
doubles Python's ``float()`` gives for the same digits, never a 0 or NaN
for ``?`` or ``.``.
"""

from __future__ import annotations

from collections.abc import Iterable
from typing import TYPE_CHECKING, Any

if TYPE_CHECKING:  # pragma: no cover
    import pyarrow

    from .dictionary import Dictionary

__all__ = ["number", "numbers", "typed_table"]

# Columns that parse_arrow adds to every batch: never typed.
IDENTITY_COLUMNS = frozenset(
    {"_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"})


def _native():
    from . import _native

    return _native


def number(text: str) -> tuple[int | float | None, int | float | None]:
    """``(value, su)`` of one CIF value.

    ``"5.6402(3)"`` gives ``(5.6402, 0.0003)``, ``"12(3)"`` gives ``(12, 3)``,
    ``"-4.5e-3(2)"`` gives ``(-0.0045, 0.0002)`` (the su belongs to the last
    digits of the mantissa and is scaled by the exponent), ``"1.2"`` gives
    ``(1.2, None)``. A value without decimal point and exponent is an
    ``int``, su included, exact however many digits (beyond Python's own
    limit on converting text to int, 4300 digits by default, the result is
    ``(None, None)``); otherwise both are ``float``.

    Accepted: a leading ``+`` or ``-``, ``e``/``E`` exponents, a leading or
    trailing decimal point (``.5``, ``5.``). ``"?"``, ``"."``, anything
    else (``"1.2("``, ``"nan"``, the quoted placeholder ``'"?"'``), and a
    float beyond the float64 range (``"1e400"``) give ``(None, None)``.
    """
    return _native().number(text)


def _string_chunks(values: Any) -> list:
    """The values as a list of pyarrow string arrays (no copy of arrays
    that already are strings)."""
    import pyarrow as pa

    if isinstance(values, pa.ChunkedArray):
        chunks = list(values.chunks)
    elif isinstance(values, pa.Array):
        chunks = [values]
    elif isinstance(values, (str, bytes)) or not isinstance(values, Iterable):
        raise TypeError(
            f"expected a list of str or a pyarrow string array, not {type(values).__name__}")
    else:
        chunks = [pa.array(list(values), type=pa.string())]
    out = []
    for chunk in chunks:
        t = chunk.type
        if pa.types.is_dictionary(t) and (pa.types.is_string(t.value_type)
                                          or pa.types.is_large_string(t.value_type)):
            chunk = chunk.cast(t.value_type)
        elif pa.types.is_null(t):
            chunk = chunk.cast(pa.string())
        elif not (pa.types.is_string(t) or pa.types.is_large_string(t)
                  or pa.types.is_string_view(t)):
            raise TypeError(f"expected string values, not {t}")
        out.append(chunk)
    return out


def numbers(values: Any) -> "pyarrow.StructArray":
    """The numbers of a column of CIF values, in one native pass.

    ``values``: a list of str (``None`` allowed), or a pyarrow string array
    or chunked array, for example a column of a ``parse_arrow`` batch.
    Returns a ``pyarrow.StructArray`` with the fields

    - ``value`` (float64): the number, null where the value is not one;
    - ``su`` (float64): its standard uncertainty, null where it has none;
    - ``status`` (dictionary-encoded string): ``"number"``, ``"unknown"``
      for ``?``, ``"inapplicable"`` for ``.``, ``"text"`` for anything else;
      null where the input is null.

    Each value is parsed as ``number`` does; integers are given as float64
    here (exact up to 2**53), and a value beyond the float64 range is
    ``"text"``. Large columns are read by a few threads at once, without
    the interpreter lock.
    """
    return _native().numbers(_string_chunks(values))


# ---- typed tables ----

_NUMERIC_TYPES = ("integer", "real")


def _free_name(name: str, taken: set[str]) -> str:
    while name in taken:
        name += "_"
    return name


def typed_table(table: "pyarrow.Table | pyarrow.RecordBatch",
                dictionary: "Dictionary | None" = None) -> "pyarrow.Table":
    """A table of CIF tag columns with its numeric columns as numbers.

    ``table``: a ``pyarrow.Table`` or ``RecordBatch`` whose string columns
    are CIF values (a batch of ``quarzel_core.parse_arrow``, or
    ``quarzel.loop_table``). Columns that are not strings and the identity
    columns of ``parse_arrow`` (``_block_name``, ``_loop_id``, ...) are kept
    as they are.

    Which columns become numbers: with a ``dictionary``, a column whose tag
    it defines with type ``"integer"`` or ``"real"`` (its name looked up
    as the dictionary looks up names: aliases included, case ignored); a tag
    it defines as text stays text. Without a dictionary, and for tags the
    dictionary does not define, a column becomes numeric when every value
    that is not null, ``?`` or ``.`` parses as a number, and at least one
    does. The new column is ``int64`` when every number in it is an integer
    that fits int64 (and the dictionary, if any, does not say ``"real"``),
    otherwise ``float64``.

    Uncertainties go to a column named after the tag with ``_su`` appended
    (int64 or float64 like the values), placed right after it and present
    when any value of the column has an su.

    Telling ``?`` from ``.``: every value that is not a number is null in
    the numeric column, and a dictionary-encoded string column named after
    the tag with ``_status`` appended says why: ``"unknown"`` for ``?``,
    ``"inapplicable"`` for ``.``, ``"text"`` for a value that is not a
    number in a column the dictionary types numeric, and ``"number"`` for
    the others (null where the input was null). That column is present
    when any value of the column is not a number; when it is absent every
    non-null value is a number. (Should an ``_su`` or ``_status`` name
    already be taken by a column of the table, an underscore is appended
    until it is free.)
    """
    import pyarrow as pa
    import pyarrow.compute as pc

    if isinstance(table, pa.RecordBatch):
        table = pa.Table.from_batches([table])
    elif not isinstance(table, pa.Table):
        raise TypeError(f"expected a pyarrow Table or RecordBatch, not {type(table).__name__}")
    native = _native()
    taken = set(table.column_names)
    names: list[str] = []
    columns: list = []
    for name, column in zip(table.column_names, table.columns):
        t = column.type
        if name in IDENTITY_COLUMNS or not (pa.types.is_string(t) or pa.types.is_large_string(t)
                                            or pa.types.is_string_view(t)):
            names.append(name)
            columns.append(column)
            continue
        declared = None
        if dictionary is not None:
            definition = dictionary.get(name)
            if definition is not None:
                declared = definition.type
        if declared == "text":
            names.append(name)
            columns.append(column)
            continue
        parsed = native.numbers(_string_chunks(column), True)
        status = parsed.field("status")
        counts = {c["values"]: c["counts"] for c in pc.value_counts(status.dictionary_decode())
                  .to_pylist() if c["values"] is not None}
        n_number = counts.get("number", 0)
        n_text = counts.get("text", 0)
        if declared is None and (n_text or not n_number):
            names.append(name)
            columns.append(column)
            continue
        int_values = parsed.field("int_value")
        integral = declared != "real" and len(int_values) - int_values.null_count == n_number
        if integral:
            values, sus = int_values, parsed.field("int_su")
        else:
            values, sus = parsed.field("value"), parsed.field("su")
        names.append(name)
        columns.append(values)
        if sus.null_count < len(sus):
            su_name = _free_name(name + "_su", taken)
            taken.add(su_name)
            names.append(su_name)
            columns.append(sus)
        if n_number + column.null_count < len(column):
            status_name = _free_name(name + "_status", taken)
            taken.add(status_name)
            names.append(status_name)
            columns.append(status)
    return pa.Table.from_arrays(columns, names=names)
