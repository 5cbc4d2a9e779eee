"""bcif.tables builds each category's Arrow objects in shared per-category
storage and reads files into a buffer kept between calls: the tables must
be valid whatever their shape, a column must outlive its table, nothing
may stay allocated once everything is dropped, and reading a path must give
what reading its bytes gives."""

import gc
import gzip
import struct

import msgpack
import pyarrow as pa
import pytest

from quarzel import bcif

from bcifgen import column, ints_column as ints, strings_column as strings


def document(categories):
    return msgpack.packb({"version": "0.3.0", "encoder": "test", "dataBlocks": [
        {"header": "B", "categories": [
            {"name": name, "rowCount": rows, "columns": columns}
            for name, rows, columns in categories]}]})


BIG = 200_000  # rows of more than 2 MiB of buffers

# (case, categories, {category: {column: values}})
SHAPES = [
    ("zero rows", [("_e", 0, [ints("i", []), strings("s", [], [])])],
     {"e": {"i": [], "s": []}}),
    ("every cell masked", [("_m", 3, [ints("i", [0, 0, 0], [1, 2, 1]),
                                      strings("s", ["x"], [0, 0, 0], [2, 2, 2])])],
     {"m": {"i": [None] * 3, "i_status": ["inapplicable", "unknown", "inapplicable"],
            "s": [None] * 3, "s_status": ["unknown"] * 3}}),
    ("strings without an index", [("_n", 2, [strings("s", ["a"], [-1, -1])])],
     {"n": {"s": [None, None], "s_status": ["unknown", "unknown"]}}),
    ("long and short strings", [("_t", 3, [strings("s", ["a" * 40, "", "bc"], [0, 1, 2])])],
     {"t": {"s": ["a" * 40, "", "bc"]}}),
    ("many categories", [(f"_c{k}", k % 3, [ints("v", list(range(k % 3)))])
                         for k in range(400)],
     {f"c{k}": {"v": list(range(k % 3))} for k in range(400)}),
    # Megabytes of buffers: storage of its own, aligned for huge pages.
    ("megabytes", [("_g", BIG, [ints("i", list(range(BIG)), [k % 3 for k in range(BIG)]),
                                strings("s", ["ab", "cde"], [k % 2 for k in range(BIG)])])],
     {"g": {"i": [None if k % 3 else k for k in range(BIG)],
            "i_status": [["number", "inapplicable", "unknown"][k % 3] for k in range(BIG)],
            "s": [["ab", "cde"][k % 2] for k in range(BIG)]}}),
    ("many columns", [("_w", 2, [ints(f"v{k}", [k, -k], [0, k % 3]) for k in range(150)])],
     {"w": {name: values for k in range(150) for name, values in
            [(f"v{k}", [k, None if k % 3 else -k])] +
            ([(f"v{k}_status", ["number", ["", "inapplicable", "unknown"][k % 3]])]
             if k % 3 else [])}}),
]


@pytest.mark.parametrize("categories, want", [s[1:] for s in SHAPES], ids=[s[0] for s in SHAPES])
def test_tables_of_every_shape_are_valid_and_freed(categories, want):
    gc.collect()
    before = pa.total_allocated_bytes()
    got = bcif.tables(document(categories))["B"]
    assert list(got) == list(want)
    for name, columns in want.items():
        got[name].validate(full=True)
        assert got[name].to_pydict() == columns, name
    # One column kept: its values stay while the rest of its table goes.
    name = next(iter(want))
    table = got[name]
    kept = table.column(0).chunk(0)
    values = kept.to_pylist()
    buffers = [b.to_pybytes() if b is not None else None for b in kept.buffers()]
    del got, table
    gc.collect()
    assert kept.to_pylist() == values
    assert [b.to_pybytes() if b is not None else None for b in kept.buffers()] == buffers
    del kept
    gc.collect()
    assert pa.total_allocated_bytes() == before


def test_a_path_gives_what_its_bytes_give(tmp_path):
    # Files of growing sizes (the kept buffer grows), then smaller ones,
    # compressed and not: each as its bytes give it.
    files = []
    for k in [1, 50, 3000, 20, 70000, 5]:
        data = document([("_x", k, [ints("v", list(range(k))),
                                    strings("s", ["p", "qq"], [i % 2 for i in range(k)])])])
        plain = tmp_path / f"{k}.bcif"
        plain.write_bytes(data)
        packed = tmp_path / f"{k}.bcif.gz"
        packed.write_bytes(gzip.compress(data))
        files += [(plain, data), (packed, data)]
    for path, data in files:
        got, want = bcif.tables(path), bcif.tables(data)
        assert got.keys() == want.keys()
        assert got["B"]["x"].equals(want["B"]["x"]), path
        assert bcif.tables(str(path))["B"]["x"].equals(want["B"]["x"]), path


def test_an_empty_file_fails_as_empty_bytes_do(tmp_path):
    empty = tmp_path / "empty.bcif"
    empty.write_bytes(b"")
    with pytest.raises(bcif.BinaryCIFError) as from_bytes:
        bcif.tables(b"")
    with pytest.raises(bcif.BinaryCIFError) as from_path:
        bcif.tables(empty)
    assert str(from_path.value) == str(from_bytes.value)


def uint32s(name, values):
    return column(name, struct.pack(f"<{len(values)}I", *values),
                  [{"kind": "ByteArray", "type": 6}])


def fixed(name, values):
    return column(name, struct.pack(f"<{len(values)}i", *values),
                  [{"kind": "FixedPoint", "factor": 100, "srcType": 3},
                   {"kind": "ByteArray", "type": 3}])


# (case, column, column name, buffer index): one buffer of one column of
# each kind (its validity bitmap, values, offsets, text, status indices)
# is all that stays of a category's tables; its bytes must stay readable
# while every other Arrow object of the category is gone, and be freed after.
LONE_BUFFERS = [
    ("int32 values", ints("v", [5, -6, 7]), "v", 1),
    ("int32 validity", ints("v", [5, 0, 7], [0, 2, 0]), "v", 0),
    ("int64 values", uint32s("v", [1, 4000000000, 3]), "v", 1),
    ("fixed-point values", fixed("v", [150, -25, 3]), "v", 1),
    ("string offsets", strings("s", ["ab", "c"], [0, 1, 0]), "s", 1),
    ("string text", strings("s", ["ab", "c" * 30], [1, 0, 1]), "s", 2),
    ("status indices", strings("s", ["ab"], [0, 0, 0], [0, 1, 2]), "s_status", 1),
    ("megabytes of values", ints("v", list(range(3 * BIG))), "v", 1),
]


@pytest.mark.parametrize("col, name, index", [c[1:] for c in LONE_BUFFERS],
                         ids=[c[0] for c in LONE_BUFFERS])
def test_a_lone_buffer_outlives_the_rest_of_its_category(col, name, index):
    gc.collect()
    before = pa.total_allocated_bytes()
    # Beside other categories and columns, so that the category's storage
    # holds more than the one buffer.
    rows = len(col["data"]["data"]) // 4  # every case's data: 4 bytes a row
    data = document([("_a", rows, [ints("x", [1, 2, 3] + list(range(rows - 3))), col]),
                     ("_b", 1, [ints("y", [9])])])
    got = bcif.tables(data)["B"]
    chunk = got["a"].column(name).chunk(0)
    buffer = chunk.buffers()[index]
    want = buffer.to_pybytes()
    del got, chunk
    gc.collect()
    assert pa.total_allocated_bytes() > before
    assert buffer.to_pybytes() == want
    del buffer
    gc.collect()
    assert pa.total_allocated_bytes() == before
