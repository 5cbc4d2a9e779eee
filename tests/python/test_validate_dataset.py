"""Validation on whole archives: `quarzel.dataset.convert(..., validate=...)`
and `quarzel convert --validate` write OUTDIR/_validation, one row per
finding, the same findings that quarzel.validate gives file by file;
`quarzel validate --jobs N` reads them back."""

import gzip
import os
import shutil
import subprocess
import sys

import pytest

import quarzel
import quarzel.dataset as dataset
from quarzel import DictionaryError
from testdata import path

pa = pytest.importorskip("pyarrow")

DDL1 = str(path("dict", "validate", "ddl1_test.dic"))
DDLM = str(path("dict", "validate", "ddlm_test.dic"))
FIELDS = ("code", "severity", "message", "block", "frame", "category", "tags", "value", "row",
          "line", "column", "rule", "dictionary")


@pytest.fixture
def inputs(tmp_path):
    folder = tmp_path / "in"
    folder.mkdir()
    (folder / "a.cif").write_text("data_a\n_cell.z x\n_odd 1\nloop_\n_site.label\n_site.part\n"
                                  "C1 1\nC1 1\n")
    with gzip.open(folder / "b.cif.gz", "wt") as f:
        f.write("#\\#CIF_2.0\ndata_b\n_cell.vector [1 2]\nsave_s\n_cell.n 0\nsave_\n")
    (folder / "c.cif").write_text("data_c\n_cell.z 3\n")  # clean
    (folder / "d.cif").write_text("data_d\n_cell.z\n")  # a reader's fault, no finding
    return folder


def by_file(table):
    out = {}
    for row in table.to_pylist():
        name = os.path.basename(row.pop("_file"))
        row["tags"] = tuple(row["tags"])
        out.setdefault(name, []).append(tuple(row[k] for k in FIELDS))
    return out


def expected(folder, dictionary):
    out = {}
    for p in sorted(folder.iterdir()):
        found = [tuple(getattr(f, k) for k in FIELDS) for f in quarzel.validate(p, dictionary)
                 if f.code != "dictionary"]
        if found:
            out[p.name] = found
    return out


@pytest.mark.parametrize("jobs", [1, 2])
def test_validation_table_equals_validate(tmp_path, inputs, jobs):
    out = tmp_path / "out"
    summary = dataset.convert([inputs], out, jobs=jobs, validate=DDLM)
    table = dataset.read_table(out, "_validation")
    assert by_file(table) == expected(inputs, DDLM)
    assert summary.files_invalid == 2
    assert summary.findings == {"error": 4, "warning": 1, "info": 0}
    # the category tables are as without validation
    plain = tmp_path / "plain"
    dataset.convert([inputs], plain, jobs=jobs)
    assert sorted(dataset.tables(plain)) == sorted(dataset.tables(out))
    assert os.path.isdir(out / "_validation")


def test_dictionary_faults_come_in_the_summary(tmp_path, inputs):
    summary = dataset.convert([inputs], tmp_path / "out", validate=DDL1)
    assert [f.message for f in summary.dictionary_findings] == [
        "data_cell_wrong: _enumeration_range '5' of _cell_wrong has no ':'"]
    assert not any(r["code"] == "dictionary" for r in
                   dataset.read_table(tmp_path / "out", "_validation").to_pylist())


def test_bad_dictionary_fails_before_the_run(tmp_path, inputs):
    with pytest.raises(DictionaryError, match="missing.dic: cannot read"):
        dataset.convert([inputs], tmp_path / "out", validate=str(tmp_path / "missing.dic"))
    assert not (tmp_path / "out").exists()


def test_resume_validates_only_the_new_files(tmp_path, inputs):
    out = tmp_path / "out"
    dataset.convert([inputs / "a.cif"], out, validate=DDLM)
    dataset.convert([inputs], out, validate=DDLM, resume=True)
    assert by_file(dataset.read_table(out, "_validation")) == expected(inputs, DDLM)


def run(*args):
    proc = subprocess.run([sys.executable, "-m", "quarzel", *args], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    return proc.returncode, proc.stdout, proc.stderr


def test_convert_command(tmp_path, inputs):
    out = str(tmp_path / "out") + "/"
    status, stdout, _ = run("convert", "--validate", DDLM, str(inputs / "c.cif"), out)
    assert status == 0
    assert stdout.splitlines()[-1].endswith("_validation: 0 errors, 0 warnings, 0 info "
                                            "(0 files with errors)")
    out2 = str(tmp_path / "out2") + "/"
    status, stdout, _ = run("convert", "--validate", DDLM, str(inputs), out2)
    assert status == 1 and "4 errors, 1 warnings, 0 info (2 files with errors)" in stdout


def test_validate_jobs_agree(inputs):
    one = run("validate", "-d", DDLM, "--jobs", "1", str(inputs))
    two = run("validate", "-d", DDLM, "--jobs", "2", str(inputs))
    assert one == two
    assert one[0] == 1 and "d.cif:2:1: error: [syntactic]" in one[1]


class _Terminal:
    """A stderr that says it is a terminal, so that the bar is drawn."""

    def __init__(self):
        self.text = ""

    def write(self, s):
        self.text += s

    def flush(self):
        pass

    def isatty(self):
        return True


def test_validate_jobs_bar_follows_the_workers(inputs, monkeypatch):
    # The engine's own progress reports move the bar while it runs.
    from quarzel import _validate_cli

    seen = []
    real = dataset.convert

    def spy(*args, **kwargs):
        shown = kwargs["progress"]
        kwargs["progress"] = lambda p: (seen.append(p.files), shown(p))
        return real(*args, _progress_interval=0.001, **kwargs)

    monkeypatch.setattr(dataset, "convert", spy)
    import io

    err = _Terminal()
    status = _validate_cli.main(["-d", DDLM, "--jobs", "2", str(inputs)], io.StringIO(), err)
    assert status == 1
    assert seen and seen[-1] == 4
    assert "4/4 files" in err.text


# _validation keeps statistics for _file alone and a dictionary for a few
# columns: a reader's filter on any column finds the rows it should.
@pytest.mark.parametrize("column, pick", [
    ("_file", lambda rows: [r for r in rows if r["_file"].endswith("a.cif")][0]["_file"]),
    ("code", lambda rows: "duplicate-key"),
    ("severity", lambda rows: "warning"),
    ("message", lambda rows: rows[-1]["message"]),
    ("line", lambda rows: rows[0]["line"]),
    ("dictionary", lambda rows: rows[0]["dictionary"]),
])
def test_validation_table_filters(tmp_path, inputs, column, pick):
    import pyarrow.parquet as pq

    out = tmp_path / "out"
    dataset.convert([inputs], out, jobs=2, validate=DDLM)
    rows = dataset.read_table(out, "_validation").to_pylist()
    want = pick(rows)
    found = pq.read_table(out / "_validation", filters=[(column, "==", want)])
    assert sorted(map(repr, found.to_pylist())) == sorted(
        repr(r) for r in rows if r[column] == want)
    assert found.num_rows > 0
