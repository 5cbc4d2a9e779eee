"""CIF numbers with standard uncertainties, and typed tables.

A CIF value such as ``5.6402(3)`` is a number with a standard uncertainty
(su) in its last digits; ``?`` means unknown and ``.`` inapplicable. The
parsing is native (``quarzel._native``): values are the correctly rounded
doubles Python's ``float()`` gives for the same digits, never a 0 or NaN
for ``?`` or ``.``.
"""

from __future__ import annotations

import _thread

TYPE_CHECKING = False
if TYPE_CHECKING:  # pragma: no cover
    from typing import Any

    import pyarrow

    from .dictionary import Dictionary

__all__ = ["ColumnCounts", "ColumnPlan", "number", "numbers", "pandas_dtype", "text_cells",
           "typed_columns", "typed_table"]

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
    elif isinstance(values, (str, bytes)) or not _iterable(values):
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


def _iterable(values: Any) -> bool:
    from collections.abc import Iterable

    return isinstance(values, Iterable)


_plan_lock = _thread.allocate_lock()


def _column_plan() -> type:
    """ColumnPlan, made on first use: typing, which makes it, costs a short
    process (`import quarzel`, `quarzel validate`) more than the rest of
    this module."""
    with _plan_lock:
        plan = globals().get("ColumnPlan")
        if plan is None:
            from typing import NamedTuple

            # A call rather than a class body, whose annotations would make
            # typing.NamedTuple import annotationlib.
            plan = NamedTuple("ColumnPlan", [("integers", bool), ("su", bool), ("status", bool),
                                             ("text", bool)])
            plan.__doc__ = """How one text column becomes numbers: as int64 (else float64), and
which of the ``_su``, ``_status`` and ``_text`` columns stand beside it."""
            globals()["ColumnPlan"] = plan
    return plan


def __getattr__(name: str) -> Any:
    if name == "ColumnPlan":
        return _column_plan()
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")


def __dir__() -> list[str]:
    return sorted({*globals(), "ColumnPlan"})


class ColumnCounts:
    """What the values of one column hold, added up over its parts (the
    chunks of a table, or the part files of a dataset's table), and the
    ``ColumnPlan`` that follows from it, so that every part of a table is
    typed alike.

    ``add(column)`` parses one part (a pyarrow string array or chunked
    array) and returns the parsed values, a ``StructArray`` with the fields
    ``value``, ``su`` (float64), ``status`` (as ``numbers`` gives it),
    ``int_value`` and ``int_su`` (int64, null where the value is not an
    integer that fits); ``plan(declared)`` decides."""

    __slots__ = ("cells", "numbers", "texts", "integral", "su")

    def __init__(self) -> None:
        self.cells = 0  # values that are not null
        self.numbers = 0
        self.texts = 0  # values that are neither numbers nor ? or .
        self.integral = True  # every number is an integer that fits int64
        self.su = False  # some number has an su

    def add(self, column: Any) -> "pyarrow.StructArray":
        import pyarrow.compute as pc

        parsed = _native().numbers(_string_chunks(column), True)
        status = parsed.field("status")
        labels = status.dictionary.to_pylist()
        counts = {labels[c["values"]]: c["counts"]
                  for c in pc.value_counts(status.indices).to_pylist() if c["values"] is not None}
        n_number = counts.get("number", 0)
        self.cells += len(parsed) - status.null_count
        self.numbers += n_number
        self.texts += counts.get("text", 0)
        ints = parsed.field("int_value")
        self.integral = self.integral and len(ints) - ints.null_count == n_number
        self.su = self.su or parsed.field("su").null_count < len(parsed)
        return parsed

    def plan(self, declared: str | None = None) -> ColumnPlan | None:
        """The plan for a column whose tag a dictionary types ``declared``
        (``"integer"``, ``"real"``, ``"text"``, or ``None`` when no
        dictionary defines it), or ``None`` when the column stays text: the
        dictionary says text, or, undeclared, some value is text or none is
        a number."""
        if declared is not None and declared not in _NUMERIC_TYPES:
            return None
        if declared is None and (self.texts or not self.numbers):
            return None
        return _column_plan()(integers=self.integral and declared != "real", su=self.su,
                          status=self.numbers < self.cells, text=self.texts > 0)


