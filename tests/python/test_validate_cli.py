"""``quarzel validate``: the line format, grouping, JSON, exit statuses."""

import gzip
import json
import os
import subprocess
import sys

import pytest

from testdata import path

DDL1 = str(path("dict", "validate", "ddl1_test.dic"))
DDLM = str(path("dict", "validate", "ddlm_test.dic"))


def run(*args):
    proc = subprocess.run([sys.executable, "-m", "quarzel", "validate", *args],
                          capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return proc.returncode, proc.stdout, proc.stderr


def write(tmp_path, name, text):
    p = tmp_path / name
    p.write_text(text)
    return str(p)


def test_line_format(tmp_path):
    f = write(tmp_path, "a.cif", "data_t\n_cell_length_a abc\n_odd 1\n")
    status, out, err = run("-d", DDLM, f)
    assert status == 1
    assert out.splitlines() == [
        f"{f}:2:16: error: [type] data_t _cell_length_a: 'abc' is not of type Real",
        f"{f}:3:1: warning: [unknown] data_t _odd: unknown data name _odd (not in the dictionary)",
    ]
    assert err.strip() == "1 file: 1 errors, 1 warnings, 0 info"


def test_grouping(tmp_path):
    rows = "".join(f"C{i} 9\n" for i in range(12))
    f = write(tmp_path, "a.cif", "data_t\nloop_\n_site_label\n_site_flag\n" + rows)
    status, out, _ = run("-d", DDL1, "--show", "3", f)
    lines = [line for line in out.splitlines() if "[enumeration]" in line]
    assert len(lines) == 4
    assert lines[3] == f"{f}:8:4: error: [enumeration] data_t _site_flag: ... and 9 more rows like these"
    status, out, _ = run("-d", DDL1, "--show", "0", f)
    assert len([line for line in out.splitlines() if "[enumeration]" in line]) == 12


def test_json_gives_every_finding(tmp_path):
    rows = "".join(f"C{i} 9\n" for i in range(8))
    f = write(tmp_path, "a.cif", "data_t\nloop_\n_site_label\n_site_flag\n" + rows)
    status, out, _ = run("-d", DDL1, "--json", f)
    objects = [json.loads(line) for line in out.splitlines()]
    found = [o for o in objects if o["file"] == f]
    assert [o["row"] for o in found] == list(range(8))
    assert found[0]["code"] == "enumeration" and found[0]["tags"] == ["_site_flag"]
    assert found[0]["dictionary"] == "test_ddl1.dic 1.0" and found[0]["rule"] == "_enumeration"
    # the dictionary's own fault comes once, before the files
    assert objects[0]["code"] == "dictionary" and objects[0]["file"] == DDL1


@pytest.mark.parametrize("args, text, status", [
    ([], "data_t\n_cell.z 1\n", 0),
    ([], "data_t\n_cell.z x\n", 1),
    ([], "data_t\n_odd 1\n", 0),
    (["--fail-on", "warning"], "data_t\n_odd 1\n", 1),
    ([], "data_t\n_cell.z\n", 1),  # a fault of the text itself
])
def test_exit_status(tmp_path, args, text, status):
    f = write(tmp_path, "a.cif", text)
    assert run("-d", DDLM, *args, f)[0] == status


def test_unreadable_input_and_dictionary(tmp_path):
    good = write(tmp_path, "a.cif", "data_t\n_cell.z 1\n")
    status, out, err = run("-d", DDLM, good, str(tmp_path / "missing.cif"))
    assert status == 2 and "missing.cif: cannot read" in err
    status, _, err = run("-d", str(tmp_path / "none.dic"), good)
    assert status == 2 and "none.dic: cannot read" in err
    status, _, err = run("-d", good, good)
    assert status == 2 and "not a dictionary" in err


def test_wrong_command_line(tmp_path):
    assert run(str(tmp_path))[0] == 3  # no dictionary
    assert run("-d", DDLM, "--jobs", "0", str(tmp_path))[0] == 3
    assert run("-d", DDLM, "--fail-on", "info", str(tmp_path))[0] == 3


def test_folders_compressed_files_and_jobs(tmp_path):
    (tmp_path / "sub").mkdir()
    write(tmp_path / "sub", "b.cif", "data_t\n_cell.z x\n")
    with gzip.open(tmp_path / "c.cif.gz", "wt") as f:
        f.write("data_t\n_cell.n 0\n")
    status, out, err = run("-d", DDLM, "--jobs", "2", str(tmp_path))
    assert status == 1
    assert "c.cif.gz:2:9: error: [type]" in out and "b.cif:2:9: error: [type]" in out
    assert err.strip() == "2 files: 2 errors, 0 warnings, 0 info"


def test_several_dictionaries(tmp_path):
    local = write(tmp_path, "local.dic", "data_on_this_dictionary\n_dictionary_name local.dic\n"
                  "data_odd\n_name '_odd'\n_category odd\n_type numb\n")
    f = write(tmp_path, "a.cif", "data_t\n_odd x\n")
    status, out, _ = run("-d", DDLM, "-d", local, f)
    assert status == 1 and out.strip().endswith("[type] data_t _odd: 'x' is not of type numb "
                                                 "(a number)")


def test_help_lists_validate():
    proc = subprocess.run([sys.executable, "-m", "quarzel", "--help"], capture_output=True,
                          text=True, env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    assert "validate" in proc.stdout
