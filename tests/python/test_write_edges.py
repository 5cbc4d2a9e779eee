"""The writer and the editing functions at their edges, each case a fault
once found: names outside ASCII, characters no CIF permits, empty loops, a
save frame written alone, lone brackets in CIF 1.1, a tag given twice, the
tag order under editing, awkward paths, the reader's recovery tag, and
`convert` with --strict or with options that do not apply to its output.
Peers (gemmi, cod-tools) read what is written where that is the point."""

from __future__ import annotations

import gzip
import io
import json
import os
import shutil
import subprocess

import pytest
import quarzel_core as q

import quarzel
from quarzel import add_block, dump, dumps, new_file, set_item, set_loop
from quarzel.cli import main

try:
    import gemmi
except ImportError:  # pragma: no cover
    gemmi = None

COD_TOOLS = shutil.which("cif2json") is not None


def read_back(text: str) -> dict:
    raw = q.parse_raw(text)
    assert raw["errors"] == [], raw["errors"][:3]
    return raw


def cod_values(path) -> dict:
    proc = subprocess.run(["cif2json", str(path)], capture_output=True, text=True, timeout=120)
    assert proc.returncode == 0 and "ERROR" not in proc.stderr, proc.stderr[-2000:]
    return json.loads(proc.stdout.splitlines()[0])["data"]["values"]


def model(text: str = "data_b _a 1 loop_ _l 1 2 save_f _c 2 save_"):
    return q.parse_cif(text)[0]


def run(*argv: str) -> tuple[int, str, str]:
    out, err = io.StringIO(), io.StringIO()
    status = main(list(argv), out, err)
    return status, out.getvalue(), err.getvalue()


# --- names outside ASCII: the str returned is sound ----------------------------


@pytest.mark.parametrize(
    "text",
    [
        "#\\#CIF_2.0\ndata_é\n_a 1\n",
        "#\\#CIF_2.0\ndata_b\nsave_é\n_a 1\nsave_\n",
        "#\\#CIF_2.0\ndata_b\n_é 1\n",
        "#\\#CIF_2.0\ndata_b\nloop_\n_é\n_x\n1 2\n",
        "#\\#CIF_2.0\ndata_b\n_t {'é':1}\n",
    ],
    ids=["block", "frame", "tag", "loop_tag", "table_key"],
)
def test_names_outside_ascii_give_a_sound_str(text, tmp_path):
    cif, _ = q.parse_cif(text)
    out = dumps(cif)
    assert not out.isascii()
    assert "é" in out and "é" in set(out)
    assert out.encode("utf-8").decode("utf-8") == out
    assert read_back(out)["blocks"] == q.parse_raw(text)["blocks"]
    dump(cif, tmp_path / "out.cif")
    assert (tmp_path / "out.cif").read_text(encoding="utf-8") == out


# --- characters no version of CIF permits ---------------------------------------

FORBIDDEN = ["\x00", "\x01", "\x0b", "\x0c", "\x1f", "\x7f", "\x80", "\x85", "\x9f", "\ufdd0",
             "\ufdef", "\ufffe", "\uffff", "\U0001fffe", "\U0010ffff"]


@pytest.mark.parametrize("version", [None, "2.0", "1.1"])
@pytest.mark.parametrize("ch", FORBIDDEN, ids=lambda c: f"U+{ord(c):04X}")
def test_characters_no_cif_permits_are_refused(ch, version):
    code = f"U\\+{ord(ch):04X}"
    f = new_file()
    b = add_block(f, "b")
    set_item(b, "_x", f"a{ch}b")
    with pytest.raises(ValueError, match=rf"block 'b', tag '_x': character {code} is not permitted in CIF"):
        dumps(f, version=version)
    set_item(b, "_x", {f"k{ch}": "v"})
    with pytest.raises(ValueError, match=rf"tag '_x': character {code}"):
        dumps(f, version=None if version == "1.1" else version)
    for call in (lambda: add_block(f, f"a{ch}b"), lambda: set_item(b, f"_a{ch}", "1")):
        with pytest.raises(ValueError, match=rf"character {code} is not permitted in CIF"):
            call()
    b.name = f"a{ch}b"  # a name changed by hand
    with pytest.raises(ValueError, match="not permitted in CIF"):
        dumps(f)


@pytest.mark.parametrize("value", ["\t", "\xa0", "\ud7ff\ue000", "\ufdcf\ufdf0\ufffd", "\U0001fffd",
                                   "\U0010fffd"])
