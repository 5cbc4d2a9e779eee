"""Settling the parts of a run typed by its values natively: the parts
come out as the general route (pyarrow, batch by batch) writes them, the
column chunks that do not change move byte for byte, and parts the engine
did not write take the general route."""

import os
import shutil

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quarzel
from quarzel import _common_schema, _commits, _native_typing, dataset
from test_dataset import write

# Each case: one file per part, in this order, so that the first parts are
# written before the run has seen what comes later; `_t.v` settles by the
# route named, `_t.name` (words) and `_t.n` (integers throughout) stay.
CASES = [
    ("numbers then text: the kept text back", ["1", "2", "abc"], {}),
    ("status added", ["7", "?", "."], {}),
    ("placeholders become numbers: the kept text grows", ["?", ".", "7"], {}),
    ("int64 then float64", ["1", "2", "2.5"], {}),
    ("su added", ["1.5", "2.5(3)"], {}),
    ("several row groups per part", ["1", "2", "x"], {"_row_group_bytes": 1}),
    ("fraction, text, number", ["0.5", "x", "3"], {}),
    # Rows enough for float64 chunks as byte streams (`_t.x`) and as a
    # dictionary (`_t.o`), moved as they are or decoded.
    ("float64 layouts, then text", ["1", "2", "abc"], {"_rows": 300}),
    ("float64 layouts, int64 then float64", ["1", "2", "2.5"], {"_rows": 300}),
    # Numbers that keep their type move as they are, the columns added
    # beside them written from the part's nulls, or decoded where it has
    # numbers and nulls both.
    ("status added to a part of nulls", ["1", None, "?"], {}),
    ("status added, numbers and nulls in one row group", [("1", None), "?"], {}),
    ("su added, the part's status kept", ["1.5|?", "2.5(3)"], {}),
    ("status added, the part's su kept", ["1.5(2)", "?"], {}),
    ("status and su added over row groups", ["4", "5", "?", "6(1)"], {"_row_group_bytes": 1}),
]


def float_cells(k):
    """`_t.x` (no two alike) and `_t.o` (five values) of row k."""
    return f"{k * 0.001 - 17.5:.3f} {k % 5 * 0.25:.2f}"


def unsettled(tmp_path, values, options, monkeypatch):
    options = dict(options)
    n = options.pop("_rows", 40)
    floats = n > 40
    src = tmp_path / "in"
    src.mkdir()
    paths = []
    tags = "_t.name _t.n" + (" _t.x _t.o" if floats else "")

    def block(name, v):  # "a|b": rows take a, b, a, ...; None: the block has no `_t.v`
        cells = [None] if v is None else v.split("|")
        rows = "".join(("" if v is None else f"{cells[k % len(cells)]} ") + f"w{k} {k}"
                       + (" " + float_cells(k) if floats else "") + "\n" for k in range(n))
        return f"data_{name}\nloop_ {'' if v is None else '_t.v '}{tags}\n{rows}"

    for i, v in enumerate(values):  # a tuple: the blocks of one file
        text = "".join(block(f"b{i}_{j}", b) for j, b in enumerate(v if isinstance(v, tuple) else (v,)))
        paths.append(write(str(src), f"{i:02}.cif", text.encode()))
    out = str(tmp_path / "out")
    with monkeypatch.context() as m:
        m.setattr(_native_typing, "settle", lambda out: None)
        dataset.convert(paths, out, jobs=1, _part_bytes=1, typed=True, **options)
    return out


def files(out):
    found = {}
    for folder, _, names in os.walk(out):
        for name in names:
            if name.endswith(".parquet"):
                path = os.path.join(folder, name)
                meta = (pq.read_metadata(path).metadata or {}).get(_native_typing.FOOTER_KEY)
                found[os.path.relpath(path, out)] = (pq.read_table(path).replace_schema_metadata(None), meta)
    return found


