import gc
import os
import subprocess
import sys
from pathlib import Path

import pyarrow as pa
import pyarrow.compute as pc
import pytest

import quarzel_core as q

import testdata

NUL = "\0"
CIF2 = "#\\#CIF_2.0\n"
IDENTITY = ["_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"]


def describe(batch):
    """(block index, block name, frame index, frame name, loop id, [(tag, cells)])."""
    names = batch.schema.names
    assert names[:5] == IDENTITY
    ident = []
    for i in range(5):
        cells = batch.column(i).to_pylist()
        assert cells == cells[:1] * batch.num_rows, names[i]
        ident.append(cells[0])
    tags = [(names[i], batch.column(i).to_pylist()) for i in range(5, batch.num_columns)]
    return (*ident, tags)


def layout(source, mode=None):
    batches, _ = q.parse_arrow(source, mode)
    return [describe(b) for b in batches]


def cell(value):
    """The cell text of one value given to tag _v."""
    [(_, _, _, _, _, [(_, cells)])] = layout(CIF2 + "data_a _v " + value + "\n")
    return cells[0]


# --- batch layout -----------------------------------------------------------

LAYOUT = [
    pytest.param("data_a _x 1 _y 2 loop_ _z 3 4", [
        (0, "a", None, None, "__scalars__", [("_x", ["1"]), ("_y", ["2"])]),
        (0, "a", None, None, "__loop_0__", [("_z", ["3", "4"])]),
    ], id="example"),
    pytest.param("DATA_Blk _Tag 1", [
        (0, "blk", None, None, "__scalars__", [("_tag", ["1"])]),
    ], id="names-lower-cased"),
    pytest.param("data_a _x 1 save_F1 _p 1 loop_ _q 2 3 save_ save_f2 _r 4 save_ "
                 "loop_ _z 5 data_b _s 6", [
        (0, "a", None, None, "__scalars__", [("_x", ["1"])]),
        (0, "a", None, None, "__loop_0__", [("_z", ["5"])]),
        (0, "a", 0, "f1", "__scalars__", [("_p", ["1"])]),
        (0, "a", 0, "f1", "__loop_0__", [("_q", ["2", "3"])]),
        (0, "a", 1, "f2", "__scalars__", [("_r", ["4"])]),
        (1, "b", None, None, "__scalars__", [("_s", ["6"])]),
    ], id="save-frames-after-their-block"),
    pytest.param("data_a data_b _x 1 data_c", [
        (1, "b", None, None, "__scalars__", [("_x", ["1"])]),
    ], id="empty-block-uses-index"),
    pytest.param("data_a save_e save_ save_f _x 1 save_", [
        (0, "a", 1, "f", "__scalars__", [("_x", ["1"])]),
    ], id="empty-frame-uses-index"),
    pytest.param("data_a loop_ _p _q loop_ _r 1 2", [
        (0, "a", None, None, "__loop_1__", [("_r", ["1", "2"])]),
    ], id="empty-loop-uses-position"),
    # A tag given again keeps its last value, at its last place.
    pytest.param("data_a _x 1 _y 2 _x 3 _z 4 _x 5", [
        (0, "a", None, None, "__scalars__", [("_y", ["2"]), ("_z", ["4"]), ("_x", ["5"])]),
    ], id="repeated-tag-later-wins"),
    # Values without a tag gather under the reserved tag, padded with nulls.
    pytest.param("data_a _x 1 2 _y 3 4 5", [
        (0, "a", None, None, "__scalars__",
         [("_x", ["1", None, None]), ("_quarzel_error_value", ["2", "4", "5"]),
          ("_y", ["3", None, None])]),
    ], id="gathered-values-pad-with-nulls"),
    pytest.param("data_a _x 1 loop_ _x _y 2 3", [
        (0, "a", None, None, "__loop_0__", [("_x", ["2"]), ("_y", ["3"])]),
    ], id="loop-tag-leaves-scalar-batch"),
    pytest.param("data_a loop_ _a _b 1 2 3", [
        (0, "a", None, None, "__loop_0__", [("_a", ["1", "3"]), ("_b", ["2", "?"])]),
    ], id="short-loop-padded"),
    # A tag repeated in a loop header keeps its later column, at its place.
    pytest.param("data_a loop_ _a _b _a 1 2 3", [
        (0, "a", None, None, "__loop_0__", [("_b", ["2"]), ("_a", ["3"])]),
    ], id="repeated-header-tag-later-column"),
    pytest.param("data_a _p 'x y' _q \"?\" _r . _s ? _t\n;line 1\nline 2\n;\n", [
        (0, "a", None, None, "__scalars__",
         [("_p", ["x y"]), ("_q", ['"?"']), ("_r", ["."]), ("_s", ["?"]),
          ("_t", ["line 1\nline 2"])]),
    ], id="scalar-texts"),
    pytest.param("", [], id="empty-source"),
    pytest.param("_x 1 loop_ _y 2", [], id="nothing-before-first-block"),
]


