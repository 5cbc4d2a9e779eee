"""The archive engine under faults: each case breaks a run (a kill at a
chosen rename, too few file descriptors, a FIFO, names that are not UTF-8,
a folder that cannot be listed, symbolic-link loops, too little memory),
then resumes it, and the dataset must equal a clean run of the same
inputs, row for row, each input once in _files."""

import gzip
import json
import os
import resource
import shutil
import subprocess
import sys

import pyarrow.compute as pc
import pytest

from quarzel import dataset

SHIM = os.path.join(os.environ.get("QUARZEL_BUILD", ""), "libquarzel_fault_inject.so")
UNDER_ASAN = bool(os.environ.get("QUARZEL_UNDER_ASAN"))

DRIVER = r"""
import json, os, resource, sys
import pyarrow
import quarzel.dataset as d
args = json.loads(sys.argv[1])
limits = args.pop("limits", {})
for name, value in limits.items():
    if name == "data":  # bytes beyond what the process uses now
        used = next(int(l.split()[1]) * 1024 for l in open("/proc/self/status") if l.startswith("VmData"))
        value = used + value
    kind = getattr(resource, "RLIMIT_" + name.upper())
    resource.setrlimit(kind, (value, value if name == "nofile" else resource.getrlimit(kind)[1]))
s = d.convert(args.pop("inputs"), args.pop("out"), **args)
print(json.dumps({"files": s.files, "failed": s.files_failed, "jobs": getattr(s, "jobs", 0)}))
"""


def run(inputs, out, *, env=None, drop_caps=False, timeout=120, **kw):
    """Converts in a fresh interpreter; (status, stdout, stderr)."""
    argv = [sys.executable, "-c", DRIVER, json.dumps({"inputs": inputs, "out": out, **kw})]
    if drop_caps and os.geteuid() == 0:  # root reads any folder: drop that power
        argv = ["setpriv", "--inh-caps=-all", "--bounding-set=-dac_override,-dac_read_search", "--", *argv]
    env = dict(env or {})
    if "LD_PRELOAD" in env and os.environ.get("LD_PRELOAD"):  # a sanitizer's runtime stays first
        env["LD_PRELOAD"] = os.environ["LD_PRELOAD"] + " " + env["LD_PRELOAD"]
    proc = subprocess.run(argv, capture_output=True, text=True, timeout=timeout,
                          env={**os.environ, "PYTHONPATH": os.pathsep.join(sys.path), **env})
    return proc.returncode, proc.stdout, proc.stderr


def snapshot(out):
    """Every table of a dataset as rows in file order (each file's rows in
    their order), _files without its timings."""
    tables = {}
    own = ["_files", "_errors"] + (["_validation"] if os.path.isdir(os.path.join(out, "_validation")) else [])
    for table in dataset.tables(out) + own:
        t = dataset.read_table(out, table)
        if t.num_rows == 0:
            continue
        if table == "_files":
            t = t.drop_columns(["seconds"])
            files = t["_file"].to_pylist()
            assert len(files) == len(set(files)), "an input twice in _files"
        t = t.take(pc.sort_indices(t, sort_keys=[("_file", "ascending")]))
        tables[table] = [{k: v for k, v in r.items() if v is not None} for r in t.to_pylist()]
    return tables


def leftovers(out):
    """What is neither a part nor the lock (nor how the dataset is typed):
    temporary parts, manifests, staging."""
    return sorted(os.path.relpath(os.path.join(root, f), out) for root, _, fs in os.walk(out) for f in fs
                  if not f.startswith("part-") and f not in ("lock", ".typing.json", "_common_metadata"))


def write(path, data=b"data_x\n_x.a 1\n"):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    return path


def entry(i, categories=2):
    body = "".join(f"loop_ _c{c}.id _c{c}.v " + " ".join(f"{r} {i}.{r}" for r in range(5)) + "\n"
                   for c in range(categories))
    return f"data_e{i}\n_cell.length_a {i}.5(2)\n{body}".encode()


# ---- kills at each rename ----------------------------------------------------

@pytest.fixture
def shim():
    if not os.path.isfile(SHIM):
        pytest.skip("the fault-injection library is not built (QUARZEL_TESTS=OFF)")
    return SHIM


