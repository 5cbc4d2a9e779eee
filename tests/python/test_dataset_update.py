"""convert(update=True): only new and changed inputs converted, the rows of
changed and missing ones taken out, the result equal to a fresh conversion
table by table, and an interrupted update leaving the dataset as it was."""

import gzip
import os

import pyarrow.compute as pc
import pytest

from quarzel import _commits, _update, dataset
from test_dataset import write


def entry(i, extra=""):
    return (f"data_e{i}\n_cell.length_a {i}.5(2)\nloop_ _atom.id _atom.x "
            + " ".join(f"{r} {i}.{r}" for r in range(4)) + f"\n{extra}").encode()


def snapshot(out):
    tables = {}
    for table in dataset.tables(out) + ["_files", "_errors"]:
        t = dataset.read_table(out, table)
        if t.num_rows == 0:
            continue
        if table == "_files":
            t = t.drop_columns(["seconds"])
        t = t.take(pc.sort_indices(t, sort_keys=[("_file", "ascending")]))
        tables[table] = [{k: v for k, v in r.items() if v is not None} for r in t.to_pylist()]
    return tables


def common_schemas(out):
    """Each table's columns and types as its _common_metadata has them."""
    import pyarrow.parquet as pq

    return {t: sorted((f.name, str(f.type)) for f in pq.read_schema(os.path.join(out, t, "_common_metadata")))
            for t in dataset.tables(out)}


def make_inputs(src):
    paths = [write(src, f"{i}.cif", entry(i)) for i in range(6)]
    paths.append(write(src, "z.cif.gz", gzip.compress(entry(9))))
    return paths


def change(kind, src, paths):
    """Changes the inputs; returns the inputs of the update and how many are converted."""
    if kind == "nothing":
        return paths, 0
    if kind == "touched":  # a new time, the same bytes: not converted again
        os.utime(paths[0], ns=(1, 1))
        return paths, 0
    if kind == "changed":
        write(src, "1.cif", entry(1, "loop_ _bond.a _bond.b 1 2\n"))
        return paths, 1
    if kind == "same size":
        write(src, "2.cif", entry(2).replace(b"2.5(2)", b"7.5(2)"))
        return paths, 1
    if kind == "new":
        return paths + [write(src, "new.cif", entry(7, "_extra.tag text\n"))], 1
    if kind == "gone":
        os.unlink(paths[3])
        return paths[:3] + paths[4:], 0
    if kind == "unreadable now":
        write(src, "z.cif.gz", gzip.compress(entry(9))[:20])  # truncated
        return paths, 1
    if kind == "mixed":
        write(src, "0.cif", entry(0, "loop_ _atom.q 1.5 2.5\n"))
        os.unlink(paths[5])
        return [p for p in paths if p != paths[5]] + [write(src, "n.cif", entry(8))], 2
    raise AssertionError(kind)


KINDS = ["nothing", "touched", "changed", "same size", "new", "gone", "unreadable now", "mixed"]


@pytest.mark.parametrize("typed", [False, True], ids=["text", "typed"])
@pytest.mark.parametrize("kind", KINDS)
def test_an_update_equals_a_fresh_conversion(tmp_path, kind, typed):
    src = str(tmp_path / "in")
    os.makedirs(src)
    paths = make_inputs(src)
    out = str(tmp_path / "out")
    dataset.convert(paths, out, jobs=2, _part_bytes=1, typed=typed)
    before = {p: os.stat(p).st_mtime_ns for p in _commits.part_files(os.path.join(out, "atom"))}
    inputs, converted = change(kind, src, paths)
    summary = dataset.convert(inputs, out, update=True, jobs=2, _part_bytes=1)
    assert summary.files == converted
    fresh = str(tmp_path / "fresh")
    dataset.convert(inputs, fresh, jobs=2, _part_bytes=1, typed=typed)
    assert snapshot(out) == snapshot(fresh)
    assert common_schemas(out) == common_schemas(fresh)
    after = {p: os.stat(p).st_mtime_ns for p in _commits.part_files(os.path.join(out, "atom"))}
    if kind in ("nothing", "touched"):
        assert after == before  # nothing rewritten
    elif not typed:  # only the parts holding rows of changed or gone inputs are rewritten
        kept = [p for p in before if p in after and after[p] == before[p]]
        assert len(kept) >= len(before) - 2
    status = {r["_file"]: r["status"] for r in dataset.read_table(out, "_files").to_pylist()}
    if kind == "unreadable now":
        assert status[dataset.file_name(paths[-1])] == "failed"
        assert dataset.file_name(paths[-1]) not in set(dataset.read_table(out, "atom")["_file"].to_pylist())


