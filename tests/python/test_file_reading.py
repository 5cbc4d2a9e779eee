"""Files as users have them: gzip, bzip2 and xz, text that is not UTF-8,
and files that cannot be read, through quarzel.read and the command line."""

import bz2
import gzip
import io
import json
import lzma
import os
import pathlib

import pytest

import quarzel
from quarzel import _atomic, _files, cli

# CIF 1.1: the ü inside quotes is flagged by the character check, the é in a
# bare word is not; the loop leaves one value missing (a semantic problem
# without a position).
TEXT = "data_x\r\n_name 'M\u00fcller'\n_word caf\u00e9\nloop_ _b _c 1 2 3\n"
# Where the first byte of the Latin-1 form that is not UTF-8 stands.
RECORD = {
    "error_type": "lexical",
    "message": "not valid UTF-8 (byte 0xFC); read as Latin-1",
    "line": 2,
    "column": 9,
    "context": "\u00fc",
    "recovery_action": "read as Latin-1",
}

ENCODINGS = {"utf-8": TEXT.encode("utf-8"), "latin-1": TEXT.encode("latin-1")}
COMPRESSIONS = {
    "plain": lambda b: b,
    "gzip": gzip.compress,
    "gzip, two members": lambda b: gzip.compress(b[:10]) + gzip.compress(b[10:]),
    "bzip2": bz2.compress,
    "bzip2, two streams": lambda b: bz2.compress(b[:7]) + bz2.compress(b[7:]),
    "xz": lzma.compress,
    "xz, padded": lambda b: lzma.compress(b) + bytes(8),
}


def run(*argv):
    out, err = io.StringIO(), io.StringIO()
    status = cli.main(list(argv), out, err)
    return status, out.getvalue(), err.getvalue()


def expected_errors(encoding):
    """The problems of TEXT read from a file of that encoding."""
    errors = [e.as_dict() for e in quarzel.read(TEXT).errors]
    return ([RECORD] if encoding == "latin-1" else []) + errors


@pytest.fixture(params=list(COMPRESSIONS))
def compression(request):
    return request.param


@pytest.fixture(params=list(ENCODINGS))
def encoding(request):
    return request.param


@pytest.fixture
def entry(tmp_path, compression, encoding):
    """The test text as a file, named .cif whatever its compression (the
    content decides, not the name)."""
    path = tmp_path / "entry.cif"
    path.write_bytes(COMPRESSIONS[compression](ENCODINGS[encoding]))
    return str(path)


# --------------------------------------------------------------------------
# Each form of file through each way of reading it

def test_read(entry, encoding):
    cif, errors = quarzel.read(entry)
    assert [e.as_dict() for e in errors] == expected_errors(encoding)
    block = cif["x"]
    assert block["_name"] == ["M\u00fcller"] and block["_word"] == ["caf\u00e9"]
    assert block["_c"] == ["2", "?"]


def test_check(entry, encoding):
    status, out, _ = run("check", entry)
    assert status == 1
    lines = out.splitlines()
    if encoding == "latin-1":
        assert lines[0] == (f"{entry}:2:9: lexical: not valid UTF-8 (byte 0xFC); read as Latin-1 "
                            "[\u00fc] (read as Latin-1)")
    assert lines[-1].startswith(f"{entry}: {len(expected_errors(encoding))} errors")
    _, out, _ = run("check", "--json", entry)
    assert json.loads(out) == [{"file": entry, "status": "errors",
                                "errors": expected_errors(encoding)}]


def test_info(entry, compression, encoding):
    status, out, _ = run("info", entry)
    assert status == 1
    lines = out.splitlines()
    size = f"size:     {len(ENCODINGS[encoding]):,} bytes"
    if compression != "plain":
        kind = compression.split(",")[0]
        size += f" ({kind}, {os.path.getsize(entry):,} bytes compressed)"
    assert size in lines
    assert ("text:     Latin-1 (not valid UTF-8 from line 2, column 9)" in lines) == (
        encoding == "latin-1")
    assert f"errors:   {len(expected_errors(encoding))} errors" in out
    assert ["x", "4", "1", "2", "6"] in [line.split() for line in lines]


