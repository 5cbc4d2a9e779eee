"""A file without blocks (empty, or only comments and white space) is a
valid CIF document: converted with status ok and no rows, and checked
without errors."""

import bz2
import gzip
import subprocess
import sys

import pytest

from quarzel import dataset
from test_dataset import write

EMPTY = [
    ("empty.cif", b""),
    ("blank.cif", b"  \n\t\r\n\n"),
    ("comments.cif", b"# a comment\n#\\#CIF_2.0 is only a comment here\n   # another\n"),
    ("magic.cif", b"#\\#CIF_2.0\n"),
    ("empty.cif.gz", gzip.compress(b"")),
    ("comments.cif.bz2", bz2.compress(b"# nothing else\n")),
]


@pytest.mark.parametrize("name,data", EMPTY, ids=[n for n, _ in EMPTY])
def test_a_document_without_blocks_converts_with_status_ok(tmp_path, name, data):
    path = write(str(tmp_path), name, data)
    out = str(tmp_path / "out")
    summary = dataset.convert([path], out)
    assert (summary.files_read, summary.files_failed) == (1, 0)
    [row] = dataset.read_table(out, "_files").to_pylist()
    assert (row["status"], row["reason"], row["rows"], row["problems"]) == ("ok", None, 0, 0)
    assert dataset.tables(out) == []


def test_a_zero_byte_file_named_as_compressed_is_not_a_stream(tmp_path):
    path = write(str(tmp_path), "zero.cif.gz", b"")
    out = str(tmp_path / "out")
    dataset.convert([path], out)
    [row] = dataset.read_table(out, "_files").to_pylist()
    assert (row["status"], row["reason"]) == ("failed", "empty file, no gzip stream")


@pytest.mark.parametrize("name,data", EMPTY[:4], ids=[n for n, _ in EMPTY[:4]])
def test_check_finds_no_errors_in_a_document_without_blocks(tmp_path, name, data):
    path = write(str(tmp_path), name, data)
    proc = subprocess.run([sys.executable, "-m", "quarzel", "check", path], capture_output=True, text=True)
    assert proc.returncode == 0, proc.stderr
    assert "no errors" in proc.stdout
