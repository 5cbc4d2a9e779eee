"""What every storing entry point (parse_raw, parse_cif, parse_arrow) keeps
of single values: number signs inside words, and one-character "." / "?"."""

import json

import pytest

import quarzel_core as q

CIF2 = "#\\#CIF_2.0\n"
IDENTITY = {"_quarzel_block_idx", "_block_name", "_frame_idx", "_frame_name", "_loop_id"}


def arrow_cell(cell):
    # Lists and tables arrive as a NUL then their JSON text.
    return json.loads(cell[1:]) if cell.startswith("\0") else cell


def stored(source):
    """The tags of the first block, checked to be the same through every entry point."""
    raw = q.parse_raw(source)
    tags = raw["blocks"][0]["tags"]
    cif, errors = q.parse_cif(source)
    assert errors == raw["errors"]
    assert cif._block_list[0]._tags == tags
    batches, errors = q.parse_arrow(source)
    assert errors == raw["errors"]
    arrow = {}
    for batch in batches:
        d = batch.to_pydict()
        if d["_quarzel_block_idx"][0] == 0 and d["_frame_idx"][0] is None:
            arrow.update({k: [arrow_cell(c) for c in v] for k, v in d.items() if k not in IDENTITY})
    assert arrow == tags
    return tags, raw


# --------------------------------------------------------------------------
# A number sign inside a word, tag or name belongs to it; one that begins a
# token opens a comment. Loops of several rows take the plain-word lane.

@pytest.mark.parametrize("prefix", ["", CIF2], ids=["cif1", "cif2"])
@pytest.mark.parametrize("body, tags", [
    ("_amcsd_database_code AMCSD#0010129 _f (OH)2&#x00A1;&#x00A4;27H2O",
     {"_amcsd_database_code": ["AMCSD#0010129"], "_f": ["(OH)2&#x00A1;&#x00A4;27H2O"]}),
    ("_a a# _b #c\n1", {"_a": ["a#"], "_b": ["1"]}),
    ("_T#1 x _t#2 y", {"_t#1": ["x"], "_t#2": ["y"]}),
    ("loop_ _a _b#\nw x#1 y#2 z# #c\nu v#\n#d\n",
     {"_a": ["w", "y#2", "u"], "_b#": ["x#1", "z#", "v#"]}),
    ("loop_ _a 'q'\nx#1\ny#2 z# #c\n", {"_a": ["q", "x#1", "y#2", "z#"]}),
], ids=["real_values", "word_end_and_comment", "tags", "loop_rows", "loop_after_quoted"])
def test_number_sign_in_words(prefix, body, tags):
    got, raw = stored(prefix + "data_x#1 " + body)
    assert got == tags
    assert raw["blocks"][0]["name"] == "x#1"
    assert raw["errors"] == []


@pytest.mark.parametrize("source, name, tags", [
    ("data_a save_F#1 _t#x v#w save_", "a", {}),
    ("data_A#B _t 1", "a#b", {"_t": ["1"]}),
    (CIF2 + "data_a#[b] _t [a#b c# [d#]] _u {'k#1':v#2 'k':w}", "a#[b]",
     {"_t": [["a#b", "c#", ["d#"]]], "_u": [{"k#1": "v#2", "k": "w"}]}),
    (CIF2 + "data_a loop_ _t [x#1 y#]#c\n'z'#d\n", "a", {"_t": [["x#1", "y#"], "z"]}),
])
def test_number_sign_in_names_and_containers(source, name, tags):
    got, raw = stored(source)
    assert raw["blocks"][0]["name"] == name and got == tags
    assert raw["errors"] == []


def test_number_sign_in_save_frame_name():
    raw = q.parse_raw("data_a save_F#1 _t#x v#w save_")
    (frame,) = raw["blocks"][0]["save_frames"]
    assert frame["name"] == "f#1" and frame["tags"] == {"_t#x": ["v#w"]}


# --------------------------------------------------------------------------
# A one-character "." or "?" stays bare only as a placeholder; every other
# kind of value stores it between double quotes (a text field as it is).
# CIF 1.1 reads three quotes as one STRING token (with an error).

KINDS = [
    # (written, CIF 1.1 stored, CIF 2.0 stored), for "?"; "." alike
    ("?", "?", "?"),
    ("'?'", '"?"', '"?"'),
    ('"?"', '"?"', '"?"'),
    ("'''?'''", '"?"', '"?"'),
    ('"""?"""', '"?"', '"?"'),
    ("\n;?\n;\n", "?", "?"),
]


@pytest.mark.parametrize("char", ["?", "."])
@pytest.mark.parametrize("prefix", ["", CIF2], ids=["cif1", "cif2"])
@pytest.mark.parametrize("where", ["scalar", "loop", "loop_after_word", "list"])
@pytest.mark.parametrize("written, cif1, cif2", KINDS, ids=[
    "placeholder", "single", "double", "triple_single", "triple_double", "text_field"])
def test_one_character_values(char, prefix, where, written, cif1, cif2):
    if where == "list" and not prefix:
        pytest.skip("no lists in CIF 1.1")
    value = written.replace("?", char)
    expected = (cif2 if prefix else cif1).replace("?", char)
    body = {"scalar": f"_g {value}\n",
            "loop": f"loop_ _g {value}\n",
            "loop_after_word": f"loop_ _g w {value}\n",
            "list": f"_g [{value}]\n"}[where]
    tags, _ = stored(prefix + "data_a\n" + body)
    want = {"scalar": [expected], "loop": [expected], "loop_after_word": ["w", expected],
            "list": [[expected]]}[where]
    assert tags == {"_g": want}