@pytest.mark.parametrize("source, expected", LAYOUT)
def test_batch_layout(source, expected):
    assert layout(source) == expected


def test_schema_as_pyarrow_sees_it():
    [scalars, loop] = q.parse_arrow("data_a _x 1 save_f loop_ _y _z 1 2 save_")[0]
    for batch, tags in [(scalars, ["_x"]), (loop, ["_y", "_z"])]:
        assert isinstance(batch, pa.RecordBatch)
        assert batch.schema.metadata is None
        assert [(f.name, f.type, f.nullable) for f in batch.schema] == [
            ("_quarzel_block_idx", pa.int32(), False),
            ("_block_name", pa.string(), False),
            ("_frame_idx", pa.int32(), True),
            ("_frame_name", pa.string(), True),
            ("_loop_id", pa.string(), False),
        ] + [(t, pa.string(), True) for t in tags]
        assert all(f.metadata is None for f in batch.schema)
        batch.validate(full=True)
    assert loop.column("_frame_idx").to_pylist() == [0]
    assert loop.column("_frame_name").to_pylist() == ["f"]


def test_large_loop_columns():
    rows = 5000
    source = "data_big loop_ _a _b _c\n" + "".join(f"{i} v{i} 'q {i}'\n" for i in range(rows))
    [batch] = q.parse_arrow(source)[0]
    assert batch.num_rows == rows
    assert batch.column("_a").to_pylist() == [str(i) for i in range(rows)]
    assert batch.column("_c").to_pylist() == [f"q {i}" for i in range(rows)]
    assert batch.column("_block_name").to_pylist() == ["big"] * rows
    assert batch.column("_frame_idx").null_count == rows


def test_wide_loop_built_in_groups():
    # Enough text for the columns to be filled in several groups, each a
    # block of rows at a time; every cell must land in its own column.
    rows, tags = 200_000, 8
    header = "data_w loop_ " + " ".join(f"_t{k}" for k in range(tags)) + "\n"
    body = "".join(" ".join(f"{k}{i:07d}" for k in range(tags)) + "\n" for i in range(rows))
    [batch] = q.parse_arrow(header + body)[0]
    assert batch.num_rows == rows
    numbers = pa.array(range(rows), pa.int64())
    for k in range(tags):
        column = batch.column(f"_t{k}")
        assert column.null_count == 0
        assert pc.all(pc.starts_with(column, str(k))).as_py()
        assert pc.cast(pc.utf8_slice_codeunits(column, 1), pa.int64()).equals(numbers)


# --- cell text --------------------------------------------------------------