def text_cells(column: Any, parsed: "pyarrow.StructArray") -> Any:
    """The original text of the values whose status is ``"text"`` (a
    pyarrow array of the column's string type), null for every other
    value. ``parsed``: the column's values as ``ColumnCounts.add`` gives
    them."""
    import pyarrow as pa
    import pyarrow.compute as pc

    status = parsed.field("status")
    text = status.dictionary.to_pylist().index("text")
    if isinstance(column, pa.ChunkedArray):
        column = column.combine_chunks()
    return pc.if_else(pc.equal(status.indices, text), column, pa.scalar(None, column.type))


def typed_columns(name: str, column: Any, parsed: "pyarrow.StructArray", plan: ColumnPlan,
                  taken: set[str]) -> list[tuple[str, Any]]:
    """The columns that stand for the text column ``name`` under ``plan``:
    ``(name, values)``, then ``_su``, ``_status`` and ``_text`` as the plan
    asks, each named after the tag with an underscore appended until it is
    not in ``taken`` (which receives the names used)."""
    if plan.integers:
        values, sus = parsed.field("int_value"), parsed.field("int_su")
    else:
        values, sus = parsed.field("value"), parsed.field("su")
    out = [(name, values)]
    extras = [("_su", plan.su, lambda: sus),
              ("_status", plan.status, lambda: parsed.field("status")),
              ("_text", plan.text, lambda: text_cells(column, parsed))]
    for suffix, wanted, make in extras:
        if wanted:
            extra = _free_name(name + suffix, taken)
            taken.add(extra)
            out.append((extra, make()))
    return out


def pandas_dtype(arrow_type: "pyarrow.DataType") -> Any:
    """The pandas dtype for a typed column (``types_mapper`` of
    ``pyarrow.Table.to_pandas``): nullable ``Int64`` and ``Float64`` for
    int64 and float64, so that integers stay exact and a missing value is
    ``pandas.NA``, never NaN; ``None`` (pyarrow's choice) for the others."""
    import pandas as pd
    import pyarrow as pa

    if arrow_type == pa.int64():
        return pd.Int64Dtype()
    if arrow_type == pa.float64():
        return pd.Float64Dtype()
    return None


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
    non-null value is a number.

    Nothing is lost: when some value of a numeric column is text, a string
    column named after the tag with ``_text`` appended follows the
    ``_status`` column and holds the original text of exactly those values
    (null for every other). (Should an ``_su``, ``_status`` or ``_text``
    name already be taken by a column of the table, an underscore is
    appended until it is free.)
    """
    import pyarrow as pa

    if isinstance(table, pa.RecordBatch):
        table = pa.Table.from_batches([table])
    elif not isinstance(table, pa.Table):
        raise TypeError(f"expected a pyarrow Table or RecordBatch, not {type(table).__name__}")
    taken = set(table.column_names)
    names: list[str] = []
    columns: list = []
    for name, column in zip(table.column_names, table.columns):
        t = column.type
        declared = None
        if dictionary is not None and name not in IDENTITY_COLUMNS:
            definition = dictionary.get(name)
            if definition is not None:
                declared = definition.type
        if name in IDENTITY_COLUMNS or declared == "text" or not (
                pa.types.is_string(t) or pa.types.is_large_string(t)
                or pa.types.is_string_view(t)):
            names.append(name)
            columns.append(column)
            continue
        counts = ColumnCounts()
        parsed = counts.add(column)
        plan = counts.plan(declared)
        if plan is None:
            names.append(name)
            columns.append(column)
            continue
        for new_name, new_column in typed_columns(name, column, parsed, plan, taken):
            names.append(new_name)
            columns.append(new_column)
    return pa.Table.from_arrays(columns, names=names)
