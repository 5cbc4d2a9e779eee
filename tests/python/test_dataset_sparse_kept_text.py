"""Text kept beside a typed part only where its numbers cannot give it
back: the text numbers give back, and settling, updating and the kinds of
rows kept come out as from text kept in full."""

import os
import random
import re
import shutil

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quarzel
from quarzel import _commits, _kept_text, _native_typing, _update, dataset
from quarzel.numbers import ColumnCounts, number, typed_table
from test_dataset import write

# A plain decimal of at most 8 bytes that is the text its number gives
# back, an su of up to 4 digits after it: the rows the engine keeps no text for.
GIVEN_BACK = re.compile(r"(-?(?:0|[1-9][0-9]*)(?:\.[0-9]*[1-9])?)(?:\((?:0|[1-9][0-9]{0,3})\))?")


def given_back(text):
    m = GIVEN_BACK.fullmatch(text)
    return bool(m) and len(m.group(1)) <= 8 and not re.match(r"-0(\(|$)", text)


# Each case: value, su (None: none), whether int64, the text.
TEXTS = [
    (104.5, None, False, "104.5"),
    (-3.125, None, False, "-3.125"),
    (12.0, None, False, "12"),  # no ".0"
    (1e-05, None, False, "0.00001"),  # no exponent
    (1e-07, 3e-08, False, "0.0000001(0)"),
    (-0.0, None, False, "-0"),
    (2.0**60, None, False, "1152921504606846976"),  # an integer in full, exactly
    (1e23, None, False, "99999999999999991611392"),
    (0.1 + 0.2, None, False, "0.30000000000000004"),
    (0.36512, 4e-05, False, "0.36512(4)"),  # su in units of the last digit
    (12.0, 3.0, False, "12(3)"),
    (1.5, 1e20, False, "1.5(1e+20)"),  # an su too large for digits
    (12, 3, True, "12(3)"),
    (-7, None, True, "-7"),
]


@pytest.mark.parametrize("value,su,ints,text", TEXTS, ids=[c[3] for c in TEXTS])
def test_the_text_numbers_give_back(value, su, ints, text):
    kind = pa.int64() if ints else pa.float64()
    got = _kept_text.number_text(pa.array([value, 1], kind), pa.array([su, None], kind))
    assert got.to_pylist() == [text, "1"]


@pytest.mark.parametrize("seed", range(3))
def test_text_left_out_is_given_back(seed):
    rng = random.Random(seed)
    texts = []
    while len(texts) < 3000:
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 8)))
        k = rng.randint(1, len(digits))
        t = rng.choice(["", "-"]) + digits[:k] + ("." + digits[k:] if k < len(digits) else "")
        t += rng.choice(["", f"({rng.randint(0, 9999)})"])
        if given_back(t):
            texts.append(t)
    parsed = [number(t) for t in texts]
    doubles = _kept_text.number_text(pa.array([float(v) for v, _ in parsed]),
                                     pa.array([None if s is None else float(s) for _, s in parsed]))
    assert doubles.to_pylist() == texts
    ints = [(t, v, s) for t, (v, s) in zip(texts, parsed) if isinstance(v, int)]
    got = _kept_text.number_text(pa.array([v for _, v, _ in ints]), pa.array([s for _, _, s in ints], pa.int64()))
    assert got.to_pylist() == [t for t, _, _ in ints]


def sparsify(out, placeholders=False):
    """Nulls the kept text of numeric columns where the engine would keep
    none (and of ? and ., which it keeps, with `placeholders`)."""
    for folder, _, names in os.walk(os.path.join(out, ".text")):
        for name in names:
            part = os.path.join(out, os.path.relpath(folder, os.path.join(out, ".text")), name)
            layouts = _native_typing.footer(part)["columns"]
            kept = pq.read_table(os.path.join(folder, name))
            for k, column in enumerate(kept.column_names):
                if layouts[column]["type"] != "text":
                    cells = [None if t is not None and (given_back(t) or placeholders and t in "?.") else t
                             for t in kept[column].to_pylist()]
                    kept = kept.set_column(k, column, pa.array(cells, pa.string()))
            pq.write_table(kept, os.path.join(folder, name))


EARLY = ["104.500", "104.5", "-0", "0.36512(4)", "1.20(3)", "?", ".", "+5", "1e5", "12", "0.00001", "-3.125"]
# Each case: `_t.v` of the first file's rows, then of the last file's.
SETTLE_CASES = [
    ("numbers become text", EARLY, ["abc"]),
    ("int64 becomes text", ["12", "-7", "12(3)", "+5", "007", "?", "-0"], ["x"]),
    ("int64 becomes float64", ["-0", "12(3)", "7", "?", ".", "+5(2)", "-12", "9007199254740993"], ["2.5"]),
    ("int64 gains an su", ["12", "-3", "."], ["5(1)"]),
]


def typed_dataset(tmp_path, monkeypatch, early, late):
    src = tmp_path / "in"
    src.mkdir()
    paths = [write(str(src), f"{i}.cif", (f"data_b{i}\nloop_ _t.v _t.n\n"
                                          + "".join(f"{v} {k - 3}\n" for k, v in enumerate(cells))).encode())
             for i, cells in enumerate([early, early[::-1], late])]
    out = str(tmp_path / "out")
    with monkeypatch.context() as m:
        m.setattr(_native_typing, "settle", lambda out: None)
        dataset.convert(paths, out, jobs=1, _part_bytes=1, typed=True)
    return out, early + early[::-1] + late


