"""The command line of ``quarzel validate``.

argparse's parser (``build_parser``) defines it: its help, its errors and
their exit status. Loading argparse (with gettext and locale) and building
the parser cost a short run about a quarter of its time, so ``parse``
first reads the plain command lines itself: every option spelled out in
full with its value as the next argument, and the inputs in one run. Any
other command line (help, an abbreviation, ``--opt=value``, an unknown
option, a value that does not convert, a missing argument, ``--``, an
argument starting with ``-`` where a value or an input stands, inputs in
two runs) goes to argparse, which gives the same result or the same error.
"""

from __future__ import annotations

TYPE_CHECKING = False
if TYPE_CHECKING:
    import argparse
    from typing import Any

DEFAULT_SHOWN = 5

# What the argparse parser below gives when an option is not used.
DEFAULTS = {"dictionary": None, "links": None, "json": False, "jobs": 1, "fail_on": "error",
            "profile": None, "su_multiplier": 3.0, "ignore_case": False, "show": DEFAULT_SHOWN,
            "no_progress": False}

# Option string: (destination, constant for a flag, or the conversion of its value).
_FLAGS = {"--links": ("links", True), "--no-links": ("links", False), "--json": ("json", True),
          "--ignore-case": ("ignore_case", True), "--no-progress": ("no_progress", True)}
_VALUED = {"-d": ("dictionary", str), "--dictionary": ("dictionary", str),
           "--jobs": ("jobs", int), "-j": ("jobs", int), "--fail-on": ("fail_on", str),
           "--profile": ("profile", str), "--su-multiplier": ("su_multiplier", float),
           "--show": ("show", int)}
_CHOICES = {"fail_on": ("error", "warning"), "profile": ("deposition",)}


class Arguments:
    """The options and inputs of one command line, as argparse's Namespace
    holds them."""

    def __init__(self, **values: Any) -> None:
        self.__dict__.update(values)

    def __repr__(self) -> str:
        return "Arguments(" + ", ".join(f"{k}={v!r}" for k, v in self.__dict__.items()) + ")"


def _plain(argv: list[str]) -> Arguments | None:
    """The arguments of a plain command line, or None for any other."""
    values = dict(DEFAULTS, dictionary=[], inputs=[])
    links_given = set()
    inputs_ended = False
    i, n = 0, len(argv)
    while i < n:
        arg = argv[i]
        if not arg.startswith("-"):
            if inputs_ended:  # argparse takes the inputs in one run only
                return None
            values["inputs"].append(arg)
            i += 1
            continue
        if values["inputs"]:
            inputs_ended = True
        flag = _FLAGS.get(arg)
        if flag is not None:
            dest, constant = flag
            values[dest] = constant
            if dest == "links":
                links_given.add(constant)
            i += 1
            continue
        valued = _VALUED.get(arg)
        if valued is None or i + 1 == n or argv[i + 1].startswith("-"):
            return None
        dest, convert = valued
        try:
            value = convert(argv[i + 1])
        except ValueError:
            return None
        if value not in _CHOICES.get(dest, (value,)):
            return None
        if dest == "dictionary":
            values[dest].append(value)
        else:
            values[dest] = value
        i += 2
    if not values["inputs"] or not values["dictionary"] or len(links_given) > 1:
        return None
    return Arguments(**values)


def parse(argv: list[str]) -> Any:
    """The arguments of `argv`; argparse's error and exit status 3 (or its
    help and exit status 0) for a command line that is wrong (or asks)."""
    args = _plain(argv)
    return args if args is not None else build_parser().parse_args(argv)


def build_parser() -> argparse.ArgumentParser:
    import argparse

    from .cli import _ArgumentParser

    class ChecksOnly(argparse.HelpFormatter):
        """The formatter argparse checks each argument's help text and
        metavar with as the argument is added. It never prints, so it
        needs neither the terminal's width nor the colour theme; help that
        is shown uses argparse's own."""

        def __init__(self, prog: str) -> None:
            super().__init__(prog, width=80, color=False)

        def _set_color(self, color: bool) -> None:
            self._theme = None
            self._decolor = str

    class Parser(_ArgumentParser):
        def _get_validation_formatter(self) -> argparse.HelpFormatter:
            if getattr(self, "_cached_formatter", None) is None:
                self._cached_formatter = ChecksOnly(self.prog)
            return self._cached_formatter

    p = Parser(
        prog="quarzel validate",
        description="Check CIF files (files, folders searched recursively, glob patterns; gzip, "
                    "bzip2 and xz too) against DDL1, DDL2 or DDLm dictionaries.",
        epilog="exit status: 0 no error found, 1 errors found (warnings too with "
               "--fail-on warning), 2 an input or a dictionary cannot be read, 3 a wrong "
               "command line",
    )
    p.add_argument("inputs", nargs="+", metavar="INPUT")
    p.add_argument("-d", "--dictionary", action="append", required=True, metavar="DIC",
                   help="a dictionary; several extend one another in order")
    links = p.add_mutually_exclusive_group()
    links.add_argument("--links", dest="links", action="store_const", const=True, default=None,
                       help="check links between categories (DDL2's are off by default)")
    links.add_argument("--no-links", dest="links", action="store_const", const=False,
                       help="check no links between categories")
    p.add_argument("--json", action="store_true", help="one JSON object per finding and line")
    p.add_argument("--jobs", "-j", type=int, default=1, metavar="N",
                   help="files checked at once, by the archive engine's workers (default 1)")
    p.add_argument("--fail-on", choices=["error", "warning"], default="error",
                   help="the severity that makes the exit status 1 (default error)")
    p.add_argument("--profile", choices=["deposition"], default=None,
                   help="PDBx deposition rules (_pdbx_item_enumeration, _pdbx_item_range, "
                        "_pdbx_item_type)")
    p.add_argument("--su-multiplier", type=float, default=3.0, metavar="X",
                   help="DDLm ranges widen by X times a value's su (default 3)")
    p.add_argument("--ignore-case", action="store_true",
                   help="DDL1 enumerations compare ignoring case")
    p.add_argument("--show", type=int, default=DEFAULT_SHOWN, metavar="N",
                   help=f"findings shown per rule and column before counting the rest "
                        f"(default {DEFAULT_SHOWN}; 0 shows all)")
    p.add_argument("--no-progress", action="store_true", help="never show a progress bar")
    return p