@pytest.mark.parametrize("name,values,options", CASES, ids=[c[0] for c in CASES])
def test_native_settle_writes_what_the_general_route_writes(tmp_path, monkeypatch, name, values, options):
    out = unsettled(tmp_path, values, options, monkeypatch)
    general = str(tmp_path / "general")
    shutil.copytree(out, general)
    results = []
    real = quarzel._native.settle_part
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: results.append(real(*a)) or results[-1])
    _native_typing.settle(out)
    assert results and all(r is True for r in results)  # the native route was taken
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: False)
    _native_typing.settle(general)
    got, want = files(out), files(general)
    assert got.keys() == want.keys()
    for rel in want:
        assert got[rel][0].schema == want[rel][0].schema, rel
        assert got[rel][0].equals(want[rel][0]), rel
        assert got[rel][1] == want[rel][1], rel
    for part in _commits.part_files(os.path.join(out, "t")):  # the kept text lines up with its part
        kept = os.path.join(out, ".text", "t", os.path.basename(part))
        if os.path.exists(kept):
            groups = lambda p: [pq.ParquetFile(p).metadata.row_group(g).num_rows
                                for g in range(pq.ParquetFile(p).metadata.num_row_groups)]
            assert groups(kept) == groups(part)


@pytest.mark.parametrize("name,values,options", CASES, ids=[c[0] for c in CASES])
def test_common_schema_takes_the_schemas_settling_read(tmp_path, monkeypatch, name, values, options):
    """The schemas read while settling stand in for those of the parts it
    left as they were; the parts it wrote again are read again."""
    out = unsettled(tmp_path, values, options, monkeypatch)
    parts = _commits.part_files(os.path.join(out, "t"))
    before = {p: os.stat(p).st_mtime_ns for p in parts}
    known = _native_typing.settle(out)
    rewritten = {p for p in parts if os.stat(p).st_mtime_ns != before[p]}
    assert rewritten and set(known) >= set(parts) - rewritten and not set(known) & rewritten
    _common_schema.write_all(out, None, known)
    folder = os.path.join(out, "t")
    assert pq.read_schema(os.path.join(folder, _common_schema.COMMON)) == _common_schema.common_schema(folder)


def chunk_bytes(path, column):
    meta = pq.read_metadata(path)
    k = meta.schema.names.index(column)
    found = []
    with open(path, "rb") as f:
        for g in range(meta.num_row_groups):
            c = meta.row_group(g).column(k)
            start = c.dictionary_page_offset if c.has_dictionary_page else c.data_page_offset
            f.seek(start)
            found.append(f.read(c.total_compressed_size))
    return found


def test_unchanged_column_chunks_move_byte_for_byte(tmp_path, monkeypatch):
    # Numbers whose text they do not give back: the kept text is whole.
    out = unsettled(tmp_path, ["01", "+2", "abc"], {"_row_group_bytes": 1}, monkeypatch)
    part = _commits.part_files(os.path.join(out, "t"))[0]
    before = {c: chunk_bytes(part, c) for c in ("_file", "_t.name", "_t.n")}
    kept = chunk_bytes(os.path.join(out, ".text", "t", os.path.basename(part)), "_t.v")
    _native_typing.settle(out)
    assert pq.read_schema(part).field("_t.v").type == pa.string()
    for column, chunks in before.items():
        assert chunk_bytes(part, column) == chunks, column
    assert chunk_bytes(part, "_t.v") == kept  # the text kept beside the part, as it was


def test_a_part_another_writer_wrote_takes_the_general_route(tmp_path, monkeypatch):
    out = unsettled(tmp_path, ["1", "2", "abc"], {}, monkeypatch)
    part = _commits.part_files(os.path.join(out, "t"))[0]
    table = pq.read_table(part)
    pq.write_table(table, part)  # pyarrow's file, footer metadata kept
    temp = str(tmp_path / "settled.parquet")
    kept = os.path.join(out, ".text", "t", os.path.basename(part))
    columns = [(0, k, "", False, "", "", -1, -1, -1) for k in range(table.num_columns)]
    assert quarzel._native.settle_part(part, kept, temp, None, columns, [], "k", "v") is False
    assert not os.path.exists(temp)
    _native_typing.settle(out)
    got = dataset.read_table(out, "t")
    assert got.schema.field("_t.v").type == pa.string()
    assert sorted(got.column("_t.v").to_pylist()) == sorted(["1"] * 40 + ["2"] * 40 + ["abc"] * 40)


