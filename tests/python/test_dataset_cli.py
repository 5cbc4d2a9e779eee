"""quarzel convert INPUT... OUTDIR/: the dataset mode of the command line."""

import gzip
import os
import signal
import subprocess
import sys
import time

import pytest

from quarzel import dataset

GOOD = b"data_g\n_cell.a 1\nloop_\n_atom.id\n_atom.x\n1 0.5\n2 0.25\n"


def run(*args, **kw):
    proc = subprocess.run([sys.executable, "-X", "faulthandler", "-m", "quarzel", "convert", *args], capture_output=True, text=True,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)}, **kw)
    return proc.returncode, proc.stdout, proc.stderr


@pytest.fixture
def inputs(tmp_path):
    src = tmp_path / "in"
    (src / "sub").mkdir(parents=True)
    (src / "a.cif").write_bytes(GOOD)
    (src / "sub" / "b.cif.gz").write_bytes(gzip.compress(GOOD.replace(b"data_g", b"data_h")))
    (src / "notes.txt").write_bytes(b"not a CIF name: not searched")
    return src


@pytest.mark.parametrize("extra, status, tables", [
    ([], 0, ["atom", "cell"]),
    (["--categories", "atom"], 0, ["atom"]),
    (["--jobs", "1", "--categories=cell,atom"], 0, ["atom", "cell"]),
    (["{bad}"], 1, ["atom", "cell"]),  # one unreadable input: status 1, the rest converted
    (["{problem}"], 1, ["atom", "cell", "x"]),  # a file with problem records: status 1
    (["--typed"], 0, ["atom", "cell"]),
])
def test_statuses_and_tables(tmp_path, inputs, extra, status, tables):
    (tmp_path / "bad.cif.gz").write_bytes(b"\x1f\x8b\x08\x00garbage")
    (tmp_path / "problem.cif").write_bytes(b"data_p\nloop_ _x.a _x.b 1 2 3\n")
    extra = [e.format(bad=tmp_path / "bad.cif.gz", problem=tmp_path / "problem.cif") for e in extra]
    out = str(tmp_path / "out") + "/"
    code, stdout, stderr = run(str(inputs), *extra, out)
    assert code == status, stderr
    assert dataset.tables(out) == tables
    assert "files (" in stdout and "\r" not in stderr  # no progress bar off a terminal
    if "bad" in " ".join(extra):
        assert "bad.cif.gz: cannot read: " in stderr
    x_type = dataset.read_table(out, "atom").schema.field("_atom.x").type
    assert str(x_type) == ("double" if "--typed" in extra else "string")


def test_nothing_readable_or_output_unwritable_is_status_2(tmp_path):
    code, _, stderr = run(str(tmp_path / "missing.cif"), str(tmp_path / "out") + "/")
    assert code == 2
    (tmp_path / "empty").mkdir()
    code, _, stderr = run(str(tmp_path / "empty"), str(tmp_path / "out2") + "/")
    assert code == 2 and "no CIF files" in stderr
    (tmp_path / "file").write_bytes(b"")
    (tmp_path / "a.cif").write_bytes(GOOD)
    code, _, stderr = run(str(tmp_path / "a.cif"), str(tmp_path / "file" / "out") + "/")
    assert code == 2 and "cannot write" in stderr


@pytest.mark.parametrize("how", ["slash", "existing", "many"])
def test_dataset_mode_is_chosen_by_the_output(tmp_path, inputs, how):
    out = tmp_path / "out"
    args = [str(inputs / "a.cif")]
    if how == "slash":
        args.append(str(out) + "/")
    elif how == "existing":
        out.mkdir()
        args.append(str(out))
    else:
        args += [str(inputs / "sub" / "b.cif.gz"), str(out)]
    code, _, stderr = run(*args)
    assert code == 0, stderr
    assert dataset.tables(out) == ["atom", "cell"]


def test_single_file_mode_still_writes_one_file(tmp_path, inputs):
    code, _, stderr = run(str(inputs / "a.cif"), str(tmp_path / "a.parquet"))
    assert code == 0, stderr
    assert os.path.isfile(tmp_path / "a.parquet")


def test_ctrl_c_keeps_complete_files_and_resume_finishes(tmp_path):
    src = tmp_path / "in"
    src.mkdir()
    body = "".join(f"{i} {'y' * 60}\n" for i in range(20000)).encode()
    n = 200
    for i in range(n):
        (src / f"{i:03}.cif").write_bytes(b"data_f%d\nloop_\n_t.id\n_t.v\n" % i + body)
    out = str(tmp_path / "out") + "/"
    proc = subprocess.Popen([sys.executable, "-m", "quarzel", "convert", "--jobs", "2", str(src), out],
                            stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                            env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path)})
    deadline = time.monotonic() + 60
    while not os.path.isdir(os.path.join(out, "t")) and time.monotonic() < deadline:
        time.sleep(0.05)
    proc.send_signal(signal.SIGINT)
    _, stderr = proc.communicate(timeout=120)
    if proc.returncode == 0:
        pytest.skip("the run ended before the interrupt")
    assert proc.returncode == 130, stderr
    assert "interrupted" in stderr
    assert [f for _, _, fs in os.walk(out) for f in fs if not f.startswith("part-") and f != "lock"] == []
    done = dataset.done_inputs(out)
    if done:
        assert set(dataset.read_table(out, "t")["_file"].to_pylist()) == done
    code, stdout, stderr = run("--resume", str(src), out)
    assert code == 0, stderr
    t = dataset.read_table(out, "t")
    assert t.num_rows == 20000 * n
    assert len(set(t["_file"].to_pylist())) == n


@pytest.mark.parametrize("argv, dataset_mode", [
    (["a.cif", "o.parquet"], False),
    (["a.cif", "o.parquet", "--style", "pdbx", "--cif-version", "2.0"], False),  # option values are no inputs
    (["a.cif", "o.parquet", "--dictionary", "d.dic", "--typed"], False),
    (["a.cif", "{folder}.parquet"], False),  # an existing folder named like a single-file output
    (["a.cif", "{folder}"], True),
    (["a.cif", "o/"], True),
    (["a.cif", "b.cif", "o"], True),
    (["--jobs", "2", "a.cif", "o"], True),
    (["--categories=x", "a.cif", "o"], True),
    (["--resume", "a.cif", "o"], True),
])
def test_which_mode(tmp_path, argv, dataset_mode):
    from quarzel._dataset_cli import wants_dataset

    (tmp_path / "f").mkdir()
    (tmp_path / "f.parquet").mkdir()
    argv = [a.format(folder=tmp_path / "f") for a in argv]
    assert wants_dataset(argv) == dataset_mode
