"""The two ways parse_arrow's batches reach pyarrow give the same batches:
pyarrow's own wrapping of Arrow C++ batches (when pyarrow runs on this
module's Arrow library) and the Arrow C data interface (otherwise). A fresh
interpreter without pyarrow's wrapping function takes the second way."""

import pickle
import subprocess
import sys

import pyarrow as pa
import pytest

import quarzel_core as q

import testdata


CHILD = """
import pickle, sys
import pyarrow.lib
if sys.argv[1] == "c-data":
    del pyarrow.lib.__pyx_capi__["pyarrow_wrap_batch"]
import quarzel_core as q
out = [q.parse_arrow(open(p, encoding="utf-8").read()) for p in sys.argv[2:]]
sys.stdout.buffer.write(pickle.dumps(out))
"""


def child_results(way, paths):
    done = subprocess.run([sys.executable, "-c", CHILD, way, *map(str, paths)],
                          capture_output=True, check=True)
    return pickle.loads(done.stdout)


@pytest.mark.parametrize("way", ["direct", "c-data"])
def test_both_ways_give_the_same_batches(way):
    # Every file but the largest dictionaries, whose thousands of batches
    # take long to pickle (cif2/ddl.dic has hundreds of save frames).
    paths = [p for p in testdata.files() if p.stat().st_size < 1 << 21 and (
        p.suffix != ".dic" or p.name == "ddl.dic")]
    got = child_results(way, paths)
    assert len(got) == len(paths)
    for path, (batches, errors) in zip(paths, got):
        expected, expected_errors = q.parse_arrow(path.read_text(encoding="utf-8"))
        assert errors == expected_errors, path
        assert len(batches) == len(expected), path
        for b, e in zip(batches, expected):
            assert b.equals(e, check_metadata=True), path


def test_batches_share_schemas_across_calls_and_outlive_them():
    text = "data_a loop_ _x.a _x.b 1 2 3 4\n"
    first, _ = q.parse_arrow(text)
    second, _ = q.parse_arrow(text.replace("1", "9"))
    assert first[0].schema.equals(second[0].schema)
    column = second[0].column("_x.a")
    del first, second
    assert column.to_pylist() == ["9", "3"]
    assert isinstance(column, pa.StringArray)


# pyarrow is taken from sys.modules only while it is the module imported
# before: anything else there goes through an import, whose error is raised.
@pytest.mark.parametrize("stand_in, error", [(None, ImportError), (42, AttributeError)])
def test_pyarrow_looked_up_again_when_sys_modules_changes(monkeypatch, stand_in, error):
    assert isinstance(q.parse_arrow("data_a _x 1")[0][0], pa.RecordBatch)
    monkeypatch.setitem(sys.modules, "pyarrow", stand_in)
    # None blocks the import; an object that is not pyarrow is what the
    # import gives, and the hand-over fails cleanly on it.
    with pytest.raises(error):
        q.parse_arrow("data_a _x 1")
    monkeypatch.undo()
    batches, _ = q.parse_arrow("data_a _x 1")
    assert batches[0].column("_x").to_pylist() == ["1"]
