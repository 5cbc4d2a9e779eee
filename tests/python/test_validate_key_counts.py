"""Single keys whose values are row numbers pass without their values
hashed: the cases at the edges of that (repeats, leading zeros, signs,
long counts, nulls) against the findings the full comparison gives, as
texts and as documents read; and items given twice under two names,
frame after frame and dictionary after dictionary."""

import pytest

import quarzel
from testdata import path

DDL2 = str(path("dict", "validate", "ddl2_test.dic"))

# One key per category, each comparing values its own way: exactly
# (char), folding case (uchar) and as numbers (numb).
KEYS = """data_keys.dic
_dictionary.title keys.dic
loop_
_item_type_list.code
_item_type_list.primitive_code
_item_type_list.construct
word   char  '[A-Za-z0-9_+.?-]+'
uword  uchar '[A-Za-z0-9_+.?-]+'
count  numb  '[+-]?[0-9]+'
"""
for _name, _type in (("word", "word"), ("uword", "uword"), ("cnt", "count")):
    KEYS += f"""save_{_name}
    _category.id {_name}
    _category.mandatory_code no
    _category_key.name '_{_name}.id'
save_
save__{_name}.id
    _item.name '_{_name}.id'
    _item.category_id {_name}
    _item.mandatory_code yes
    _item_type.code {_type}
save_
"""


@pytest.fixture(scope="module")
def keys_dic(tmp_path_factory):
    d = tmp_path_factory.mktemp("keys") / "keys.dic"
    d.write_text(KEYS)
    return str(d)


def duplicate_rows(report):
    return [(f.tags[0], f.row) for f in report.findings if f.code == "duplicate-key"]


def loop(category, values):
    return f"data_t\nloop_\n_{category}.id\n" + "".join(f"{v}\n" for v in values)


# (case, category, values, rows reported as duplicates)
COUNT_CASES = [
    ("rising counts", "word", ["1", "2", "3", "10", "11"], []),
    ("a count repeated at once", "word", ["1", "2", "2"], [2]),
    ("a count repeated later", "word", ["1", "2", "3", "1"], [3]),
    ("falling counts all different", "word", ["3", "2", "1"], []),
    ("zero first", "word", ["0", "1", "2"], []),
    ("zero twice", "cnt", ["0", "0"], [1]),
    ("a leading zero is another text", "word", ["1", "01"], []),
    ("a leading zero is the same number", "cnt", ["1", "2", "02"], [2]),
    ("a sign is the same number", "cnt", ["1", "+1"], [1]),
    ("folded counts", "uword", ["7", "8", "8"], [2]),
    ("fifteen digits and more, rising", "cnt",
     ["999999999999998", "999999999999999", "1000000000000000", "1000000000000001"], []),
    ("counts beyond a double's reach", "word",
     ["12345678901234567890", "12345678901234567891"], []),
    ("a null after counts", "word", ["1", "2", "?"], []),
    ("a quoted null after counts", "word", ["1", "2", "'?'", "'?'"], [3]),
    ("a count after a word", "word", ["a", "1", "2", "1"], [3]),
    ("one row", "word", ["5"], []),
]


@pytest.mark.parametrize("category,values,rows", [c[1:] for c in COUNT_CASES],
                         ids=[c[0] for c in COUNT_CASES])
@pytest.mark.parametrize("as_read", [False, True], ids=["text", "read"])
def test_single_count_keys(keys_dic, category, values, rows, as_read):
    text = loop(category, values)
    source = quarzel.read(text).cif if as_read else text
    assert duplicate_rows(quarzel.validate(source, keys_dic)) == [
        (f"_{category}.id", r) for r in rows]


ALIAS = "data_t\n_entry.id T1\n_site.id 1\n_site.part A\n_site.label alpha\n_site_pdb 1ABC\n"


def aliases(report):
    return [(f.block, list(f.tags)) for f in report.findings if f.code == "alias"]


# (case, documents in turn, each one's alias findings (block, tags))
ALIAS_CASES = [
    ("one frame", [ALIAS + "_site.pdb 1ABC\n"], [[("t", ["_site.pdb", "_site_pdb"])]]),
    ("the frame after one with the item given once",
     [ALIAS, ALIAS + "_site.pdb 2ABC\n"], [[], [("t", ["_site.pdb", "_site_pdb"])]]),
    ("an item given in one frame is not given in the next",
     [ALIAS + "_site.pdb 1ABC\n" + ALIAS.replace("data_t", "data_u")],
     [[("t", ["_site.pdb", "_site_pdb"])]]),
]


@pytest.mark.parametrize("texts,expected", [c[1:] for c in ALIAS_CASES],
                         ids=[c[0] for c in ALIAS_CASES])
def test_alias_positions_frame_after_frame(keys_dic, texts, expected):
    for text, want in zip(texts, expected):
        # A dictionary of other items in between: the items' numbers differ.
        assert aliases(quarzel.validate(text, keys_dic)) == []
        assert aliases(quarzel.validate(text, DDL2)) == want
        assert aliases(quarzel.validate(quarzel.read(text).cif, DDL2)) == want


CORE = str(path("dict", "ddl1", "cif_core.dic"))
DDL1_TEST = str(path("dict", "validate", "ddl1_test.dic"))
TAGS = ("data_t\n_cell_length_a 5.1\n_cell_length_b -2\n_cell_wrong 5\n_symmetry_cell_setting x\n"
        "loop_\n_atom_site_label\n_atom_site_fract_x\nC1 0.5\nC1 abc\n")


def as_found(report):
    return [(f.code, f.message, f.line, tuple(f.tags)) for f in report.findings]


# The items of a frame's tags are looked up again only when the tags or the
# rule set differ from the thread's last frame: a document checked after
# another one (before it, the text and dictionary given) is checked as if
# after a frame of other tags.
# (case, text before, its dictionary, text, dictionary)
LAYOUT_CASES = [
    ("the same tags under another dictionary", TAGS, CORE, TAGS, DDL1_TEST),
    ("the same tags under the dictionary again", TAGS, DDL1_TEST, TAGS, CORE),
    ("the same tags in another order", TAGS, CORE,
     TAGS.replace("_cell_length_b -2\n_cell_wrong 5\n", "_cell_wrong 5\n_cell_length_b -2\n"),
     CORE),
    ("one tag changed", TAGS, CORE, TAGS.replace("_cell_wrong 5", "_cell_volume -5"), CORE),
    ("one tag more", TAGS, CORE, TAGS.replace("data_t\n", "data_t\n_cell_volume -1\n"), CORE),
    ("one tag fewer", TAGS, CORE, TAGS.replace("_cell_wrong 5\n", ""), CORE),
]


@pytest.mark.parametrize("before,before_dic,text,dic", [c[1:] for c in LAYOUT_CASES],
                         ids=[c[0] for c in LAYOUT_CASES])
def test_tag_items_document_after_document(before, before_dic, text, dic):
    quarzel.validate(before, before_dic)
    after_same = as_found(quarzel.validate(text, dic))
    quarzel.validate("data_other\n_other_tag 1\n", dic)
    assert after_same == as_found(quarzel.validate(text, dic))
    assert after_same  # findings to compare
