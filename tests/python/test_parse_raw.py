import gc

import pytest

import quarzel_core as q
from quarzel_core import parse_raw

import testdata

CIF2 = "#\\#CIF_2.0\n"


def frame(name, tags=None, loops=None, **extra):
    tags = tags or {}
    d = {"name": name, "tag_order": list(tags), "loops": loops or [], "tags": tags}
    d.update(extra)
    return d


def block(name, tags=None, loops=None, save_frames=None):
    return frame(name, tags, loops, save_frames=save_frames or [])


def semantic(message, recovery):
    return {
        "error_type": "semantic",
        "message": message,
        "line": 0,
        "column": 0,
        "context": "RawBuilder",
        "recovery_action": recovery,
    }


SHORT_LOOP = (
    "loop value count 3 is not divisible by tag count 2 "
    "(1 value(s) missing from final row); tags: _a, _b"
)


# Whole results: version, errors and blocks.
@pytest.mark.parametrize(
    "source, mode, expected",
    [
        ("", None, {"version": "CIF_1_1", "errors": [], "blocks": []}),
        (CIF2, None, {"version": "CIF_2_0", "errors": [], "blocks": []}),
        (
            "data_x _a 1 _a 2",
            None,
            {
                "version": "CIF_1_1",
                "errors": [
                    {
                        "error_type": "semantic",
                        "message": 'duplicate data name: "_a"',
                        "line": 1,
                        "column": 13,
                        "context": "_a",
                        "recovery_action": "later occurrence kept, earlier value dropped",
                    }
                ],
                "blocks": [block("x", {"_a": ["2"]})],
            },
        ),
        (
            "data_A _x 1\ndata_a _x 2\n",
            None,
            {
                "version": "CIF_1_1",
                "errors": [
                    semantic(
                        'duplicate data block name: "a"',
                        "duplicate block stored with distinct internal id",
                    )
                ],
                "blocks": [block("a", {"_x": ["1"]}), block("a", {"_x": ["2"]})],
            },
        ),
        (
            "data_x loop_ _A _b 1 2 3",
            None,
            {
                "version": "CIF_1_1",
                "errors": [semantic(SHORT_LOOP, "padded 1 placeholder(s)")],
                "blocks": [block("x", {"_a": ["1", "3"], "_b": ["2", "?"]}, [["_a", "_b"]])],
            },
        ),
        (
            "data_x _z 0 loop_ _A _b 1 2 3 _y 4 data_y _q 5",
            "strict",
            {
                "version": "CIF_1_1",
                "errors": [semantic(SHORT_LOOP, "stopped")],
                "blocks": [block("x", {"_z": ["0"]})],
            },
        ),
        (
            "data_x loop_ _A _b 1 2 3",
            "STRICT",
            {
                "version": "CIF_1_1",
                "errors": [semantic(SHORT_LOOP, "padded 1 placeholder(s)")],
                "blocks": [block("x", {"_a": ["1", "3"], "_b": ["2", "?"]}, [["_a", "_b"]])],
            },
        ),
        (
            "data_x _a 1 save_F _B 2 save_ save_g loop_ _c 3 save_ _d 4",
            None,
            {
                "version": "CIF_1_1",
                "errors": [],
                "blocks": [
                    block(
                        "x",
                        {"_a": ["1"], "_d": ["4"]},
                        save_frames=[
                            frame("f", {"_b": ["2"]}),
                            frame("g", {"_c": ["3"]}, [["_c"]]),
                        ],
                    )
                ],
            },
        ),
        (
            "data_x save_f save_ save_F _a 1 save_ _b 2",
            "strict",
            {
                "version": "CIF_1_1",
                "errors": [
                    semantic(
                        'duplicate save frame name: "F"',
                        "duplicate save frame stored with distinct internal id",
                    )
                ],
                "blocks": [block("x", save_frames=[frame("f")])],
            },
        ),
        (
            "data_x save_f save_ data_y save_F save_",
            None,
            {
                "version": "CIF_1_1",
                "errors": [],
                "blocks": [block("x", save_frames=[frame("f")]), block("y", save_frames=[frame("f")])],
            },
        ),
    ],
)
def test_whole_result(source, mode, expected):
    result = parse_raw(source, mode) if mode is not None else parse_raw(source)
    assert result == expected
    assert list(result) == ["version", "errors", "blocks"]
    for b in result["blocks"]:
        assert list(b) == ["name", "tag_order", "loops", "tags", "save_frames"]
        assert list(b["tags"]) == b["tag_order"]
        for f in b["save_frames"]:
            assert list(f) == ["name", "tag_order", "loops", "tags"]


def test_error_dicts_keep_field_order():
    errors = parse_raw("data_a data_A")["errors"]
    assert [list(e) for e in errors] == [
        ["error_type", "message", "line", "column", "context", "recovery_action"]
    ]


