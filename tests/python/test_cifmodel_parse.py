"""parse_cif: the object model built from a parsed document, and its errors."""

import os
import gc
import sys

import pytest

import quarzel_core as q
from quarzel.types import CifVersion

import testdata



def semantic(message, recovery):
    return {"error_type": "semantic", "message": message, "line": 0, "column": 0,
            "context": "RawBuilder", "recovery_action": recovery}


def dup_block(name):
    return semantic(f'duplicate data block name: "{name}"',
                    "duplicate block stored with distinct internal id")


def dup_frame(name):
    return semantic(f'duplicate save frame name: "{name}"',
                    "duplicate save frame stored with distinct internal id")


def short_loop(count, tags, missing, recovery):
    return semantic(f"loop value count {count} is not divisible by tag count {len(tags)} "
                    f"({missing} value(s) missing from final row); tags: {', '.join(tags)}",
                    recovery)


def frame_view(frame):
    """(name, _id, _tags, _tag_order, _loops) of a block or save frame."""
    return frame.name, frame._id, frame._tags, frame._tag_order, frame._loops


# --------------------------------------------------------------------------
# Shape of the result

def test_result_is_a_file_and_an_error_list():
    result = q.parse_cif("data_a _x 1")
    assert type(result) is tuple and len(result) == 2
    cif, errors = result
    assert type(cif) is q.CifFile and errors == []
    block = cif._block_list[0]
    assert type(block) is q.CifBlock and cif._blocks == {"a": block}
    assert frame_view(block) == ("a", 0, {"_x": ["1"]}, ["_x"], [])
    assert block._save_frames == {} and block._save_frame_list == []


@pytest.mark.parametrize("source, version", [
    ("", CifVersion.CIF_1_1),
    ("data_a", CifVersion.CIF_1_1),
    ("#\\#CIF_1.1\ndata_a", CifVersion.CIF_1_1),
    ("#\\#CIF_2.0\ndata_a", CifVersion.CIF_2_0),
])
def test_version(source, version):
    cif, _ = q.parse_cif(source)
    assert cif.version is version


def test_empty_source():
    cif, errors = q.parse_cif("")
    assert cif._block_list == [] and cif._blocks == {} and errors == []


@pytest.mark.parametrize("call, message", [
    (lambda: q.parse_cif(1), "argument 'source': 'int' object is not an instance of 'str'"),
    (lambda: q.parse_cif(None), "argument 'source': 'None' is not an instance of 'str'"),
    (lambda: q.parse_cif("", 1), "argument 'mode': 'int' object is not an instance of 'str'"),
    (lambda: q.parse_cif("", mode=b"strict"),
     "argument 'mode': 'bytes' object is not an instance of 'str'"),
    (lambda: q.parse_cif(), "parse_cif() missing 1 required positional argument: 'source'"),
    (lambda: q.parse_cif("", None, 1),
     "parse_cif() takes from 1 to 2 positional arguments but 3 were given"),
])
def test_argument_errors(call, message):
    with pytest.raises(TypeError) as info:
        call()
    assert str(info.value) == message


# --------------------------------------------------------------------------
# Content

@pytest.mark.parametrize("source, tags, order, loops", [
    # A tag given again keeps its later occurrence, at its later place.
    ("data_x _A 1 _b 0 _a 2", {"_b": ["0"], "_a": ["2"]}, ["_b", "_a"], []),
    ("data_x loop_ _a _B 1 2 3 4", {"_a": ["1", "3"], "_b": ["2", "4"]}, ["_a", "_b"],
     [["_a", "_b"]]),
    ("data_x loop_ _a _b", {"_a": [], "_b": []}, ["_a", "_b"], [["_a", "_b"]]),
    ("data_x _b 0 loop_ _a _b 1 2", {"_a": ["1"], "_b": ["2"]}, ["_a", "_b"], [["_a", "_b"]]),
    ("data_x loop_ _a _b 1 2 _a 3", {"_b": ["2"], "_a": ["3"]}, ["_b", "_a"], [["_b"]]),
    ("data_x _q '.' _r . _s '..' _t ? _u '?'",
     {"_q": ['"."'], "_r": ["."], "_s": [".."], "_t": ["?"], "_u": ['"?"']},
     ["_q", "_r", "_s", "_t", "_u"], []),
    ("data_x _t\n;line one\nline two\n;\n", {"_t": ["line one\nline two"]}, ["_t"], []),
    ("_early 1 data_x _late 2", {"_late": ["2"]}, ["_late"], []),
])
def test_block_content(source, tags, order, loops):
    cif, _ = q.parse_cif(source)
    (block,) = cif._block_list
    assert (block._tags, block._tag_order, block._loops) == (tags, order, loops)


