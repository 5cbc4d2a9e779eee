"""The text of a numeric column of a part typed by its values, from the
text kept beside the part (``OUT/.text/<table>/part-N.parquet``) and the
part's numbers.

The engine keeps a row's text only when its number cannot give it back: a
number gives back the shortest plain decimal that reads as it (a minus and
no other sign, no leading zeros, no exponent, no point without digits after
it, no zeros ending the digits after it: ``-3.125``, ``104.5``, ``12``,
``0.00001``), its su in parentheses in units of the value's last digit
(``0.3651(4)``, ``12(3)``); an int64 and a double of the same integer give
the same text. A row without kept text is that text, ``?`` or ``.`` as its
status says, or null with the row. Text kept in full (datasets written
before the engine left any out) reads the same way.
"""

from __future__ import annotations

from typing import Any, NamedTuple

# Doubles from this magnitude on are integers that do not fit int64 (but -2**63).
TWO_TO_63 = 9.223372036854775808e18
PLACEHOLDERS = (("unknown", "?"), ("inapplicable", "."))


def _plain(array: Any) -> Any:
    """One array, its dictionary (if any) decoded."""
    import pyarrow as pa

    if isinstance(array, pa.ChunkedArray):
        array = array.combine_chunks()
    return array.cast(pa.string()) if pa.types.is_dictionary(array.type) else array


def fixed_double(v: float) -> str:
    """The shortest decimal without exponent that reads as ``v``, as the
    engine writes it: an integer in full, exactly (``2**60`` is
    ``1152921504606846976``), and no ``.0``."""
    import math
    from decimal import Decimal

    if math.isinf(v) or math.isnan(v):
        return ("-" if math.copysign(1.0, v) < 0 else "") + ("inf" if math.isinf(v) else "nan")
    if v == math.floor(v):
        return ("-" if math.copysign(1.0, v) < 0 else "") + str(int(abs(v)))
    return format(Decimal(repr(v)), "f")


def _shortest_double(v: float) -> str:
    """The shortest text that reads as ``v``, fixed or with an exponent
    (``1e+20``, ``2.5e-07``), fixed on a tie: how the engine writes an su
    too large for the digits of its value."""
    from decimal import Decimal

    fixed = fixed_double(v)
    if "n" in fixed:
        return fixed
    sign, digits, exponent = Decimal(repr(v)).normalize().as_tuple()
    mantissa = "".join(map(str, digits))
    power = exponent + len(mantissa) - 1
    mantissa = mantissa[0] + ("." + mantissa[1:] if len(mantissa) > 1 else "")
    scientific = f"{'-' if sign else ''}{mantissa}e{'-' if power < 0 else '+'}{abs(power):02}"
    return scientific if len(scientific) < len(fixed) else fixed


def _double_text(values: Any, su: Any) -> Any:
    """``number_text`` of float64 values."""
    import pyarrow as pa
    import pyarrow.compute as pc

    text = values.cast(pa.string())  # the shortest digits, with an exponent out of a narrow range
    odd = pc.or_(pc.match_substring(text, "e"), pc.invert(pc.is_finite(values)))  # an exponent, inf or nan
    if pc.any(odd).as_py():
        fixed = [fixed_double(v) for v in values.filter(odd).to_pylist()]
        text = pc.replace_with_mask(text, odd, pa.array(fixed, pa.string()))
    if su is None or su.null_count == len(su):
        return text
    point = pc.find_substring(text, ".")
    decimals = pc.if_else(pc.less(point, 0), 0, pc.subtract(pc.subtract(pc.utf8_length(text), point), 1))
    # su = digits / 10^decimals, correctly rounded when read: scaled back,
    # its digits are the nearest integer (ties to even).
    scaled = pc.multiply(su, pc.power(10.0, decimals.cast(pa.float64())))
    digits = pc.round(scaled, round_mode="half_to_even")
    fits = pc.and_(pc.is_finite(digits), pc.less(pc.abs(digits), 9.2e18))
    fits = pc.fill_null(fits, True)  # rows without an su
    digit_text = pc.if_else(fits, digits, pa.scalar(None, pa.float64())).cast(pa.int64()).cast(pa.string())
    wide = pc.invert(fits)
    if pc.any(wide).as_py():
        digit_text = pc.replace_with_mask(
            digit_text, wide, pa.array([_shortest_double(s) for s in su.filter(wide).to_pylist()], pa.string()))
    return _with_su(text, digit_text)