def test_convert(entry, encoding, tmp_path):
    pytest.importorskip("pyarrow")
    target = tmp_path / "out.json"
    status, out, _ = run("convert", entry, str(target))
    assert status == 0 and out.startswith(f"{target}: 2 tables, 3 rows (json)")
    doc = json.loads(target.read_text(encoding="utf-8"))
    assert doc["errors"] == expected_errors(encoding)
    assert doc["tables"][0][0]["_name"] == "M\u00fcller"


def test_convert_compressed_to_parquet(tmp_path):
    pq = pytest.importorskip("pyarrow.parquet")
    source, target = tmp_path / "entry.cif.gz", tmp_path / "out.parquet"
    source.write_bytes(gzip.compress(ENCODINGS["utf-8"]))
    status, _, _ = run("convert", str(source), str(target))
    assert status == 0
    assert pq.read_table(target).column("_word").to_pylist()[0] == "caf\u00e9"


def test_many_gzip_members(tmp_path):
    # bgzip writes files of many small members
    text = "".join(f"data_b{i}\n_v {i}\n" for i in range(3000)).encode()
    path = tmp_path / "many.cif.gz"
    path.write_bytes(b"".join(gzip.compress(text[i:i + 50]) for i in range(0, len(text), 50)))
    cif, errors = quarzel.read(path)
    assert errors == [] and len(cif.blocks) == 3000 and cif["b2999"]["_v"] == ["2999"]


# --------------------------------------------------------------------------
# The record's position: line ends as the reader counts them, one column per
# byte of the Latin-1 text

@pytest.mark.parametrize("data, line, column, byte", [
    (b"\xe9data_x\n", 1, 1, 0xE9),
    (b"data_x\n_a caf\xe9\n", 2, 7, 0xE9),
    (b"data_x\r\n_a \xff\r\n", 2, 4, 0xFF),
    (b"data_x\r_a\r\r\xff", 4, 1, 0xFF),                  # lone CRs
    (b"data_x\n_a \xc3\xa9\xff", 2, 6, 0xFF),             # valid UTF-8 before: two columns
    (b"data_x\n_a \xc3(", 2, 4, 0xC3),                    # a lead byte without its follower
    (b"data_x\n_a \xe2\x82", 2, 4, 0xE2),                 # cut at the end of the text
    (b"data_x\n_a \xed\xa0\x80", 2, 4, 0xED),             # an encoded surrogate
    (b"data_x\n_a \xc0\xaf", 2, 4, 0xC0),                 # an overlong form
    (b"\xef\xbb\xbfdata_x\n_a \xe9", 2, 4, 0xE9),         # a byte order mark, then Latin-1
    (b"\xef\xbb\xbfdata_x _a \xe9", 1, 11, 0xE9),         # ... on its line: no column
    (b"data_x _a \x80\n", 1, 11, 0x80),                  # a lone continuation byte
    (b"data_x _a \xf4\x90\x80\x80\n", 1, 11, 0xF4),       # beyond U+10FFFF
    (b"\xff\xfedata_x", 1, 1, 0xFF),                      # UTF-16 byte order mark
    (b"data_x\n" * 100_000 + b"_a \xc3", 100_001, 4, 0xC3),  # far into the file
])
def test_record_position(tmp_path, data, line, column, byte):
    path = tmp_path / "x.cif"
    path.write_bytes(data)
    first = quarzel.read(path).errors[0]
    assert (first.line, first.column) == (line, column)
    assert first.message == f"not valid UTF-8 (byte 0x{byte:02X}); read as Latin-1"
    assert first.context == chr(byte)
    # the position names that character in the text as read, which is the
    # whole file, byte for byte, but for a leading byte order mark: that
    # stays one (and the reader drops it)
    bom = data.startswith(b"\xef\xbb\xbf")
    body = data[3:] if bom else data
    assert _files.read_source(path).text == "\ufeff" * bom + body.decode("latin-1")
    text = body.decode("latin-1").replace("\r\n", "\n").replace("\r", "\n")
    assert text.split("\n")[line - 1][column - 1] == chr(byte)


