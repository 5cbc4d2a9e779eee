"""`quarzel convert in.cif out.cif`: read a CIF file (plain or compressed,
or BinaryCIF) and write it again, in a chosen style and version, or as
BinaryCIF (`.bcif`, `.bcif.gz`)."""

from __future__ import annotations

import argparse
from typing import TextIO

CIF_SUFFIXES = (".cif", ".dic", ".mmcif")


def is_cif_output(path: str) -> bool:
    from ._bcif_convert import is_bcif_output

    if is_bcif_output(path):
        return True
    low = path.lower()
    if low.endswith(".gz"):
        low = low[:-3]
    return low.endswith(CIF_SUFFIXES)


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    from ._bcif_convert import is_bcif_output, read_document, write_bcif
    from ._convert_checks import strict_stop
    from ._files import describe
    from .write import dump

    binary = is_bcif_output(args.out)
    if binary and (args.style or args.cif_version):
        from .cli import EXIT_USAGE

        given = [f for a, f in (("style", "--style"), ("cif_version", "--cif-version"))
                 if getattr(args, a, None)]
        verb = "does" if len(given) == 1 else "do"
        print(f"{args.out}: {' and '.join(given)} {verb} not apply to BinaryCIF output", file=err)
        return EXIT_USAGE
    try:
        cif, errors, names = read_document(args.file, args.strict, want_names=binary)
    except OSError as exc:
        print(f"{args.file}: cannot read: {describe(exc)}", file=err)
        return 2
    stopped = strict_stop(args, errors, err)
    if stopped is not None:
        return stopped
    problems = len(errors)
    style = args.style or "plain"
    try:
        if binary:
            write_bcif(cif, args.out, names)
        else:
            dump(cif, args.out, version=args.cif_version, style=style)
    except (ValueError, TypeError) as exc:
        print(f"{args.out}: cannot write: {exc}", file=err)
        return 2
    except OSError as exc:
        print(f"{args.out}: cannot write: {describe(exc)}", file=err)
        return 2
    noun = "problem" if problems == 1 else "problems"
    written = "bcif" if binary else style
    print(f"{args.out}: {len(cif._block_list)} blocks written ({written}); "
          f"{args.file}: {problems} {noun} read", file=out)
    return 0
