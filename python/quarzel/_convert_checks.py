"""What ``quarzel convert FILE OUT`` checks before it writes: that every
option given applies to the output's format, and that strict mode did not
stop reading early (a document cut short is not written)."""

from __future__ import annotations

import argparse
from typing import Any, TextIO

# Options that apply to one kind of output only: (attribute, flag).
CIF_OPTIONS = (("style", "--style"), ("cif_version", "--cif-version"))
TABLE_OPTIONS = (("typed", "--typed"), ("dictionary", "--dictionary"))


def refuse_options(args: argparse.Namespace, cif_output: bool, err: TextIO) -> int | None:
    """The exit status for options given that do not apply to the output
    (reported on ``err``), or None when all apply."""
    from .cli import EXIT_USAGE

    others = TABLE_OPTIONS if cif_output else CIF_OPTIONS
    given = [flag for attr, flag in others if getattr(args, attr, None)]
    if not given:
        return None
    kind = "CIF output" if cif_output else "Parquet, Arrow and JSON output"
    verb = "applies" if len(given) == 1 else "apply"
    target = "Parquet, Arrow and JSON output" if cif_output else "CIF output"
    print(f"{args.out}: {' and '.join(given)} {verb} to {target} only, not to {kind}", file=err)
    return EXIT_USAGE


def strict_stop(args: argparse.Namespace, errors: list[dict[str, Any]], err: TextIO) -> int | None:
    """With ``--strict``, reading stops at the first semantic problem and
    the document is incomplete: the exit status (as ``check --strict``
    gives it) with the problems reported on ``err`` and nothing written.
    None when there is no such stop."""
    if not args.strict or not any(e["error_type"] == "semantic" for e in errors):
        return None
    from .cli import EXIT_ERRORS, format_error, summary

    for e in errors:
        print(format_error(args.file, e), file=err)
    print(summary(args.file, errors), file=err)
    print(f"{args.out}: not written: --strict stopped reading at the first semantic problem",
          file=err)
    return EXIT_ERRORS
