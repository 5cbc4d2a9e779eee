"""The numbers of a typed run against the general reading of their text:
every value of every numeric column of every part, bit for bit (-0.0
included), with its su and status, against quarzel.numbers.numbers over
its text: kept beside the part (OUT/.text/, same rows) where the number
does not give it back. That text, kept or given back, is the text an
untyped run writes, row for row."""

import glob
import importlib
import os

import numpy as np
import pyarrow as pa
import pytest

import pyarrow.parquet as pq
from quarzel import _kept_text, _native_typing, dataset

numbers = importlib.import_module("quarzel.numbers")
HERE = os.path.dirname(os.path.abspath(__file__))
PDB = os.path.join(HERE, "..", "data", "pdb")


def loop_file(path, columns):
    """A file of one loop `_t.<name>` holding the columns' values row by row."""
    names = list(columns)
    rows = max(len(v) for v in columns.values())
    with open(path, "w") as f:
        f.write("data_x\nloop_\n" + "".join(f"_t.{n}\n" for n in names))
        for r in range(rows):
            f.write(" ".join(columns[n][r % len(columns[n])] for n in names) + "\n")


# Each case: columns of values, each column a run of one kind (what the
# reading of a typed run takes on a route of its own).
CASES = [
    ("su: decimals and integers", {
        "x": ["0.36512(4)", "-12.5(11)", "1.5(3)", "+4(1)", "-0.0(1)", "5.(2)", ".5(12)", "7"],
        "n": ["12(4)", "7(2)", "-3(0)", "12345678(12345678)", "1(05)", "8"],
    }),
    ("runs of one value, across the turn to float64", {
        "occ": ["1.00"] * 30 + ["0.50"] * 3 + ["1.00"] * 30,
        "model": ["1"] * 40 + ["2"] * 40,
        "z": ["0.5"] + ["-0"] * 5 + ["-0.0"] * 5,
    }),
    ("-0 read as an integer before the column turns to float64", {
        "a": ["-0", "-0", "0", "-0", "0.5"],          # repeated on the short route
        "b": ["1", "-00", "-0(1)", "2", "1.5(2)"],     # with an su
        "c": ["-0000000000", "12", "-0000000000", "1e3"],  # the long route
        "d": ["-0", "+0", "-0", "3"],                  # stays int64
        "m": ["3"] * 5 + ["0.5(2)"] + ["3"] * 5 + ["1e2"] + ["3"] * 3,
    }),
    ("edge forms", {
        "e": ["-0.0", "-0", "007", "-007.50", ".5", "5.", "+1", "12345678901234567", "1e-5",
              "1E+3", "123456789(1)", "1(123456789)", "1.5e3(2)", "12345678.9(1)", "?", "."],
        "i": ["00000000000000000001", "-9223372036854775808", "9223372036854775807", "?"],
    }),
]


def untyped_rows(plain):
    """(file, block, row within the block) -> row, per table, of an untyped run."""
    found = {}
    for table in dataset.tables(plain):
        t = dataset.read_table(plain, table)
        seen, rows = {}, {}
        for r, key in enumerate(zip(t["_file"].to_pylist(), t["_block_name"].to_pylist())):
            seen[key] = seen.get(key, -1) + 1
            rows[key + (seen[key],)] = r
        found[table] = (t, rows)
    return found


def check_dataset(out, plain):
    checked = 0
    untyped = untyped_rows(plain)
    for kept in glob.glob(os.path.join(out, ".text", "*", "*.parquet")):
        table = os.path.basename(os.path.dirname(kept))
        path = os.path.join(out, table, os.path.basename(kept))
        part = pq.read_table(path)
        layouts = _native_typing.footer(path)["columns"]
        kept_text = pq.read_table(kept)
        plain_table, plain_rows = untyped[table]
        seen, order = {}, []
        for key in zip(part["_file"].to_pylist(), part["_block_name"].to_pylist()):
            seen[key] = seen.get(key, -1) + 1
            order.append(plain_rows[key + (seen[key],)])
        for name in kept_text.column_names:
            kind = part.schema.field(name).type
            if not (pa.types.is_int64(kind) or pa.types.is_float64(kind)):
                continue  # turned text
            full = _kept_text.column_text(part.combine_chunks().to_batches()[0],
                                          kept_text.combine_chunks().to_batches()[0], name, layouts[name])
            text = pa.table({name: full})
            assert full.to_pylist() == plain_table[name].take(order).to_pylist(), (table, name)
            ref = numbers.numbers(text.column(name))
            got = part.column(name).combine_chunks()
            assert got.is_null().equals(ref.field("value").is_null()), (table, name)
            if pa.types.is_int64(kind):
                words = text.column(name).to_pylist()
                want = [int(w.split("(")[0]) if v is not None else None
                        for w, v in zip(words, got.to_pylist())]
                assert got.to_pylist() == want, (table, name)
            else:
                a = np.asarray(got.fill_null(0.0).to_numpy()).view(np.int64)
                b = np.asarray(ref.field("value").fill_null(0.0).to_numpy()).view(np.int64)
                assert np.array_equal(a, b), (table, name)
            su = ref.field("su")
            if name + "_su" in part.column_names:
                mine = part.column(name + "_su").combine_chunks().cast(pa.float64())
                assert mine.is_null().equals(su.is_null()), (table, name)
                a = np.asarray(mine.fill_null(0.0).to_numpy()).view(np.int64)
                b = np.asarray(su.fill_null(0.0).to_numpy()).view(np.int64)
                assert np.array_equal(a, b), (table, name)
            else:
                assert su.null_count == len(su), (table, name)
            status = ref.field("status").cast(pa.string()).to_pylist()
            if name + "_status" in part.column_names:
                mine = part.column(name + "_status").combine_chunks().cast(pa.string())
                assert mine.to_pylist() == status, (table, name)
            else:
                assert set(status) <= {"number", None}, (table, name)
            checked += len(got)
    return checked


@pytest.mark.parametrize("name,columns", CASES, ids=[c[0] for c in CASES])
def test_typed_numbers_as_read_one_by_one(tmp_path, name, columns):
    src = tmp_path / "in"
    src.mkdir()
    loop_file(str(src / "a.cif"), columns)
    out = str(tmp_path / "out")
    dataset.convert([str(src)], out, typed=True, _part_bytes=1)
    plain = str(tmp_path / "plain")
    dataset.convert([str(src)], plain)
    assert check_dataset(out, plain) >= max(len(v) for v in columns.values())


@pytest.mark.skipif(not os.path.isdir(PDB), reason="no PDB entries")
def test_typed_numbers_of_pdb_entries(tmp_path):
    out = str(tmp_path / "out")
    dataset.convert([PDB], out, typed=True, jobs=2, _part_bytes=1)
    plain = str(tmp_path / "plain")
    dataset.convert([PDB], plain, jobs=2)
    assert check_dataset(out, plain) > 100_000
