"""Text fields with the prefix and line-folding protocols, read and written
as CIF 2.0 has them: `\\` folding, `P\\` the prefix P alone, `P\\\\` the
prefix and folding, anything else (two backslashes without a prefix, a
prefix starting with ';') the text as it stands.

The COMCIFS cases (tests/data/cif_api/text_fields.cif) read as their own
comments say; cod-tools reads them alike except where it departs from the
standard (listed below, so that a change on either side shows); what the
writer makes of every case reads back the same in quarzel and cod-tools, and
gemmi reads its CIF 1.1 output."""

from __future__ import annotations

import json
import pathlib
import shutil
import subprocess

import pytest
import quarzel_core as q

import quarzel
import testdata

try:
    import gemmi
except ImportError:  # pragma: no cover
    gemmi = None

COD_TOOLS = shutil.which("cif2json") is not None
needs_cod_tools = pytest.mark.skipif(not COD_TOOLS, reason="cod-tools not installed")

# Each case of text_fields.cif and its value.
COMCIFS = {
    "_plain1": "\\\\\nline 2\\\nline 3    ",  # two backslashes, no prefix: no protocol
    "_plain2": ";\\",  # a prefix cannot start with ';'
    "_terminators": "line 1\nline 2\nline 3\nend",
    "_folded1": "A (not so) long line.\nA normal line.\nNOT a long line.",
    "_folded2": "line 1  \nline 2",
    "_prefixed1": "_embedded\n;\n;",
    "_prefixed2": "_embedded\n;\n;",
    "_pfx_folded": "line 1 is folded twice.",  # the prefix and two backslashes: folded too
    "_folded_empty": "",
    "_prefixed_empty": "",
    "_pfx_fold_empty": "",
}

# Where cod-tools reads the file otherwise, and why.
COD_TOOLS_DIFFERS = {
    # Two backslashes without a prefix: it folds the lines, keeping one
    # backslash of the first.
    "_plain1": "\\line 2line 3    ",
    # A lone carriage return: dropped rather than read as a line end.
    "_terminators": "line 1\nline 2line 3\nend",
    # The prefix protocol only when a line follows the first.
    "_prefixed_empty": ">>\\",
    "_pfx_fold_empty": "πφχ\\\\",
}

SOURCE = testdata.path("cif_api", "text_fields.cif")


def cod_values(path: pathlib.Path) -> dict[str, str]:
    """cod-tools' value of each tag of the first block (one value each)."""
    proc = subprocess.run(["cif2json", str(path)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and "ERROR" not in proc.stderr, proc.stderr[-2000:]
    values = json.loads(proc.stdout.splitlines()[0])["data"]["values"]
    return {tag: v[0] for tag, v in values.items()}


def test_comcifs_cases_read_as_the_standard_has_them():
    raw = q.parse_raw(SOURCE.read_text(encoding="utf-8"))
    assert raw["errors"] == []
    assert raw["blocks"][0]["tags"] == {tag: [v] for tag, v in COMCIFS.items()}


@needs_cod_tools
def test_cod_tools_reads_the_comcifs_cases_alike():
    theirs = cod_values(SOURCE)
    assert theirs == {tag: COD_TOOLS_DIFFERS.get(tag, v) for tag, v in COMCIFS.items()}


# Values that need a protocol to be written, beside the COMCIFS ones.
WRITTEN = [
    *COMCIFS.values(),
    "a\n;b",  # prefix alone
    "a\\\n;b\\",  # prefix alone: the backslashes stay
    "x;" + "y" * 30 + "\n;z",  # prefix and folding (at a line limit of 20)
    "semi ; inside a long line that must be folded somewhere\nnext",
    "\\",
    "x\\ \nabc",
    ">\\\n>a",
    "\\\\\nabc",
    "first line\\\n;second\\\n\\",
    ";\n;\n;",
    ";\\\n];",
]


def document(values: list[str]) -> dict:
    tags = {f"_v{i}": [v] for i, v in enumerate(values)}
    block = {"name": "t", "tag_order": list(tags), "loops": [], "tags": tags, "save_frames": []}
    return {"version": "CIF_1_1", "errors": [], "blocks": [block]}


@pytest.mark.parametrize("limit", [2048, 20])
@pytest.mark.parametrize("version", ["1.1", "2.0"])
def test_written_protocols_read_back_alike(version, limit, tmp_path):
    doc = document(WRITTEN)
    text = quarzel.dumps(doc, version=version, line_limit=limit)
    back = q.parse_raw(text)
    assert back["errors"] == []
    assert back["blocks"] == doc["blocks"]
    if COD_TOOLS:
        path = tmp_path / "out.cif"
        path.write_text(text, encoding="utf-8")
        assert cod_values(path) == {tag: v[0] for tag, v in doc["blocks"][0]["tags"].items()}
    if gemmi is not None and version == "1.1":
        gemmi.cif.read_string(text)  # gemmi applies no protocol, but reads the file


@pytest.mark.parametrize(
    "value, limit, written",
    [
        # A line starting with ';' and nothing too long: the prefix alone.
        ("a\n;b", 2048, ";>\\\n>a\n>;b\n;"),
        ("a\\\n;b", 2048, ";>\\\n>a\\\n>;b\n;"),
        # A first line that starts with ';' and reads as a protocol's: behind
        # the protocol's first line it would close the field, so the prefix.
        (";\\\n]", 2048, ";>\\\n>;\\\n>]\n;"),
        # ... and a line too long as well: the prefix and folding.
        ("a\n;" + "b" * 20, 16, ";>\\\\\n>a\n>;bbbbbbbbbbbbb\\\n>bbbbbbb\n;"),
        # ';' inside a line that must be folded: a piece could start with it.
        ("x" * 14 + "; y", 16, ";>\\\\\n>xxxxxxxxxxxxxx\\\n>; y\n;"),
        # A line ending in a backslash and blanks: cut after its backslash,
        # the blanks on the next line.
        ("\\\nx\\  ", 2048, ";\\\n\\\\\n\nx\\\\\n  \n;"),
        # No ';': folding alone.
        ("x" * 20, 16, ";\\\nxxxxxxxxxxxxxxx\\\nxxxxx\n;"),
        ("\\\nx", 2048, ";\\\n\\\\\n\nx\n;"),
    ],
)
def test_protocol_forms(value, limit, written):
    text = quarzel.dumps(document([value]), version="1.1", line_limit=limit)
    assert text == f"#\\#CIF_1.1\ndata_t\n_v0\n{written}\n"
    assert q.parse_raw(text)["blocks"][0]["tags"]["_v0"] == [value]
