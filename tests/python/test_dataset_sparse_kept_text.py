"""Settling natively from kept text that holds only what the numbers
cannot give back (null where the part's number gives its text back, as
the engine writes it, and with ? and . or a whole column left out too):
the cells are those of quarzel.numbers.typed_table over the same files."""

import glob
import json
import os
from decimal import Decimal

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quarzel
from quarzel import _commits, _native, _native_typing, dataset
from quarzel.numbers import typed_table
from test_dataset import by_file_rows, write


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
    ? and . with `placeholders`; drops `_t.v` left all null with
    `drop_empty`). Returns the rows nulled."""
    nulled = 0
    for path in glob.glob(os.path.join(out, ".text", "*", "*.parquet")):
        part = pq.ParquetFile(os.path.join(out, *path.split(os.sep)[-2:]))
        layouts = json.loads(part.metadata.metadata[_native_typing.FOOTER_KEY])["columns"]
        kept = pq.ParquetFile(path)
        groups = [kept.read_row_group(g) for g in range(kept.metadata.num_row_groups)]
        for g, text in enumerate(groups):
            numbers = part.read_row_group(g).to_pydict()
            for name, layout in layouts.items():
                if layout["type"] == "text" or name not in text.schema.names:
                    continue
                values, cells = numbers[name], text.column(name).to_pylist()
                sus = numbers.get(layout.get("su"), [None] * len(cells))
                status = numbers.get(layout.get("status"), ["number" if v is not None else None for v in values])
                for r, cell in enumerate(cells):
                    back = {"unknown": "?", "inapplicable": "."}.get(status[r]) if placeholders else None
                    if status[r] == "number":
                        back = given_back(values[r], sus[r], layout["type"] == "int64")
                    if cell is not None and cell == back:
                        cells[r], nulled = None, nulled + 1
                text = text.set_column(text.schema.names.index(name), name, pa.array(cells, pa.string()))
            groups[g] = text
        if drop_empty and "_t.v" in kept.schema_arrow.names and all(t["_t.v"].null_count == len(t) for t in groups):
            groups = [t.drop_columns(["_t.v"]) for t in groups]
        write_kept(path, groups)
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
def test_settled_from_sparse_kept_text_as_typed_table(tmp_path, monkeypatch, name, values, options, sparse, kind):
    paths, out = unsettled(tmp_path, values, options, monkeypatch)
    if sparse:
        make_sparse(out, **sparse)  # text left out beyond what the engine leaves
    settled_natively(out, monkeypatch)
    table = dataset.read_table(out, "t")
    assert table.schema.field("_t.v").type == kind
    plain = str(tmp_path / "plain")
    dataset.convert(paths, plain, jobs=1)
    assert by_file_rows(table) == by_file_rows(typed_table(dataset.read_table(plain, "t")))
