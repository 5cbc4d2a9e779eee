"""quarzel.dataset: whole archives to one Parquet dataset per category."""

import bz2
import gzip
import lzma
import os
import threading

import pyarrow as pa
import pyarrow.compute as pc
import pytest

import quarzel_core as q

from quarzel import bcif
from quarzel import _commits, dataset
from testdata import DATA

DATA = str(DATA)

IDENTITY = ["_file", "_block_name", "_frame_name"]


def raw_of(path):
    raw = open(path, "rb").read()
    for magic, opener in ((b"\x1f\x8b", gzip.decompress), (b"BZh", bz2.decompress), (b"\xfd7zXZ", lzma.decompress)):
        if raw.startswith(magic):
            raw = opener(raw)
    return raw


def text_of(path):
    raw = raw_of(path)
    try:
        return raw.decode("utf-8"), None
    except UnicodeDecodeError as e:
        return raw.decode("latin-1"), e.start


def table_of(tag, loop_tags):
    """The table a tag goes to: the text between its underscore and its first
    dot; without a dot, `_items` for a tag outside loops, else the longest
    common prefix of the loop's dotless tags ending at an underscore."""
    if "." in tag:
        return tag[1:tag.index(".")]
    if loop_tags is None:
        return "_items"
    plain = [t for t in loop_tags if "." not in t]
    prefix = os.path.commonprefix(plain)
    cut = prefix.rfind("_")
    return prefix[1:cut] if cut > 1 else plain[0][1:]


def expected_tables(paths):
    """What parse_arrow gives file by file, regrouped by table: table →
    pyarrow.Table (null where a file lacks a tag), in file order, and the
    error dicts of each file."""
    pieces, errors = {}, {}
    for path in sorted(paths):
        raw = raw_of(path)
        if bcif.is_bcif(raw):  # BinaryCIF: the batches parse_arrow gives for its content
            batches, errs = bcif.batches(raw)
        else:
            batches, errs = q.parse_arrow(text_of(path)[0])
        errors[path] = errs
        for batch in batches:
            names = batch.schema.names[5:]
            loop_tags = None if batch.column(4)[0].as_py() == "__scalars__" else names
            groups = {}
            for i, name in enumerate(names):
                groups.setdefault(table_of(name, loop_tags), {}).setdefault(name, 5 + i)
            for table, idx in groups.items():
                cols = {"_file": pa.array([path] * batch.num_rows), "_block_name": batch.column(1),
                        "_frame_name": batch.column(3)}
                cols.update((name, batch.column(i)) for name, i in idx.items())
                pieces.setdefault(table, []).append(pa.table(cols))
    tables = {t: pa.concat_tables(p, promote_options="default") for t, p in pieces.items()}
    return tables, errors


def dataset_table(out, table):
    """A table of the dataset, its rows ordered by file (each file's rows in
    their order), with a null _frame_name where no row has one."""
    t = dataset.read_table(out, table)
    t = t.take(pc.sort_indices(t, sort_keys=[("_file", "ascending")]))  # a stable sort
    if "_frame_name" not in t.column_names:
        t = t.add_column(2, "_frame_name", pa.nulls(t.num_rows, pa.string()))
    return t


def corpus_files():
    return dataset.expand_inputs([DATA])


def test_dataset_equals_parse_arrow_file_by_file(tmp_path):
    paths = corpus_files()
    out = str(tmp_path / "out")
    summary = dataset.convert(paths, out, jobs=2)
    tables, errors = expected_tables([p for p in paths if os.path.getsize(p) > 0])
    assert sorted(dataset.tables(out)) == sorted(tables)
    for table, want in tables.items():
        got = dataset_table(out, table)
        assert sorted(got.column_names) == sorted(want.column_names), table
        for name in want.column_names:
            assert got.column(name).combine_chunks().equals(want.column(name).combine_chunks()), (table, name)
        assert summary.rows[table] == want.num_rows
    got_errors = dataset.read_table(out, "_errors").to_pylist()
    for path, errs in errors.items():
        mine = [{k: v for k, v in e.items() if k != "_file"} for e in got_errors if e["_file"] == path]
        assert mine == errs, path


def write(folder, name, data):
    path = os.path.join(folder, name)
    with open(path, "wb") as f:
        f.write(data)
    return path


GOOD = b"#\\#CIF_2.0\ndata_g\n_cell.a 1\nloop_\n_atom.id\n_atom.x\n1 0.5\n2 ['x' {'k':'v'}]\n"