def commit_inputs(src):
    return [write(os.path.join(src, "a.cif"), entry(1)),
            write(os.path.join(src, "b.cif"), entry(2, 1) + b"loop_ _c0.id 1 2 _c0.v\n"),  # problems
            os.path.join(src, "missing.cif")]


def logged_renames(inputs, out, shim, **options):
    log = out + ".renames"
    code, _, err = run(inputs, out, env={"LD_PRELOAD": shim, "QUARZEL_FAULT_UNDER": out,
                                         "QUARZEL_FAULT_LOG": log}, **options)
    assert code == 0, err
    return open(log).read().splitlines()


@pytest.mark.parametrize("typed", [False, True])
def test_a_kill_at_each_rename_then_resume_equals_a_clean_run(tmp_path, shim, typed):
    """A kill at each rename: of the commits (one per file here), and typed
    also of the pass that puts the early parts right at the end."""
    inputs = commit_inputs(str(tmp_path / "in"))
    options = {"jobs": 1, "_part_bytes": 1, "typed": typed}
    renames = logged_renames(inputs, str(tmp_path / "clean"), shim, **options)
    want = snapshot(str(tmp_path / "clean"))
    # Each commit: its manifest, then its parts.
    converted = logged_renames(inputs, str(tmp_path / "untyped"), shim, jobs=1, _part_bytes=1)
    assert sum("/.commits/commit-" in r for r in converted) == 3
    points = range(1, len(renames) + 1)
    assert len(points) >= 6 and (not typed or len(renames) > len(converted))
    for n in points:
        out = str(tmp_path / f"out{n}")
        code, _, err = run(inputs, out, env={"LD_PRELOAD": shim, "QUARZEL_FAULT_UNDER": out,
                                             "QUARZEL_FAULT_RENAME": str(n)}, **options)
        assert code == -9, (n, renames[n - 1], err)
        if n == 1:  # killed before the first commit: nothing is done yet
            assert dataset.done_inputs(out) == set()
        code, _, err = run(inputs, out, resume=True, **options)
        assert code == 0, (n, renames[n - 1], err)
        assert snapshot(out) == want, (n, renames[n - 1])
        assert leftovers(out) == [], n
        shutil.rmtree(out)


def test_validation_rows_commit_with_their_files(tmp_path, shim):
    """With validate=: a kill at each rename, then a resume, gives the
    findings of each file once, as a clean run does."""
    inputs = commit_inputs(str(tmp_path / "in"))
    options = {"jobs": 1, "_part_bytes": 1,
               "validate": os.path.join(os.path.dirname(__file__), "..", "data", "dict", "validate",
                                        "ddlm_test.dic")}
    renames = logged_renames(inputs, str(tmp_path / "clean"), shim, **options)
    want = snapshot(str(tmp_path / "clean"))
    assert {r["_file"].rsplit("/", 1)[-1] for r in want["_validation"]} == {"a.cif", "b.cif"}
    assert any("/_validation/" in r for r in renames)
    for n in range(1, len(renames) + 1):
        out = str(tmp_path / f"out{n}")
        code, _, err = run(inputs, out, env={"LD_PRELOAD": shim, "QUARZEL_FAULT_UNDER": out,
                                             "QUARZEL_FAULT_RENAME": str(n)}, **options)
        assert code == -9, (n, renames[n - 1], err)
        code, _, err = run(inputs, out, resume=True, **options)
        assert code == 0, (n, renames[n - 1], err)
        assert snapshot(out) == want, (n, renames[n - 1])
        shutil.rmtree(out)


def test_a_run_killed_before_its_first_commit_may_start_again(tmp_path, shim):
    inputs = commit_inputs(str(tmp_path / "in"))
    out = str(tmp_path / "out")
    code, _, _ = run(inputs, out, env={"LD_PRELOAD": shim, "QUARZEL_FAULT_UNDER": out, "QUARZEL_FAULT_RENAME": "1"})
    assert code == -9 and any(f.endswith(".tmp") for _, _, fs in os.walk(out) for f in fs)
    summary = dataset.convert(inputs, out)  # not a dataset yet: a plain run is welcome
    assert summary.files == len(inputs) and leftovers(out) == []


# ---- the other faults --------------------------------------------------------

