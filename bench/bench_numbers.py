#!/usr/bin/env python3
"""Numbers and dictionaries, timed against their peers in one run.

    bench_numbers.py MMCIF DICTIONARY [--repeats N] [--json]

- quarzel.numbers over the coordinate columns (_atom_site.Cartn_x/y/z) of
  MMCIF, against pyarrow.compute.cast of the same columns to float64 (on a
  copy with any "(su)" removed, which cast cannot read) and against gemmi's
  cif.as_number called per value from Python (on lists of str made before
  timing);
- quarzel.Dictionary(DICTIONARY) with its imports, against PyCifRW's CifDic.

Prints a markdown table (or JSON) of median times and ratios.
"""

from __future__ import annotations

import argparse
import contextlib
import io
import json
import statistics
import sys
import time


def median_time(job, repeats: int) -> float:
    times = []
    for _ in range(repeats):
        t0 = time.perf_counter()
        job()
        times.append(time.perf_counter() - t0)
    return statistics.median(times)


def coordinate_columns(path: str):
    import quarzel_core

    text = open(path, encoding="utf-8").read()
    batches, _ = quarzel_core.parse_arrow(text)
    for batch in batches:
        names = batch.schema.names
        if "_atom_site.cartn_x" in names:
            return [batch.column(names.index(f"_atom_site.cartn_{c}")) for c in "xyz"]
    raise SystemExit(f"{path}: no _atom_site.Cartn_x column")


def main() -> int:
    ap = argparse.ArgumentParser()
    ap.add_argument("mmcif")
    ap.add_argument("dictionary")
    ap.add_argument("--repeats", type=int, default=5)
    ap.add_argument("--json", action="store_true")
    args = ap.parse_args()

    import pyarrow as pa
    import pyarrow.compute as pc

    import quarzel

    columns = coordinate_columns(args.mmcif)
    values = sum(len(c) for c in columns)
    stripped = [pc.replace_substring_regex(c, r"\([0-9]+\)$", "") for c in columns]

    ours = [quarzel.numbers(c) for c in columns]
    cast = [pc.cast(c, pa.float64()) for c in stripped]
    for o, c in zip(ours, cast):  # the same numbers, or the comparison means nothing
        assert o.field("value").equals(c), "numbers() and cast disagree"

    rows = {}
    rows["quarzel.numbers (value, su, status)"] = median_time(
        lambda: [quarzel.numbers(c) for c in columns], args.repeats)
    rows["pyarrow.compute.cast to float64"] = median_time(
        lambda: [pc.cast(c, pa.float64()) for c in stripped], args.repeats)
    gemmi_rows = ("gemmi cif.as_number per value, over lists of str",
                  "gemmi cif.as_number per value, over gemmi's own columns",
                  "gemmi cif.as_number per value, from the same Arrow columns (to_pylist)")
    try:
        from gemmi import cif

        as_number = cif.as_number
        few = max(1, args.repeats // 2)
        lists = [c.to_pylist() for c in columns]
        rows[gemmi_rows[0]] = median_time(
            lambda: [[as_number(v) for v in lst] for lst in lists], few)
        del lists
        block = cif.read_file(args.mmcif).sole_block()
        own = [block.find_values(f"_atom_site.Cartn_{c}") for c in "xyz"]
        rows[gemmi_rows[1]] = median_time(lambda: [[as_number(v) for v in g] for g in own], few)
        del own, block
        rows[gemmi_rows[2]] = median_time(
            lambda: [[as_number(v) for v in c.to_pylist()] for c in columns], few)
    except ImportError:  # pragma: no cover
        for name in gemmi_rows:
            rows[name] = None

    dict_rows = {}
    dict_rows["quarzel.Dictionary"] = median_time(
        lambda: quarzel.Dictionary(args.dictionary), args.repeats)
    try:
        import CifFile

        def pycifrw():
            with contextlib.redirect_stdout(io.StringIO()):
                CifFile.CifDic(args.dictionary, do_dREL=False, verbose_import=False,
                               verbose_validation=False)

        dict_rows["PyCifRW CifDic (without dREL)"] = median_time(pycifrw, max(1, args.repeats // 2))
    except ImportError:  # pragma: no cover
        dict_rows["PyCifRW CifDic (without dREL)"] = None

    if args.json:
        print(json.dumps({"values": values, "numbers": rows, "dictionary": dict_rows}))
        return 0
    base = rows["quarzel.numbers (value, su, status)"]
    print(f"### Numbers: coordinate columns of {args.mmcif.rsplit('/', 1)[-1]} "
          f"({values:,} values)\n")
    print("| way of reading | median s | M values/s | time ÷ quarzel.numbers |")
    print("|---|---:|---:|---:|")
    for name, t in rows.items():
        if t is None:
            print(f"| {name} | — | — | not installed |")
        else:
            print(f"| {name} | {t:.4f} | {values / t / 1e6:.1f} | {t / base:.2f} |")
    dbase = dict_rows["quarzel.Dictionary"]
    print(f"\n### Dictionary: {args.dictionary.rsplit('/', 1)[-1]} with its imports\n")
    print("| way of reading | median s | time ÷ quarzel.Dictionary |")
    print("|---|---:|---:|")
    for name, t in dict_rows.items():
        if t is None:
            print(f"| {name} | — | not installed |")
        else:
            print(f"| {name} | {t:.3f} | {t / dbase:.2f} |")
    return 0


if __name__ == "__main__":
    sys.exit(main())
