"""``quarzel convert INPUT… OUTDIR/``: whole archives to a Parquet dataset.

The dataset mode of ``quarzel convert``: chosen when the output ends in
``/`` or names an existing folder, when more than one input is given, or
with any of the options below that only this mode has.
"""

from __future__ import annotations

import argparse
import os
import sys
import time
from typing import TextIO

from .cli import EXIT_CLEAN, EXIT_ERRORS, EXIT_INTERRUPTED
from .cli import EXIT_UNREADABLE as EXIT_FAILED  # nothing read, or output not writable
DATASET_OPTIONS = ("--jobs", "-j", "--categories", "--resume", "--update", "--validate")
# Options of either mode that take a value (so that the value is not taken
# for an input).
VALUE_OPTIONS = ("--jobs", "-j", "--categories", "--dictionary", "--style", "--cif-version",
                 "--validate")
# Outputs of the single-file mode: a folder named like one is not a dataset.
SINGLE_FILE_SUFFIXES = (".parquet", ".pq", ".arrow", ".feather", ".ipc", ".json", ".cif", ".mmcif",
                        ".bcif")


def wants_dataset(argv: list[str]) -> bool:
    """Whether ``quarzel convert`` arguments (after the command) ask for a
    dataset: an option only this mode has, more than one input, or an
    output that ends in ``/`` or names an existing folder (unless the folder
    is named like a single-file output, ``x.parquet``)."""
    positional: list[str] = []
    i = 0
    while i < len(argv):
        a = argv[i]
        if a == "--":
            positional += argv[i + 1:]
            break
        if a.startswith("-") and a != "-":
            name = a.split("=", 1)[0]
            if name in DATASET_OPTIONS:
                return True
            if name in VALUE_OPTIONS and "=" not in a:
                i += 1
        else:
            positional.append(a)
        i += 1
    if len(positional) > 2:
        return True
    if len(positional) < 2:
        return False
    out = positional[-1]
    if out.endswith(("/", os.sep)):
        return True
    return os.path.isdir(out) and not out.lower().endswith(SINGLE_FILE_SUFFIXES)


