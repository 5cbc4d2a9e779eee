"""A table from bcif.tables makes its column objects when first asked for
them: whatever asks first (a table operation, another thread, a caller that
dropped everything else of the file), the table must be the one made whole."""

import gc
import threading

import msgpack
import pyarrow as pa
import pytest

from quarzel import bcif

from bcifgen import ints_column as ints, strings_column as strings

ROWS = 5
FILE = msgpack.packb({"version": "0.3.0", "encoder": "test", "dataBlocks": [
    {"header": "B", "categories": [
        {"name": "_a", "rowCount": ROWS, "columns": [
            ints("i", [1, 2, 3, 4, 5], [0, 1, 0, 2, 0]),
            strings("s", ["x", "yy" * 20], [0, 1, -1, 1, 0])]},
        {"name": "_b", "rowCount": 1, "columns": [ints("j", [7])]}]}]})
WANT = {"i": [1, None, 3, None, 5],
        "i_status": ["number", "inapplicable", "number", "unknown", "number"],
        "s": ["x", "yy" * 20, None, "yy" * 20, "x"],
        "s_status": ["text", "text", "unknown", "text", "text"]}

def whole():
    table = bcif.tables(FILE)["B"]["a"]
    table.columns
    return table


# (case, the first thing asked of a fresh table, what it must give)
FIRST_USES = [
    ("slice", lambda t: t.slice(1, 2).to_pydict(),
     {k: v[1:3] for k, v in WANT.items()}),
    ("remove a column", lambda t: t.remove_column(0).column_names, list(WANT)[1:]),
    ("add a column", lambda t: t.add_column(0, "n", pa.array([0] * ROWS)).to_pydict(),
     {"n": [0] * ROWS, **WANT}),
    ("set a column", lambda t: t.set_column(2, "z", pa.array(list("abcde"))).column("z").to_pylist(),
     list("abcde")),
    ("new metadata", lambda t: (t.replace_schema_metadata({"k": "v"}).schema.metadata,
                                t.replace_schema_metadata({"k": "v"}).to_pydict()),
     ({b"k": b"v"}, WANT)),
    ("flatten", lambda t: t.flatten().to_pydict(), WANT),
    ("validate", lambda t: (t.validate(full=True), t.validate(), t.to_pydict())[2], WANT),
    ("one column by name", lambda t: t.column("s_status").to_pylist(), WANT["s_status"]),
    ("every column", lambda t: [c.to_pylist() for c in t.columns], list(WANT.values())),
    ("a batch reader", lambda t: pa.Table.from_batches(t.to_batches()).to_pydict(), WANT),
    ("equality with one made whole", lambda t: t.equals(whole()), True),
]


@pytest.mark.parametrize("first, want", [c[1:] for c in FIRST_USES], ids=[c[0] for c in FIRST_USES])
def test_the_first_use_of_a_fresh_table_sees_it_whole(first, want):
    table = bcif.tables(FILE)["B"]["a"]
    assert first(table) == want
    assert table.to_pydict() == WANT


def test_columns_first_asked_for_after_the_rest_of_the_file_is_gone():
    gc.collect()
    before = pa.total_allocated_bytes()
    table = bcif.tables(bytearray(FILE))["B"]["a"]
    gc.collect()
    kept = table.column("s")
    del table
    gc.collect()
    assert kept.to_pylist() == WANT["s"]
    del kept
    gc.collect()
    assert pa.total_allocated_bytes() == before


def test_a_table_never_looked_into_frees_its_memory():
    gc.collect()
    before = pa.total_allocated_bytes()
    got = bcif.tables(FILE)
    assert pa.total_allocated_bytes() > before
    del got
    gc.collect()
    assert pa.total_allocated_bytes() == before


def test_threads_asking_at_once_get_one_set_of_columns():
    for _ in range(20):
        table = bcif.tables(FILE)["B"]["a"]
        seen, start = [], threading.Barrier(8)

        def ask():
            start.wait()
            seen.append([c.chunk(0).buffers()[1].address for c in table.columns])

        threads = [threading.Thread(target=ask) for _ in range(8)]
        for t in threads:
            t.start()
        for t in threads:
            t.join()
        assert len(seen) == 8 and all(s == seen[0] for s in seen)
        assert table.to_pydict() == WANT
