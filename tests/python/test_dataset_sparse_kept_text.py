"""Settling from kept text that holds only what the numbers cannot give
back (null where the part's number gives its text back): the settled parts
are those settled from the whole kept text, and the cells those of
quarzel.numbers.typed_table over the same files."""

import glob
import json
import os
import shutil
from decimal import Decimal

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quarzel
from quarzel import _commits, _native, _native_typing, dataset
from quarzel.numbers import typed_table
from test_dataset import by_file_rows, write
from test_dataset_settle import chunk_bytes


def given_back(value, su, integers):
    """The text a number gives back: the shortest plain decimal, its su in
    units of the last digit."""
    if integers:
        text, su_text = str(value), None if su is None else str(su)
    else:
        text = format(Decimal(repr(value)), "f")
        text = text[:-2] if text.endswith(".0") else text
        su_text = None if su is None else str(round(su * 10 ** len(text.partition(".")[2])))
    return text if su_text is None else f"{text}({su_text})"


def make_sparse(out, placeholders=False, drop_empty=False):
    """Nulls the kept text of every row whose number gives it back (and of
    ? and . with `placeholders`; `_t.v` left all null is dropped with
    `drop_empty`). Returns the rows nulled."""
    nulled = 0
    for kept_path in glob.glob(os.path.join(out, ".text", "*", "*.parquet")):
        table_dir = os.path.join(out, os.path.basename(os.path.dirname(kept_path)))
        part = pq.ParquetFile(os.path.join(table_dir, os.path.basename(kept_path)))
        layouts = json.loads(part.metadata.metadata[_native_typing.FOOTER_KEY])["columns"]
        kept = pq.ParquetFile(kept_path)
        groups = []
        for g in range(kept.metadata.num_row_groups):
            text, numbers = kept.read_row_group(g), part.read_row_group(g)
            columns = []
            for name in text.schema.names:
                cells = text.column(name).to_pylist()
                layout = layouts.get(name, {"type": "text"})
                if layout["type"] != "text":
                    values = numbers.column(name).to_pylist()
                    sus = numbers.column(layout["su"]).to_pylist() if "su" in layout else [None] * len(cells)
                    status = (numbers.column(layout["status"]).to_pylist() if "status" in layout
                              else ["number" if v is not None else None for v in values])
                    for r, cell in enumerate(cells):
                        back = {"unknown": "?", "inapplicable": "."}.get(status[r]) if placeholders else None
                        if status[r] == "number":
                            back = given_back(values[r], sus[r], layout["type"] == "int64")
                        if cell is not None and cell == back:
                            cells[r] = None
                            nulled += 1
                columns.append(pa.array(cells, pa.string()))
            groups.append(pa.Table.from_arrays(columns, names=text.schema.names))
        if drop_empty:
            empty = [n for n in ["_t.v"] if n in groups[0].schema.names and all(t.column(n).null_count == len(t) for t in groups)]
            groups = [t.drop_columns(empty) for t in groups]
        write_kept(kept_path, groups)
    return nulled


def write_kept(path, groups):
    """Writes kept text a row group per table, its pages as the engine
    writes them (plain, compressed) and the engine named as its writer: the
    native route takes only files the engine wrote."""
    with pq.ParquetWriter(path, groups[0].schema, compression="snappy", use_dictionary=False) as w:
        for t in groups:
            w.write_table(t)
    with open(path, "rb") as f:
        data = f.read()
    size = int.from_bytes(data[-8:-4], "little")
    footer = data[-8 - size:-8]
    at = footer.index(b"parquet-cpp-arrow")
    assert footer[at - 1] < 128  # its length, a varint of one byte
    footer = footer[:at - 1] + b"\x07quarzel" + footer[at + footer[at - 1]:]
    with open(path, "wb") as f:
        f.write(data[:-8 - size] + footer + len(footer).to_bytes(4, "little") + b"PAR1")


def unsettled(tmp_path, values, options, monkeypatch):
    """A typed run of a file (a part) per item of `values`, not settled:
    `_t.v` takes the values "a|b|..." in turn, `_t.n` counts the rows; a
    tuple of them makes blocks of one file."""
    src = tmp_path / "in"
    src.mkdir()
    paths = []
    for i, v in enumerate(values):  # a tuple: the blocks of one file
        text = ""
        for j, block in enumerate(v if isinstance(v, tuple) else (v,)):
            cells = block.split("|")
            rows = "".join(f"{cells[k % len(cells)]} {k}\n" for k in range(max(len(cells), 12)))
            text += f"data_b{i}_{j}\nloop_ _t.v _t.n\n{rows}"
        paths.append(write(str(src), f"{i:02}.cif", text.encode()))
    out = str(tmp_path / "out")
    with monkeypatch.context() as m:
        m.setattr(_native_typing, "settle", lambda out: None)
        dataset.convert(paths, out, jobs=1, _part_bytes=1, typed=True, **options)
    return paths, out