def _with_su(text: Any, su_text: Any) -> Any:
    import pyarrow.compute as pc

    return pc.coalesce(pc.binary_join_element_wise(text, "(", su_text, ")", ""), text)


def number_text(values: Any, su: Any = None) -> Any:
    """The text numbers give back (a string array): ``values`` int64 or
    float64 without nulls, ``su`` of the same type (null where a number
    has none) or None."""
    import pyarrow as pa

    values, su = _plain(values), None if su is None else _plain(su)
    if pa.types.is_floating(values.type):
        return _double_text(values, su)
    text = values.cast(pa.string())
    if su is None or su.null_count == len(su):
        return text
    return _with_su(text, su.cast(pa.string()))


def column_text(batch: Any, kept: Any, name: str, layout: dict) -> Any:
    """The text of the numeric column ``name`` (laid out as ``layout``
    says: its type and the names of its su and status columns) of a part's
    batch, given the batch of the text kept beside it (the same rows), or
    None when nothing is kept."""
    import pyarrow as pa
    import pyarrow.compute as pc

    values = _plain(batch.column(name))
    if kept is not None and name in kept.schema.names:
        text = _plain(kept.column(name))
    else:
        text = pa.nulls(len(values), pa.string())
    given_back = pc.and_(pc.is_null(text), pc.is_valid(values))
    if pc.any(given_back).as_py():
        su = batch.column(layout["su"]) if "su" in layout else None
        made = number_text(values.filter(given_back), None if su is None else _plain(su).filter(given_back))
        text = pc.replace_with_mask(text, given_back, made.cast(text.type))
    if "status" in layout and text.null_count:
        status = _plain(batch.column(layout["status"]))
        placeholder = pa.nulls(len(values), text.type)
        for word, mark in PLACEHOLDERS:
            placeholder = pc.if_else(pc.equal(status, word), pa.scalar(mark, text.type), placeholder)
        text = pc.coalesce(text, placeholder)
    return text


class GivenBack(NamedTuple):
    """What the rows of a numeric column without kept text hold: how many
    are numbers and how many ``?`` or ``.``, whether some number has an su,
    and whether some is no integer that fits int64 (its text has a point)."""

    numbers: int
    placeholders: int
    su: bool
    fractions: bool


def given_back_kinds(part: Any, kept: Any, name: str, layout: dict) -> GivenBack:
    """``GivenBack`` of the numeric column ``name`` of a part (a table or
    batch), the text kept beside it being ``kept`` (the column, or None
    when nothing is kept): its kinds without making its text."""
    import pyarrow as pa
    import pyarrow.compute as pc

    values = _plain(part.column(name))
    no_text = pc.is_null(_plain(kept)) if kept is not None else pc.is_null(pa.nulls(len(values)))

    def count(mask: Any) -> int:
        return pc.sum(mask).as_py() or 0

    numbers = pc.and_(no_text, pc.is_valid(values))
    placeholders = 0
    if "status" in layout:
        status = _plain(part.column(layout["status"]))
        placeholder = pc.is_in(status, value_set=pa.array([word for word, _ in PLACEHOLDERS]))
        placeholders = count(pc.and_(no_text, placeholder))
    su = "su" in layout and count(pc.and_(numbers, pc.is_valid(_plain(part.column(layout["su"]))))) > 0
    fractions = False
    if pa.types.is_floating(values.type):
        wide = pc.or_(pc.greater_equal(values, TWO_TO_63), pc.less(values, -TWO_TO_63))
        odd = pc.or_(pc.not_equal(pc.floor(values), values), wide)
        fractions = count(pc.and_(numbers, odd)) > 0
    return GivenBack(count(numbers), placeholders, su, fractions)
