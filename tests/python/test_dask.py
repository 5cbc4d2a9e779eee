"""quarzel.dask on a real distributed.LocalCluster (2 worker processes)."""

import os

import pytest

distributed = pytest.importorskip("distributed")
pa = pytest.importorskip("pyarrow")
import pyarrow.compute as pc  # noqa: E402
import pyarrow.parquet as pq  # noqa: E402

import quarzel.dask as qdask  # noqa: E402
from quarzel import dataset  # noqa: E402
from testdata import DATA  # noqa: E402

DATA = str(DATA)


@pytest.fixture(scope="module")
def client():
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, dashboard_address=None,
                                  silence_logs=40) as cluster, distributed.Client(cluster) as c:
        yield c


@pytest.fixture(scope="module")
def inputs():
    return [os.path.abspath(p) for p in dataset.expand_inputs([os.path.join(DATA, d) for d in ("pdb", "cif1", "cif_api")])]


def by_file(table):
    table = table.take(pc.sort_indices(table, sort_keys=[("_file", "ascending")]))
    return table.select(sorted(table.column_names))


def test_cluster_writes_the_single_machine_dataset(tmp_path, client, inputs, monkeypatch):
    local, spread = str(tmp_path / "local"), str(tmp_path / "spread")
    # Paths as typed from another folder on one side, absolute on the
    # other: one form of _file in both engines.
    monkeypatch.chdir(os.path.join(DATA, "pdb"))
    one = dataset.convert([os.path.relpath(p) for p in inputs], local, jobs=2)
    many = qdask.convert(inputs, spread, client=client, files_per_task=5)
    assert (many.files, many.files_read, many.files_failed, many.rows) == (one.files, one.files_read,
                                                                            one.files_failed, one.rows)
    assert dataset.tables(spread) == dataset.tables(local)
    assert [f for f in os.listdir(spread) if f.startswith(".staging")] == []  # no staging left
    for table in dataset.tables(local):  # each table's one schema, as a local run writes it
        common = [pq.read_schema(os.path.join(out, table, "_common_metadata")) for out in (local, spread)]
        assert set(common[0].names) == set(common[1].names), table
    for table in dataset.tables(local) + ["_errors"]:
        assert by_file(dataset.read_table(spread, table)).equals(by_file(dataset.read_table(local, table))), table
    files = by_file(dataset.read_table(spread, "_files")).drop_columns(["seconds"])
    assert files.equals(by_file(dataset.read_table(local, "_files")).drop_columns(["seconds"]))
    with pytest.raises(FileExistsError):
        qdask.convert(inputs, spread, client=client)
    again = qdask.convert(inputs, spread, client=client, resume=True)
    assert (again.files, again.skipped) == (one.files_failed, one.files - one.files_failed)


def test_read_category_is_lazy_and_equals_the_dataset_table(tmp_path, client, inputs):
    local = str(tmp_path / "local")
    dataset.convert(inputs, local, categories=["struct_conn"])
    frame = qdask.read_category(inputs, "struct_conn", files_per_partition=4)
    assert frame.npartitions == -(-len(inputs) // 4)
    got = pa.Table.from_pandas(frame.compute(), preserve_index=False)
    want = dataset.read_table(local, "struct_conn")
    assert got.column_names[:2] == ["_file", "_block_name"]
    assert sorted(got.column_names) == sorted(want.column_names)
    assert by_file(got).to_pylist() == by_file(want).to_pylist()