def test_loop_lookup_returns_the_column():
    cif, errors = q.parse_cif("data_x loop_ _a _b 1 2 3 4")
    block = cif["X"]
    assert errors == [] and block["_A"] == ["1", "3"] and block["_A"] is block._tags["_a"]
    assert block.tags == ["_a", "_b"] and block.loops == [["_a", "_b"]]


@pytest.mark.parametrize("value, python", [
    ("[1 [2 3] {'k':v}]", ["1", ["2", "3"], {"k": "v"}]),
    ("[{'a':1 'B':[x]}]", [{"a": "1", "B": ["x"]}]),
    ("{'k':1 'k':2 'j':3}", {"k": "2", "j": "3"}),
    ("[]", []),
    ("{}", {}),
    ("[[[[]]]]", [[[[]]]]),
])
def test_cif2_compound_values(value, python):
    cif, errors = q.parse_cif(f"#\\#CIF_2.0\ndata_x _v {value}\n")
    assert errors == []
    assert cif["x"]["_v"] == [python]


def test_names_are_lower_cased_and_table_keys_kept():
    cif, _ = q.parse_cif("#\\#CIF_2.0\nDATA_ÄBC _TÄG {'KEY':V} SAVE_FRÄME _Q 1 SAVE_")
    block = cif._block_list[0]
    assert block.name == "äbc" and block._tag_order == ["_täg"]
    assert block["_TÄG"] == [{"KEY": "V"}]
    assert block["FRÄME"].name == "främe" and block["främe"]._tags == {"_q": ["1"]}


def test_no_object_is_shared_between_places():
    cif, _ = q.parse_cif("data_x _a v _b v loop_ _c _d v v\n"
                         "save_f _a v save_ save_g _a v save_")
    block = cif._block_list[0]
    lists = [block._tags[t] for t in block._tag_order] + [block._tag_order] + block._loops
    lists += [fr._tags["_a"] for fr in block._save_frame_list]
    assert len({id(x) for x in lists}) == len(lists)
    assert block._loops[0] is not block._tag_order


# --------------------------------------------------------------------------
# Duplicates and save frames

def test_duplicate_block_names():
    cif, errors = q.parse_cif("data_A _x 1\ndata_a _x 2\ndata_b\n")
    first, second, third = cif._block_list
    assert [(b.name, b._id) for b in cif._block_list] == [("a", 0), ("a", 1), ("b", 2)]
    assert cif._blocks == {"a": first, "b": third}
    assert cif.get_all("A") == [first, second] and cif["A"] is first
    assert second._tags == {"_x": ["2"]}
    assert errors == [dup_block("a")]


def test_save_frames_are_counted_per_block():
    cif, errors = q.parse_cif("data_a _t 0\n"
                              "save_F _t 1 save_\nsave_g _t 2 save_\nsave_f _t 3 save_\n"
                              "data_b save_f _t 4 save_\n")
    a, b = cif._block_list
    assert [frame_view(f) for f in a._save_frame_list] == [
        ("f", 0, {"_t": ["1"]}, ["_t"], []),
        ("g", 1, {"_t": ["2"]}, ["_t"], []),
        ("f", 2, {"_t": ["3"]}, ["_t"], []),
    ]
    assert a._save_frames == {"f": a._save_frame_list[0], "g": a._save_frame_list[1]}
    assert a._tags == {"_t": ["0"]} and a.save_frames == ["f", "g", "f"]
    assert a.get_all("F") == [a._save_frame_list[0], a._save_frame_list[2]]
    assert [frame_view(f) for f in b._save_frame_list] == [("f", 0, {"_t": ["4"]}, ["_t"], [])]
    assert errors == [dup_frame("f")]
    assert all(type(f) is q.CifSaveFrame for f in a._save_frame_list + b._save_frame_list)


def test_loops_inside_save_frames():
    cif, _ = q.parse_cif("data_a save_s loop_ _x _y 1 2 3 4 save_")
    frame = cif["a"]["s"]
    assert frame._loops == [["_x", "_y"]] and frame["_Y"] == ["2", "4"]


# --------------------------------------------------------------------------
# Strict mode and error order

LOOP_THEN_BLOCK = "data_x _k v loop_ _a _b 1 2 3\ndata_y _c 1\n"