CELLS = [
    ("['a' 'b']", NUL + '["a","b"]'),
    ("{'k':'v'}", NUL + '{"k":"v"}'),
    ("[]", NUL + "[]"),
    ("{}", NUL + "{}"),
    ("[[1 2] [] ['x' [y]]]", NUL + '[["1","2"],[],["x",["y"]]]'),
    ("{'k':1 'K':[2] 'k':3}", NUL + '{"k":"1","K":["2"],"k":"3"}'),
    ("{'t':{'u':[{}]}}", NUL + '{"t":{"u":[{}]}}'),
    ("['a\tb']", NUL + '["a\\tb"]'),
    ("'a\tb'", "a\tb"),
    ("['a\"b' \"c\\d\"]", NUL + '["a\\"b","c\\\\d"]'),
    ("{'a\"b':x}", NUL + '{"a\\"b":"x"}'),
    ("['''x\ny''']", NUL + '["x\\ny"]'),
    ("[. ? '.' '?']", NUL + '[".","?","\\".\\"","\\"?\\""]'),
    ("['é' '日本' '\U0001F600']", NUL + '["é","日本","\U0001F600"]'),
    ("'x' ", "x"),
]


@pytest.mark.parametrize("value, expected", CELLS)
def test_cell_text(value, expected):
    assert cell(value) == expected


def test_deeply_nested_list():
    depth = 100_000
    text = cell("[" * depth + "1" + "]" * depth)
    assert text == NUL + "[" * depth + '"1"' + "]" * depth


# --- tags given again: once unequal loop columns, now whole batches ---------

GIVEN_AGAIN = [
    pytest.param("data_a loop_ _a _b 1 2 3 4 _a 5", [
        (0, "a", None, None, "__scalars__", [("_a", ["5"])]),
        (0, "a", None, None, "__loop_0__", [("_b", ["2", "4"])]),
    ], id="loop-tag-again-outside-loop"),
    pytest.param("data_a loop_ _a _b 1 2 3 4 loop_ _a 9", [
        (0, "a", None, None, "__loop_0__", [("_b", ["2", "4"])]),
        (0, "a", None, None, "__loop_1__", [("_a", ["9"])]),
    ], id="tag-in-later-loop"),
    pytest.param("data_a loop_ _b _a _a 1 2 3", [
        (0, "a", None, None, "__loop_0__", [("_b", ["1"]), ("_a", ["3"])]),
    ], id="tag-repeated-in-header"),
    pytest.param("data_a _z 0 save_f loop_ _a _b 1 2 _b 3 save_", [
        (0, "a", None, None, "__scalars__", [("_z", ["0"])]),
        (0, "a", 0, "f", "__scalars__", [("_b", ["3"])]),
        (0, "a", 0, "f", "__loop_0__", [("_a", ["1"])]),
    ], id="inside-save-frame"),
]


@pytest.mark.parametrize("source, expected", GIVEN_AGAIN)
def test_tags_given_again_convert(source, expected):
    assert layout(source) == expected
    assert [e["message"].split(":")[0] for e in q.parse_arrow(source)[1]] == ["duplicate data name"]


# --- errors and modes -------------------------------------------------------

def test_error_dicts():
    batches, errors = q.parse_arrow("data_A _x 1 data_a loop_ _p _q 1 2 3")
    assert [describe(b)[:5] for b in batches] == [
        (0, "a", None, None, "__scalars__"), (1, "a", None, None, "__loop_0__")]
    assert errors == [
        {"error_type": "semantic", "message": 'duplicate data block name: "a"', "line": 0,
         "column": 0, "context": "RawBuilder",
         "recovery_action": "duplicate block stored with distinct internal id"},
        {"error_type": "semantic",
         "message": "loop value count 3 is not divisible by tag count 2 (1 value(s) missing "
                    "from final row); tags: _p, _q",
         "line": 0, "column": 0, "context": "RawBuilder",
         "recovery_action": "padded 1 placeholder(s)"},
    ]
    for e in errors:
        assert list(e) == ["error_type", "message", "line", "column", "context",
                           "recovery_action"]


