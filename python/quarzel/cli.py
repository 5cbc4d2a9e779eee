"""The ``quarzel`` command line: check, info and convert CIF files."""

from __future__ import annotations

import argparse
import json
import os
import sys
from collections import Counter
from typing import Any, Iterable, NoReturn, TextIO

from ._files import SourceText, describe, mode_argument, read_source

# Exit statuses and the progress bar, shared with the commands' own modules.
from ._cli_common import (EXIT_CLEAN, EXIT_ERRORS, EXIT_INTERRUPTED,  # noqa: F401
                          EXIT_MISSING_DEPENDENCY, EXIT_STATUS_HELP, EXIT_UNREADABLE,
                          EXIT_USAGE, PROGRESS_MIN_BYTES, PROGRESS_MIN_FILES, Progress)


def _errors_of(text: str, strict: bool) -> list[dict[str, Any]]:
    """Every problem of a text, by the cheapest route available."""
    from . import _native

    return _native.text_errors(text, mode_argument(strict))


def format_error(path: str, e: dict[str, Any]) -> str:
    context = f" [{e['context']}]" if e["context"] else ""
    # Line 0 means the problem has no position in the text.
    where = f"{path}:{e['line']}:{e['column']}" if e["line"] else path
    return f"{where}: {e['error_type']}: {e['message']}{context} ({e['recovery_action']})"


def _read(path: str) -> tuple[SourceText | None, str]:
    """The file as text, or None and the cause of the failure."""
    try:
        return read_source(path), ""
    except OSError as exc:
        return None, describe(exc)


def _with_problem(source: SourceText, errors: list[dict[str, Any]]) -> list[dict[str, Any]]:
    return errors if source.problem is None else [source.problem, *errors]


def summary(path: str, errors: list[dict[str, Any]]) -> str:
    if not errors:
        return f"{path}: no errors"
    kinds = Counter(e["error_type"] for e in errors)
    parts = ", ".join(f"{kinds[k]} {k}" for k in ("lexical", "syntactic", "semantic") if kinds[k])
    noun = "error" if len(errors) == 1 else "errors"
    return f"{path}: {len(errors)} {noun} ({parts})"


