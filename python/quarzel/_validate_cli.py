"""``quarzel validate -d DIC [-d DIC...] INPUT...``: CIF files checked against
dictionaries.

One line per finding, ``FILE:LINE:COL: SEVERITY: [code] data_BLOCK _tag:
message``; repeated findings of one rule on one column are shown for the
first few rows and then counted ("... and 212 more rows"). ``--json`` gives
every finding as one JSON object a line. Problems of the text itself (what
``quarzel check`` reports) are shown as the reader's records and count as
errors.
"""

from __future__ import annotations

import os
import sys

from ._cli_common import (EXIT_CLEAN, EXIT_ERRORS, EXIT_INTERRUPTED, EXIT_UNREADABLE,
                          PROGRESS_MIN_BYTES, PROGRESS_MIN_FILES, Progress)
from ._validate_args import DEFAULT_SHOWN, build_parser, parse  # noqa: F401

TYPE_CHECKING = False
if TYPE_CHECKING:
    from typing import Any, Iterable, Iterator, TextIO


def _where(path: str, line: int, column: int) -> str:
    return f"{path}:{line}:{column}" if line else path


def _subject(f: Any) -> str:
    parts = []
    if f.block is not None:
        parts.append(f"data_{f.block}")
    if f.frame is not None:
        parts.append(f"save_{f.frame}")
    if f.tags:
        parts.append(f.tags[0])
    return " ".join(parts)


def format_finding(path: str, f: Any) -> str:
    subject = _subject(f)
    return (f"{_where(path, f.line, f.column)}: {f.severity}: [{f.code}] "
            f"{subject + ': ' if subject else ''}{f.message}")


def _grouped(findings: Iterable[Any], shown: int) -> Iterator[tuple[Any, int]]:
    """(finding, 0) for each finding shown, then (first hidden, hidden count)
    per group of one rule on one column that had more than `shown`."""
    if shown <= 0:
        for f in findings:
            yield f, 0
        return
    counts: dict[tuple, int] = {}
    hidden: dict[tuple, list] = {}
    order: list[tuple] = []
    for f in findings:
        key = (f.block, f.frame, f.code, f.rule, f.tags)
        n = counts.get(key, 0)
        counts[key] = n + 1
        if n < shown:
            yield f, 0
        else:
            if key not in hidden:
                hidden[key] = [f, 0]
                order.append(key)
            hidden[key][1] += 1
    for key in order:
        yield hidden[key][0], hidden[key][1]


def _json_line(path: str, f: Any) -> str:
    import json

    return json.dumps({"file": path, **f.as_dict()}, ensure_ascii=False)


def _reader_line(path: str, e: Any) -> str:
    return (f"{_where(path, e.line, e.column)}: error: [{e.error_type}] {e.message}"
            + (f" ({e.recovery_action})" if e.recovery_action else ""))


class _EngineReport:
    """A file's findings and reader records as the archive engine wrote them."""

    def __init__(self) -> None:
        self.findings: list = []
        self.errors: list = []


def _engine_reports(inputs: list[str], rules: Any, args: Any, progress: Any) -> list:
    """Each input's report (or the reason it could not be read), from a
    run of the archive engine that writes no category tables: the same
    reading and checking as `quarzel convert --validate`, on `--jobs`
    workers."""
    import tempfile

    from . import _inputs, dataset
    from .types import ParseError
    from .validation import Finding

    entries = _inputs.collect(inputs, False)
    by_name = {_inputs.file_name(e.real): e.path for e in entries}
    reports: dict[str, Any] = {path: _EngineReport() for path in inputs}
    with tempfile.TemporaryDirectory(prefix="quarzel-validate-") as out:
        # The bar advances as the workers finish files, as convert's does.
        dataset.convert(inputs, out, categories=["\x00"], jobs=args.jobs, validate=rules.paths,
                        links=args.links, profile=args.profile, su_multiplier=args.su_multiplier,
                        ignore_case=args.ignore_case, expand=False,
                        progress=lambda p: progress.show(p.files, p.bytes))
        progress.close()
        tables = set(os.listdir(out))
        if "_files" in tables:
            for row in dataset.read_table(out, "_files").to_pylist():
                if row["status"] == "failed":
                    reports[by_name.get(row["_file"], row["_file"])] = row["reason"]
        if "_errors" in tables:
            for row in dataset.read_table(out, "_errors").to_pylist():
                report = reports.get(by_name.get(row.pop("_file"), ""))
                if isinstance(report, _EngineReport):
                    report.errors.append(ParseError(**row))
        if "_validation" in tables:
            rows = dataset.read_table(out, "_validation").to_pylist()
            for row in rows:
                report = reports.get(by_name.get(row.pop("_file"), ""))
                if isinstance(report, _EngineReport):
                    row["tags"] = tuple(row["tags"])
                    report.findings.append(Finding(**row))
    # validate() puts the dictionaries' own findings first: so do these.
    dictionary = [None] * len(rules.problems)
    for report in reports.values():
        if isinstance(report, _EngineReport):
            report.findings[:0] = dictionary
    return [reports[path] for path in inputs]


