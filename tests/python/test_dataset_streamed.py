"""The archive engine reading inputs a block at a time: large files
(forced here with a tiny `_stream_bytes`) and `categories` give the tables,
problem records and `_files` rows of a whole reading, for every test file
and for the damaged inputs the engine names; and memory stays bounded by a
block, measured in a fresh interpreter."""

import gzip
import json
import os
import subprocess
import sys

import pytest

import quarzel.dataset as dataset

import testdata

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_MMCIF = os.path.join(os.path.dirname(os.path.dirname(HERE)), "bench", "make_mmcif.py")
MB = 1 << 20
FILES = [str(p) for p in testdata.files(suffixes=(".cif", ".dic", ".cif.gz")) if p.stat().st_size < 3 << 20]
MISMATCH = "schema/array length mismatch"


def converted(inputs, out, **options):
    dataset.convert(inputs, str(out), jobs=1, **options)
    names = list(dataset.tables(out)) + [n for n in ("_files", "_errors") if (out / n).is_dir()]
    tables = {name: dataset.read_table(out, name).to_pylist() for name in names}
    for row in tables.get("_files", []):
        row.pop("seconds", None)
    return tables


@pytest.fixture(scope="module")
def whole(tmp_path_factory):
    return converted(FILES, tmp_path_factory.mktemp("whole") / "out")


def test_every_test_file_streamed_as_read_whole(whole, tmp_path):
    assert converted(FILES, tmp_path / "out", _stream_bytes=1) == whole


def chosen(tables, categories):
    """A whole reading cut to `categories`: their tables, and the problem
    records other than length mismatches of the categories left out."""
    out = {name: rows for name, rows in tables.items() if name in categories or name == "_files"}
    out["_errors"] = [e for e in tables.get("_errors", [])
                      if not e["message"].startswith(MISMATCH) or
                      e["context"][1:].split(".")[0] in categories]
    return out


@pytest.mark.parametrize("categories", [["atom_site", "_items"], ["struct_keywords", "cell"], ["absent"]])
@pytest.mark.parametrize("stream_bytes", [None, 1])
def test_chosen_categories_as_a_whole_reading_gives_them(whole, categories, stream_bytes, tmp_path):
    options = {"_stream_bytes": stream_bytes} if stream_bytes else {}
    got = converted(FILES, tmp_path / "out", categories=categories, **options)
    expected = chosen(whole, categories)
    # Files whose problems were only mismatches of other categories are "ok" now.
    for f in expected["_files"]:
        left = [e for e in expected["_errors"] if e["_file"] == f["_file"]]
        f["problems"] = len(left)
        f["semantic"] = sum(e["error_type"] == "semantic" for e in left)
        if f["status"] == "problems" and not left:
            f["status"] = "ok"
        f["rows"] = sum(1 for c in categories for r in expected.get(c, []) if r["_file"] == f["_file"])
    if not expected["_errors"]:
        del expected["_errors"]
    assert got.get("_errors", []) == expected.get("_errors", [])
    assert got == expected


# The bad byte comes after the first 16 MB window of text.
LATE_LATIN1 = ("data_a _a.b 'caf\u00e9'\ndata_f _f.t\n;" + "x" * 63 + "\n" * 270_000).encode() + \
    b";\ndata_b _a.b 'na\xefve'\n"
DAMAGED = {
    # Non-ASCII UTF-8 read before a byte that is not: read again as Latin-1.
    "late_latin1.cif": LATE_LATIN1,
    "latin1_bom.cif": b"\xef\xbb\xbfdata_a _a.b \xe9\n",
    "nul.cif": b"data_a _a.b 1\n" * 50 + b"_a.c \0\n",
    "truncated.cif.gz": gzip.compress(b"data_a loop_ _a.b " + b"1 " * 20000)[:-40],
    "empty.cif.gz": gzip.compress(b""),
    "ends_inside.cif": b"data_a _x.a 1 loop_ _y.a _y.b 1 2 3\n_z.a\n;never closed\n",
}


@pytest.mark.parametrize("name", sorted(DAMAGED))
def test_damaged_inputs_streamed_as_read_whole(name, tmp_path):
    path = tmp_path / name
    path.write_bytes(DAMAGED[name])
    good = [tmp_path / "good1.cif", tmp_path / "good2.cif"]
    for g in good:
        g.write_text("data_g _a.b 1\n")
    inputs = [str(good[0]), str(path), str(good[1])]
    expected = converted(inputs, tmp_path / "whole")
    got = converted(inputs, tmp_path / "streamed", _stream_bytes=1)
    assert got == expected
    # The good files' rows are kept whatever happened to the other.
    assert {r["_file"] for r in got["a"]} >= {str(g) for g in good}


DRIVER = """
import json, sys
import pyarrow, pyarrow.parquet
import quarzel.dataset as dataset, quarzel._native
def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = rss("VmRSS")
path, out, options = sys.argv[1], sys.argv[2], json.loads(sys.argv[3])
summary = dataset.convert([path], out, jobs=1, **options)
print(json.dumps({"peak": rss("VmHWM") - before, "rows": summary.rows}))
"""


def measure(path, out, **options):
    done = subprocess.run([sys.executable, "-c", DRIVER, str(path), str(out), json.dumps(options)],
                          capture_output=True, text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def blocks(tmp_path_factory):
    folder = tmp_path_factory.mktemp("blocks")
    one = folder / "one.cif"
    subprocess.run([sys.executable, MAKE_MMCIF, "24000", str(one)], check=True)
    body = one.read_text().split("\n", 1)[1]
    path = folder / "many.cif"
    with open(path, "w") as f:
        for i in range(40):
            f.write(f"data_b{i}\n{body}")
    return path


@pytest.mark.parametrize("suffix", ["", ".gz"])
def test_a_large_input_converts_a_block_at_a_time(blocks, suffix, tmp_path):
    path = str(blocks) + suffix
    if suffix:
        with open(blocks, "rb") as src, gzip.open(path, "wb", compresslevel=1) as dst:
            dst.write(src.read())
    size = os.path.getsize(blocks)
    assert size > 70 * MB
    whole = measure(path, tmp_path / "whole", _row_group_bytes=8 * MB, _stream_bytes=1 << 40)
    streamed = measure(path, tmp_path / "streamed", _row_group_bytes=8 * MB, _stream_bytes=MB)
    assert streamed["rows"] == whole["rows"]
    # Read whole, the text alone is the file; a block at a time, a window
    # of text, a block (2 MB) and the row groups being written.
    assert whole["peak"] > size, whole
    assert streamed["peak"] < 64 * MB, streamed
    chosen = measure(path, tmp_path / "chosen", categories=["exptl"], _stream_bytes=MB)
    assert chosen["rows"] == {"exptl": 40}
    assert chosen["peak"] < 48 * MB, chosen