def cmd_check(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    sizes = {}
    for path in args.files:
        try:
            sizes[path] = os.path.getsize(path)
        except OSError:
            sizes[path] = 0
    total = sum(sizes.values())
    progress = Progress(
        total,
        len(args.files),
        not args.no_progress
        and (len(args.files) >= PROGRESS_MIN_FILES or total >= PROGRESS_MIN_BYTES),
        err,
    )
    status = EXIT_CLEAN
    report = []
    from . import _bcif_convert

    for path in args.files:
        binary_errors = None  # the records of a BinaryCIF file
        if _bcif_convert.sniff(path):
            source, message, binary_errors = _bcif_convert.check_read(path)
        else:
            source, message = _read(path)
        if source is None:
            progress.step(path, sizes[path])
            report.append({"file": path, "status": "unreadable", "message": message, "errors": []})
            if not args.json:
                progress.close()
                print(f"{path}: cannot read: {message}", file=out)
            status = EXIT_UNREADABLE
            continue
        errors = (binary_errors if binary_errors is not None
                  else _with_problem(source, _errors_of(source.text, args.strict)))
        del source
        progress.step(path, sizes[path])
        report.append({"file": path, "status": "errors" if errors else "clean", "errors": errors})
        if errors and status == EXIT_CLEAN:
            status = EXIT_ERRORS
        if not args.json:
            progress.close()
            for e in errors:
                print(format_error(path, e), file=out)
            print(summary(path, errors), file=out)
    progress.close()
    if args.json:
        json.dump(report, out, ensure_ascii=False, indent=2)
        out.write("\n")
    return status


def _table(rows: list[list[str]], out: TextIO) -> None:
    widths = [max(len(r[i]) for r in rows) for i in range(len(rows[0]))]
    for n, row in enumerate(rows):
        print("  ".join(c.ljust(w) if i == 0 else c.rjust(w) for i, (c, w) in enumerate(zip(row, widths))).rstrip(), file=out)
        if n == 0:
            print("  ".join("-" * w for w in widths), file=out)


def cmd_info(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    import quarzel_core

    from . import _bcif_convert

    if _bcif_convert.sniff(args.file):
        return _bcif_convert.info(args.file, out, err)

    source, message = _read(args.file)
    if source is None:
        print(f"{args.file}: cannot read: {message}", file=err)
        return EXIT_UNREADABLE
    # The plain published view of the document: its blocks and save frames
    # in order, each with its tags, loops and values.
    raw = quarzel_core.parse_raw(source.text, mode_argument(args.strict))
    errors = _with_problem(source, raw["errors"])
    version = "CIF 2.0" if raw["version"] == "CIF_2_0" else "CIF 1.1"
    size = f"{source.size:,} bytes"
    if source.compression:
        size += f" ({source.compression}, {source.stored_size:,} bytes compressed)"
    print(f"file:     {args.file}", file=out)
    print(f"version:  {version}", file=out)
    print(f"size:     {size}", file=out)
    if source.problem is not None:
        p = source.problem
        print(f"text:     Latin-1 (not valid UTF-8 from line {p['line']}, column {p['column']})",
              file=out)
    print(f"errors:   {summary(args.file, errors).split(': ', 1)[1]}", file=out)
    print(f"blocks:   {len(raw['blocks'])}", file=out)
    print(file=out)
    rows = [["block / save frame", "tags", "loops", "looped tags", "values"]]
    for block in raw["blocks"]:
        rows.append(_frame_row(block["name"], block))
        for frame in block["save_frames"]:
            rows.append(_frame_row(f"  save_{frame['name']}", frame))
    if len(rows) > 1:
        _table(rows, out)
    return EXIT_ERRORS if errors else EXIT_CLEAN


def _frame_row(name: str, frame: dict[str, Any]) -> list[str]:
    loops = frame["loops"]
    looped = {t for loop in loops for t in loop}
    values = sum(len(v) for v in frame["tags"].values())
    return [name, str(len(frame["tag_order"])), str(len(loops)), str(len(looped)), f"{values:,}"]


def _batches_as_tables(batches: Iterable[Any]) -> list[Any]:
    import pyarrow as pa

    tables = []
    for batch in batches:
        names, columns = [], []
        for name, column in zip(batch.schema.names, batch.columns):
            if name not in names:  # a tag listed twice in a loop header
                names.append(name)
                columns.append(column)
        tables.append(pa.Table.from_arrays(columns, names=names))
    return tables


FORMATS = {".parquet": "parquet", ".pq": "parquet", ".arrow": "ipc", ".feather": "ipc",
           ".ipc": "ipc", ".json": "json"}


def cmd_convert(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from . import _cif_convert
    from ._convert_checks import refuse_options, strict_stop

    cif_output = _cif_convert.is_cif_output(args.out)
    refused = refuse_options(args, cif_output, err)
    if refused is not None:
        return refused
    if cif_output:
        return _cif_convert.run(args, out, err)
    suffix = os.path.splitext(args.out)[1].lower()
    fmt = FORMATS.get(suffix)
    if fmt is None:
        print(f"{args.out}: unknown output format {suffix or '(no suffix)'}; use one of "
              f"{', '.join(sorted(FORMATS))}", file=err)
        return EXIT_USAGE
    try:
        import pyarrow as pa
    except ImportError as exc:
        print(f"convert needs pyarrow: {exc}", file=err)
        return EXIT_MISSING_DEPENDENCY
    typer = None
    if args.typed or args.dictionary:
        from ._typed_convert import table_typer

        typer = table_typer(args.dictionary, err)
        if typer is None:
            return EXIT_UNREADABLE
    from ._bcif_convert import arrow_batches  # CIF text or BinaryCIF

    try:
        batches, errors = arrow_batches(args.file, args.strict)
    except OSError as exc:
        print(f"{args.file}: cannot read: {describe(exc)}", file=err)
        return EXIT_UNREADABLE
    stopped = strict_stop(args, errors, err)
    if stopped is not None:
        return stopped
    tables = _batches_as_tables(batches)
    del batches
    try:
        _write_atomically(args.out, lambda f: _write_tables(f, fmt, tables, errors, typer))
    except (OSError, pa.ArrowException) as exc:
        cause = describe(exc) if isinstance(exc, OSError) else str(exc)
        print(f"{args.out}: cannot write: {cause}", file=err)
        return EXIT_UNREADABLE
    rows = sum(t.num_rows for t in tables)
    print(f"{args.out}: {len(tables)} tables, {rows:,} rows ({fmt}); "
          f"{summary(args.file, errors)}", file=out)
    return EXIT_CLEAN


class _ArgumentParser(argparse.ArgumentParser):
    """argparse with its own exit status for a wrong command line (argparse's
    2 means "cannot read" here)."""

    def error(self, message: str) -> NoReturn:
        self.print_usage(sys.stderr)
        self.exit(EXIT_USAGE, f"{self.prog}: error: {message}\n")


def _write_tables(path: str, fmt: str, tables: list[Any], errors: list[dict[str, Any]],
                  typer: Any = None) -> None:
    import pyarrow as pa

    if fmt == "json":
        if typer is not None:
            tables = [typer(t) for t in tables]
        doc = {"errors": errors, "tables": [t.to_pylist() for t in tables]}
        with open(path, "w", encoding="utf-8") as f:
            json.dump(doc, f, ensure_ascii=False, indent=1)
        return
    # One table holding every batch: the union of their columns, told apart
    # by the identity columns (_block_name, _frame_name, _loop_id).
    table = pa.concat_tables(tables, promote_options="permissive") if tables else pa.table({})
    if typer is not None:  # typed once over the union, so that each tag has one type
        table = typer(table)
    if fmt == "parquet":
        import pyarrow.parquet as pq

        pq.write_table(table, path)
    else:
        with pa.OSFile(path, "wb") as sink, pa.ipc.new_file(sink, table.schema) as writer:
            writer.write_table(table)


def _write_atomically(path: str, write: Any) -> None:
    """Run ``write`` with the name of a new, empty file beside ``path`` and
    give that file the name ``path`` only when it is complete, so that a
    failure leaves no partial file behind (and an earlier file at ``path``
    as it was)."""
    from ._atomic import replacing

    with replacing(path) as temp:
        write(temp)


def build_parser() -> argparse.ArgumentParser:
    parser = _ArgumentParser(
        prog="quarzel",
        description="Read and check CIF files.",
        epilog=EXIT_STATUS_HELP,
        formatter_class=argparse.RawDescriptionHelpFormatter,
    )
    sub = parser.add_subparsers(dest="command", required=True)
    check = sub.add_parser("check", help="report every problem in CIF files")
    check.add_argument("files", nargs="+", metavar="FILE")
    check.add_argument("--json", action="store_true", help="machine-readable output")
    check.add_argument("--strict", action="store_true", help="stop at the first semantic problem")
    check.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    check.set_defaults(run=cmd_check)
    info = sub.add_parser("info", help="summarise a CIF file: version, blocks, tags, loops")
    info.add_argument("file", metavar="FILE")
    info.add_argument("--strict", action="store_true")
    info.set_defaults(run=cmd_info)
    convert = sub.add_parser(
        "convert",
        help="convert to CIF, Parquet, Arrow IPC or JSON (by suffix); "
        "INPUT... OUTDIR/ makes one Parquet dataset per category (see quarzel convert INPUT OUTDIR/ --help)",
    )
    convert.add_argument("file", metavar="FILE")
    convert.add_argument("out", metavar="OUT")
    convert.add_argument("--strict", action="store_true")
    convert.add_argument("--style", choices=["plain", "pdbx"], default=None,
                         help="CIF output: layout (default: plain)")
    convert.add_argument("--cif-version", choices=["1.1", "2.0"], default=None,
                         help="CIF output: version (default: as read, or as the content needs)")
    convert.add_argument("--typed", action="store_true",
                         help="numeric columns as int64/float64 with _su and _status columns")
    convert.add_argument("--dictionary", metavar="DIC",
                         help="type columns by this DDL1/DDL2/DDLm dictionary (implies --typed)")
    convert.set_defaults(run=cmd_convert)
    sub.add_parser("validate", add_help=False,
                   help="check CIF files against DDL1, DDL2 or DDLm dictionaries "
                   "(quarzel validate --help)")
    return parser


def main(argv: list[str] | None = None, out: TextIO | None = None, err: TextIO | None = None) -> int:
    argv = sys.argv[1:] if argv is None else list(argv)
    if argv[:1] == ["convert"]:
        from . import _dataset_cli

        if _dataset_cli.wants_dataset(argv[1:]):
            try:
                return _dataset_cli.main(argv[1:], out or sys.stdout, err or sys.stderr)
            except BrokenPipeError:
                return EXIT_CLEAN
    if argv[:1] == ["validate"]:
        from . import _validate_cli

        return _validate_cli.command(argv[1:], out, err)
    args = build_parser().parse_args(argv)
    try:
        return args.run(args, out or sys.stdout, err or sys.stderr)
    except BrokenPipeError:
        return EXIT_CLEAN
    except KeyboardInterrupt:
        return EXIT_INTERRUPTED


if __name__ == "__main__":  # pragma: no cover
    sys.exit(main())
