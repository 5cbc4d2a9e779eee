"""`quarzel convert in.cif out.cif`: read a CIF file (plain or compressed)
and write it again, in a chosen style and version."""

from __future__ import annotations

import argparse
import bz2
import gzip
import lzma
from typing import Any, TextIO

OPENERS = {".gz": gzip.open, ".bz2": bz2.open, ".xz": lzma.open}
CIF_SUFFIXES = (".cif", ".dic", ".mmcif")


def is_cif_output(path: str) -> bool:
    low = path.lower()
    if low.endswith(".gz"):
        low = low[:-3]
    return low.endswith(CIF_SUFFIXES)


def read_text(path: str) -> str:
    for suffix, opener in OPENERS.items():
        if path.lower().endswith(suffix):
            with opener(path, "rt", encoding="utf-8", newline="") as f:
                return f.read()
    with open(path, encoding="utf-8", newline="") as f:
        return f.read()


def run(args: argparse.Namespace, out: TextIO, err: TextIO) -> int:
    import quarzel_core

    from .write import dump

    try:
        text = read_text(args.file)
    except (OSError, UnicodeDecodeError, EOFError) as exc:
        print(f"{args.file}: cannot read: {exc}", file=err)
        return 2
    cif, errors = quarzel_core.parse_cif(text, "strict" if args.strict else None)
    del text
    version: Any = args.cif_version
    try:
        dump(cif, args.out, version=version, style=args.style)
    except (ValueError, TypeError) as exc:
        print(f"{args.out}: cannot write: {exc}", file=err)
        return 2
    except OSError as exc:
        print(f"{args.out}: cannot write: {exc}", file=err)
        return 2
    noun = "error" if len(errors) == 1 else "errors"
    print(f"{args.out}: {len(cif._block_list)} blocks written ({args.style}); "
          f"{args.file}: {len(errors)} {noun} read", file=out)
    return 0
