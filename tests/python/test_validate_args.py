"""``quarzel validate``'s own reading of plain command lines: the same
arguments as argparse's parser gives, and argparse itself (its help, its
errors, exit status 3) for every other command line."""

import io
from contextlib import redirect_stderr, redirect_stdout

import pytest

from quarzel import _validate_args

# Command lines read without argparse: each a different option or form.
PLAIN = [
    ["-d", "a.dic", "x.cif"],
    ["x.cif", "y.cif", "-d", "a.dic"],  # inputs first
    ["--dictionary", "a.dic", "-d", "b.dic", "x.cif"],  # appended in order
    ["-d", "a.dic", "--links", "--links", "x.cif"],
    ["-d", "a.dic", "--no-links", "x.cif"],
    ["-d", "a.dic", "--json", "--ignore-case", "--no-progress", "x.cif", "y.cif"],
    ["-j", "4", "-d", "a.dic", "--jobs", " 2 ", "x.cif"],  # the last wins; int() strips
    ["-d", "a.dic", "--fail-on", "warning", "--profile", "deposition", "x.cif"],
    ["-d", "a.dic", "--su-multiplier", "2.5", "--show", "0", "x.cif"],
    ["-d", "a.dic", "--su-multiplier", "1e1", "--show", "1_0", "x.cif"],
    ["-d", "", ""],  # empty values and inputs are values and inputs
]

# Command lines left to argparse: each a form the quick reading must not guess at.
TO_ARGPARSE = [
    ["--help"],
    ["-d", "a.dic", "-h", "x.cif"],
    ["-d", "a.dic"],  # no input
    ["x.cif"],  # no dictionary
    ["-d"],  # no value
    ["-d", "a.dic", "x.cif", "--json", "y.cif"],  # inputs in two runs
    ["--dict", "a.dic", "x.cif"],  # an abbreviation
    ["--dictionary=a.dic", "x.cif"],
    ["-da.dic", "x.cif"],
    ["-d", "a.dic", "--", "x.cif"],
    ["-d", "a.dic", "-", "x.cif"],
    ["-d", "a.dic", "--jobs", "two", "x.cif"],
    ["-d", "a.dic", "--show", "-1", "x.cif"],  # a value starting with -
    ["-d", "a.dic", "--su-multiplier", "x", "x.cif"],
    ["-d", "a.dic", "--fail-on", "info", "x.cif"],
    ["-d", "a.dic", "--profile", "strict", "x.cif"],
    ["-d", "a.dic", "--links", "--no-links", "x.cif"],
    ["-d", "a.dic", "--unknown", "x.cif"],
    ["-d", "-x.dic", "x.cif"],
    ["-d", "a.dic", "-x.cif"],
]


def argparse_result(argv):
    """(exit status or None, Namespace or None, stdout, stderr) of argparse's parser."""
    out, err = io.StringIO(), io.StringIO()
    try:
        with redirect_stdout(out), redirect_stderr(err):
            args = _validate_args.build_parser().parse_args(argv)
    except SystemExit as e:
        return e.code, None, out.getvalue(), err.getvalue()
    return None, vars(args), out.getvalue(), err.getvalue()


@pytest.mark.parametrize("argv", PLAIN, ids=[" ".join(a) for a in PLAIN])
def test_plain_command_lines_read_as_argparse_reads_them(argv):
    status, expected, _, _ = argparse_result(argv)
    assert status is None
    got = _validate_args._plain(argv)
    assert got is not None and vars(got) == expected
    assert vars(_validate_args.parse(argv)) == expected


@pytest.mark.parametrize("argv", TO_ARGPARSE, ids=[" ".join(a) for a in TO_ARGPARSE])
def test_other_command_lines_go_to_argparse(argv):
    assert _validate_args._plain(argv) is None
    status, expected, out, err = argparse_result(argv)
    got_out, got_err = io.StringIO(), io.StringIO()
    try:
        with redirect_stdout(got_out), redirect_stderr(got_err):
            got = vars(_validate_args.parse(argv))
        got_status = None
    except SystemExit as e:
        got, got_status = None, e.code
    assert (got_status, got, got_out.getvalue(), got_err.getvalue()) == (status, expected, out, err)
    if {"-h", "--help"} & set(argv):
        assert status == 0 and "--su-multiplier X" in out
    elif status is not None:
        assert status == 3 and "quarzel validate: error:" in err
