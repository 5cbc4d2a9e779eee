import json
import os
import subprocess
import sys

import pytest

TOP = os.path.dirname(os.path.dirname(os.path.dirname(os.path.abspath(__file__))))
SAMPLE = os.path.join(TOP, "samples", "sample.cif")


def run(*args, cwd=None):
    proc = subprocess.run([sys.executable, "-m", "quarzel", *args], capture_output=True,
                          text=True, cwd=cwd, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def clean(tmp_path):
    p = tmp_path / "clean.cif"
    p.write_text("data_ok\n_a 1\nloop_ _b _c 1 2 3 4\n", encoding="utf-8")
    return str(p)


def test_check_reports_each_problem_with_position(tmp_path):
    status, out, _ = run("check", SAMPLE)
    assert status == 1
    lines = out.splitlines()
    assert lines[0] == (f"{SAMPLE}:46:1: syntactic: tag \"_cell_volume\" has no value "
                        "(terminated by loop_) [loop_] (inserted ? placeholder)")
    # a problem without a position is shown without one
    assert lines[1].startswith(f"{SAMPLE}: semantic: loop value count 5 is not divisible")
    assert lines[-1] == f"{SAMPLE}: 2 errors (1 syntactic, 1 semantic)"


@pytest.mark.parametrize("text, first", [
    ("data_a\ndata_a\n", ': semantic: duplicate data block name: "a" [RawBuilder] '
                         "(duplicate block stored with distinct internal id)"),
    ("data_a\n_x\n", ':2:1: syntactic: tag "_x" has no value at EOF [_x] '
                     "(inserted ? placeholder)"),
    ("data_a 1\n", ':1:8: syntactic: value "1" has no preceding tag [1] '
                  "(attached to _quarzel_error_value)"),
])
def test_check_shows_a_position_only_where_there_is_one(tmp_path, text, first):
    p = tmp_path / "p.cif"
    p.write_text(text, encoding="utf-8")
    _, out, _ = run("check", str(p))
    assert out.splitlines()[0] == f"{p}{first}"
    _, out, _ = run("check", "--json", str(p))
    record = json.loads(out)[0]["errors"][0]
    assert (record["line"] == 0) == first.startswith(": ")


@pytest.mark.parametrize("extra, expected", [([], 0), (["--strict"], 0)])
def test_check_clean_file(clean, extra, expected):
    status, out, _ = run("check", *extra, clean)
    assert status == expected
    assert out == f"{clean}: no errors\n"


def test_check_unreadable_files_win_over_errors(tmp_path, clean):
    bad = tmp_path / "cut.cif.gz"
    bad.write_bytes(b"\x1f\x8b\x08\x00")
    missing = str(tmp_path / "missing.cif")
    status, out, _ = run("check", SAMPLE, str(bad), missing, clean)
    assert status == 2
    assert f"{bad}: cannot read: truncated gzip stream" in out
    assert f"{missing}: cannot read: No such file or directory" in out
    assert out.splitlines()[-1] == f"{clean}: no errors"


def test_check_json(clean):
    status, out, _ = run("check", "--json", SAMPLE, clean)
    assert status == 1
    report = json.loads(out)
    assert [r["status"] for r in report] == ["errors", "clean"]
    first = report[0]["errors"][0]
    assert list(first) == ["error_type", "message", "line", "column", "context", "recovery_action"]
    assert (first["line"], first["column"], first["context"]) == (46, 1, "loop_")


def test_check_strict_stops_at_first_semantic_problem(tmp_path):
    p = tmp_path / "dup.cif"
    p.write_text("data_a\n_x 1\ndata_A\n_y 2\nloop_ _p _q 1\n", encoding="utf-8")
    _, normal, _ = run("check", str(p))
    _, strict, _ = run("check", "--strict", str(p))
    assert "padded 1 placeholder(s)" in normal and "padded" not in strict
    assert strict.count("semantic") == 2  # the one record and the summary


def test_info_table():
    status, out, _ = run("info", SAMPLE)
    assert status == 1
    assert "version:  CIF 2.0" in out
    assert "blocks:   1" in out
    rows = [line.split() for line in out.splitlines()]
    assert ["nacl", "26", "3", "11", "37"] in rows
    assert ["save_refinement_note", "1", "0", "0", "1"] in rows


@pytest.mark.parametrize("suffix", [".parquet", ".arrow", ".json"])
def test_convert(tmp_path, suffix):
    pa = pytest.importorskip("pyarrow")
    out = str(tmp_path / ("sample" + suffix))
    status, text, _ = run("convert", SAMPLE, out)
    assert status == 0, text
    assert "5 tables" in text
    if suffix == ".json":
        doc = json.load(open(out, encoding="utf-8"))
        atoms = doc["tables"][1]
        assert atoms[0]["_atom_site_label"] == "Na1"
        assert atoms[1]["_quarzel_block_idx"] == 0
    else:
        if suffix == ".parquet":
            import pyarrow.parquet as pq
            table = pq.read_table(out)
        else:
            table = pa.ipc.open_file(out).read_all()
        assert table.num_rows == 1 + 2 + 2 + 1 + 2
        labels = [v for v in table.column("_atom_site_label").to_pylist() if v is not None]
        assert labels == ["Na1", "Cl1"]
        assert isinstance(table, pa.Table)


def test_convert_unknown_suffix(tmp_path):
    status, _, err = run("convert", SAMPLE, str(tmp_path / "out.xyz"))
    assert status == 3
    assert "unknown output format .xyz" in err


def test_read_conveniences(tmp_path):
    import quarzel

    for source in (SAMPLE, open(SAMPLE, encoding="utf-8").read()):
        result = quarzel.read(source)
        cif, errors = result
        assert cif.blocks == ["nacl"]
        assert [e.line for e in errors] == [46, 0]
        assert isinstance(errors[0], quarzel.ParseError)
    block = quarzel.read(SAMPLE).cif["NaCl"]
    assert quarzel.loop_tags(block, "_ATOM_TYPE") == ["_atom_type_symbol",
                                                     "_atom_type_oxidation_number"]
    with pytest.raises(KeyError):
        quarzel.loop_tags(block, "_nothing")
    pytest.importorskip("pyarrow")
    table = quarzel.loop_table(block, "_atom_site_fract_x")
    assert table.column_names[0] == "_atom_site_label"
    assert table.column("_atom_site_type_symbol").to_pylist() == ["Na", "Cl"]
    pytest.importorskip("pandas")
    frame = quarzel.loop_dataframe(block, "_atom_type")
    assert list(frame["_atom_type_oxidation_number"]) == ["1", "-1"]


def test_read_strict_and_text_with_newlines():
    import quarzel

    text = "data_a\ndata_a\n_x 1\n"
    assert [e.error_type for e in quarzel.read(text).errors] == ["semantic"]
    cif, errors = quarzel.read(text, strict=True)
    assert len(cif._block_list) == 2 and cif._block_list[1]._tags == {}