@pytest.mark.parametrize("where", ["drop_rows", "staged_renames"])
def test_an_interrupted_update_leaves_the_dataset_as_it_was(tmp_path, monkeypatch, where):
    src = str(tmp_path / "in")
    os.makedirs(src)
    paths = make_inputs(src)
    out = str(tmp_path / "out")
    dataset.convert(paths, out, jobs=1, _part_bytes=1)
    want = snapshot(out)
    inputs, _ = change("mixed", src, paths)
    real = getattr(_update, where)

    def interrupted(*args):
        real(*args)  # its temporary files are written, then the run stops
        raise KeyboardInterrupt

    monkeypatch.setattr(_update, where, interrupted)
    with pytest.raises(KeyboardInterrupt):
        dataset.convert(inputs, out, update=True, jobs=1, _part_bytes=1)
    monkeypatch.undo()
    _commits.recover(out)
    assert snapshot(out) == want
    assert [f for _, _, fs in os.walk(out) for f in fs if f.endswith(".tmp")] == []
    dataset.convert(inputs, out, update=True, jobs=1, _part_bytes=1)
    fresh = str(tmp_path / "fresh")
    dataset.convert(inputs, fresh, jobs=1, _part_bytes=1)
    assert snapshot(out) == snapshot(fresh)


@pytest.mark.parametrize("data", [b"", b"x", b"data_a\n" * 5000, bytes(range(256)) * 40000],
                         ids=["empty", "one-byte", "35-kB", "10-MB"])
def test_crc64_is_the_one_the_engine_records(tmp_path, data):
    path = write(str(tmp_path), "a.cif", data)
    out = str(tmp_path / "out")
    dataset.convert([path], out)
    [row] = dataset.read_table(out, "_files").to_pylist()
    assert row["crc64"] == _update.crc64_of(path) and len(row["crc64"]) == 16


def test_the_command_line_updates(tmp_path):
    import subprocess
    import sys

    src = str(tmp_path / "in")
    os.makedirs(src)
    paths = make_inputs(src)
    out = str(tmp_path / "out") + "/"
    run = lambda *a: subprocess.run([sys.executable, "-m", "quarzel", "convert", *a, src, out],  # noqa: E731
                                    capture_output=True, text=True)
    assert run().returncode == 0
    os.unlink(paths[0])
    write(src, "1.cif", entry(1, "loop_ _bond.a 1\n"))
    proc = run("--update")
    assert proc.returncode == 0, proc.stderr
    assert "1 files, 5 already done" in proc.stdout and "rows of 2 changed or missing taken out" in proc.stdout
    names = set(dataset.read_table(out, "_files")["_file"].to_pylist())
    assert dataset.file_name(paths[0]) not in names and len(names) == 6


@pytest.mark.parametrize("typed", [False, True], ids=["text", "typed"])
@pytest.mark.parametrize("kind", ["changed", "gone", "mixed"])
def test_an_update_that_would_rewrite_most_parts_converts_everything_again(tmp_path, monkeypatch,
                                                                           kind, typed):
    monkeypatch.setattr(_update, "REBUILD_MIN_BYTES", 0)  # the test's parts are tiny
    src = str(tmp_path / "in")
    os.makedirs(src)
    paths = make_inputs(src)
    out = str(tmp_path / "out")
    # One worker, so that one part per table holds every input (two workers
    # split them between their parts as the scheduling falls).
    dataset.convert(paths, out, jobs=1, typed=typed)
    inputs, _ = change(kind, src, paths)
    summary = dataset.convert(inputs, out, update=True, jobs=2)
    assert (summary.files, summary.skipped) == (len(inputs), 0)
    assert summary.removed == {"changed": 1, "gone": 1, "mixed": 2}[kind]
    fresh = str(tmp_path / "fresh")
    dataset.convert(inputs, fresh, jobs=2, typed=typed)
    assert snapshot(out) == snapshot(fresh)
    # Asked for some categories only, an update keeps to the changed inputs.
    write(src, "4.cif", entry(4, "_extra.tag changed\n"))
    summary = dataset.convert(inputs, out, update=True, jobs=2, categories=["atom", "cell", "extra"])
    assert summary.files == 1
