"""Memory of an archive conversion: per worker about 200 MB plus three times
the largest input, whatever the number of files. Each case runs in a fresh
interpreter, which reports its peak resident memory before and after."""

import json
import os
import subprocess
import sys

HERE = os.path.dirname(os.path.abspath(__file__))
MAKE_MMCIF = os.path.join(os.path.dirname(os.path.dirname(HERE)), "bench", "make_mmcif.py")

MB = 1 << 20


def write_mmcif(path: str, atoms: int) -> None:
    subprocess.run([sys.executable, MAKE_MMCIF, str(atoms), path], check=True)

DRIVER = """
import json, resource, sys
import quarzel.dataset
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
s = quarzel.dataset.convert([sys.argv[1]], sys.argv[2], jobs=int(sys.argv[3]))
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"before": before * 1024, "after": after * 1024, "read": s.files_read}))
"""


def peak(src: str, out: str, jobs: int) -> dict:
    env = dict(os.environ)
    done = subprocess.run([sys.executable, "-c", DRIVER, src, out, str(jobs)],
                          capture_output=True, text=True, env=env, timeout=600)
    assert done.returncode == 0, done.stderr
    return json.loads(done.stdout.splitlines()[-1])


def bound(jobs: int, largest: int) -> int:
    return jobs * (200 * MB + 3 * largest)


def test_memory_with_a_hundred_thousand_tiny_files(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    n = 100_000
    for i in range(n // 1000):
        folder = src / f"{i:03}"
        folder.mkdir()
        for j in range(1000):
            (folder / f"{j:03}.cif").write_bytes(
                b"data_t%d\n_cell.a %d\n_cell.b 2\nloop_ _x.a _x.b _x.c 1 2 3 4 5 6\n" % (j, i))
    got = peak(str(src), str(tmp_path / "out") + "/", 2)
    assert got["read"] == n
    largest = 64
    assert got["after"] - got["before"] <= bound(2, largest), got


def test_memory_with_a_few_large_files(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    sizes = []
    for i, atoms in enumerate((900_000, 600_000, 300_000)):
        path = src / f"big{i}.cif"
        write_mmcif(str(path), atoms)
        sizes.append(os.path.getsize(path))
    assert max(sizes) > 60 * MB
    got = peak(str(src), str(tmp_path / "out") + "/", 2)
    assert got["read"] == 3
    assert got["after"] - got["before"] <= bound(2, max(sizes)), got


TYPED_DRIVER = """
import json, resource, sys
import pyarrow, pyarrow.compute, pyarrow.parquet
import quarzel.dataset
before = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
quarzel.dataset.type_tables(sys.argv[1])
after = resource.getrusage(resource.RUSAGE_SELF).ru_maxrss
print(json.dumps({"before": before * 1024, "after": after * 1024}))
"""


def test_memory_of_the_typed_pass_over_a_large_loop(tmp_path):
    """One loop of 100 MB of numbers is one part (and one row group): the
    typed pass reads and writes it in batches, not whole."""
    import quarzel.dataset

    path = tmp_path / "big.cif"
    row = " ".join(f"{c}23.4{c}6(7)" for c in range(6)) + "\n"
    with open(path, "w") as f:
        f.write("data_big\nloop_\n" + "".join(f"_t.c{c}\n" for c in range(6)))
        f.write(row * (100 * MB // len(row)))
    out = str(tmp_path / "out")
    quarzel.dataset.convert([str(path)], out, jobs=1)
    done = subprocess.run([sys.executable, "-c", TYPED_DRIVER, out], capture_output=True, text=True,
                          timeout=600)
    assert done.returncode == 0, done.stderr
    got = json.loads(done.stdout.splitlines()[-1])
    assert got["after"] - got["before"] <= 100 * MB + 3 * os.path.getsize(path) // 2, got
    column = quarzel.dataset.read_table(out, "t").column("_t.c5")
    assert str(column.type) == "double" and column[0].as_py() == 523.456