@pytest.mark.parametrize("columns,text_out,error", [
    ([(3, 0, "", False, "", "", -1, -1, -1)], None, ValueError),  # no such source
    ([(0, 0, "", False, "", "", -1, -1)], None, TypeError),  # a short tuple
    ([(0, 0, "", False, "", "", -1, -1, -1)], 5, TypeError),  # text_out not a path
])
def test_settle_part_rejects_bad_arguments(tmp_path, monkeypatch, columns, text_out, error):
    out = unsettled(tmp_path, ["1", "abc"], {}, monkeypatch)
    part = _commits.part_files(os.path.join(out, "t"))[0]
    with pytest.raises(error):
        quarzel._native.settle_part(part, "", str(tmp_path / "x.parquet"), text_out, columns, [], "k", "v")


def test_a_part_that_cannot_be_read_raises_oserror(tmp_path):
    bad = write(str(tmp_path), "bad.parquet", b"PAR1 not a parquet file")
    with pytest.raises(OSError):
        quarzel._native.settle_part(bad, "", str(tmp_path / "x.parquet"), None, [], [], "k", "v")


@pytest.mark.parametrize("values", [["1", "2", "abc"], ["1", "2", "2.5"]])
def test_float64_layouts_read_back_after_settling(tmp_path, monkeypatch, values):
    out = unsettled(tmp_path, values, {"_rows": 300}, monkeypatch)
    _native_typing.settle(out)
    for part in _commits.part_files(os.path.join(out, "t")):
        meta = pq.read_metadata(part)
        x = meta.row_group(0).column(meta.schema.names.index("_t.x"))
        o = meta.row_group(0).column(meta.schema.names.index("_t.o"))
        assert "BYTE_STREAM_SPLIT" in x.encodings and x.compression == "UNCOMPRESSED", part
        assert o.has_dictionary_page and o.compression == "UNCOMPRESSED", part
    want = sorted([tuple(map(float, float_cells(k).split())) for k in range(300)] * len(values))
    got = dataset.read_table(out, "t")
    assert sorted(zip(got.column("_t.x").to_pylist(), got.column("_t.o").to_pylist())) == want
    duckdb = pytest.importorskip("duckdb")
    rows = duckdb.sql(f"SELECT \"_t.x\", \"_t.o\" FROM read_parquet('{out}/t/*.parquet')").fetchall()
    assert sorted(rows) == want


# The text of a column of ? and . alone is kept from the part's start when
# the part keeps text (it has numbers), so settling it to numbers leaves
# the kept text as it is. Each case: `_t.v` file by file (a part each),
# whether the table has the integer column `_t.n`, whether the parts of
# ? and . keep `_t.v`'s text before settling, and whether settling writes
# the kept text of the first of them again.
PLACEHOLDER_CASES = [
    ("placeholders then numbers", ["?", ".", "7"], True, True, False),
    ("placeholders then text: kept, never used", ["?", "abc"], True, True, False),
    ("after text: not kept", ["abc", "?", "7"], True, False, False),
    ("no numbers in the part: the kept text is made by settling", ["?", "7"], False, False, True),
]


@pytest.mark.parametrize("name,values,numbers,kept_before,rewritten", PLACEHOLDER_CASES,
                         ids=[c[0] for c in PLACEHOLDER_CASES])
