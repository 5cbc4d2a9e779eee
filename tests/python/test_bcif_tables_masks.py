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