@pytest.mark.parametrize("mode", [None, "STRICT", " strict", "strict ", "", "lenient"])
def test_modes_other_than_strict_recover(mode):
    cif, errors = q.parse_cif(LOOP_THEN_BLOCK, mode)
    assert [b.name for b in cif._block_list] == ["x", "y"]
    assert cif["x"]._tags == {"_k": ["v"], "_a": ["1", "3"], "_b": ["2", "?"]}
    assert errors == [short_loop(3, ["_a", "_b"], 1, "padded 1 placeholder(s)")]


@pytest.mark.parametrize("call", [lambda s: q.parse_cif(s, "strict"),
                                  lambda s: q.parse_cif(s, mode="strict")])
def test_strict_mode_freezes_the_document(call):
    cif, errors = call(LOOP_THEN_BLOCK)
    assert [b.name for b in cif._block_list] == ["x"]
    assert cif["x"]._tags == {"_k": ["v"]} and cif["x"]._loops == []
    assert errors == [short_loop(3, ["_a", "_b"], 1, "stopped")]


def test_strict_duplicate_keeps_the_empty_duplicate_block():
    cif, errors = q.parse_cif("data_a _x 1 data_A _y 2 data_b", "strict")
    assert [(b.name, b._tags) for b in cif._block_list] == [("a", {"_x": ["1"]}), ("a", {})]
    assert errors == [dup_block("A")]


def test_error_dicts_in_record_order():
    cif, errors = q.parse_cif("#\\#CIF_9.9\ndata_a\ndata_a\nsave_s save_ save_s save_\n")
    assert [list(e) for e in errors] == [["error_type", "message", "line", "column", "context",
                                          "recovery_action"]] * len(errors)
    assert errors[0]["message"].startswith("unrecognised CIF version") and errors[0]["line"] == 1
    assert errors[1:] == [dup_block("a"), dup_frame("s")]
    assert cif.version is CifVersion.CIF_2_0


def test_error_records_of_the_parser_come_in_source_order():
    _, errors = q.parse_cif("data_a\n_x\n_y 1\nloop_\nstop_\n_z\n")
    assert errors, "the faults of this text are reported"
    positions = [(e["line"], e["column"]) for e in errors if e["error_type"] != "semantic"]
    assert positions == sorted(positions)


# --------------------------------------------------------------------------
# Agreement with parse_raw

def raw_frame(frame):
    return {"name": frame.name, "tag_order": frame._tag_order, "loops": frame._loops,
            "tags": frame._tags}


def model_as_raw(cif):
    blocks = []
    for b in cif._block_list:
        d = raw_frame(b)
        d["save_frames"] = [raw_frame(f) for f in b._save_frame_list]
        blocks.append(d)
    return blocks


@pytest.mark.parametrize("path", testdata.files((".cif", ".dic", ".gz")), ids=testdata.file_id)
def test_agrees_with_parse_raw_on_the_corpus(path):
    source = testdata.read_bytes(path).decode("utf-8", errors="replace")
    raw = q.parse_raw(source)
    cif, errors = q.parse_cif(source)
    assert errors == raw["errors"]
    assert cif.version.name == raw["version"]
    assert model_as_raw(cif) == raw["blocks"]
    for i, block in enumerate(cif._block_list):
        assert block._id == i
        assert [f._id for f in block._save_frame_list] == list(range(len(block._save_frame_list)))


# --------------------------------------------------------------------------
# Resources

def rss_bytes():
    with open("/proc/self/statm") as f:
        return int(f.read().split()[1]) * 4096


@pytest.mark.skipif(bool(os.environ.get("QUARZEL_UNDER_ASAN")),
                    reason="the sanitizer holds freed memory in quarantine")
def test_repeated_calls_keep_reference_counts_and_memory_flat():
    source = ("#\\#CIF_2.0\ndata_a _x [1 {'k':v}] loop_ _l _m 1 2 3\n"
              "save_s _y 1 save_ data_A\n")
    members = [CifVersion.CIF_1_1, CifVersion.CIF_2_0]
    for _ in range(1_000):
        q.parse_cif(source)
        q.parse_cif(source, "strict")
    gc.collect()
    before = [sys.getrefcount(o) for o in [source, *members]]
    rss = rss_bytes()
    for _ in range(10_000):
        q.parse_cif(source)
        q.parse_cif(source, "strict")
    gc.collect()
    assert [sys.getrefcount(o) for o in [source, *members]] == before
    assert rss_bytes() - rss < 2 * 1024 * 1024


def test_result_survives_its_source():
    source = "data_blk _tag " + "x" * 100
    cif, _ = q.parse_cif(source)
    del source
    gc.collect()
    assert cif["blk"]["_tag"] == ["x" * 100]
    copy = cif.deepcopy()
    assert copy["blk"]["_tag"] == ["x" * 100] and copy.version is cif.version