def test_characters_cif2_permits_are_written(value):
    f = new_file()
    b = add_block(f, "b")
    set_item(b, "_x", value)
    assert read_back(dumps(f))["blocks"][0]["tags"] == {"_x": [value]}


# --- empty loops ---------------------------------------------------------------------


def test_empty_loop_refused():
    pa = pytest.importorskip("pyarrow")
    b = add_block(new_file(), "b")
    for data in ({"_e.a": []}, {"_e.a": [], "_e.b": ()}, pa.table({"_e.a": pa.array([], pa.string())})):
        with pytest.raises(ValueError, match="at least one row"):
            set_loop(b, data)
    assert b._loops == [] and b._tags == {} and b._tag_order == []
    cif, errors = q.parse_cif("data_b loop_ _e.a _e.b")  # read with a problem
    assert errors
    with pytest.raises(ValueError, match="block 'b', tag '_e.a': the loop has no values"):
        dumps(cif)


# --- a save frame on its own -------------------------------------------------------


def test_save_frame_alone_stands_in_a_block_of_its_name(tmp_path):
    text = "data_x _a 1 save_F _b 'c d' loop_ _l.a _l.b 1 2 3 4 save_"
    cif, _ = q.parse_cif(text)
    out = dumps(cif["x"]["f"])
    back = read_back(out)["blocks"]
    assert [b["name"] for b in back] == ["f"] and back[0]["tag_order"] == []
    assert back[0]["save_frames"] == q.parse_raw(text)["blocks"][0]["save_frames"]
    if gemmi is not None:
        block = gemmi.cif.read_string(out).sole_block()
        assert block.name == "f" and block.find_frame("f").find_value("_b") == "'c d'"
    if COD_TOOLS:
        path = tmp_path / "frame.cif"
        path.write_text(out)
        cod_values(path)  # reads without an error


# --- CIF 1.1: a lone bracket or brace is quoted -------------------------------------


@pytest.mark.parametrize("value", ["[", "]", "{", "}"])
def test_cif1_lone_bracket_is_quoted(value, tmp_path):
    f = new_file()
    b = add_block(f, "b")
    set_item(b, "_v", value)
    set_loop(b, {"_l.a": [value, "x"], "_l.b": ["y", value]})
    out = dumps(f, version="1.1")
    assert out == f"#\\#CIF_1.1\ndata_b\n_v '{value}'\nloop_\n_l.a\n_l.b\n'{value}' y\nx '{value}'\n"
    assert read_back(out)["blocks"][0]["tags"] == b._tags
    if gemmi is not None:
        block = gemmi.cif.read_string(out).sole_block()
        assert gemmi.cif.as_string(block.find_value("_v")) == value
        assert [gemmi.cif.as_string(v) for v in block.find_values("_l.b")] == ["y", value]
    if COD_TOOLS:
        path = tmp_path / "out.cif"
        path.write_text(out)
        assert cod_values(path)["_v"] == [value]


# --- a tag given twice ------------------------------------------------------------------


def twice_in_order(c):
    c["b"]._tag_order.append("_a")


def two_values(c):
    c["b"]._tags["_a"] = ["1", "2"]


def twice_in_header(c):
    c["b"]._loops[0] = ["_l", "_l"]


def in_two_loops(c):
    c["b"]._tag_order.append("_m")
    c["b"]._tags["_m"] = ["3", "4"]
    c["b"]._loops.append(["_m", "_l"])


def frame_twice(c):
    c["b"]["f"]._tags["_c"] = ["2", "3"]


@pytest.mark.parametrize(
    "mutate, match",
    [
        (twice_in_order, r"block 'b', tag '_a': the tag stands twice in the tag order"),
        (two_values, r"block 'b', tag '_a': the tag has 2 values outside a loop"),
        (twice_in_header, r"block 'b', tag '_l': the tag is listed twice in a loop"),
        (in_two_loops, r"block 'b', tag '_l': the tag is in two loops"),
        (frame_twice, r"block 'b', save frame 'f', tag '_c': the tag has 2 values"),
    ],
)
def test_tag_given_twice_refused(mutate, match):
    cif = model()
    mutate(cif)
    for obj in (cif, cif["b"]):
        with pytest.raises(ValueError, match=match):
            dumps(obj)


