"""read_categories against the archive engine, which reads every file whole:
for every test file, each category read selectively gives the engine's
table (without `_file`) row for row and value for value, and the problem
records the engine lists for the file; also window by window with tiny
windows, from compressed files, and for the bad inputs the issue names."""

import bz2
import gzip
import lzma
import os

import pyarrow as pa
import pytest

import quarzel
import quarzel._selective as selective
import quarzel.dataset

import testdata

ERROR_FIELDS = ["error_type", "message", "line", "column", "context", "recovery_action"]


def engine(path, tmp_path, categories=None):
    """{category: table without _file} and the problem records, from the engine."""
    out = tmp_path / "engine"
    quarzel.dataset.convert([str(path)], str(out) + "/", categories=categories, jobs=1)
    tables = {}
    for name in quarzel.dataset.tables(out):
        table = quarzel.dataset.read_table(out, name)
        tables[name] = table.drop_columns(["_file"])
    errors = []
    if (out / "_errors").is_dir():
        e = quarzel.dataset.read_table(out, "_errors").to_pylist()
        errors = [tuple(row[f] for f in ERROR_FIELDS) for row in e]
    return tables, errors


def loop_prefix(tags):
    """The category of a loop's tags without a dot: the longest common
    prefix ending at an underscore (the archive engine's rule)."""
    prefix = os.path.commonprefix(tags)
    cut = prefix.rfind("_") if len(prefix) > 1 else -1
    if cut > 1:
        return prefix[1:cut]
    return tags[0][1:] if tags[0].startswith("_") else tags[0]


def from_parse_arrow(text):
    """{category: table} built from parse_arrow's batches, each batch's
    columns split by category: what every selective reading must give."""
    import quarzel_core
    batches, _ = quarzel_core.parse_arrow(text)
    pieces = {}
    for b in batches:
        tags = b.schema.names[5:]
        looped = b.column("_loop_id")[0].as_py() != "__scalars__"
        plain = [t for t in tags if "." not in t]
        groups = {}
        for i, tag in enumerate(tags):
            if "." in tag and tag.index(".") > 1:
                category = tag[1:tag.index(".")]
            else:
                category = loop_prefix(plain) if looped else "_items"
            groups.setdefault(category, {})
            groups[category].setdefault(tag, b.column(5 + i))
        frame = b.column("_frame_name")
        for category, columns in groups.items():
            pieces.setdefault(category, []).append((b.column("_block_name"), frame, columns))
    out = {}
    for category, parts in pieces.items():
        frames = any(f.null_count < len(f) for _, f, _ in parts)
        order = []
        for _, _, columns in parts:
            order += [t for t in columns if t not in order]
        tables = []
        for block, frame, columns in parts:
            n = len(block)
            data = {"_block_name": block}
            if frames:
                data["_frame_name"] = frame
            for t in order:
                data[t] = columns.get(t, pa.nulls(n, pa.string()))
            schema = pa.schema([pa.field("_block_name", pa.string(), False)]
                               + ([pa.field("_frame_name", pa.string())] if frames else [])
                               + [pa.field(t, pa.string()) for t in order])
            tables.append(pa.table(data, schema=schema))
        out[category] = pa.concat_tables(tables)
    return out


def records(errors):
    return [tuple(getattr(e, f) for f in ERROR_FIELDS) for e in errors]


def folder_category(name):
    return "_items" if name == "_items" else name