def tags_of(source, mode=None):
    result = parse_raw(source, mode)
    return result["blocks"][0]["tags"]


# The stored text of single values.
@pytest.mark.parametrize(
    "value, stored",
    [
        (".", "."),
        ("?", "?"),
        ("'.'", '"."'),
        ('"?"', '"?"'),
        ("'..'", ".."),
        ("'?x'", "?x"),
        ("abc", "abc"),
        ("'a b'", "a b"),
        ("\n;.\n;\n", "."),
        ("\n;\nline\n;\n", "\nline"),
        ("\n;\\\nlong line \\\ncontinued\n;\n", "long line continued"),
        ("\n;>\\\n>one\n>two\n;\n", "one\ntwo"),
        ("\n;\\\\\nkept\\\n;\n", "\\\\\nkept\\"),
        ("\n;>\\\n>kept\\\n>x\n;\n", "kept\\\nx"),
        ("\n;>\\\\\n>fol\\\n>ded\n;\n", "folded"),
        ("'''.'''", '"."'),
        ("\"\"\"a'b\"\"\"", "a'b"),
        ("'é'", "é"),
    ],
)
def test_scalar_text(value, stored):
    assert tags_of(CIF2 + "data_x _a " + value + "\n")["_a"] == [stored]


# Lists and tables.
@pytest.mark.parametrize(
    "value, expected",
    [
        ("[]", []),
        ("{}", {}),
        ("[1 [2 3] . '.']", ["1", ["2", "3"], ".", '"."']),
        ("{'k':1 'K':2}", {"k": "1", "K": "2"}),
        ('{"k":1 "k":2}', {"k": "2"}),
        ("{'a':[1 {'b':.}] 'c':{}}", {"a": ["1", {"b": "."}], "c": {}}),
    ],
)
def test_compound_values(value, expected):
    assert tags_of(CIF2 + "data_x _a " + value)["_a"] == [expected]


def test_repeated_table_key_keeps_first_position():
    (value,) = tags_of(CIF2 + "data_x _a {'a':1 'b':2 'a':3}")["_a"]
    assert list(value.items()) == [("a", "3"), ("b", "2")]


def test_names_lower_cased_keys_as_written():
    result = parse_raw(CIF2 + "data_BLK _Tag.Name {'MixedKey':1}\nloop_ _L.A _L.b x y")
    (b,) = result["blocks"]
    assert b["name"] == "blk"
    assert b["tag_order"] == ["_tag.name", "_l.a", "_l.b"]
    assert b["loops"] == [["_l.a", "_l.b"]]
    assert b["tags"]["_tag.name"] == [{"MixedKey": "1"}]


# Lower-casing agrees with str.lower for every code point a block name can
# hold; many names go into one source.
# Only space, tab and line ends end a block name.
NAME_EXCLUDED = set(" \t\n\r")


def name_chunks(width=64):
    chunk = []
    for cp in range(0x110000):
        if 0xD800 <= cp < 0xE000:
            continue
        c = chr(cp)
        if c in NAME_EXCLUDED:
            continue
        chunk.append(c)
        if len(chunk) == width:
            yield "".join(chunk)
            chunk = []
    if chunk:
        yield "".join(chunk)


def assert_names_lowered(names):
    source = CIF2 + "".join(f"data_0{n}\n" for n in names)
    blocks = parse_raw(source)["blocks"]
    assert len(blocks) == len(names)
    for n, b in zip(names, blocks):
        if b["name"] != ("0" + n).lower():
            raise AssertionError(f"{n!a} lowered to {b['name']!a}, not {('0' + n).lower()!a}")


def test_lower_case_every_code_point():
    assert_names_lowered(list(name_chunks()))


@pytest.mark.parametrize(
    "word",
    [
        "ΟΔΥΣΣΕΥΣ", "ΣΑΣ", "Σ", "ΑΣ", "ΣΣ", "ΣΣΣ", "Α'Σ", "ΑΣ'", "ΑΣ'Β", "Α.Σ", "Α:Σ", "Α-Σ",
        "ΑΣ-", "1Σ", "Σ1", "ᾼΣ", "ªΣ", "ΑΣ\u0301", "ΑΣ\u0301Β", "\u0301Σ", "ΑΣ\u00adΒ",
        "İ", "İΣ", "ǅΣ", "ΑΣ.Σ", "ABCΣ.", "ΣΑΣ_ΣΑΣ", "AΣ\U0001D400",
    ],
)
def test_lower_case_final_sigma(word):
    assert_names_lowered([word])


def test_lower_case_tags():
    words = ["ΟΔΥΣΣΕΥΣ", "İX", "ẞ", "ΑΣ'Β", "Ω"]
    source = CIF2 + "data_x\n" + "".join(f"_{w} v\n" for w in words)
    assert parse_raw(source)["blocks"][0]["tag_order"] == ["_" + w.lower() for w in words]