def test_editing_refuses_a_tag_twice():
    pd = pytest.importorskip("pandas")
    b = add_block(new_file(), "b")
    for data in ({"_p": ["1"], "_P": ["2"]}, pd.DataFrame([["1", "2"]], columns=["_a", "_a"])):
        with pytest.raises(ValueError, match="given twice"):
            set_loop(b, data)
    assert b._tags == {}


# --- editing keeps the order dumps writes -----------------------------------------------

LOOP3 = "data_b _i 0 loop_ _l.a _l.b _l.c 1 2 3 _j 9"
TWO_LOOPS = "data_b loop_ _p.a _p.b 1 2 loop_ _q.a _q.b 3 4 _j 9"


@pytest.mark.parametrize(
    "text, edit",
    [
        (LOOP3, lambda b: set_loop(b, {"_l.b": ["x"], "_n.a": ["y"]})),
        (LOOP3, lambda b: set_loop(b, {"_l.c": ["x"], "_n.a": ["y"]})),
        (LOOP3, lambda b: set_item(b, "_l.a", "v", replace_loop=True)),
        (LOOP3, lambda b: set_item(b, "_l.b", "v", replace_loop=True)),
        (LOOP3, lambda b: set_item(b, "_l.c", "v", replace_loop=True)),
        (LOOP3, lambda b: set_loop(b, {"_i": ["x"], "_n": ["y"]})),
        (TWO_LOOPS, lambda b: set_loop(b, {"_p.b": ["x"], "_q.a": ["y"]})),
        (TWO_LOOPS, lambda b: set_loop(b, {"_q.a": ["x"], "_p.a": ["y"]})),
        (TWO_LOOPS, lambda b: set_loop(b, {"_j": ["x"], "_p.b": ["y"]})),
    ],
)
def test_edits_keep_the_order_dumps_writes(text, edit):
    cif = model(text)
    b = cif["b"]
    edit(b)
    order = b._tag_order
    for loop in b._loops:  # a loop's tags stand together, in its order
        at = order.index(loop[0])
        assert order[at : at + len(loop)] == loop
    for style in ("plain", "pdbx"):
        back = read_back(dumps(cif, style=style))["blocks"][0]
        assert (back["tag_order"], back["loops"], back["tags"]) == (order, b._loops, b._tags)


# --- values that contain themselves, deep values --------------------------------------


def test_self_containing_values_refused_when_set():
    b = add_block(new_file(), "b")
    looped: list = ["a"]
    looped.append(looped)
    table: dict = {"k": "v"}
    table["self"] = [table]
    for value in (looped, table):
        with pytest.raises(ValueError, match="tag '_x': a list or table contains itself"):
            set_item(b, "_x", value)
        with pytest.raises(ValueError, match="contains itself"):
            set_loop(b, {"_l": [value]})
    shared = ["s"]
    set_item(b, "_x", [shared, {"a": shared}])  # the same list twice is no cycle
    assert b._tags["_x"] == [[["s"], {"a": ["s"]}]]


def test_deep_values_set_without_recursion():
    b = add_block(new_file(), "b")
    value: list = ["x"]
    for _ in range(100_000):
        value = [value]
    set_item(b, "_x", value)
    stored = b._tags["_x"][0]
    for _ in range(100_000):
        stored = stored[0]
    assert stored == ["x"]


# --- paths ------------------------------------------------------------------------------


def test_dump_to_a_name_of_the_longest_length(tmp_path):
    longest = os.pathconf(tmp_path, "PC_NAME_MAX")
    path = tmp_path / ("x" * (longest - 4) + ".cif")
    dump(model(), path)
    assert path.read_text() == dumps(model())
    status, _, err = run("convert", str(path), str(tmp_path / ("y" * (longest - 5) + ".json")))
    assert status == 0, err
    assert len(os.listdir(tmp_path)) == 2


@pytest.mark.parametrize("suffix", [".cif.gz", ".cif.GZ", ".CIF.Gz", ".dic.gZ"])
def test_gzip_suffix_in_any_case(suffix, tmp_path):
    path = tmp_path / f"out{suffix}"
    dump(model(), path)
    assert gzip.decompress(path.read_bytes()).decode() == dumps(model())
    src = tmp_path / "in.cif"
    src.write_text("data_x _a 1\n")
    path.unlink()
    assert run("convert", str(src), str(path))[0] == 0
    assert gzip.decompress(path.read_bytes()).startswith(b"#\\#CIF_1.1\ndata_x")