def broken_inputs(folder):
    gz = gzip.compress(GOOD)
    bz = bz2.compress(GOOD)
    xz = lzma.compress(GOOD)
    os.mkdir(os.path.join(folder, "dir.cif"))
    return [
        (os.path.join(folder, "missing.cif"), "No such file or directory"),
        (os.path.join(folder, "dir.cif"), "Is a directory"),
        (write(folder, "zero.cif.gz", b""), "empty file, no gzip stream"),
        (write(folder, "truncated.cif.gz", gz[: len(gz) // 2]), "truncated gzip stream"),
        (write(folder, "corrupt.cif.gz", gz[:12] + b"\xff" * 20 + gz[32:]), "corrupt gzip stream"),
        (write(folder, "truncated.cif.bz2", bz[: len(bz) // 2]), "truncated bzip2 stream"),
        (write(folder, "corrupt.cif.bz2", bz[:10] + b"\x00" * 20 + bz[30:]), "corrupt bzip2 stream"),
        (write(folder, "truncated.cif.xz", xz[: len(xz) // 2]), "truncated xz stream"),
        (write(folder, "binary.cif", b"\x89PNG\r\n\x1a\n\x00\x00\x00\rIHDR"), "not a text file (NUL byte at offset 8)"),
    ]


def test_unreadable_files_are_recorded_and_the_run_goes_on(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    good = [write(str(src), n, d) for n, d in (("a.cif", GOOD), ("b.cif.gz", gzip.compress(GOOD)),
                                               ("c.cif.bz2", bz2.compress(GOOD)), ("d.cif.xz", lzma.compress(GOOD)),
                                               ("e.cif.txt", gzip.compress(gzip.compress(GOOD)[:0] + GOOD)))]
    bad = broken_inputs(str(src))
    out = str(tmp_path / "out")
    summary = dataset.convert(good + [p for p, _ in bad], out, jobs=2, expand=False)
    assert (summary.files, summary.files_read, summary.files_failed) == (len(good) + len(bad), len(good), len(bad))
    files = {r["_file"]: r for r in dataset.read_table(out, "_files").to_pylist()}
    for path, reason in bad:
        assert files[path]["status"] == "failed"
        assert files[path]["reason"].startswith(reason), (path, files[path]["reason"])
    for path in good:
        assert (files[path]["status"], files[path]["reason"], files[path]["rows"]) == ("ok", None, 3)
    assert [files[p]["compression"] for p in good] == ["none", "gzip", "bzip2", "xz", "gzip"]
    atoms = dataset_table(out, "atom")
    assert atoms["_file"].to_pylist() == sorted(good * 2)
    assert set(atoms["_atom.x"].to_pylist()) == {"0.5", "\0[\"x\",{\"k\":\"v\"}]"}


@pytest.mark.skipif(os.geteuid() == 0, reason="root reads any file")
def test_permission_denied_is_recorded(tmp_path):
    path = write(str(tmp_path), "secret.cif", GOOD)
    os.chmod(path, 0)
    summary = dataset.convert([path], str(tmp_path / "out"))
    assert summary.files_failed == 1
    assert dataset.read_table(tmp_path / "out", "_files")["reason"].to_pylist() == ["Permission denied"]


@pytest.mark.parametrize("data, line, column, byte", [
    (b"data_x\n_a caf\xe9\n", 2, 7, "E9"),
    (b"data_x\r\n_a 1\r_b \xff\n", 3, 4, "FF"),
    (b"data_\xc3\xa9x _a \xc3\n", 1, 13, "C3"),  # one character a byte, as read
])
def test_latin1_reading_adds_one_record_first(tmp_path, data, line, column, byte):
    path = write(str(tmp_path), "l1.cif", data)
    dataset.convert([path], str(tmp_path / "out"))
    errors = dataset.read_table(tmp_path / "out", "_errors").to_pylist()
    text = data.decode("latin-1")
    assert errors[0] == {"_file": path, "error_type": "lexical",
                         "message": f"not valid UTF-8 (byte 0x{byte}); read as Latin-1",
                         "line": line, "column": column, "context": bytes([int(byte, 16)]).decode("latin-1"),
                         "recovery_action": "read as Latin-1"}
    assert [{k: v for k, v in e.items() if k != "_file"} for e in errors[1:]] == q.parse_arrow(text)[1]
    items = dataset.read_table(tmp_path / "out", "_items").to_pylist()
    assert [r for r in items] == [{"_file": path, "_block_name": b.column(1)[0].as_py(),
                                   **{n: b.column(n)[0].as_py() for n in b.schema.names[5:]}}
                                  for b in q.parse_arrow(text)[0]]


def test_categories_dictionary_and_prefixes(tmp_path):
    path = write(str(tmp_path), "c1.cif", (
        b"data_s\n_cell_length_a 5.1\n_symmetry_cell_setting cubic\n"
        b"loop_ _atom_site_label _atom_site_fract_x Na1 0.0 Cl1 0.5\n"
        b"loop_ _symmetry_equiv_pos_as_xyz x,y,z -x,-y,-z\n"
        b"save_f _frame.tag 1 save_\n"))
    out = str(tmp_path / "all")
    dataset.convert([path], out)
    assert dataset.tables(out) == ["_items", "atom_site", "frame", "symmetry_equiv_pos_as"]
    assert dataset.read_table(out, "frame").to_pylist() == [
        {"_file": path, "_block_name": "s", "_frame_name": "f", "_frame.tag": "1"}]
    assert dataset.read_table(out, "atom_site").column_names == [
        "_file", "_block_name", "_atom_site_label", "_atom_site_fract_x"]
    dic = write(str(tmp_path), "d.dic", (
        b"data_symmetry_equiv_pos_as_xyz\n_name '_symmetry_equiv_pos_as_xyz'\n_category symmetry_equiv\n"
        b"data_frame\n_definition.id '_atom_site_label'\n_name.category_id atom_site\n"))
    out = str(tmp_path / "dic")
    dataset.convert([path], out, dictionary=dic, categories=["symmetry_equiv", "_items"])
    assert dataset.tables(out) == ["_items", "symmetry_equiv"]
    assert dataset.read_table(out, "_items").column_names == [
        "_file", "_block_name", "_cell_length_a", "_symmetry_cell_setting"]


def test_interrupt_leaves_whole_files_and_resume_completes(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    body = "".join(f"{i} {'x' * 40}\n" for i in range(3000))
    paths = [write(str(src), f"f{i:03}.cif", f"data_f{i}\nloop_\n_t.id\n_t.v\n{body}".encode()) for i in range(600)]
    out = str(tmp_path / "out")
    calls = []

    def stop(p):
        calls.append(p)
        if p.files >= 1:
            raise KeyboardInterrupt

    with pytest.raises(KeyboardInterrupt):
        dataset.convert(paths, out, jobs=2, progress=stop, _part_bytes=1 << 20, _progress_interval=0.001)
    # Only complete parts, and exactly the rows of the files listed as done.
    leftovers = [f for _, _, fs in os.walk(out) for f in fs if not f.startswith("part-") and f != "lock"]
    assert leftovers == []
    done = dataset.done_inputs(out)
    assert 0 < len(done) < len(paths)
    t = dataset.read_table(out, "t")
    assert set(t["_file"].to_pylist()) == done
    assert t.num_rows == 3000 * len(done)

    with pytest.raises(FileExistsError):
        dataset.convert(paths, out)
    summary = dataset.convert(paths, out, jobs=2, resume=True)
    assert summary.skipped == len(done) and summary.files == len(paths) - len(done)
    t = dataset.read_table(out, "t")
    assert t.num_rows == 3000 * len(paths)
    assert sorted(set(t["_file"].to_pylist())) == paths
    assert dataset.read_table(out, "_files").num_rows == len(paths)


def test_output_that_cannot_be_written(tmp_path):
    path = write(str(tmp_path), "a.cif", GOOD)
    blocker = write(str(tmp_path), "file", b"")
    with pytest.raises(OSError):
        dataset.convert([path], os.path.join(blocker, "out"))


def test_many_tiny_files_bounded_parts(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    n = 20000
    for i in range(n):
        (src / f"{i:05}.cif").write_bytes(b"data_t%d\n_cell.a %d\nloop_ _x.a _x.b 1 2 3 4\n" % (i, i))
    out = str(tmp_path / "out")
    summary = dataset.convert([str(src)], out, jobs=2)
    assert summary.files_read == n and summary.rows == {"cell": n, "x": 2 * n}
    for table in ("cell", "x", "_files"):
        parts = _commits.part_files(os.path.join(out, table))
        assert 1 <= len(parts) <= 2
    assert dataset.read_table(out, "x").num_rows == 2 * n


def test_duckdb_and_polars_read_the_dataset_with_unified_schemas(tmp_path):
    duckdb = pytest.importorskip("duckdb")
    out = str(tmp_path / "out")
    # Small row groups and parts: tables spread over parts of different columns.
    dataset.convert([os.path.join(DATA, "pdb")], out, jobs=2, _part_bytes=1)
    arrow_table = dataset.read_table(out, "struct_conn")
    assert len(_commits.part_files(os.path.join(out, "struct_conn"))) > 1
    glob = os.path.join(out, "struct_conn", "*.parquet")
    con = duckdb.connect()
    got = con.sql(f"SELECT * FROM read_parquet('{glob}', union_by_name=true)").to_arrow_table()
    assert got.num_rows == arrow_table.num_rows
    assert sorted(got.column_names) == sorted(arrow_table.column_names)
    key = sorted(got.column_names)
    as_rows = lambda t: sorted(tuple(r[k] for k in key) for r in t.to_pylist())  # noqa: E731
    assert as_rows(got) == as_rows(arrow_table)
    polars = pytest.importorskip("polars")
    frame = polars.scan_parquet(glob, missing_columns="insert", extra_columns="ignore").collect()
    assert frame.height == arrow_table.num_rows


def test_progress_is_reported_from_the_calling_thread(tmp_path):
    paths = [write(str(tmp_path), f"{i}.cif", GOOD) for i in range(50)]
    seen = []
    dataset.convert(paths, str(tmp_path / "out"), progress=lambda p: seen.append((threading.get_ident(), p)))
    assert seen and {t for t, _ in seen} == {threading.get_ident()}
    last = seen[-1][1]
    assert (last.files, last.total_files, last.failed) == (50, 50, 0)


@pytest.mark.parametrize("with_dictionary", [False])  # with one: test_dataset_typing.py
def test_typed_dataset_types_each_column_once_for_all_parts(tmp_path, with_dictionary):
    from quarzel.dictionary import Dictionary
    from quarzel.numbers import typed_table

    src = tmp_path / "in"
    src.mkdir()
    texts = [
        "data_a\n_cell.length_a 5.6402(3)\n_cell.note 12\nloop_ _atom.id _atom.x _atom.label 1 0.5 C1 2 ? N1\n",
        "data_b\n_cell.length_a 7\n_cell.note many\nloop_ _atom.id _atom.x _atom.label 3 . 12 4 1.25(4) O2\n",
        "data_c\n_cell.length_a ?\nloop_ _atom.id _atom.x 5 2\n",
    ]
    paths = [write(str(src), f"{i}.cif", t.encode()) for i, t in enumerate(texts)]
    dic = None
    if with_dictionary:
        dic = write(str(tmp_path), "d.dic", (
            b"#\\#CIF_2.0\ndata_D\n_dictionary.title d\n"
            b"save_atom.x\n_definition.id '_atom.x'\n_name.category_id atom\n_type.contents Real\nsave_\n"
            b"save_atom.label\n_definition.id '_atom.label'\n_name.category_id atom\n_type.contents Text\nsave_\n"))
    plain, typed = str(tmp_path / "plain"), str(tmp_path / "typed")
    dataset.convert(paths, plain, jobs=2, _part_bytes=1)
    dataset.convert(paths, typed, jobs=2, _part_bytes=1, typed=True, dictionary=dic)
    assert len(_commits.part_files(os.path.join(typed, "atom"))) > 1  # parts typed alike
    for table in ("cell", "atom"):
        want = by_file_rows(typed_table(dataset.read_table(plain, table), Dictionary(dic) if dic else None))
        got = by_file_rows(dataset.read_table(typed, table))
        assert got == want, table
    schema = dataset.read_table(typed, "atom").schema
    assert schema.field("_atom.id").type == pa.int64()
    assert schema.field("_atom.x").type == pa.float64()
    assert schema.field("_atom.label").type == pa.string()  # text in one file: text in all


def by_file_rows(table):
    table = table.take(pc.sort_indices(table, sort_keys=[("_file", "ascending")]))
    rows = table.to_pylist()
    return [{k: (v if not isinstance(v, float) else round(v, 12)) for k, v in sorted(r.items()) if v is not None}
            for r in rows]