@pytest.mark.parametrize("data", [b"", b"\xef\xbb\xbfdata_x _a 1\n", "data_x _a 'é'\n".encode()])
def test_utf8_files_have_no_record(tmp_path, data):
    path = tmp_path / "x.cif"
    path.write_bytes(data)
    text = _files.read_source(path).text
    assert text == data.decode("utf-8")
    assert not any(e.message.startswith("not valid UTF-8") for e in quarzel.read(path).errors)


# --------------------------------------------------------------------------
# Files that cannot be read

def gz(b):
    return gzip.compress(b, mtime=0)


CIF = ("data_x\n" + "".join(f"_a{i} {i}\n" for i in range(50))).encode()
BAD = [
    ("directory", None, "Is a directory"),
    ("missing", None, "No such file or directory"),
    ("x.cif.gz", gz(CIF)[:-20], "truncated gzip stream"),
    ("x.cif.gz", gz(CIF)[:2], "truncated gzip stream"),
    ("x.cif.gz", gz(CIF)[:-8] + b"\0\0\0\0" + gz(CIF)[-4:], "corrupt gzip stream (incorrect data check)"),
    ("x.cif.gz", gz(CIF) + b"junk", "corrupt gzip stream (data after its end)"),
    ("x.cif.gz", gz(CIF) + gz(CIF)[:5], "truncated gzip stream"),
    ("x.cif.bz2", bz2.compress(CIF)[:-10], "truncated bzip2 stream"),
    ("x.cif.bz2", bz2.compress(CIF)[:10] + bytes(30) + bz2.compress(CIF)[40:],
     "corrupt bzip2 stream (Invalid data stream)"),
    ("x.cif.xz", lzma.compress(CIF)[:-10], "truncated xz stream"),
    ("x.cif.xz", lzma.compress(CIF)[:30] + bytes(10) + lzma.compress(CIF)[40:],
     "corrupt xz stream (Corrupt input data)"),
    ("x.cif.gz", b"", "empty file, no gzip stream"),
    ("x.cif.xz", b"", "empty file, no xz stream"),
]
BAD_IDS = [f"{name}: {cause}" for name, _, cause in BAD]


def bad_file(tmp_path, name, data):
    path = tmp_path / name
    if name == "directory":
        path.mkdir()
    elif data is not None:
        path.write_bytes(data)
    return str(path)


@pytest.mark.parametrize("name, data, cause", BAD, ids=BAD_IDS)
def test_check_bad_input(tmp_path, name, data, cause):
    bad = bad_file(tmp_path, name, data)
    good = tmp_path / "good.cif"
    good.write_bytes(CIF)
    status, out, _ = run("check", bad, str(good))
    assert status == 2
    assert out.splitlines() == [f"{bad}: cannot read: {cause}", f"{good}: no errors"]
    _, out, _ = run("check", "--json", bad)
    assert json.loads(out) == [{"file": bad, "status": "unreadable", "message": cause,
                                "errors": []}]


@pytest.mark.parametrize("name, data, cause", BAD, ids=BAD_IDS)
def test_info_convert_and_read_bad_input(tmp_path, name, data, cause):
    bad = bad_file(tmp_path, name, data)
    assert run("info", bad) == (2, "", f"{bad}: cannot read: {cause}\n")
    with pytest.raises(OSError) as info:
        quarzel.read(pathlib.Path(bad))
    assert cause in str(info.value)
    pytest.importorskip("pyarrow")
    target = tmp_path / "out" / "x.parquet"
    target.parent.mkdir()
    assert run("convert", bad, str(target)) == (2, "", f"{bad}: cannot read: {cause}\n")
    assert os.listdir(target.parent) == []


