"""Speed and peak memory of parse_arrow against gemmi.cif.read_string.

    tools/devenv python3 bench/bench_arrow.py [FILE] [--runs N]

Every measurement runs in a fresh interpreter that imports what it needs,
makes one tiny call, loads the text, then times one call. Peak memory is the
rise of the process's resident high-water mark during that call (reset after
loading the text, so it is the call's own peak above what the process already
held), also shown as the absolute peak of the process. Without FILE,
a synthetic 500000-atom mmCIF file (about 43 MB) is written once to
build/data/mmcif500k.cif.
"""

import argparse
import json
import os
import statistics
import subprocess
import sys
from pathlib import Path

TOP = Path(__file__).resolve().parents[1]
DEFAULT = TOP / "build" / "data" / "mmcif500k.cif"
MAKER = TOP / "bench" / "make_mmcif.py"

CHILD = r"""
import gc, json, sys, time
kind, path = sys.argv[1], sys.argv[2]
import pyarrow, gemmi, quarzel_core
calls = {
    "parse_arrow": lambda text: quarzel_core.parse_arrow(text),
    "parse_arrow_file": lambda text: quarzel_core.parse_arrow_file(path),
    "gemmi.cif.read_string": lambda text: gemmi.cif.read_string(text),
}
call = calls[kind]
# Library code paths loaded before measuring, with a tiny text.
warm_up = "data_warm_up _x 1 loop_ _y 1 2"
(gemmi.cif.read_string if kind.startswith("gemmi") else quarzel_core.parse_arrow)(warm_up)
text = open(path, encoding="utf-8").read()


def status(field):
    with open("/proc/self/status") as f:
        for line in f:
            if line.startswith(field + ":"):
                return int(line.split()[1]) * 1024


gc.collect()
gc.disable()
# Forget the peak of loading the text, so that the rise is the call's own.
with open("/proc/self/clear_refs", "w") as f:
    f.write("5")
before = status("VmHWM")
start = time.perf_counter()
result = call(text)
seconds = time.perf_counter() - start
peak = status("VmHWM")
print(json.dumps({"seconds": seconds, "rise": peak - before, "peak": peak}))
"""

KINDS = ["parse_arrow", "parse_arrow_file", "gemmi.cif.read_string"]


def run(kind, path):
    done = subprocess.run([sys.executable, "-c", CHILD, kind, str(path)], capture_output=True,
                          text=True)
    if done.returncode != 0:
        sys.exit(f"{kind} failed:\n{done.stderr}")
    return json.loads(done.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?", type=Path, default=DEFAULT)
    parser.add_argument("--runs", type=int, default=5)
    args = parser.parse_args()
    path = args.file
    if not path.exists():
        if path != DEFAULT:
            sys.exit(f"{path}: no such file")
        path.parent.mkdir(parents=True, exist_ok=True)
        subprocess.run([sys.executable, str(MAKER), "500000", str(path)], check=True)
    size = path.stat().st_size
    mb = size / 1e6
    print(f"{path}: {mb:.1f} MB, {args.runs} runs per job, fresh process each; "
          f"{os.cpu_count()} CPUs")

    results = {kind: [] for kind in KINDS}
    for _ in range(args.runs):
        for kind in KINDS:  # interleaved, so that background load hits all alike
            results[kind].append(run(kind, path))

    print(f"{'job':24} {'median s':>9} {'min s':>8} {'MB/s':>7} {'rise MB':>8} "
          f"{'rise/size':>9} {'peak MB':>8}")
    medians = {}
    for kind in KINDS:
        times = [r["seconds"] for r in results[kind]]
        rise = max(r["rise"] for r in results[kind])
        peak = max(r["peak"] for r in results[kind])
        medians[kind] = statistics.median(times)
        print(f"{kind:24} {medians[kind]:9.3f} {min(times):8.3f} {mb / medians[kind]:7.0f} "
              f"{rise / 1e6:8.1f} {rise / size:9.2f} {peak / 1e6:8.1f}")
    ratio = medians["gemmi.cif.read_string"] / medians["parse_arrow"]
    print(f"parse_arrow is {ratio:.1f} times as fast as gemmi.cif.read_string (medians)")


if __name__ == "__main__":
    main()
