"""Text kept beside a typed part only where its numbers cannot give it
back: the text numbers give back, and parts settled or updated from it
come out as a fresh conversion does."""

import os
import random
import re

import pyarrow as pa
import pyarrow.parquet as pq
import pytest

import quarzel
from quarzel import _kept_text, _native_typing, dataset
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
    (12.0, None, False, "12"),  # no ".0"
    (1e-05, None, False, "0.00001"),  # no exponent
    (-0.0, None, False, "-0"),
    (2.0**60, None, False, "1152921504606846976"),  # an integer in full, exactly
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
            layouts = _native_typing.footer(os.path.join(out, os.path.basename(folder), name))["columns"]
            kept = pq.read_table(os.path.join(folder, name))
            for k, column in enumerate(kept.column_names):
                if layouts[column]["type"] != "text":
                    cells = [None if t and (given_back(t) or placeholders and t in "?.") else t
                             for t in kept[column].to_pylist()]
                    kept = kept.set_column(k, column, pa.array(cells, pa.string()))
            pq.write_table(kept, os.path.join(folder, name))


def convert(tmp_path, files, name="out", **options):
    """A typed dataset of one file per list of `_t.v` cells (`_t.n` counts rows)."""
    src = tmp_path / "in"
    src.mkdir(exist_ok=True)
    paths = [write(str(src), f"{i}.cif", (f"data_b{i}\nloop_ _t.v _t.n\n"
                                          + "".join(f"{v} {k}\n" for k, v in enumerate(cells))).encode())
             for i, cells in enumerate(files)]
    out = str(tmp_path / name)
    dataset.convert(paths, out, jobs=1, typed=True, **options)
    return out, paths


def table_of(out):
    return dataset.read_table(out, "t").sort_by([("_file", "ascending")]).drop_columns(["_file", "_block_name"])


def cells_of(table):
    """Each column's name and values, -0.0 told from 0.0 and 7 from 7.0."""
    return [(n, [repr(v) for v in table[n].to_pylist()]) for n in table.column_names]


EARLY = ["104.500", "104.5", "-0", "0.36512(4)", "1.20(3)", "?", ".", "+5", "1e5", "12", "0.00001", "-3.125"]
# Each case: `_t.v` of each file (a part each); the last file retypes the others.
SETTLE_CASES = [
    ("numbers become text", [EARLY, EARLY[::-1], ["abc"]]),
    ("int64 becomes text", [["12", "-7", "12(3)", "+5", "007", "?", "-0"], ["x"]]),
    ("int64 becomes float64", [["-0", "12(3)", "7", "?", ".", "+5(2)", "-12", "9007199254740993"], ["2.5"]]),
    ("int64 gains an su", [["12", "-3", "."], ["5(1)"]]),
]


@pytest.mark.parametrize("placeholders", [False, True], ids=["as the engine", "? and . too"])
@pytest.mark.parametrize("name,files", SETTLE_CASES, ids=[c[0] for c in SETTLE_CASES])
def test_settling_from_sparse_text_types_as_typed_table(tmp_path, monkeypatch, name, files, placeholders):
    with monkeypatch.context() as m:
        m.setattr(_native_typing, "settle", lambda out: None)
        out, _ = convert(tmp_path, files, _part_bytes=1)
    sparsify(out, placeholders)
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: False)  # the general route
    _native_typing.settle(out)
    want = typed_table(pa.table({"_t.v": [v for f in files for v in f],
                                 "_t.n": [str(k) for f in files for k in range(len(f))]}))
    assert cells_of(table_of(out)) == cells_of(want)


# Numbers whose text the engine never leaves out, read without kept text:
# the kinds given back are those of the text the numbers give back.
@pytest.mark.parametrize("values,su", [
    ([1e19, 3.0, None], None),
    ([2.0**63], None),
    ([-(2.0**63), 3.0], None),
    ([2.5, -0.0, 1e-05], [0.1, None, None]),
    ([7.0, 12.0], None),
])
def test_kinds_given_back_are_those_of_the_text_made(values, su):
    part = pa.table({"v": pa.array(values, pa.float64()), "s": pa.array(su or [None] * len(values), pa.float64())})
    layout = {"type": "float64", "su": "s"}
    counts = ColumnCounts()
    counts.add(_kept_text.column_text(part.to_batches()[0], None, "v", layout))
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
    ("a ? stays among numbers", [["1.5", "?"], ["2"]], 1, ["3"]),
    ("float64 back to int64: past 2**53 exact", [["2.5(1)"], ["9007199254740993(9007199254740993)"]], 0, ["3"]),
]


@pytest.mark.parametrize("placeholders", [False, True], ids=["as the engine", "? and . too"])
@pytest.mark.parametrize("name,files,changed,cells", UPDATE_CASES, ids=[c[0] for c in UPDATE_CASES])
def test_an_update_over_sparse_text_equals_a_fresh_conversion(tmp_path, monkeypatch, name, files, changed, cells,
                                                              placeholders):
    out, _ = convert(tmp_path, files)
    sparsify(out, placeholders)
    monkeypatch.setattr(quarzel._native, "settle_part", lambda *a: False)
    files = files[:changed] + [cells] + files[changed + 1:]
    fresh, paths = convert(tmp_path, files, "fresh")
    dataset.convert(paths, out, update=True, jobs=1)
    assert cells_of(table_of(out)) == cells_of(table_of(fresh))
