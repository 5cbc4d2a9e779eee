"""`quarzel convert in.cif out.cif`: read a CIF file (plain or compressed)
and write it again, in a chosen style and version."""

from __future__ import annotations

import argparse
from typing import TextIO

CIF_SUFFIXES = (".cif", ".dic", ".mmcif")


def is_cif_output(path: str) -> bool:
    low = path.lower()
    if low.endswith(".gz"):
        low = low[:-3]
    return low.endswith(CIF_SUFFIXES)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    import quarzel_core

    from ._convert_checks import strict_stop
    from ._files import describe, read_source
    from .write import dump

    try:
        source = read_source(args.file)
    except OSError as exc:
        print(f"{args.file}: cannot read: {describe(exc)}", file=err)
        return 2
    cif, errors = quarzel_core.parse_cif(source.text, "strict" if args.strict else None)
    if source.problem is not None:
        errors = [source.problem, *errors]
    del source
    stopped = strict_stop(args, errors, err)
    if stopped is not None:
        return stopped
    problems = len(errors)
    style = args.style or "plain"
    try:
        dump(cif, args.out, version=args.cif_version, style=style)
    except (ValueError, TypeError) as exc:
        print(f"{args.out}: cannot write: {exc}", file=err)
        return 2
    except OSError as exc:
        print(f"{args.out}: cannot write: {describe(exc)}", file=err)
        return 2
    noun = "problem" if problems == 1 else "problems"
    print(f"{args.out}: {len(cif._block_list)} blocks written ({style}); "
          f"{args.file}: {problems} {noun} read", file=out)
    return 0
