#!/usr/bin/env python3
"""Time parse_cif against parse_raw on one file, each in a fresh interpreter.

Usage (from the checkout): tools/devenv python3 bench/bench_parse_cif.py [FILE] [--runs N]

Without FILE a synthetic 500000-atom mmCIF file (about 43 MB) is written
first with bench/make_mmcif.py. Runs alternate between the two
functions; each run reads the file, then times only the call. Prints the
median and minimum of each and their ratios (parse_cif / parse_raw).
"""

import argparse
import os
import statistics
import subprocess
import sys
import tempfile

RUN = r"""
import sys, time
import quarzel_core
with open(sys.argv[1], encoding="utf-8") as f:
    source = f.read()
fn = getattr(quarzel_core, sys.argv[2])
start = time.perf_counter()
result = fn(source)
print(time.perf_counter() - start)
"""


def time_once(path, function):
    out = subprocess.run([sys.executable, "-c", RUN, path, function], check=True,
                         capture_output=True, text=True)
    return float(out.stdout)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("file", nargs="?")
    parser.add_argument("--runs", type=int, default=7)
    args = parser.parse_args()

    path = args.file
    tmp = None
    if path is None:
        here = os.path.dirname(os.path.abspath(__file__))
        maker = os.path.join(here, "make_mmcif.py")
        tmp = tempfile.NamedTemporaryFile(suffix=".cif", delete=False)
        tmp.close()
        path = tmp.name
        subprocess.run([sys.executable, maker, "500000", path], check=True)
    try:
        times = {"parse_raw": [], "parse_cif": []}
        for _ in range(args.runs):
            for function in times:
                times[function].append(time_once(path, function))
    finally:
        if tmp is not None:
            os.unlink(path)

    size = os.path.getsize(path) if tmp is None else None
    print(f"file: {path}" + (f" ({size / 1e6:.1f} MB)" if size else " (synthetic, 500000 atoms)"))
    for function, values in times.items():
        print(f"{function:10s} median {statistics.median(values):.3f} s  "
              f"min {min(values):.3f} s  runs {len(values)}")
    median_ratio = statistics.median(times["parse_cif"]) / statistics.median(times["parse_raw"])
    min_ratio = min(times["parse_cif"]) / min(times["parse_raw"])
    print(f"ratio parse_cif/parse_raw: median {median_ratio:.3f}  min {min_ratio:.3f}")


if __name__ == "__main__":
    main()
