"""Memory of the readers of any size, each case in a fresh interpreter
(peak resident memory, reset after start-up, against the resident memory
before the call): index and read_categories of a small category hold a
window of text and little else, however large the file; read_categories of
atom_site at most 1.5 times its table plus 64 MB; iter_blocks a few
blocks. The inputs are generated mmCIF of 100 MB (several windows)."""

import gzip
import json
import os
import shutil
import subprocess
import sys

import pytest

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_MMCIF = os.path.join(os.path.dirname(os.path.dirname(HERE)), "bench", "make_mmcif.py")
MB = 1 << 20

DRIVER = """
import json, sys
import quarzel, pyarrow, gc
def rss(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field):
                return int(line.split()[1]) * 1024
quarzel.read_categories("data_warm _a.b 1\\n", "a")
import quarzel_core
gc.collect()
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = rss("VmRSS")
path, job = sys.argv[1], sys.argv[2]
extra = {}
if job == "index":
    ix = quarzel.index(path)
    extra["groups"] = len(ix.categories)
elif job == "small":
    extra["rows"] = quarzel.read_categories(path, "exptl")["exptl"].num_rows
elif job == "atom_site":
    t = quarzel.read_categories(path, "atom_site")["atom_site"]
    extra["table"] = t.nbytes
    extra["rows"] = t.num_rows
elif job == "blocks":
    extra["blocks"] = sum(1 for _ in quarzel.iter_blocks(path))
elif job == "one_block":
    cif = quarzel_core.parse_cif(open(path, encoding="utf-8").read())
print(json.dumps({"peak": rss("VmHWM") - before, **extra}))
"""


def measure(path, job):
    done = subprocess.run([sys.executable, "-c", DRIVER, str(path), job], capture_output=True,
                          text=True, timeout=900)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


@pytest.fixture(scope="module")
def big(tmp_path_factory):
    folder = tmp_path_factory.mktemp("sizes")
    path = folder / "big.cif"
    subprocess.run([sys.executable, MAKE_MMCIF, "1200000", str(path)], check=True)
    with open(path, "rb") as src, gzip.open(str(path) + ".gz", "wb", compresslevel=1) as dst:
        shutil.copyfileobj(src, dst, 16 << 20)
    return path


@pytest.mark.parametrize("suffix", ["", ".gz"])
@pytest.mark.parametrize("job", ["index", "small"])
def test_a_window_of_text_whatever_the_size(big, suffix, job):
    path = str(big) + suffix
    assert os.path.getsize(big) > 100 * 1000 * 1000
    got = measure(path, job)
    # A 16 MB window (twice, while one is moved on), the decoder, the index.
    assert got["peak"] < 64 * MB, got


def test_one_category_within_its_table(big):
    got = measure(big, "atom_site")
    assert got["rows"] == 1200000
    assert got["peak"] <= 1.5 * got["table"] + 64 * MB, got


def test_blocks_one_at_a_time(tmp_path):
    one = tmp_path / "one.cif"
    subprocess.run([sys.executable, MAKE_MMCIF, "12000", str(one)], check=True)
    body = one.read_text().split("\n", 1)[1]
    many = tmp_path / "many.cif"
    with open(many, "w") as f:
        for i in range(60):
            f.write(f"data_b{i}\n{body}")
    single = measure(one, "one_block")
    got = measure(many, "blocks")
    assert got["blocks"] == 60
    # Sixty blocks read, a few blocks' worth held at most.
    assert got["peak"] < 4 * single["peak"] + 32 * MB, (got, single)
