"""bcif.tables turns masks into validity bitmaps eight rows at a time and
copies the text of string rows with or without a mask to skip, short
strings whole: masked cells must land on the right rows whatever the row
count, and the text of the others must be theirs."""

import msgpack
import pytest

from quarzel import bcif

from bcifgen import ints_column as ints, strings_column as strings


def document(categories):
    return msgpack.packb({"version": "0.3.0", "encoder": "test", "dataBlocks": [
        {"header": "B", "categories": [
            {"name": name, "rowCount": rows, "columns": columns}
            for name, rows, columns in categories]}]})


STATUS = {1: "inapplicable", 2: "unknown"}


# (case, mask): the rows around each multiple of eight, and masks whose
# masked rows fall first, last, alone or in whole bytes of the bitmap.
MASKS = [
    ("one row masked", [2]),
    ("seven rows, the last masked", [0] * 6 + [1]),
    ("eight rows, the first masked", [1] + [0] * 7),
    ("eight rows, every other masked", [0, 2] * 4),
    ("nine rows, the ninth masked", [0] * 8 + [2]),
    ("nine rows, all but the ninth masked", [1] * 8 + [0]),
    ("sixteen rows, the second byte masked", [0] * 8 + [1] * 8),
    ("seventeen rows, a byte's edges masked", [0] * 7 + [2, 1] + [0] * 7 + [1]),
    ("a long mixed mask", [(r * 7) % 3 if r % 5 else 0 for r in range(203)]),
    # Whole bytes of masked rows are passed over at once: the text must go
    # on where it stopped, whatever masks them and whatever comes after.
    ("sixteen rows, all masked", [1, 2] * 8),
    ("a byte masked between two with values", [0] * 8 + [2, 1] * 4 + [0] * 8),
    ("whole masked bytes, then a lone value in the last", [1] * 16 + [2] * 7 + [0]),
    ("mostly masked, a value every thirteenth row", [0 if r % 13 == 0 else 2 for r in range(100)]),
]


# (case, distinct strings): every one of 8 bytes at most (copied whole), or
# some longer (copied from the string data), the longest last.
WORDS = [
    ("short strings", ["a", "", "bc", "12345678"]),
    ("one of nine bytes", ["a", "123456789", "", "xy"]),
    ("long strings", ["a", "b" * 16, "c" * 17, "", "d" * 40]),
]


@pytest.mark.parametrize("words", [w[1] for w in WORDS], ids=[w[0] for w in WORDS])
@pytest.mark.parametrize("mask", [m[1] for m in MASKS], ids=[m[0] for m in MASKS])
def test_masked_cells_are_null_on_their_rows(mask, words):
    rows = len(mask)
    values = [r * 3 - 5 for r in range(rows)]
    index = [r % len(words) for r in range(rows)]
    table = bcif.tables(document([("_m", rows, [ints("i", values, mask),
                                                strings("s", words, index, mask)])]))["B"]["m"]
    table.validate(full=True)
    got = table.to_pydict()
    assert got["i"] == [None if m else v for v, m in zip(values, mask)]
    assert got["s"] == [None if m else words[k] for k, m in zip(index, mask)]
    for name in ["i", "s"]:
        kind = "number" if name == "i" else "text"
        assert got[f"{name}_status"] == [STATUS.get(m, kind) for m in mask]
        assert table.column(name).null_count == sum(1 for m in mask if m)


# (case, columns as (name, masked), column names of the table): a status
# column takes its column's name and "_status", with "_" added until no
# other column of the category (before or after it) has that name.
STATUS_NAMES = [
    ("no clash", [("v", True), ("w", False)], ["v", "v_status", "w"]),
    ("clash with a later column", [("v", True), ("v_status", False)],
     ["v", "v_status_", "v_status"]),
    ("clash with an earlier column", [("v_status", False), ("v", True)],
     ["v_status", "v", "v_status_"]),
    ("clash with a column and with a status column",
     [("v", True), ("v_status", True), ("v_status_", False)],
     ["v", "v_status__", "v_status", "v_status_status", "v_status_"]),
    ("clash with another status column", [("v_status", True), ("v", True)],
     ["v_status", "v_status_status", "v", "v_status_"]),
    ("many masked columns, long names",
     [(f"a_rather_long_column_name_{k}", True) for k in range(40)],
     [n for k in range(40) for n in (f"a_rather_long_column_name_{k}",
                                     f"a_rather_long_column_name_{k}_status")]),
]


@pytest.mark.parametrize("columns, names", [c[1:] for c in STATUS_NAMES],
                         ids=[c[0] for c in STATUS_NAMES])
def test_status_columns_take_a_free_name(columns, names):
    cols = [ints(name, [1, 2], [0, 2] if masked else None) for name, masked in columns]
    table = bcif.tables(document([("_c", 2, cols)]))["B"]["c"]
    assert table.column_names == names
    for name, masked in columns:
        got = table.column(name).to_pylist()
        assert got == ([1, None] if masked else [1, 2]), name
    for name in names:
        if name not in {n for n, _ in columns}:
            assert table.column(name).to_pylist() == ["number", "unknown"], name


# (case, indices, mask or None): a string index of -1 names no string, and
# such a row reads as unknown unless its mask says otherwise; rows are
# marked many at a time, so runs past sixteen rows and their tails count.
NO_STRING = [
    ("unmasked, no mask given", [0, -1, 1], None),
    ("masked inapplicable stays inapplicable", [-1, 0, -1], [1, 0, 0]),
    ("masked unknown stays unknown", [-1, -1], [2, 0]),
    ("every row of a long column", [-1] * 37, None),
    ("every third row of a long column, some masked",
     [-1 if r % 3 == 0 else r % 2 for r in range(41)], [1 if r % 9 == 0 else 0 for r in range(41)]),
]


@pytest.mark.parametrize("index, mask", [c[1:] for c in NO_STRING], ids=[c[0] for c in NO_STRING])
def test_rows_without_a_string_are_unknown_unless_masked(index, mask):
    words = ["a", "bc"]
    rows = len(index)
    table = bcif.tables(document([("_n", rows, [strings("s", words, index, mask)])]))["B"]["n"]
    given = mask or [0] * rows
    status = [STATUS[m] if m else ("unknown" if k < 0 else "text") for k, m in zip(index, given)]
    got = table.to_pydict()
    assert got["s"] == [None if m or k < 0 else words[k] for k, m in zip(index, given)]
    assert got["s_status"] == status