def table_of(out):
    return dataset.read_table(out, "t").sort_by([("_file", "ascending")]).drop_columns(["_file", "_block_name"])


def cells_of(table):
    """Each column's values, -0.0 told from 0.0."""
    return {n: [repr(v) for v in table[n].to_pylist()] for n in table.column_names}


@pytest.mark.parametrize("placeholders", [False, True], ids=["as the engine", "? and . too"])
@pytest.mark.parametrize("name,early,late", SETTLE_CASES, ids=[c[0] for c in SETTLE_CASES])
def test_settling_from_sparse_text_equals_full_text(tmp_path, monkeypatch, name, early, late, placeholders):
    full, cells = typed_dataset(tmp_path, monkeypatch, early, late)
    sparse = str(tmp_path / "sparse")
    shutil.copytree(full, sparse)
    sparsify(sparse, placeholders)
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: False)  # the general route
    for out in (full, sparse):
        _native_typing.settle(out)
    assert table_of(sparse).schema == table_of(full).schema
    assert cells_of(table_of(sparse)) == cells_of(table_of(full))
    text = pa.table({"_t.v": pa.array(cells), "_t.n": pa.array([str(k - 3) for c in (early, early[::-1], late)
                                                                for k in range(len(c))])})
    want = typed_table(text)
    got = table_of(sparse)
    assert got.column_names == want.column_names
    assert cells_of(got) == cells_of(want)


@pytest.mark.parametrize("placeholders", [False, True], ids=["as the engine", "? and . too"])
@pytest.mark.parametrize("keep", [None, [0, 1], [5, 6], [1, 9, 11], [2, 4]])
@pytest.mark.parametrize("name,early,late", SETTLE_CASES, ids=[c[0] for c in SETTLE_CASES])
def test_kinds_of_kept_rows_from_sparse_text_equal_full_text(tmp_path, monkeypatch, name, early, late, keep,
                                                              placeholders):
    full, _ = typed_dataset(tmp_path, monkeypatch, early, late)
    sparse = str(tmp_path / "sparse")
    shutil.copytree(full, sparse)
    sparsify(sparse, placeholders)
    for part in _commits.part_files(os.path.join(full, "t")):
        table, layouts = pq.read_table(part), _native_typing.footer(part)["columns"]
        rows = pa.array([k for k in keep or range(table.num_rows) if k < table.num_rows], pa.int64())
        kinds = [_update._kinds_of(table.take(rows), layouts,
                                   pq.read_table(os.path.join(out, ".text", "t", os.path.basename(part))).take(rows))
                 for out in (full, sparse)]
        assert kinds[1] == kinds[0], part


# Numbers whose text the engine never leaves out, read without kept text:
# the kinds given back are those of the text the numbers give back.
@pytest.mark.parametrize("values,su", [
    ([1e19, 3.0, None], None),
    ([2.0**63], None),
    ([-(2.0**63), 3.0], None),
    ([2.5, -0.0, 1e-05], [0.1, None, None]),
    ([7.0, 12.0], [None, None]),
])
def test_kinds_given_back_are_those_of_the_text_made(values, su):
    part = pa.table({"v": pa.array(values, pa.float64()), "s": pa.array(su or [None] * len(values), pa.float64())})
    layout = {"type": "float64", "su": "s"}
    text = _kept_text.column_text(part.to_batches()[0], None, "v", layout)
    counts = ColumnCounts()
    counts.add(text)
    given = _kept_text.given_back_kinds(part, None, "v", layout)
    assert (given.numbers, given.su, given.fractions) == (counts.numbers, counts.su, not counts.integral)


# Each case: `_t.v` of each file (one part holds them all), then the
# update: a file's new cells (its rows leave the part, which keeps the
# others' rows and their kinds) or a new file's.
UPDATE_CASES = [
    ("the fractions leave: int64 again", [["104.5", "2.25", "?"], ["12", "-3", "7(2)"]], 0, ["5", "6"]),
    ("text arrives", [["104.500", "1.5"], ["-0", "0.36512(4)", "12"]], 2, ["abc"]),
    ("a file changes to text", [["104.5", "."], ["1e5", "+5", "0.00001"]], 1, ["7", "x"]),
    ("an su leaves", [["1.5(2)", "3"], ["2.5", "-1.25"]], 0, ["4"]),
]


@pytest.mark.parametrize("name,files,changed,cells", UPDATE_CASES, ids=[c[0] for c in UPDATE_CASES])
def test_an_update_over_sparse_text_equals_a_fresh_conversion(tmp_path, monkeypatch, name, files, changed, cells):
    src = tmp_path / "in"
    src.mkdir()

    def put(i, values):
        return write(str(src), f"{i}.cif", (f"data_b{i}\nloop_ _t.v _t.n\n"
                                             + "".join(f"{v} {k}\n" for k, v in enumerate(values))).encode())

    inputs = [put(i, values) for i, values in enumerate(files)]
    out = str(tmp_path / "out")
    dataset.convert(inputs, out, jobs=1, typed=True)
    sparsify(out)
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: False)
    path = put(changed, cells)
    inputs = sorted(set(inputs) | {path})
    dataset.convert(inputs, out, update=True, jobs=1)
    fresh = str(tmp_path / "fresh")
    dataset.convert(inputs, fresh, jobs=1, typed=True)
    assert table_of(out).schema == table_of(fresh).schema
    assert cells_of(table_of(out)) == cells_of(table_of(fresh))
