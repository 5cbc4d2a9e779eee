"""The column order of a table's _common_metadata: decided by the inputs,
not by which worker (or Dask partition) read which file."""

import pyarrow as pa
import pytest

from quarzel import _common_schema


def schemas(*parts):
    return [pa.schema([(n, pa.string()) for n in names]) for names in parts]


def order(parts, previous=(), reports=((0, {}),)):
    first = {}
    for offset, columns in reports:
        _common_schema.first_inputs({"t": columns}, offset, first)
    return _common_schema._unified(schemas(*parts), list(previous), first.get("t")).names


CASES = {
    # The worker that read the later input wrote the lower-numbered part.
    "inputs decide, not part names": (
        [["_file", "b", "c"], ["_file", "a", "b"]],
        [], [(0, [("a", 0), ("b", 0), ("c", 1)])],
        ["_file", "a", "b", "c"]),
    # Two workers report the same tag; the earlier input wins, and tags of
    # one input keep the order its worker gave them.
    "earliest input wins": (
        [["x", "y"], ["y", "x"]],
        [], [(0, [("y", 3), ("x", 3)]), (0, [("x", 1), ("y", 2)])],
        ["x", "y"]),
    # Dask partitions: inputs counted from each partition's offset.
    "partition offsets": (
        [["p", "q"], ["q", "p"]],
        [], [(10, [("p", 0), ("q", 1)]), (0, [("q", 5), ("p", 7)])],
        ["q", "p"]),
    # Columns a typed run puts beside a tag follow it, su, status, text,
    # even when a later part brought them; a su column renamed because a
    # tag is called a_su follows a, the tag a_su keeps its own place.
    "typed columns beside their tag": (
        [["a", "b", "b_status"], ["a", "a_text", "a_status", "a_su_", "a_su", "b"]],
        [], [(0, [("a", 0), ("b", 0), ("a_su", 1)])],
        ["a", "a_su_", "a_status", "a_text", "b", "b_status", "a_su"]),
    # A later run only appends to the order the dataset already had.
    "previous order kept": (
        [["_file", "n", "m"], ["_file", "old2", "old1"]],
        ["_file", "old1", "gone", "old2"], [(0, [("n", 0), ("m", 0)])],
        ["_file", "old1", "old2", "n", "m"]),
    # Columns nobody reported (an older pass) last, as the parts have them,
    # those beside such a column too.
    "unreported last": (
        [["z", "k"], ["w", "z_status"]],
        [], [(0, [("k", 0)])],
        ["k", "z", "w", "z_status"]),
}


@pytest.mark.parametrize("parts, previous, reports, expected", CASES.values(), ids=CASES.keys())
def test_column_order(parts, previous, reports, expected):
    assert order(parts, previous, reports) == expected


def test_one_order_whoever_reads_the_files(tmp_path):
    """One worker, two workers and Dask partitions of 3 files (on the local
    scheduler, finishing in any order) write the same column orders."""
    import os

    import pyarrow.parquet as pq

    from quarzel import dask as qdask, dataset
    from testdata import DATA

    inputs = [os.path.abspath(p) for p in dataset.expand_inputs([os.path.join(DATA, d) for d in ("pdb", "cif1")])]
    outs = [str(tmp_path / n) for n in ("one", "two", "dask")]
    dataset.convert(inputs, outs[0], jobs=1)
    dataset.convert(inputs, outs[1], jobs=2, _part_bytes=1)
    qdask.convert(inputs, outs[2], files_per_task=3)
    for table in dataset.tables(outs[0]):
        names = [pq.read_schema(os.path.join(o, table, "_common_metadata")).names for o in outs]
        assert names[0] == names[1] == names[2], table