def fifo_case(tmp):
    src = os.path.join(tmp, "in")
    for i in range(3):
        write(os.path.join(src, f"{i}.cif"), entry(i))
    os.mkfifo(os.path.join(src, "pipe.cif"))
    return [src], {}, [src]


def names_case(tmp):
    src = os.fsencode(os.path.join(tmp, "in"))
    write(os.path.join(src, b"caf\xe9.cif"), entry(1))
    write(os.path.join(src, b"dir\xff", b"x.cif"), entry(2))
    write(os.path.join(src, b"plain.cif"), entry(3))
    return [os.fsdecode(src)], {}, [os.fsdecode(src)]


def locked_case(tmp):
    src = os.path.join(tmp, "in")
    write(os.path.join(src, "a.cif"), entry(1))
    write(os.path.join(src, "locked", "b.cif"), entry(2))
    os.chmod(os.path.join(src, "locked"), 0)
    return [src], {"drop_caps": True}, [src]


def links_case(tmp):
    src = os.path.join(tmp, "in")
    write(os.path.join(src, "a.cif"), entry(1))
    write(os.path.join(src, "sub", "b.cif"), entry(2))
    os.symlink("..", os.path.join(src, "sub", "up"))
    os.symlink(".", os.path.join(src, "sub", "self"))
    os.symlink("sub/b.cif", os.path.join(src, "link.cif"))
    inputs = [src, os.path.join(src, "**", "*.cif"), os.path.join(src, "sub", "..", "a.cif"),
              os.path.relpath(os.path.join(src, "a.cif"))]
    return inputs, {}, [os.path.join(src, "a.cif"), os.path.join(src, "sub", "b.cif")]


def descriptors_case(tmp):
    src = os.path.join(tmp, "in")
    for i in range(24):
        write(os.path.join(src, f"{i:02}.cif"), entry(i, categories=40))
    return [src], {"jobs": 16, "limits": {"nofile": 64}}, [src]


def memory_case(tmp):
    src = os.path.join(tmp, "in")
    for i in range(4):
        write(os.path.join(src, f"{i}.cif"), entry(i))
    # 512 MB of comment lines in a file of about 4 MB (gzip members).
    member = gzip.compress((b"#" + b"x" * 99 + b"\n") * (1 << 19), compresslevel=1)
    with open(os.path.join(src, "big.cif.gz"), "wb") as f:
        f.write(gzip.compress(entry(9)))
        for _ in range(8):
            f.write(member)
    return [src], {"jobs": 2, "limits": {"data": 300 << 20}}, [src]


@pytest.mark.parametrize("case, failed, reason", [
    (fifo_case, "pipe.cif", "not a regular file"),
    (names_case, None, None),
    (locked_case, "locked", "cannot list the folder: Permission denied"),
    (links_case, None, None),
    (descriptors_case, None, None),
    pytest.param(memory_case, "big.cif.gz", "out of memory while reading",
                 marks=pytest.mark.skipif(UNDER_ASAN, reason="the sanitizer's allocator aborts instead")),
])
def test_a_fault_then_resume_equals_a_clean_run(tmp_path, case, failed, reason):
    inputs, options, clean_inputs = case(str(tmp_path))
    drop_caps = options.pop("drop_caps", False)
    out = str(tmp_path / "out")
    code, stdout, err = run(inputs, out, drop_caps=drop_caps, timeout=60, **options)
    assert code == 0, err
    files = {r["_file"]: r for r in dataset.read_table(out, "_files").to_pylist()}
    if failed:
        row = next(r for f, r in files.items() if f.endswith("/" + failed))
        assert (row["status"], row["reason"][:len(reason)]) == ("failed", reason)
    if case is descriptors_case:
        assert json.loads(stdout)["failed"] == 0 and len(files) == 24
    if case is names_case:
        assert sorted(os.path.relpath(f, os.path.realpath(inputs[0])) for f in files) == [
            "caf\\udce9.cif", "dir\\udcff/x.cif", "plain.cif"]
    if case is locked_case:
        os.chmod(os.path.join(inputs[0], "locked"), 0o755)
    code, _, err = run(inputs, out, resume=True, timeout=120)
    assert code == 0, err
    clean = str(tmp_path / "clean")
    dataset.convert(clean_inputs, clean, jobs=2)
    assert snapshot(out) == snapshot(clean)
    assert leftovers(out) == []
