"""BinaryCIF inputs of the archive engine: `*.bcif` and `*.bcif.gz` files
(found in folders, recognised by content) decode natively into the same
category tables as their CIF text gives."""

from __future__ import annotations

import shutil

import pytest

import quarzel
from quarzel import dataset

import testdata


def category_names(out) -> list[str]:
    return sorted(dataset.tables(out))


def rows_of(out, name) -> dict[str, list]:
    """A category table's columns, without the one naming the input file."""
    return dataset.read_table(out, name).drop_columns(["_file"]).to_pydict()


@pytest.mark.parametrize("stream_bytes", [None, 1], ids=["small", "large"])
@pytest.mark.parametrize("binary", ["quarzel", "pdb"])
def test_bcif_inputs_give_the_tables_of_their_text(tmp_path, binary, stream_bytes):
    # Inputs over _stream_bytes are read a block at a time; BinaryCIF must
    # still be recognised and decoded whole.
    options = {"_stream_bytes": stream_bytes} if stream_bytes else {}
    text_in = tmp_path / "text"
    bin_in = tmp_path / "bin"
    text_in.mkdir()
    bin_in.mkdir()
    shutil.copy(testdata.path("bcif", "1bna.cif"), text_in / "1bna.cif")
    if binary == "quarzel":  # written by quarzel: the same value texts
        cif, _ = quarzel.read(testdata.path("bcif", "1bna.cif"))
        quarzel.dump(cif, bin_in / "1bna.bcif")
    else:  # as the PDB serves it, gzip-compressed: numbers formatted its own way
        shutil.copy(testdata.path("bcif", "1bna.bcif.gz"), bin_in / "1bna.bcif.gz")
    a = dataset.convert([str(text_in)], str(tmp_path / "a"))
    b = dataset.convert([str(bin_in)], str(tmp_path / "b"), **options)
    assert a.files_read == b.files_read == 1
    assert b.problems == 0 and b.files_failed == 0
    assert category_names(tmp_path / "a") == category_names(tmp_path / "b")
    for name in category_names(tmp_path / "a"):
        x, y = rows_of(tmp_path / "a", name), rows_of(tmp_path / "b", name)
        assert x.keys() == y.keys(), name
        for column in x:
            if binary == "quarzel" or column in ("_block_name", "_loop_id"):
                assert x[column] == y[column], (name, column)
                continue
            for u, v in zip(x[column], y[column], strict=True):
                assert u == v or float(u) == float(v), (name, column, u, v)


def test_dask_takes_bcif_inputs_as_the_engine_does(tmp_path):
    pytest.importorskip("dask")
    import pyarrow.compute as pc

    import quarzel.dask as qdask

    src = tmp_path / "in"
    src.mkdir()
    shutil.copy(testdata.path("bcif", "1bna.bcif.gz"), src / "1bna.bcif.gz")
    shutil.copy(testdata.path("bcif", "1hml.bcif"), src / "1hml.bcif")
    one = dataset.convert([str(src)], str(tmp_path / "one"))
    many = qdask.convert([str(src)], str(tmp_path / "many"), files_per_task=1)
    assert (many.files_read, many.problems, many.rows) == (2, 0, one.rows)
    assert dataset.tables(tmp_path / "many") == dataset.tables(tmp_path / "one")
    for name in ("atom_site", "entity"):
        tables = [dataset.read_table(tmp_path / out, name) for out in ("many", "one")]
        by_file = [t.take(pc.sort_indices(t, [("_file", "ascending")])) for t in tables]
        assert by_file[0].equals(by_file[1]), name


def test_damaged_bcif_is_recorded_not_fatal(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    data = testdata.path("bcif", "1hml.bcif").read_bytes()
    (src / "cut.bcif").write_bytes(data[: len(data) // 2])
    shutil.copy(testdata.path("bcif", "1hml.bcif"), src / "whole.bcif")
    summary = dataset.convert([str(src)], str(tmp_path / "out"))
    assert summary.files_read == 2
    assert summary.files_with_problems == 1
    errors = dataset.read_table(tmp_path / "out", "_errors").to_pydict()
    assert any("truncated MessagePack" in m for m in errors["message"])
