"""bcif.tables hands its Arrow C++ tables to pyarrow two ways, which give the
same tables: pyarrow's own wrapping (when pyarrow runs on this module's Arrow
library) and the Arrow C data interface (otherwise; a fresh interpreter
without pyarrow's table wrapping takes it). Every buffer is sized as Arrow
expects, and repeated block headers and categories keep the first."""

import pickle
import subprocess
import sys

import msgpack
import pytest

from quarzel import bcif

import testdata
from bcifgen import ints_column as ints

BCIF_FILES = testdata.files((".bcif",))

CHILD = """
import pickle, sys
import pyarrow.lib
if sys.argv[1] == "c-data":
    del pyarrow.lib.__pyx_capi__["pyarrow_wrap_table"]
from quarzel import bcif
out = [bcif.tables(p) for p in sys.argv[2:]]
sys.stdout.buffer.write(pickle.dumps(out))
"""


def document(*blocks):
    return msgpack.packb({"version": "0.3.0", "encoder": "test", "dataBlocks": [
        {"header": header, "categories": [
            {"name": name, "rowCount": len(values), "columns": [ints("v", values, mask)]}
            for name, values, mask in categories]}
        for header, categories in blocks]})


@pytest.mark.parametrize("way", ["direct", "c-data"])
def test_both_ways_give_the_same_valid_tables(way, tmp_path):
    masked = tmp_path / "masked.bcif"
    masked.write_bytes(document(("M", [("_c", [1, 0, 0, 4], [0, 1, 2, 0])])))
    paths = [*BCIF_FILES, masked]
    done = subprocess.run([sys.executable, "-c", CHILD, way, *map(str, paths)],
                          capture_output=True, check=True)
    got = pickle.loads(done.stdout)
    for path, tables in zip(paths, got, strict=True):
        want = bcif.tables(path)
        assert tables.keys() == want.keys(), path
        for block in want:
            assert list(tables[block]) == list(want[block]), path
            for name, table in want[block].items():
                table.validate(full=True)
                assert tables[block][name].equals(table, check_metadata=True), (path, name)


def test_repeated_headers_and_categories_keep_the_first():
    data = document(("A", [("_x", [1], None), ("_y", [2], None), ("x", [3], None)]),
                    ("B", [("_x", [4], None)]),
                    ("A", [("_y", [5], None), ("_z", [6, 7], [0, 2])]))
    got = bcif.tables(data)
    assert list(got) == ["A", "B"]
    assert list(got["A"]) == ["x", "y", "z"]
    assert {k: t.column("v").to_pylist() for k, t in got["A"].items()} == {
        "x": [1], "y": [2], "z": [6, None]}
    assert got["A"]["z"].column("v_status").to_pylist() == ["number", "unknown"]
    assert got["B"]["x"].column("v").to_pylist() == [4]


def test_tables_outlive_each_other_and_share_schemas():
    first = bcif.tables(document(("A", [("_x", [1, 2], [0, 1])])))
    second = bcif.tables(document(("A", [("_x", [3, 4], [2, 0])])))
    assert first["A"]["x"].schema.equals(second["A"]["x"].schema)
    column = second["A"]["x"].column("v_status")
    del first, second
    assert column.to_pylist() == ["unknown", "number"]