def build_parser() -> argparse.ArgumentParser:
    p = argparse.ArgumentParser(
        prog="quarzel convert",
        description="Convert CIF files, folders (searched recursively) or glob patterns to one "
        "Parquet dataset per category: OUTDIR/<category>/part-NNNNN.parquet, with OUTDIR/_files "
        "and OUTDIR/_errors.",
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT")
    p.add_argument("out", metavar="OUTDIR/")
    p.add_argument("-j", "--jobs", type=int, default=None, help="worker threads (default: the number of cores)")
    p.add_argument("--categories", default=None, help="keep only these categories (comma-separated)")
    p.add_argument("--typed", action="store_true",
                   help="numeric columns as int64/float64 with _su and _status columns, decided per table")
    p.add_argument("--dictionary", default=None, metavar="D",
                   help="DDL dictionary: the categories of looped tags without a dot, and with --typed "
                   "the types of tags")
    p.add_argument("--resume", action="store_true", help="skip the inputs OUTDIR already holds")
    p.add_argument("--update", action="store_true",
                   help="bring OUTDIR up to date with the inputs: convert new and changed ones, take out "
                   "the rows of changed and missing ones")
    p.add_argument("--validate", action="append", default=None, metavar="DIC",
                   help="validate each file against this dictionary (more than once: they extend "
                   "one another) into OUTDIR/_validation, one row per finding")
    p.add_argument("--links", action="store_true",
                   help="with --validate: check links between categories (DDL2's are off by default)")
    p.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    return p


class Bar:
    """files, MB, files/s and problems so far, on one line of a terminal."""

    def __init__(self, stream: TextIO, enabled: bool) -> None:
        self.stream = stream
        self.enabled = enabled and stream.isatty()
        self.shown = False

    def __call__(self, p) -> None:  # quarzel.dataset.Progress
        if not self.enabled:
            return
        rate = p.files / max(p.seconds, 1e-9)
        width = 24
        filled = int(width * p.files / max(p.total_files, 1))
        self.stream.write(
            f"\r[{'#' * filled}{'.' * (width - filled)}] {p.files:,}/{p.total_files:,} files "
            f"{p.bytes / 1e6:,.1f}/{p.total_bytes / 1e6:,.1f} MB {rate:,.0f} files/s "
            f"{p.failed + p.problem_files:,} with problems"
        )
        self.stream.flush()
        self.shown = True

    def close(self) -> None:
        if self.shown:
            self.stream.write("\r" + " " * 110 + "\r")
            self.stream.flush()


def _shown(path: str) -> str:
    """A path as text that any stream can write (bytes that are not UTF-8
    as Python shows them)."""
    return path.encode("utf-8", "backslashreplace").decode("utf-8")


def main(argv: list[str], out: TextIO, err: TextIO) -> int:
    from . import dataset
    from .dictionary import DictionaryError

    args = build_parser().parse_args(argv)
    categories = None
    if args.categories:
        categories = [c.strip() for c in args.categories.split(",") if c.strip()]
    bar = Bar(err, not args.no_progress)
    start = time.monotonic()
    try:
        summary = dataset.convert(args.inputs, args.out, categories=categories, jobs=args.jobs,
                                  dictionary=args.dictionary, progress=bar, resume=args.resume,
                                  typed=args.typed, update=args.update, validate=args.validate,
                                  links=True if args.links else None)
    except KeyboardInterrupt:
        bar.close()
        print(f"{_shown(args.out)}: interrupted; the dataset holds the files completed so far "
              "(go on with --resume)", file=err)
        return EXIT_INTERRUPTED
    except DictionaryError as exc:
        bar.close()
        print(f"quarzel convert: {exc}", file=err)
        return EXIT_FAILED
    except OSError as exc:
        bar.close()
        print(f"{_shown(args.out)}: cannot write: {exc}", file=err)
        return EXIT_FAILED
    bar.close()
    if summary.files_failed:
        files = dataset.read_table(args.out, "_files")
        shown = 0
        for row in files.to_pylist():
            if row["status"] == "failed":
                if shown < 10:
                    print(f"{row['_file']}: cannot read: {row['reason']}", file=err)
                shown += 1
        if shown > 10:
            print(f"... and {shown - 10} more (see {_shown(os.path.join(args.out, '_files'))})", file=err)
    seconds = time.monotonic() - start
    tables = len(summary.rows)
    rows = sum(summary.rows.values())
    skipped = f", {summary.skipped:,} already done" if summary.skipped else ""
    if summary.removed:
        skipped += f", rows of {summary.removed:,} changed or missing taken out"
    print(
        f"{_shown(args.out)}: {summary.files:,} files{skipped} ({summary.files_read:,} read, "
        f"{summary.files_failed:,} unreadable, {summary.files_with_problems:,} with problems), "
        f"{tables:,} tables, {rows:,} rows, {summary.text_bytes / 1e6:,.1f} MB of text in {seconds:.1f} s",
        file=out,
    )
    if args.validate:
        from ._validate_cli import format_finding

        for f in summary.dictionary_findings:
            print(format_finding(", ".join(args.validate), f), file=err)
        c = summary.findings
        print(f"{_shown(os.path.join(args.out, '_validation'))}: {c.get('error', 0):,} errors, "
              f"{c.get('warning', 0):,} warnings, {c.get('info', 0):,} info "
              f"({summary.files_invalid:,} files with errors)", file=out)
    if summary.files_read == 0 and not summary.skipped:
        if not summary.files:
            print(f"{_shown(args.out)}: no CIF files among the inputs", file=err)
        return EXIT_FAILED
    if summary.files_failed or summary.files_with_problems or summary.files_invalid:
        return EXIT_ERRORS
    return EXIT_CLEAN