class _InOrder:
    """One file after another, in this thread (no thread pool to start)."""

    def __enter__(self) -> "_InOrder":
        return self

    def __exit__(self, *exc: Any) -> None:
        pass

    @staticmethod
    def map(function: Any, items: Iterable[Any]) -> Iterator[Any]:
        return map(function, items)


def _pool(jobs: int) -> Any:
    if jobs <= 1:
        return _InOrder()
    from concurrent.futures import ThreadPoolExecutor

    return ThreadPoolExecutor(max_workers=jobs)


def main(argv: list[str], out: TextIO, err: TextIO) -> int:
    from . import validation
    from ._inputs import collect
    from ._rules import compile_rules

    args = parse(argv)
    if args.jobs < 1:
        print("quarzel validate: --jobs must be at least 1", file=err)
        return 3
    try:
        rules = compile_rules(args.dictionary, args.profile)
    except ValueError as e:  # a DictionaryError: its module is loaded only when needed
        from .dictionary import DictionaryError

        if not isinstance(e, DictionaryError):
            raise
        print(f"quarzel validate: {e}", file=err)
        return EXIT_UNREADABLE
    except OSError as e:
        print(f"quarzel validate: {e}", file=err)
        return EXIT_UNREADABLE
    status = EXIT_CLEAN
    fail = {"error"} if args.fail_on == "error" else {"error", "warning"}
    # Findings about the dictionaries themselves: once, before the files.
    for t in rules.problems:
        f = validation._finding(t, rules.labels, True)
        index = t[12] if t[12] is not None and t[12] < len(rules.paths) else 0
        path = rules.paths[index]
        print(_json_line(path, f) if args.json else format_finding(path, f), file=out)
        if f.severity in fail:
            status = EXIT_ERRORS
    inputs = [i.path for i in collect(args.inputs)]  # as dataset.expand_inputs
    sizes = {}
    for path in inputs:
        try:
            sizes[path] = os.path.getsize(path)
        except OSError:
            sizes[path] = 0
    total = sum(sizes.values())
    progress = Progress(total, len(inputs), not args.no_progress and (
        len(inputs) >= PROGRESS_MIN_FILES or total >= PROGRESS_MIN_BYTES), err)

    if args.jobs > 1 and len(inputs) > 1:
        try:
            reports = _engine_reports(inputs, rules, args, progress)
        except ImportError:  # no pyarrow to read the engine's tables: threads instead
            reports = None
    else:
        reports = None

    def check(path: str) -> Any:
        try:
            return validation._validate_compiled(path, rules, links=args.links,
                                                 su_multiplier=args.su_multiplier,
                                                 ignore_case=args.ignore_case)
        except OSError as e:
            from ._files import describe

            return describe(e)

    counts = {"error": 0, "warning": 0, "info": 0}
    files_failing = 0
    unreadable = 0
    try:
        with _pool(args.jobs) as pool:
            results = reports if reports is not None else pool.map(check, inputs)
            for path, report in zip(inputs, results):
                if reports is None:  # the engine's run has shown its progress
                    progress.step(path, sizes[path])
                    progress.close()
                if isinstance(report, str):
                    print(f"{path}: cannot read: {report}", file=err)
                    unreadable += 1
                    continue
                findings = report.findings[len(rules.problems):]
                failing = bool(report.errors) or any(f.severity in fail for f in findings)
                files_failing += failing
                for e in report.errors:
                    if args.json:
                        import json

                        print(json.dumps({"file": path, "reader": True, **e.__dict__},
                                         ensure_ascii=False, default=str), file=out)
                    else:
                        print(_reader_line(path, e), file=out)
                for f in findings:
                    counts[f.severity] += 1
                if args.json:
                    for f in findings:
                        print(_json_line(path, f), file=out)
                else:
                    for f, more in _grouped(findings, args.show):
                        if more:
                            subject = _subject(f)
                            print(f"{_where(path, f.line, f.column)}: {f.severity}: [{f.code}] "
                                  f"{subject + ': ' if subject else ''}... and {more} more "
                                  f"row{'s' if more != 1 else ''} like these", file=out)
                        else:
                            print(format_finding(path, f), file=out)
    except KeyboardInterrupt:
        progress.close()
        return EXIT_INTERRUPTED
    progress.close()
    if not args.json:
        n = len(inputs)
        print(f"{n} file{'s' if n != 1 else ''}: {counts['error']} errors, "
              f"{counts['warning']} warnings, {counts['info']} info"
              f"{f'; {unreadable} unreadable' if unreadable else ''}", file=err)
    if files_failing:
        status = EXIT_ERRORS
    if unreadable or not inputs:
        if not inputs:
            print("quarzel validate: no CIF files among the inputs", file=err)
        status = EXIT_UNREADABLE
    return status


def command(argv: list[str], out: TextIO | None = None, err: TextIO | None = None) -> int:
    """`quarzel validate ARGV...` as the command line runs it: a closed
    output pipe (`| head`) ends it quietly."""
    try:
        return main(argv, out or sys.stdout, err or sys.stderr)
    except BrokenPipeError:
        return EXIT_CLEAN


if __name__ == "__main__":  # pragma: no cover
    sys.exit(command(sys.argv[1:]))