DEPTH = 1_000_000


@pytest.mark.parametrize("opening, closing", [("[", "]"), ("{'k':", "}")])
def test_deep_nesting(opening, closing):
    source = CIF2 + "data_x _a " + opening * DEPTH + "leaf" + closing * DEPTH + "\n_b end"
    result = parse_raw(source)
    tags = result["blocks"][0]["tags"]
    assert tags["_b"] == ["end"]
    v = tags["_a"][0]
    for _ in range(DEPTH):
        v = v[0] if isinstance(v, list) else v["k"]
    assert v == "leaf"
    del v, tags, result


def test_lone_surrogate_raises():
    with pytest.raises(UnicodeEncodeError):
        parse_raw("data_x _a \ud800")


@pytest.mark.parametrize(
    "args, kwargs, message",
    [
        ((1,), {}, "argument 'source': 'int' object is not an instance of 'str'"),
        ((None,), {}, "argument 'source': 'None' is not an instance of 'str'"),
        (("data_x",), {"mode": 1}, "argument 'mode': 'int' object is not an instance of 'str'"),
        ((), {}, "parse_raw() missing 1 required positional argument: 'source'"),
    ],
)
def test_argument_errors(args, kwargs, message):
    with pytest.raises(TypeError) as info:
        parse_raw(*args, **kwargs)
    assert str(info.value) == message


@pytest.mark.parametrize("mode", [None, "", "STRICT", "strict ", "Strict", "\ud800"])
def test_only_exact_strict_is_strict(mode):
    result = parse_raw("data_x loop_ _a _b 1 2 3", mode=mode)
    assert result["errors"][0]["recovery_action"] == "padded 1 placeholder(s)"
    assert parse_raw("data_x loop_ _a _b 1 2 3", mode="strict")["errors"][0]["recovery_action"] == "stopped"


def read_corpus(path):
    return testdata.read_bytes(path).decode("utf-8", errors="replace")


@pytest.mark.parametrize("path", testdata.files((".cif", ".dic", ".gz")), ids=testdata.file_id)
def test_corpus_structure(path):
    result = parse_raw(read_corpus(path))
    assert result["version"] in ("CIF_1_1", "CIF_2_0")
    for b in result["blocks"]:
        for f in [b] + b["save_frames"]:
            assert list(f["tags"]) == f["tag_order"]
            assert f["name"] == f["name"].lower()
            for tag in f["tag_order"]:
                assert tag == tag.lower()
                assert isinstance(f["tags"][tag], list)
            for loop in f["loops"]:
                assert all(t in f["tags"] for t in loop)


def gemmi_tags(block):
    import gemmi

    def value(raw):
        if raw in (".", "?"):
            return raw
        text = gemmi.cif.as_string(raw)
        return f'"{text}"' if text in (".", "?") else text

    tags = {}
    for item in block:
        if item.pair is not None:
            tags.setdefault(item.pair[0].lower(), []).append(value(item.pair[1]))
        elif item.loop is not None:
            width, values = item.loop.width(), item.loop.values
            for i, tag in enumerate(item.loop.tags):
                tags[tag.lower()] = [value(v) for v in values[i::width]]
    return tags


# The values of real CIF 1.1 files agree with an independent reader's.
@pytest.mark.parametrize("name", ["1kip.cif", "1ffk.cif.gz", "mmcif_pdbx_v40.dic"])
def test_agrees_with_gemmi(name):
    gemmi = pytest.importorskip("gemmi")
    text = read_corpus(testdata.path("cif1", name))
    result = parse_raw(text)
    assert result["errors"] == []
    doc = gemmi.cif.read_string(text)
    assert [b["name"] for b in result["blocks"]] == [b.name.lower() for b in doc]
    for ours, theirs in zip(result["blocks"], doc):
        frames = [item.frame for item in theirs if item.frame is not None]
        assert [f["name"] for f in ours["save_frames"]] == [f.name.lower() for f in frames]
        for mine, other in [(ours, theirs)] + list(zip(ours["save_frames"], frames)):
            expected = gemmi_tags(other)
            assert mine["tag_order"] == list(expected)
            assert mine["tags"] == expected


# The conversions hold the cyclic collector off while they build their
# containers, and leave it as they found it.
@pytest.mark.parametrize("convert", [q.parse_raw, q.parse_cif, q.lex_cif])
@pytest.mark.parametrize("enabled", [True, False])
def test_collector_left_as_found(convert, enabled):
    was = gc.isenabled()
    try:
        if not enabled:
            gc.disable()
        else:
            gc.enable()
        convert("data_a _x 1 loop_ _y 1 2 save_f _z [1] save_")
        assert gc.isenabled() == enabled
    finally:
        (gc.enable if was else gc.disable)()