def settled_natively(out, monkeypatch):
    results = []
    real = _native.settle_part
    with monkeypatch.context() as m:
        m.setattr(quarzel._native, "settle_part", lambda *a: results.append(real(*a)) or results[-1])
        _native_typing.settle(out)
    assert results and all(r is True for r in results)  # the native route was taken
    parts = _commits.part_files(os.path.join(out, "t"))
    return {os.path.basename(p): pq.read_table(p).replace_schema_metadata(None) for p in parts}


# Each case: `_t.v` file by file, the run's options, the sparse kept text's
# form, and the type `_t.v` settles to.
CASES = [
    ("coordinates ending in 0, then text", ["104.500|1.25|-3.10|7", "2.5", "abc"], {}, {}, pa.string()),
    ("-0 and zero-led integers, then text", ["-0|0|5|007", "-12", "x"], {}, {}, pa.string()),
    ("su, then text", ["1.5(2)|0.36512(4)|12.50(30)|7|3(1)", "x"], {}, {}, pa.string()),
    ("integers with su, then text", ["7(2)|12(04)|-3(1)", "x"], {}, {}, pa.string()),
    ("? and . kept, then text", ["1|?|.|2", "x"], {}, {}, pa.string()),
    ("? and . given back, then text", ["1.5|?|.|2", "x"], {}, {"placeholders": True}, pa.string()),
    ("late text over row groups", [("1|2", "3|4.50"), "y|5"], {"_row_group_bytes": 1}, {}, pa.string()),
    ("every number given back, kept column dropped", ["1|2|3", "abc"], {}, {"drop_empty": True},
     pa.string()),
    ("int64 then float64: -0 and su", ["1|-0|7(2)|-00|?", "2.5"], {}, {}, pa.float64()),
    ("int64 then float64, placeholders given back", ["1|.|-0|?", "2.5(1)"], {}, {"placeholders": True},
     pa.float64()),
    ("int64 then float64 over row groups", [("4|-0", "5|6"), "0.5"], {"_row_group_bytes": 1}, {},
     pa.float64()),
]


@pytest.mark.parametrize("name,values,options,sparse,kind", CASES, ids=[c[0] for c in CASES])
def test_settled_from_sparse_kept_text_as_from_whole(tmp_path, monkeypatch, name, values, options, sparse, kind):
    paths, out = unsettled(tmp_path, values, options, monkeypatch)
    whole = str(tmp_path / "whole")
    shutil.copytree(out, whole)
    assert make_sparse(out, **sparse) > 0  # some text left to the numbers
    got, want = settled_natively(out, monkeypatch), settled_natively(whole, monkeypatch)
    assert got.keys() == want.keys()
    for part in want:
        assert got[part].schema == want[part].schema, part
        # repr tells -0.0 from 0.0
        assert repr(got[part].to_pylist()) == repr(want[part].to_pylist()), part
    table = dataset.read_table(out, "t")
    assert table.schema.field("_t.v").type == kind
    plain = str(tmp_path / "plain")
    dataset.convert(paths, plain, jobs=1)
    assert by_file_rows(table) == by_file_rows(typed_table(dataset.read_table(plain, "t")))


def test_whole_row_groups_of_kept_text_still_move_byte_for_byte(tmp_path, monkeypatch):
    """A row group whose kept text is whole moves as it is; one whose text
    was left to the numbers is written again, in the same part."""
    _, out = unsettled(tmp_path, [("1|2", "3|-0"), "x"], {"_row_group_bytes": 1}, monkeypatch)
    part = _commits.part_files(os.path.join(out, "t"))[0]
    kept_path = os.path.join(out, ".text", "t", os.path.basename(part))
    kept = pq.ParquetFile(kept_path)
    groups = [kept.read_row_group(g) for g in range(kept.metadata.num_row_groups)]
    assert len(groups) > 1
    text = groups[0].column("_t.v").to_pylist()
    write_kept(kept_path, [groups[0].set_column(0, "_t.v", pa.array([None if v == "2" else v for v in text]))]
               + groups[1:])
    before = chunk_bytes(kept_path, "_t.v")
    settled_natively(out, monkeypatch)
    after = chunk_bytes(part, "_t.v")
    assert after[1:] == before[1:] and after[0] != before[0]
    assert [v for t in groups for v in t.column("_t.v").to_pylist()] == pq.read_table(part).column("_t.v").to_pylist()