@pytest.mark.parametrize("dangling", [False, True])
def test_dump_writes_through_a_link(dangling, tmp_path):
    (tmp_path / "real").mkdir()
    target = tmp_path / "real" / "data.cif"
    if not dangling:
        target.write_text("old")
        target.chmod(0o640)
    link = tmp_path / "link.cif"
    link.symlink_to(os.path.join("real", "data.cif"))
    dump(model(), link)
    assert link.is_symlink() and target.read_text() == dumps(model())
    if not dangling:
        assert target.stat().st_mode & 0o777 == 0o640
    assert sorted(os.listdir(tmp_path / "real")) == ["data.cif"]


@pytest.mark.parametrize("below", [["x.cif"], ["sub", "x.cif"]])
def test_dump_below_a_file_says_not_a_directory(below, tmp_path):
    (tmp_path / "file").write_text("a file")
    path = tmp_path.joinpath("file", *below)
    with pytest.raises(NotADirectoryError, match="not a directory") as info:
        dump(model(), path)
    assert str(tmp_path / "file") in str(info.value)
    src = tmp_path / "in.cif"
    src.write_text("data_x _a 1\n")
    status, _, err = run("convert", str(src), str(path))
    assert status == 2 and "not a directory" in err.lower()


# --- the reader's recovery tag ------------------------------------------------------------

RECOVERED = "data_b _a 1 'lost value' _c 2 loop_ _l 1 2"


def test_recovery_tag_left_out_of_written_files(tmp_path):
    cif, errors = q.parse_cif(RECOVERED)
    assert "_quarzel_error_value" in cif["b"] and errors
    for style in ("plain", "pdbx"):
        out = dumps(cif, style=style)
        assert "_quarzel_error_value" not in out and "lost value" not in out
        assert read_back(out)["blocks"][0]["tags"] == {"_a": ["1"], "_c": ["2"], "_l": ["1", "2"]}
    src = tmp_path / "in.cif"
    src.write_text(RECOVERED)
    status, out, _ = run("convert", str(src), str(tmp_path / "out.cif"))
    assert status == 0 and "1 problem read" in out
    assert "_quarzel_error_value" not in (tmp_path / "out.cif").read_text()


def test_recovery_tag_cannot_be_set():
    b = add_block(new_file(), "b")
    for call in (lambda: set_item(b, "_Quarzel_Error_Value", "x"),
                 lambda: set_loop(b, {"_a": ["1"], "_quarzel_error_value": ["2"]})):
        with pytest.raises(ValueError, match="reserved"):
            call()
    assert b._tags == {}


# --- convert: --strict, and options that do not apply ---------------------------------------

STOPS = "data_x _a 1\nloop_ _b _c 1 2 3\n_d 4\n"


@pytest.mark.parametrize("suffix", [".cif", ".cif.gz", ".json", ".parquet", ".arrow"])
def test_convert_strict_stop_writes_nothing(suffix, tmp_path):
    if suffix in (".parquet", ".arrow"):
        pytest.importorskip("pyarrow")
    src = tmp_path / "in.cif"
    src.write_text(STOPS)
    out = tmp_path / f"out{suffix}"
    status, _, err = run("convert", "--strict", str(src), str(out))
    assert status == run("check", "--strict", str(src))[0] == 1
    assert "semantic" in err and "not written" in err
    assert sorted(os.listdir(tmp_path)) == ["in.cif"]
    assert run("convert", str(src), str(out))[0] == 0 and out.exists()


@pytest.mark.parametrize(
    "out, options, status, message",
    [
        ("o.cif", ["--typed"], 3, "--typed applies to Parquet"),
        ("o.cif", ["--dictionary", "missing.dic"], 3, "--dictionary applies to Parquet"),
        ("o.cif.gz", ["--typed", "--dictionary", "missing.dic"], 3, "--typed and --dictionary apply"),
        ("o.json", ["--style", "pdbx"], 3, "--style applies to CIF output only"),
        ("o.parquet", ["--cif-version", "2.0"], 3, "--cif-version applies to CIF output only"),
        ("o.json", ["--dictionary", "missing.dic"], 2, "cannot read"),
    ],
)
def test_convert_refuses_options_that_do_not_apply(out, options, status, message, tmp_path):
    src = tmp_path / "in.cif"
    src.write_text("data_x _a 1\n")
    got, _, err = run("convert", str(src), str(tmp_path / out), *options)
    assert got == status and message in err
    assert sorted(os.listdir(tmp_path)) == ["in.cif"]