def test_errors_match_parse_raw():
    source = "data_a _x 'open\n loop_ _a _b 1 stop_ _c [1 data_a"
    assert q.parse_arrow(source)[1] == q.parse_raw(source)["errors"]


@pytest.mark.parametrize("mode, stored", [
    (None, True), ("STRICT", True), ("", True), ("strict", False),
])
def test_strict_mode(mode, stored):
    source = "data_a _x 1 loop_ _p _q 1 2 3 _y 2 data_b _z 3"
    batches, errors = q.parse_arrow(source, mode)
    loop_ids = [describe(b)[4] for b in batches]
    if stored:
        assert loop_ids == ["__scalars__", "__loop_0__", "__scalars__"]
        assert errors[-1]["recovery_action"] == "padded 1 placeholder(s)"
    else:
        # The block as it stood at the stop: the loop and everything after it are gone.
        assert layout(source, mode) == [
            (0, "a", None, None, "__scalars__", [("_x", ["1"])])]
        assert errors[-1]["recovery_action"] == "stopped"


# --- arguments --------------------------------------------------------------

@pytest.mark.parametrize("call, message", [
    (lambda: q.parse_arrow(1), "argument 'source': 'int' object is not an instance of 'str'"),
    (lambda: q.parse_arrow(None), "argument 'source': 'None' is not an instance of 'str'"),
    (lambda: q.parse_arrow("", 1), "argument 'mode': 'int' object is not an instance of 'str'"),
    (lambda: q.parse_arrow_file(b"x"),
     "argument 'path': 'bytes' object is not an instance of 'str'"),
    (lambda: q.parse_arrow_file(Path("x")),
     "argument 'path': 'PosixPath' object is not an instance of 'str'"),
    (lambda: q.parse_arrow_file("/nonexistent", mode=b"strict"),
     "argument 'mode': 'bytes' object is not an instance of 'str'"),
    (lambda: q.parse_arrow(), "parse_arrow() missing 1 required positional argument: 'source'"),
    (lambda: q.parse_arrow_file("a", None, 1),
     "parse_arrow_file() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


def test_keyword_arguments():
    assert q.parse_arrow(source="data_a _x 1", mode="strict")[0][0].num_rows == 1


# --- files ------------------------------------------------------------------

def test_file_same_as_text(tmp_path):
    text = CIF2 + "data_é _x 'ü' _l [1 {'k':2}]\r\nloop_ _a 1 2\r\n"
    path = tmp_path / "t.cif"
    path.write_bytes(text.encode())
    from_file = q.parse_arrow_file(str(path))
    from_text = q.parse_arrow(text)
    assert from_file[1] == from_text[1]
    assert [b.equals(c) for b, c in zip(from_file[0], from_text[0])] == [True, True]
    assert len(from_file[0]) == 2
    assert q.parse_arrow_file(str(path), "strict")[0][0].equals(from_text[0][0])


def test_file_without_known_size(tmp_path):
    # A pipe reports no size: the reader must grow its buffer as it goes.
    # The writer is another process, as the call holds the interpreter.
    path = tmp_path / "fifo"
    os.mkfifo(path)
    code = ("import sys; open(sys.argv[1], 'w').write("
            "'data_p loop_ _v\\n' + ''.join(f'value{i}\\n' for i in range(20000)))")
    writer = subprocess.Popen([sys.executable, "-c", code, str(path)])
    try:
        [batch] = q.parse_arrow_file(str(path))[0]
    finally:
        writer.wait(timeout=60)
    assert batch.column("_v").to_pylist() == [f"value{i}" for i in range(20000)]


def test_empty_file(tmp_path):
    path = tmp_path / "empty.cif"
    path.write_bytes(b"")
    assert q.parse_arrow_file(str(path)) == ([], [])


@pytest.mark.parametrize("data", [
    b"\xff", b"\x80", b"data_a _x \xc3", b"\xc0\xaf", b"\xe0\x80\xaf", b"\xed\xa0\x80",
    b"\xf4\x90\x80\x80", b"\xf5\x80\x80\x80", b"\xe2\x82 ", b"abcdefgh\xe9abcdefgh",
])
def test_file_not_utf8(tmp_path, data):
    path = tmp_path / "bad.cif"
    path.write_bytes(data)
    with pytest.raises(OSError) as info:
        q.parse_arrow_file(str(path))
    assert type(info.value) is OSError
    assert info.value.args == ("stream did not contain valid UTF-8",)


@pytest.mark.parametrize("data", [
    "\u0080\u07ff\u0800\ud7ff\ue000\uffff\U00010000\U0010ffff".encode(),
    b"# \xef\xbb\xbf" + b"x" * 37,
])
def test_file_valid_utf8_boundaries(tmp_path, data):
    path = tmp_path / "ok.cif"
    path.write_bytes(data)
    assert q.parse_arrow_file(str(path))[0] == []


def test_file_system_errors(tmp_path):
    for path, args in [
        (tmp_path / "missing.cif", ("No such file or directory (os error 2)",)),
        (tmp_path, ("Is a directory (os error 21)",)),
        (tmp_path / "missing" / "x.cif", ("No such file or directory (os error 2)",)),
        ("", ("No such file or directory (os error 2)",)),
    ]:
        with pytest.raises(OSError) as info:
            q.parse_arrow_file(str(path))
        assert type(info.value) is OSError
        assert info.value.args == args
    with pytest.raises(OSError) as info:
        q.parse_arrow_file("a\0b")
    assert len(info.value.args) == 1


def test_file_name_with_undecodable_bytes(tmp_path):
    name = os.fsdecode(b"\xff.cif")
    (tmp_path / name).write_bytes(b"data_a _x 1")
    assert len(q.parse_arrow_file(str(tmp_path / name))[0]) == 1


def test_mode_checked_before_reading(tmp_path):
    with pytest.raises(TypeError):
        q.parse_arrow_file(str(tmp_path / "missing.cif"), 3)


# --- pyarrow as a run-time dependency ---------------------------------------

def test_without_pyarrow(monkeypatch, tmp_path):
    path = tmp_path / "a.cif"
    path.write_text("data_a _x 1")
    monkeypatch.setitem(sys.modules, "pyarrow", None)
    with pytest.raises(ImportError):
        q.parse_arrow("data_a _x 1")
    with pytest.raises(ImportError):
        q.parse_arrow_file(str(path))
    with pytest.raises(OSError):
        q.parse_arrow_file(str(tmp_path / "missing.cif"))
    # Nothing else depends on pyarrow.
    assert q.parse_raw("data_a _x 1")["blocks"][0]["tags"] == {"_x": ["1"]}
    calls = []

    class Handler:
        def __getattr__(self, name):
            return lambda *args: calls.append(name)

    q.parse("data_a _x 1", Handler())
    assert calls == ["on_data_block", "add_tag", "add_value"]


def test_module_import_leaves_pyarrow_alone():
    code = "import sys, quarzel_core; print('pyarrow' in sys.modules)"
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    assert done.stdout.strip() == "False"


@pytest.mark.skipif(bool(os.environ.get("QUARZEL_UNDER_ASAN")),
                    reason="the sanitizer holds freed memory in quarantine")
@pytest.mark.parametrize("refuses", ["Schema", "RecordBatch"])
def test_pyarrow_import_failure_releases_everything(monkeypatch, refuses):
    def importer(name):
        def _import_from_c(*addresses):
            if name == refuses:
                raise RuntimeError("refused")
            return object()
        return type(name, (), {"_import_from_c": staticmethod(_import_from_c)})

    class FakeArrow:
        Schema = importer("Schema")
        RecordBatch = importer("RecordBatch")

    # About 1.5 MB of batches per call: a leak shows as 30 MB.
    source = "data_a loop_ _x " + "1 " * 50000
    monkeypatch.setitem(sys.modules, "pyarrow", FakeArrow)

    def refused_calls(n):
        for _ in range(n):
            with pytest.raises(RuntimeError, match="refused"):
                q.parse_arrow(source)
        gc.collect()

    refused_calls(5)
    start = resident_bytes()
    refused_calls(20)
    assert resident_bytes() - start < 8 << 20


def test_batches_with_repeated_tag_lists():
    source = "".join(f"save_f{i} _a.x {i} _a.y 'v {i}' save_\n" for i in range(50))
    batches, _ = q.parse_arrow("data_d " + source + "save_g _a.x 1 save_")
    frames = batches  # the block itself has no tags, so no batch
    assert [b.column(5).to_pylist() for b in frames[:2]] == [["0"], ["1"]]
    assert all(b.schema.equals(frames[0].schema) and not b.schema.metadata
               for b in frames[:50])
    assert frames[50].schema.names[5:] == ["_a.x"]
    assert frames[3].to_pylist() == [{"_quarzel_block_idx": 0, "_block_name": "d",
                                      "_frame_idx": 3, "_frame_name": "f3",
                                      "_loop_id": "__scalars__", "_a.x": "3", "_a.y": "v 3"}]


@pytest.mark.skipif(bool(os.environ.get("QUARZEL_UNDER_ASAN")),
                    reason="the sanitizer holds freed memory in quarantine")
def test_batches_hold_their_memory_until_released():
    # In a fresh interpreter: memory freed by earlier tests would otherwise
    # take part of the first growth. About 4.5 MB of batches per call.
    code = """
import gc, os, quarzel_core as q
def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")
source = "data_a _s 1 loop_ _x _y\\n" + "abc 'd e'\\n" * 100000
def hold_then_release():
    held = [q.parse_arrow(source)[0] for _ in range(10)]
    assert held[-1][1].num_rows == 100000
    grown = resident_bytes() - start
    del held
    gc.collect()
    return grown
start = resident_bytes()
first = hold_then_release()
start = resident_bytes()
for _ in range(4):
    hold_then_release()
print(first, resident_bytes() - start)
"""
    done = subprocess.run([sys.executable, "-c", code], capture_output=True, text=True,
                          check=True)
    held, kept = map(int, done.stdout.split())
    assert held > 30 << 20
    assert kept < 8 << 20


def test_batch_and_column_outlive_the_others():
    source = ("data_a _s 1 loop_ _x _y " + "p 'q r' " * 300 + "\n"
              "save_f _t 2 loop_ _u 3 4 loop_ _x 5 save_ data_b _s 2")
    batches, _ = q.parse_arrow(source)
    expected = [b.to_pylist() for b in batches]
    kept, column = batches[1], batches[3].column(5)
    del batches
    gc.collect()
    assert kept.to_pylist() == expected[1]
    assert column.to_pylist() == [row["_u"] for row in expected[3]]


def resident_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE")


@pytest.mark.skipif(bool(os.environ.get("QUARZEL_UNDER_ASAN")),
                    reason="the sanitizer holds freed memory in quarantine")
def test_memory_flat_over_many_calls():
    source = CIF2 + "data_a _s [1 {'k':2}] loop_ _x _y\n" + "abc 'd e'\n" * 200 + "_bad"
    for _ in range(300):
        q.parse_arrow(source)
    gc.collect()
    start = resident_bytes()
    for _ in range(3000):
        q.parse_arrow(source)
    gc.collect()
    assert resident_bytes() - start < 2 * 1024 * 1024


# --- agreement with parse_raw on real files ---------------------------------

def raw_frames(raw):
    for b, block in enumerate(raw["blocks"]):
        yield (b, block["name"], None, None), block
        for f, frame in enumerate(block["save_frames"]):
            yield (b, block["name"], f, frame["name"]), frame


def to_cell(value):
    def quoted(text):
        for a, b in [("\\", "\\\\"), ('"', '\\"'), ("\t", "\\t"), ("\n", "\\n"),
                     ("\r", "\\r")]:
            text = text.replace(a, b)
        return '"' + text + '"'

    def plain(v):
        if isinstance(v, str):
            return quoted(v)
        if isinstance(v, list):
            return "[" + ",".join(plain(x) for x in v) + "]"
        return "{" + ",".join(quoted(k) + ":" + plain(x) for k, x in v.items()) + "}"

    return value if isinstance(value, str) else NUL + plain(value)


@pytest.mark.parametrize("path", testdata.files((".cif", ".dic")), ids=testdata.file_id)
def test_corpus_agrees_with_parse_raw(path):
    text = path.read_bytes().decode("utf-8", errors="replace")
    raw = q.parse_raw(text)
    batches, errors = q.parse_arrow(text)
    assert errors == raw["errors"]
    got = {}
    for batch in batches:
        block, name, frame, frame_name, loop_id, tags = describe(batch)
        for tag, cells in tags:
            got[(block, frame, tag)] = cells
    expected = {}
    for (block, name, frame, _), data in raw_frames(raw):
        for tag in data["tag_order"]:
            cells = [to_cell(v) for v in data["tags"][tag]]
            if cells:
                expected[(block, frame, tag)] = cells
    # Scalar columns may be padded with nulls beyond a tag's own values.
    for key, cells in got.items():
        assert cells[:len(expected.get(key, []))] == expected.get(key, [])
        assert all(c is None for c in cells[len(expected.get(key, [])):])
    assert set(expected) <= set(got)


# Short columns are copied into shared memory, long ones keep their own;
# both may end in nulls (the reserved tag gathers more values than the
# other scalar tags have).
@pytest.mark.parametrize("count", [1, 7, 8, 9, 500, 1100, 3000])
def test_scalar_columns_padded_on_both_sides_of_the_copy_limit(count):
    rows = count + 9
    values = [f"v{i}" for i in range(rows)]
    source = "data_a _a x " + " ".join(values) + " _c 'x y' _d " + "z" * 6000
    batches, errors = q.parse_arrow(source)
    assert len(batches) == 1
    batch = batches[0]
    assert batch.num_rows == rows
    assert batch.column("_quarzel_error_value").to_pylist() == values
    assert batch.column("_a").to_pylist() == ["x"] + [None] * (rows - 1)
    assert batch.column("_a").null_count == rows - 1
    assert batch.column("_c").to_pylist() == ["x y"] + [None] * (rows - 1)
    assert batch.column("_d").to_pylist() == ["z" * 6000] + [None] * (rows - 1)
    batch.validate(full=True)


# Identity texts are written once and then copied after themselves: row
# counts on either side of each doubling, names of one byte, many bytes and
# multi-byte characters, in a block and in a save frame.
@pytest.mark.parametrize("rows", [1, 2, 3, 5, 8, 17, 1000, 4099])
@pytest.mark.parametrize("name", ["b", "block_with_a_long_name_" * 5, "blöck_ü"])
def test_identity_columns_every_row(rows, name):
    values = " ".join(str(i) for i in range(rows))
    batches, errors = q.parse_arrow(f"data_{name} loop_ _x {values} save_{name} loop_ _y {values} save_")
    assert errors == []
    assert len(batches) == 2
    for batch, frame in zip(batches, [None, name]):
        batch.validate(full=True)
        assert batch.num_rows == rows
        assert batch.column("_block_name").to_pylist() == [name] * rows
        assert batch.column("_frame_name").to_pylist() == [frame] * rows
        assert batch.column("_loop_id").to_pylist() == ["__loop_0__"] * rows
        assert batch.column(5).to_pylist() == [str(i) for i in range(rows)]