FILES = [p for p in testdata.files(suffixes=(".cif", ".dic", ".cif.gz")) if p.stat().st_size < 3 << 20]


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_every_category_as_the_engine_reads_it(path, tmp_path):
    expected, expected_errors = engine(path, tmp_path)
    names = sorted(expected)
    got = quarzel.read_categories(path, names)
    assert sorted(got) == names
    for name in names:
        table = got[name]
        # The engine's folder names stand for the categories here.
        assert table.equals(expected[name]), (path, name)
    assert records(got.errors) == expected_errors
    # One category alone gives the same table.
    for name in names[:: max(1, len(names) // 6)]:
        alone = quarzel.read_categories(path, name)
        assert list(alone) == [name]
        assert alone[name].equals(expected[name]), (path, name)


@pytest.mark.parametrize("path", [testdata.path("pdb", "1A8O.cif"), testdata.path("cif1", "1bna-errors.cif"),
                                  testdata.path("cif_api", "text_fields.cif"), testdata.path("cif2", "ddl.dic")],
                         ids=lambda p: p.name)
@pytest.mark.parametrize("window", [16, 333])
def test_tiny_windows_change_nothing(path, window, monkeypatch):
    whole = quarzel.read_categories(path, _categories_of(path))
    monkeypatch.setattr(selective, "_WINDOW", window)
    cut = quarzel.read_categories(path, _categories_of(path))
    assert list(cut) == list(whole)
    for name in whole:
        assert cut[name].equals(whole[name]), name
    assert records(cut.errors) == records(whole.errors)


def _categories_of(path):
    batches, _ = quarzel.read(path)[0], None
    names = set()
    import quarzel_core
    for b in quarzel_core.parse_arrow(open(path, encoding="utf-8").read())[0]:
        for tag in b.schema.names[5:]:
            names.add(tag[1:].split(".")[0] if "." in tag else "_items")
    return sorted(names)


@pytest.mark.parametrize("compress", [gzip.compress, bz2.compress, lzma.compress])
def test_compressed_inputs_read_as_streams(compress, tmp_path):
    plain = testdata.path("pdb", "1A8O.cif")
    packed = tmp_path / "entry.cif.x"
    packed.write_bytes(compress(plain.read_bytes()))
    a = quarzel.read_categories(plain, ["atom_site", "struct_conn"])
    b = quarzel.read_categories(packed, ["atom_site", "struct_conn"])
    assert a["atom_site"].equals(b["atom_site"]) and a["struct_conn"].equals(b["struct_conn"])
    assert a["atom_site"].num_rows == 644


VARIED = "".join(f"data_b{i} _x.y {i * 7919 % 100003}\n" for i in range(5000)).encode()


@pytest.mark.parametrize("name,data,reason", [
    ("cut.cif.gz", gzip.compress(VARIED)[:3000], "truncated gzip stream"),
    ("cut.cif.bz2", bz2.compress(VARIED)[:3000], "truncated bzip2 stream"),
    ("cut.cif.xz", lzma.compress(VARIED)[:3000], "truncated xz stream"),
    ("bad.cif.gz", b"\x1f\x8b" + b"\xff" * 40, "corrupt gzip stream"),
])
def test_damaged_streams_raise_unreadable_file(name, data, reason, tmp_path):
    path = tmp_path / name
    path.write_bytes(data)
    with pytest.raises(quarzel.UnreadableFile, match=reason):
        quarzel.read_categories(path, "x")


def test_missing_file_raises_the_system_error(tmp_path):
    with pytest.raises(FileNotFoundError):
        quarzel.read_categories(tmp_path / "missing.cif", "x")


BAD = {
    # A file that ends inside a block, its last loop and a text field.
    "ends_inside": "data_a _x.a 1 loop_ _y.a _y.b 1 2 3\n_z.a\n;never closed\n",
    # The category in two blocks, and twice in one block.
    "split_and_twice": "data_a loop_ _c.a 1 2 _d.x 1 data_b _c.a 3 loop_ _c.b 4 5 loop_ _c.b 6\n",
    # A tag given twice, a loop tag repeated, values in a table and a list.
    "repeats": "#\\#CIF_2.0\ndata_a _c.a 1 _c.a 2 loop_ _c.x _c.x [1 2] {'k':3} 4\n",
    # Quoted one-character punctuation is text in CIF 2.0; a tag of one loop
    # given again in a later loop leaves the earlier loop.
    "punctuation_moved": "#\\#CIF_2.0\ndata_a _c.a '[' _c.b ':' _c.a '{' loop_ _d.a _d.b '{' x '}' y\n"
                         "loop_ _d.a _e.z 1 2\n",
    # A loop of two categories, rows enough for runs of plain words: the
    # category read keeps its columns' values, the other's are counted.
    "two_categories_long_loop": "data_a loop_ _f.a _g.b _f.c\n" +
                                "".join(f"a{i} b{i} c{i}\n" for i in range(1500)),
}


@pytest.mark.parametrize("name", sorted(BAD))
@pytest.mark.parametrize("window", [16, 1 << 20])
def test_bad_input_as_parse_arrow_reads_it(name, window, tmp_path, monkeypatch):
    path = tmp_path / f"{name}.cif"
    path.write_text(BAD[name], encoding="utf-8")
    expected = from_parse_arrow(BAD[name])
    expected_errors = records(quarzel.read(path).errors)
    monkeypatch.setattr(selective, "_WINDOW", window)
    for category in expected:
        got = quarzel.read_categories(path, category)
        assert got[category].equals(expected[category]), category
        assert records(got.errors)[:len(expected_errors)] == expected_errors
        # Nothing of another category comes back.
        assert all(c.startswith("_") or c.startswith(f"_{category}.") or category == "_items"
                   for c in got[category].column_names)


# With a byte order mark first: it stays one, and is no column.
@pytest.mark.parametrize("bom", [b"", b"\xef\xbb\xbf"])
def test_latin1_file_as_quarzel_read_reads_it(bom, tmp_path):
    path = tmp_path / "latin1.cif"
    path.write_bytes(bom + "data_a _x.a 'caf\u00e9'\n_x.b ok\n".encode("latin-1"))
    got = quarzel.read_categories(path, "x")
    assert got["x"].column("_x.a").to_pylist() == ["caf\u00e9"]
    assert records(got.errors) == records(quarzel.read(path).errors)


def test_blocks_and_absent_categories():
    text = "data_one _c.a 1 data_two _c.a 2 data_three _c.a 3\n"
    got = quarzel.read_categories(text, ["C", "absent"], blocks=["TWO", "three"])
    assert got["c"].column("_block_name").to_pylist() == ["two", "three"]
    assert got["absent"].num_rows == 0 and got["absent"].column_names == ["_block_name"]


@pytest.mark.parametrize("args,message", [
    ((5, "x"), "expected a path or CIF text"),
    (("data_a", 5), "categories must be a str or an iterable of str"),
    (("data_a", [5]), "categories must be str"),
])
def test_wrong_arguments(args, message):
    with pytest.raises(TypeError, match=message):
        quarzel.read_categories(*args)
