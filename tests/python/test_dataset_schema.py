"""One schema per table: _common_metadata, quarzel.dataset.open and
connect, and every reading recipe of the README, on a dataset whose parts
have different columns."""

import os
import re

import duckdb
import pyarrow as pa
import pyarrow.parquet as pq
import pytest

from quarzel import _commits, dataset
from testdata import DATA
from test_dataset import write

FILES = {  # each file its own tags: the parts of atom_site differ
    "a.cif": "data_a\nloop_ _atom_site.id _atom_site.type_symbol 1 C 2 FE\n",
    "b.cif": "data_b\nloop_ _atom_site.id _atom_site.type_symbol _atom_site.b_iso 3 N 1.5 4 FE 2.5\n",
    "c.cif": "data_c\nloop_ _atom_site.id _atom_site.occupancy _atom_site.type_symbol 5 0.5 O\n",
    "d.cif": "data_d\n_cell.length_a 5\nloop_ _atom_site.label _atom_site.type_symbol Q1 S\n",
}
COLUMNS = ["_file", "_block_name", "_atom_site.id", "_atom_site.type_symbol", "_atom_site.b_iso",
           "_atom_site.occupancy", "_atom_site.label"]


@pytest.fixture(scope="module", params=[(False, 1), (True, 1), (False, 2), (True, 2)],
                ids=["text", "typed", "text-2-workers", "typed-2-workers"])
def out(request, tmp_path_factory):
    typed, jobs = request.param
    folder = tmp_path_factory.mktemp("schema")
    paths = [write(str(folder), n, t.encode()) for n, t in FILES.items()]
    out = str(folder / "pdb")
    dataset.convert(paths, out, jobs=jobs, _part_bytes=1, typed=typed)
    parts = _commits.part_files(os.path.join(out, "atom_site"))
    assert len({tuple(pq.read_schema(p).names) for p in parts}) == len(FILES)  # parts differ
    return out


def test_common_metadata_has_every_column_in_a_stable_order(out):
    schema = pq.read_schema(os.path.join(out, "atom_site", "_common_metadata"))
    assert schema.names == COLUMNS
    assert pq.read_schema(os.path.join(out, "cell", "_common_metadata")).names[-1] == "_cell.length_a"


def test_open_gives_a_dataset_per_table_with_every_column(out):
    tables = dataset.open(out)
    assert sorted(tables) == ["atom_site", "cell"]
    atoms = tables["atom_site"].to_table()
    assert atoms.column_names == COLUMNS and atoms.num_rows == 6
    assert atoms.to_pylist() == dataset.read_table(out, "atom_site").select(COLUMNS).to_pylist()


def test_connect_gives_a_view_per_table(out):
    con = dataset.connect(out)
    rows = con.sql('SELECT "_atom_site.label", count(*) FROM atom_site GROUP BY ALL ORDER BY 1').fetchall()
    assert rows == [("Q1", 1), (None, 5)]
    assert [d[0] for d in con.sql("SELECT * FROM atom_site").description] == COLUMNS


def readme_recipes():
    text = open(os.path.join(DATA.parents[1], "README.md"), encoding="utf-8").read()
    section = text[text.index("Parts of one table may have different tag columns"):
                   text.index("Nothing lost, nothing aborted")]
    return re.findall(r"```(python|sql)\n(.*?)```", section, re.S)


def test_the_readme_has_a_recipe_for_each_reader():
    joined = "".join(code for _, code in readme_recipes())
    for reader in ("quarzel.dataset.open", "connect", "pyarrow.dataset", "DuckDB", "polars", "dask"):
        assert reader in joined


@pytest.mark.parametrize("k", range(5))
def test_each_readme_recipe_loses_no_column(out, k):
    kind, code = readme_recipes()[k]
    code = code.replace('"pdb/', f'"{out}/').replace("'pdb/", f"'{out}/")
    if kind == "sql":
        got = duckdb.sql(code.strip().rstrip(";")).fetchall()
        assert sorted(n for _, n in got) == [1, 1, 2, 2]
        cols = duckdb.sql(re.sub(r"SELECT .*? FROM", "SELECT * FROM", code.split(" GROUP BY")[0], count=1)).columns
        assert cols == COLUMNS
        return
    scope: dict = {}
    exec(code, scope)
    atoms = scope["atoms"]
    if hasattr(atoms, "column_names"):
        names = atoms.column_names
    else:
        names = list(atoms.columns)
    assert names == COLUMNS
    rows = atoms.num_rows if hasattr(atoms, "num_rows") else len(atoms)
    assert rows == (2 if "FE" in code else 6)
    if "connect" in code:
        assert sum(n for _, n in scope["con"].sql("SELECT _file, count(*) FROM atom_site GROUP BY _file").fetchall()) == 6
