"""Resuming an archive dataset: inputs known by their real path, one _files
row per input however often it is resumed, typed columns that stay of one
type, folder names every reader takes as they are, and DDLm aliases."""

import os

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from quarzel import dataset
from testdata import DATA


def write(path, data):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def test_one_input_however_it_is_named_and_resumed_from_another_folder(tmp_path, monkeypatch):
    a = write(str(tmp_path / "d" / "a.cif"), b"data_a\n_x.v 1\n")
    os.symlink("a.cif", tmp_path / "d" / "link.cif")
    monkeypatch.chdir(tmp_path)
    out = str(tmp_path / "out")
    summary = dataset.convert(["d/a.cif", "./d/a.cif", a, "d/link.cif", "d/../d/a.cif"], out)
    assert summary.files == 1
    assert dataset.read_table(out, "_files")["_file"].to_pylist() == [os.path.realpath(a)]
    monkeypatch.chdir(tmp_path / "d")
    again = dataset.convert(["a.cif", "link.cif"], out, resume=True)
    assert (again.files, again.skipped) == (0, 1)


def test_each_resume_keeps_one_row_per_unreadable_input(tmp_path):
    good = write(str(tmp_path / "a.cif"), b"data_a\n_x.v 1\n")
    missing = str(tmp_path / "missing.cif")
    out = str(tmp_path / "out")
    dataset.convert([good, missing], out)
    for _ in range(3):
        summary = dataset.convert([good, missing], out, resume=True)
        assert (summary.files, summary.files_failed, summary.skipped) == (1, 1, 1)
    files = dataset.read_table(out, "_files").to_pylist()
    assert sorted((r["_file"], r["status"]) for r in files) == [(good, "ok"), (missing, "failed")]
    write(missing, b"data_m\n_x.v 2\n")  # readable now: its row becomes ok
    dataset.convert([good, missing], out, resume=True)
    files = dataset.read_table(out, "_files").to_pylist()
    assert sorted((r["_file"], r["status"]) for r in files) == [(good, "ok"), (missing, "ok")]


def test_typed_columns_keep_one_type_when_a_resumed_run_adds_files(tmp_path):
    src = tmp_path / "in"
    first = [write(str(src / f"{i}.cif"), f"data_b{i}\nloop_ _atom.id _atom.x {i} {i}0 {i + 5} 7\n".encode())
             for i in range(2)]
    out = str(tmp_path / "out")
    dataset.convert(first, out, typed=True, _part_bytes=1)
    schema = dataset.read_table(out, "atom").schema
    assert (schema.field("_atom.id").type, schema.field("_atom.x").type) == (pa.int64(), pa.int64())
    later = write(str(src / "later.cif"), b"data_c\nloop_ _atom.id _atom.x n/a 1.5(2) 9 ?\n")
    dataset.convert(first + [later], out, resume=True)  # typed again: the dataset is typed
    t = dataset.read_table(out, "atom")
    # Typed by the values of all the inputs, as a fresh run would be: text
    # in _atom.id makes it text in the parts written before too.
    assert t.schema.field("_atom.id").type == pa.string()
    assert t.schema.field("_atom.x").type == pa.float64()  # 1.5 now: every part float64
    rows = {(r["_block_name"], r["_atom.id"]): r for r in t.to_pylist()}
    assert (rows[("c", "n/a")]["_atom.x"], rows[("c", "n/a")]["_atom.x_su"]) == (1.5, 0.2)
    assert rows[("c", "9")]["_atom.x_status"] == "unknown"
    assert rows[("b1", "6")]["_atom.x"] == 7.0 and rows[("b1", "6")]["_atom.x_status"] == "number"
    assert len(rows) == 6


def test_typed_pass_types_parts_typed_before_and_new_ones_alike(tmp_path):
    """A typing pass interrupted after some tables, then run again."""
    src = tmp_path / "in"
    paths = [write(str(src / f"{i}.cif"), f"data_b{i}\nloop_ _atom.id {i} {i + 1}\n".encode()) for i in range(3)]
    out = str(tmp_path / "out")
    dataset.convert(paths[:2], out, typed=True, _part_bytes=1)
    dataset.convert(paths, out, resume=True, typed=False)  # the third part comes untyped, then is typed
    types = {pa.types.is_integer(t) for t in (pq.read_schema(p).field("_atom.id").type
                                               for p in _parts(out, "atom"))}
    assert types == {True} and len(_parts(out, "atom")) == 3


def _parts(out, table):
    folder = os.path.join(out, table)
    return [os.path.join(folder, f) for f in sorted(os.listdir(folder)) if f.startswith("part-")]


@pytest.mark.parametrize("loop, folder", [
    (b"loop_ _x=1.a _x=1.b 1 2", "x%3D1"),  # not a hive partition for DuckDB
    (b"loop_ _.hidden_a _.hidden_b 1 2", "%2Ehidden"),  # not a hidden folder
])
def test_folder_names_that_readers_take_as_they_are(tmp_path, loop, folder):
    path = write(str(tmp_path / "a.cif"), b"data_a\n" + loop + b"\n")
    out = str(tmp_path / "out")
    dataset.convert([path], out)
    assert dataset.tables(out) == [folder]
    t = dataset.read_table(out, folder)
    assert t.num_rows == 1
    duckdb = pytest.importorskip("duckdb")
    got = duckdb.connect().sql(f"SELECT * FROM read_parquet('{out}/{folder}/*.parquet')").to_arrow_table()
    assert got.column_names == t.column_names and got.num_rows == 1


def test_ddlm_aliases_give_the_categories_of_ddl1_style_tags(tmp_path):
    path = write(str(tmp_path / "s.cif"), (
        b"data_s\nloop_ _symmetry_equiv_pos_as_xyz x,y,z -x,-y,-z\n"
        b"loop_ _atom_site_label _atom_site_fract_x _atom_site_aniso_u_11 C1 0.1 0.01\n"))
    dic = os.path.join(str(DATA), "dict", "ddlm", "cif_core-3_0_07.dic")
    out = str(tmp_path / "out")
    dataset.convert([path], out, dictionary=dic)
    assert dataset.tables(out) == ["atom_site", "atom_site_aniso", "space_group_symop"]
    assert dataset.read_table(out, "atom_site_aniso").column_names == [
        "_file", "_block_name", "_atom_site_aniso_u_11"]