def test_placeholder_text_kept_from_the_start(tmp_path, monkeypatch, name, values, numbers, kept_before,
                                              rewritten):
    src = tmp_path / "in"
    src.mkdir()
    tags = "_t.v _t.name" + (" _t.n" if numbers else "")
    paths = [write(str(src), f"{i:02}.cif",
                   f"data_b{i}\nloop_ {tags}\n".encode()
                   + "".join(f"{v} w{k}" + (f" {k}" if numbers else "") + "\n" for k in range(40)).encode())
             for i, v in enumerate(values)]
    out = str(tmp_path / "out")
    with monkeypatch.context() as m:
        m.setattr(_native_typing, "settle", lambda out: None)
        dataset.convert(paths, out, jobs=1, _part_bytes=1, typed=True)
    parts = _commits.part_files(os.path.join(out, "t"))
    assert len(parts) == len(values)
    kept = [os.path.join(out, ".text", "t", os.path.basename(p)) for p in parts]
    placeholders = [k for k, v in enumerate(values) if v in "?."]
    for k in placeholders:
        assert (os.path.exists(kept[k]) and "_t.v" in pq.read_schema(kept[k]).names) == kept_before, k
    first = kept[placeholders[0]]
    before = os.stat(first).st_ino if os.path.exists(first) else None
    _native_typing.settle(out)
    assert (os.stat(first).st_ino != before) == rewritten
    if kept_before or rewritten:  # the file's text, row for row
        assert pq.read_table(first).column("_t.v").to_pylist() == [values[placeholders[0]]] * 40
    got = dataset.read_table(out, "t").sort_by([("_file", "ascending")]).column("_t.v").to_pylist()
    if "abc" in values:
        assert got == [v for v in values for _ in range(40)]
    else:
        assert got == [None] * 40 * (len(values) - 1) + [int(values[-1])] * 40


# Text that becomes numbers over several pages of one row group (a page
# holds about 1 MB of text): each row's status comes from its own text,
# whatever page it is on. Each case: the text of row k, then the number
# that makes the column numbers in a later part.
PAGES_CASES = [
    ("? and . in blocks", lambda k: "?" if k // 50_000 % 2 else ".", "7"),
    ("words among placeholders: the column stays text", lambda k: "abc" if k == 150_001 else "?", "7"),
    ("? and . alternating, then a fraction", lambda k: "?." [k % 2], "2.5"),
]


@pytest.mark.parametrize("name,cell,number", PAGES_CASES, ids=[c[0] for c in PAGES_CASES])
def test_text_over_several_pages_settles_row_by_row(tmp_path, monkeypatch, name, cell, number):
    src = tmp_path / "in"
    src.mkdir()
    n = 300_000
    first = [cell(k) for k in range(n)]
    paths = [write(str(src), "00.cif", ("data_a\nloop_ _t.v _t.n\n"
                                        + "".join(f"{v} {k}\n" for k, v in enumerate(first))).encode()),
             write(str(src), "01.cif", f"data_b\nloop_ _t.v _t.n\n{number} 1\n".encode())]
    out = str(tmp_path / "out")
    with monkeypatch.context() as m:
        m.setattr(_native_typing, "settle", lambda out: None)
        dataset.convert(paths, out, jobs=1, _part_bytes=1, typed=True)
    results = []
    real = quarzel._native.settle_part
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: results.append(real(*a)) or results[-1])
    _native_typing.settle(out)
    got = dataset.read_table(out, "t").sort_by([("_file", "ascending")])
    if "abc" in first:
        assert not results  # text already: nothing to settle
        assert got.column("_t.v").to_pylist() == first + [number]
        return
    assert results == [True]
    names = {"?": "unknown", ".": "inapplicable"}
    assert got.column("_t.v_status").to_pylist() == [names[v] for v in first] + ["number"]
    assert got.column("_t.v").to_pylist() == [None] * n + [float(number) if "." in number else int(number)]


@pytest.mark.parametrize("route", ["native", "general"])
def test_integers_that_become_float64_keep_negative_zero(tmp_path, monkeypatch, route):
    """The int64 of `-0` is 0; settled to float64 it is -0.0, as typing the
    whole table at once gives."""
    import math

    out = unsettled(tmp_path, ["-0|3(1)|?", "2.5"], {}, monkeypatch)
    if route == "general":
        monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: False)
    _native_typing.settle(out)
    t = dataset.read_table(out, "t").sort_by([("_file", "ascending"), ("_t.n", "ascending")])
    got = list(zip(t.column("_t.v").to_pylist(), t.column("_t.v_su").to_pylist(),
                   t.column("_t.v_status").to_pylist()))[:3]
    assert got == [(0.0, None, "number"), (3.0, 1.0, "number"), (None, None, "unknown")]
    assert math.copysign(1, got[0][0]) == -1