def test_unreadable_file(tmp_path, monkeypatch):
    path = tmp_path / "secret.cif"
    path.write_bytes(CIF)
    path.chmod(0)
    if os.access(path, os.R_OK):  # root reads anyway: make open refuse as it would
        real_open = open

        def refusing_open(file, *args, **kwargs):
            if os.fspath(file) == str(path):
                raise PermissionError(13, "Permission denied", str(path))
            return real_open(file, *args, **kwargs)

        monkeypatch.setattr(_files, "open", refusing_open, raising=False)
    status, out, _ = run("check", str(path), __file__)
    assert status == 2 and out.splitlines()[0] == f"{path}: cannot read: Permission denied"
    with pytest.raises(PermissionError):
        quarzel.read(path)


# --------------------------------------------------------------------------
# convert writes its output whole or not at all

@pytest.fixture
def source(tmp_path):
    path = tmp_path / "in.cif"
    path.write_bytes(CIF)
    return str(path)


@pytest.mark.parametrize("target, cause", [
    ("missing/out.parquet", "No such file or directory"),
    ("folder.parquet", "Is a directory"),
])
def test_convert_cannot_write(tmp_path, source, target, cause):
    pytest.importorskip("pyarrow")
    (tmp_path / "folder.parquet").mkdir()
    before = sorted(os.listdir(tmp_path))
    target = str(tmp_path / target)
    assert run("convert", source, target) == (2, "", f"{target}: cannot write: {cause}\n")
    assert sorted(os.listdir(tmp_path)) == before


def test_convert_to_unwritable_folder(tmp_path, source, monkeypatch):
    pytest.importorskip("pyarrow")
    folder = tmp_path / "locked"
    folder.mkdir()
    folder.chmod(0o500)
    if os.access(folder, os.W_OK):  # root writes anyway: refuse as the system would
        def refuse(file, mode="r", *args, **kwargs):
            raise PermissionError(13, "Permission denied", file)

        monkeypatch.setattr(_atomic, "open", refuse, raising=False)
    target = str(folder / "out.arrow")
    assert run("convert", source, target) == (2, "", f"{target}: cannot write: Permission denied\n")
    assert os.listdir(folder) == []


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".json"])
def test_convert_failing_midway_leaves_no_file(tmp_path, source, monkeypatch, suffix):
    pytest.importorskip("pyarrow")
    target = tmp_path / ("out" + suffix)
    target.write_bytes(b"the earlier output")

    def failing(path, *args):
        with open(path, "wb") as f:
            f.write(b"half a file")
        raise OSError(28, "No space left on device")

    monkeypatch.setattr(cli, "_write_tables", failing)
    assert run("convert", source, str(target)) == (
        2, "", f"{target}: cannot write: No space left on device\n")
    assert sorted(os.listdir(tmp_path)) == ["in.cif", "out" + suffix]
    assert target.read_bytes() == b"the earlier output"


def test_convert_output_has_the_usual_permissions(tmp_path, source):
    pytest.importorskip("pyarrow")
    target = tmp_path / "out.json"
    mask = os.umask(0o022)
    try:
        assert run("convert", source, str(target))[0] == 0
    finally:
        os.umask(mask)
    assert target.stat().st_mode & 0o777 == 0o644


@pytest.mark.parametrize("source, is_path", [
    ("missing.cif", True),
    ("some/folder/entry.cif.gz", True),
    ("data_x", False),
    ("DATA_x", False),
    ("#\\#CIF_2.0", False),
    ("data_x _a 1", False),
    ("", False),
])
def test_read_tells_a_missing_file_from_cif_text(tmp_path, monkeypatch, source, is_path):
    monkeypatch.chdir(tmp_path)
    if is_path:
        with pytest.raises(FileNotFoundError):
            quarzel.read(source)
    else:
        assert isinstance(quarzel.read(source).errors, list)
