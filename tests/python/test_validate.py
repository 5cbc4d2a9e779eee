"""Validation against dictionaries: one table of cases per DDL and check
kind, with the small dictionaries written for these tests
(tests/data/dict/validate/), then positions, reports and bad input."""

import os
import shutil

import pytest

import quarzel
from quarzel import DictionaryError
from testdata import path

DDL1 = str(path("dict", "validate", "ddl1_test.dic"))
DDL2 = str(path("dict", "validate", "ddl2_test.dic"))
DDLM = str(path("dict", "validate", "ddlm_test.dic"))


def found(dictionary, text, **options):
    """(code, first tag, row) of each finding about the document."""
    report = quarzel.validate(text, dictionary, **options)
    return [(f.code, f.tags[0] if f.tags else None, f.row)
            for f in report.findings if f.code != "dictionary"]


ENTRY = "data_t\n_entry.id T1\n"


def site_loop(*rows, tags=("id", "part", "label")):
    head = "loop_\n" + "".join(f"_site.{t}\n" for t in tags)
    return ENTRY + head + "".join(" ".join(r) + "\n" for r in rows)


# ---- DDL2 ----

DDL2_CASES = [
    ("clean", site_loop(("1", "A", "alpha"), ("2", "A", "beta")), {}, []),
    ("int construct", site_loop(("x1", "A", "alpha")), {}, [("type", "_site.id", 0)]),
    ("case-sensitive enumeration of a char type",
     site_loop(("1", "A", "Alpha")), {}, [("enumeration", "_site.label", 0)]),
    ("case-insensitive enumeration of a uchar type",
     site_loop(("1", "A", "alpha", "atom"), ("2", "A", "beta", "ION"),
               tags=("id", "part", "label", "kind")), {}, [("enumeration", "_site.kind", 1)]),
    ("exclusive range, equal bounds allow the value",
     site_loop(*[(str(i), "A", "alpha", v) for i, v in
                 enumerate(["0.0", "1.0", "0.5(1)", "1.5", "-0.1", "1.00001"])],
               tags=("id", "part", "label", "occupancy")), {},
     [("range", "_site.occupancy", 3), ("range", "_site.occupancy", 4),
      ("range", "_site.occupancy", 5)]),
    ("open upper bound, exclusive lower bound",
     site_loop(("1", "A", "alpha", "0.0"), ("2", "A", "alpha", "99"),
               tags=("id", "part", "label", "b_iso")), {}, [("range", "_site.b_iso", 0)]),
    ("mandatory item", site_loop(("1", "A"), tags=("id", "part")), {},
     [("mandatory", "_site.label", None)]),
    ("key item reported once, not also as mandatory",
     site_loop(("A", "alpha"), tags=("part", "label")), {}, [("key", "_site.id", None)]),
    ("implicit item may be left out", site_loop(("1", "A", "alpha")), {}, []),
    ("duplicate composite key", site_loop(("1", "A", "alpha"), ("1", "B", "alpha"),
                                          ("1", "A", "beta")), {},
     [("duplicate-key", "_site.id", 2)]),
    ("keys compare as numbers for numb types", site_loop(("1", "A", "alpha"),
                                                         ("01", "A", "beta")), {},
     [("duplicate-key", "_site.id", 1)]),
    ("mandatory category", "data_t\n_site.id 1\n_site.part A\n_site.label alpha\n", {},
     [("mandatory", None, None)]),
    ("links are off by default", ENTRY + "_residue.name GLY\n_residue.num 1\n"
     "_residue.entry_id T9\n", {}, []),
    ("links on: a missing parent", ENTRY + "_residue.name GLY\n_residue.num 1\n"
     "_residue.entry_id T9\n", {"links": True}, [("link", "_residue.entry_id", None)]),
    ("link group matched ignoring case and as numbers",
     site_loop(("1", "A", "alpha", "gly", "7"), tags=("id", "part", "label", "res_name",
                                                     "res_num"))
     + "loop_\n_residue.name\n_residue.num\nGLY 07\n", {"links": True}, []),
    ("link group: one finding for all rows",
     site_loop(("1", "A", "alpha", "ALA", "7"), ("2", "A", "beta", "SER", "8"),
               ("3", "A", "beta", "GLY", "7"),
               tags=("id", "part", "label", "res_name", "res_num"))
     + "loop_\n_residue.name\n_residue.num\nGLY 07\n", {"links": True},
     [("link", "_site.res_name", 0)]),
    ("a null component matches any parent",
     site_loop(("1", "A", "alpha", "GLY", "?"), tags=("id", "part", "label", "res_name",
                                                     "res_num"))
     + "loop_\n_residue.name\n_residue.num\nGLY 7\n", {"links": True}, []),
    ("deprecated item", site_loop(("1", "A", "alpha", "x"), tags=("id", "part", "label",
                                                                  "old_kind")), {},
     [("deprecated", "_site.old_kind", None)]),
    ("a construct that does not compile checks nothing",
     site_loop(("1", "A", "alpha", "anything"), tags=("id", "part", "label", "code")), {}, []),
    ("construct with an interval", site_loop(("1", "A", "alpha", "1ABC"),
                                             ("2", "A", "alpha", "1AB"),
                                             tags=("id", "part", "label", "pdb")), {},
     [("type", "_site.pdb", 1)]),
    ("alias checked as its item", ENTRY + "_site.id 1\n_site.part A\n_site.label alpha\n"
     "_site_pdb 0XYZ\n", {}, [("type", "_site_pdb", None)]),
    ("date construct", site_loop(("1", "A", "alpha", "2020-1-05"),
                                 ("2", "A", "alpha", "2020/01/05"),
                                 tags=("id", "part", "label", "date")), {},
     [("type", "_site.date", 1)]),
    ("text construct spans lines, ASCII only",
     ENTRY + "_site.id 1\n_site.part A\n_site.label alpha\n_site.note\n;two\nlines\n;\n", {},
     []),
    ("text construct refuses other characters",
     ENTRY + "_site.id 1\n_site.part A\n_site.label alpha\n_site.note 'caf\u00e9'\n", {},
     [("type", "_site.note", None)]),
    ("a quoted ? is a value, a bare one is not",
     site_loop(("1", "A", "alpha", "?"), ("2", "A", "alpha", "'?'"),
               tags=("id", "part", "label", "b_iso")), {}, [("type", "_site.b_iso", 1)]),
    ("a loop of two categories", ENTRY + "loop_\n_site.id\n_residue.name\n1 GLY\n", {},
     [("mandatory", "_site.label", None), ("key", "_site.part", None),
      ("loop-category", "_site.id", None), ("key", "_residue.num", None)]),
    ("a category split between a loop and single items",
     ENTRY + "_site.label alpha\nloop_\n_site.id\n_site.part\n1 A\n", {},
     [("loop-category", "_site.label", None)]),
    ("unknown and local names", ENTRY + "_unknown.thing 1\n_[local]_thing 2\n", {},
     [("unknown", "_unknown.thing", None), ("unknown", "_[local]_thing", None)]),
    ("deposition profile: _pdbx_item_enumeration",
     site_loop(("1", "A", "alpha", "HETATM"), tags=("id", "part", "label", "kind")),
     {"profile": "deposition"}, [("enumeration", "_site.kind", 0)]),
    ("without the profile the dictionary's own enumeration",
     site_loop(("1", "A", "alpha", "HETATM"), tags=("id", "part", "label", "kind")), {}, []),
]


@pytest.mark.parametrize("text, options, expected",
                         [c[1:] for c in DDL2_CASES], ids=[c[0] for c in DDL2_CASES])
def test_ddl2(text, options, expected):
    assert found(DDL2, text, **options) == expected


# ---- DDL1 ----

DDL1_CASES = [
    ("su allowed by _type_conditions", "data_t\n_cell_length_a 5.6402(3)\n", {}, []),
    ("su refused without it", "data_t\n_cell_formula_units_Z 4(1)\n", {},
     [("su", "_cell_formula_units_z", None)]),
    ("numb", "data_t\n_cell_length_a abc\n", {}, [("type", "_cell_length_a", None)]),
    ("numeric range, open end", "data_t\n_cell_length_a -1\n_cell_formula_units_Z 0\n", {},
     [("range", "_cell_length_a", None), ("range", "_cell_formula_units_z", None)]),
    ("enumeration is case-sensitive", "data_t\n_cell_setting Cubic\n", {},
     [("enumeration", "_cell_setting", None)]),
    ("ignore_case option", "data_t\n_cell_setting Cubic\n", {"ignore_case": True}, []),
    ("character range", "data_t\n_cell_centring P\n_cell_code 12-AB\n", {}, []),
    ("character range refuses", "data_t\n_cell_centring p\n", {},
     [("range", "_cell_centring", None)]),
    ("construct", "data_t\n_cell_code AB\n", {}, [("type", "_cell_code", None)]),
    ("_list yes given once", "data_t\n_site_label C1\n", {}, [("not-looped", "_site_label", None)]),
    ("_list no, and by default", "data_t\nloop_\n_cell_single\n_cell_setting\nx cubic\n", {},
     [("looped", "_cell_single", None), ("looped", "_cell_setting", None)]),
    ("_list_reference", "data_t\nloop_\n_site_x\n0.1\n", {}, [("key", "_site_label", None)]),
    ("_list_reference to a family, reported once",
     "data_t\nloop_\n_site_label\nC1\nloop_\n_bond_site_1\n_bond_distance\nC1 1.5\n", {},
     [("key", "_bond_site_2", None)]),
    ("_list_mandatory: the others of its definition",
     "data_t\nloop_\n_site_label\nC1\nloop_\n_bond_site_1\nC1\n", {},
     [("mandatory", "_bond_site_2", None)]),
    ("a category may span loops", "data_t\nloop_\n_site_label\n_site_x\nC1 0.1\n"
     "loop_\n_site_old\nx\ny\n", {}, [("deprecated", "_site_old", None)]),
    ("the items referred to are the loop's key",
     "data_t\nloop_\n_site_label\n_site_x\nC1 0.1\nC1 0.2\n", {},
     [("duplicate-key", "_site_label", 1)]),
    ("_list_uniqueness", "data_t\nloop_\n_site_label\n_site_type\nC1 a\nC1 b\nC1 a\n", {},
     [("duplicate-key", "_site_type", 2)]),
    ("_list_link_parent (on by default)",
     "data_t\nloop_\n_site_label\nC1\nloop_\n_bond_site_1\n_bond_site_2\nC1 C9\n", {},
     [("link", "_bond_site_2", 0)]),
    ("links turned off",
     "data_t\nloop_\n_site_label\nC1\nloop_\n_bond_site_1\n_bond_site_2\nC1 C9\n",
     {"links": False}, []),
    ("numbers compare as numbers in enumerations",
     "data_t\nloop_\n_site_label\n_site_flag\nC1 1.0\nC2 3\n", {},
     [("enumeration", "_site_flag", 1)]),
    ("replaced item", "data_t\n_site_old x\n", {}, [("deprecated", "_site_old", None)]),
    ("local names are information", "data_t\n_[local]_x 1\n", {},
     [("unknown", "_[local]_x", None)]),
]


@pytest.mark.parametrize("text, options, expected",
                         [c[1:] for c in DDL1_CASES], ids=[c[0] for c in DDL1_CASES])
def test_ddl1(text, options, expected):
    assert found(DDL1, text, **options) == expected


# ---- DDLm ----

CIF2 = "#\\#CIF_2.0\ndata_t\n"

DDLM_CASES = [
    ("range widened by the su", CIF2 + "_cell.length_a 0.9(1)\n", {}, []),
    ("out of range even widened", CIF2 + "_cell.length_a 0.5(1)\n", {},
     [("range", "_cell.length_a", None)]),
    ("su multiplier", CIF2 + "_cell.length_a 0.9(1)\n", {"su_multiplier": 0.5},
     [("range", "_cell.length_a", None)]),
    ("su only for measurands", CIF2 + "_cell.volume 100(2)\n", {},
     [("su", "_cell.volume", None)]),
    ("Count, Index, Integer",
     CIF2 + "_cell.z -1\n_cell.n 0\n_cell.k 1.5\n", {},
     [("type", "_cell.z", None), ("type", "_cell.n", None), ("type", "_cell.k", None)]),
    ("numeric enumeration", CIF2 + "_cell.k 04\n", {}, []),
    ("Code enumerations ignore case", CIF2 + "_cell.system CUBIC\n", {}, []),
    ("Text enumerations do not", CIF2 + "_cell.note yes\n", {},
     [("enumeration", "_cell.note", None)]),
    ("Date, Version, Tag", CIF2 + "_cell.date 2021-02-29\n_cell.version 1.2.x\n_cell.tag abc\n",
     {}, [("type", "_cell.date", None), ("type", "_cell.version", None),
          ("type", "_cell.tag", None)]),
    ("list dimension", CIF2 + "_cell.vector [1 2]\n", {}, [("container", "_cell.vector", None)]),
    ("list element form", CIF2 + "_cell.vector [1 2 x]\n", {}, [("type", "_cell.vector", None)]),
    ("a single value where a list is wanted", CIF2 + "_cell.vector 1.0\n", {},
     [("container", "_cell.vector", None)]),
    ("matrix", CIF2 + "_cell.matrix [[1 2] [3 4]]\n", {}, []),
    ("matrix dimension", CIF2 + "_cell.matrix [[1 2 3] [4 5 6]]\n", {},
     [("container", "_cell.matrix", None)]),
    ("table values", CIF2 + "_cell.table {'a':1 'b':x}\n", {}, [("type", "_cell.table", None)]),
    ("a list where a table is wanted", CIF2 + "_cell.table [1 2]\n", {},
     [("container", "_cell.table", None)]),
    ("a list where a single value is wanted", CIF2 + "_cell.z [1]\n", {},
     [("container", "_cell.z", None)]),
    ("ByReference", CIF2 + "_cell.copy -3\n", {}, [("type", "_cell.copy", None)]),
    ("imported form", CIF2 + "_cell.imported 2_555\n_cell.n x\n", {},
     [("type", "_cell.n", None)]),
    ("imported form refuses", CIF2 + "_cell.imported x\n", {},
     [("type", "_cell.imported", None)]),
    ("a Set category may not be looped", CIF2 + "loop_\n_cell.z\n1\n2\n", {},
     [("looped", "_cell.z", None)]),
    ("keys of a loop; a key with a default may be left out",
     CIF2 + "loop_\n_site.label\n_site.x\nC1 0.1\nC2 0.2\n", {}, []),
    ("a missing key", CIF2 + "loop_\n_site.part\n_site.x\n1 0.1\n2 0.2\n", {},
     [("key", "_site.label", None)]),
    ("a single row needs no key", CIF2 + "_site.x 0.1\n", {}, []),
    ("duplicate composite key", CIF2 + "loop_\n_site.label\n_site.part\nC1 1\nc1 1\n", {},
     [("duplicate-key", "_site.label", 1)]),
    ("aliases: DDL1 names", CIF2 + "_cell_length_a abc\n", {},
     [("type", "_cell_length_a", None)]),
    ("an item and its alias both given", CIF2 + "_cell_length_a 5\n_cell.length_a 5\n", {},
     [("alias", "_cell.length_a", None)]),
    ("replaced definition", CIF2 + "_cell.old x\n", {}, [("deprecated", "_cell.old", None)]),
    ("an su item: never negative", CIF2 + "_cell.length_a 5.1\n_cell.length_a_su -0.1\n", {},
     [("su", "_cell.length_a_su", None)]),
    ("an su given twice", CIF2 + "_cell.length_a 5.1(2)\n_cell.length_a_su 0.2\n", {},
     [("su", "_cell.length_a_su", None)]),
    ("an su in its own item", CIF2 + "_cell.length_a 5.1\n_cell.length_a_su 0.2\n", {}, []),
    ("links (Code values compare ignoring case)",
     CIF2 + "loop_\n_site.label\nC1\nloop_\n_bond.site_1\n_bond.site_2\nc1 C2\n", {},
     [("link", "_bond.site_2", 0)]),
]


@pytest.mark.parametrize("text, options, expected",
                         [c[1:] for c in DDLM_CASES], ids=[c[0] for c in DDLM_CASES])
def test_ddlm(text, options, expected):
    assert found(DDLM, text, **options) == expected


# ---- positions, severities and the report ----

POSITION_CASES = [
    # a bare value, a quoted one (its quote), a text field (its semicolon)
    ("data_t\n_cell_length_a abc\n", ("type", 2, 16)),
    ("data_t\n_cell_length_a   'abc'\n", ("type", 2, 18)),
    ("data_t\n_cell_length_a\n;abc\n;\n", ("type", 3, 1)),
    # the row of a loop; a tag when no value is at fault
    ("data_t\nloop_\n_site_label\n_site_flag\nC1 1\nC2 9\n", ("enumeration", 6, 4)),
    ("data_t\n  _cell_single x\nloop_ _cell_setting cubic\n", ("looped", 3, 7)),
    # a list (its bracket), after a line of non-ASCII text
    ("#\\#CIF_2.0\ndata_t\n_x '\u00e9\u00e9'\n_cell_length_a [1]\n", ("container", 4, 16)),
]


@pytest.mark.parametrize("text, expected", POSITION_CASES)
def test_positions(text, expected):
    dictionary = DDLM if text.startswith("#\\#CIF_2.0") else DDL1
    report = quarzel.validate(text, dictionary)
    code, line, column = expected
    hits = [(f.line, f.column) for f in report.findings if f.code == code]
    assert hits == [(line, column)]


def test_report_fields():
    report = quarzel.validate(site_loop(("x", "A", "alpha")) + "_odd.name 1\n", DDL2)
    kinds = {f.code: f for f in report}
    t = kinds["type"]
    assert (t.severity, t.block, t.frame, t.category, t.tags, t.value, t.row) == (
        "error", "t", None, "site", ("_site.id",), "x", 0)
    assert (t.rule, t.dictionary) == ("_item_type_list.construct", "test_ddl2.dic 1.0")
    assert kinds["unknown"].severity == "warning"
    assert report.counts == {"error": 3, "warning": 1, "info": 0}  # two dictionary faults
    assert not report.ok
    assert [f.code for f in report][:2] == ["dictionary", "dictionary"]
    table = report.to_arrow()
    assert table.num_rows == len(report) and table.column("tags").to_pylist()[2] == ["_site.id"]


def test_ok_and_info():
    report = quarzel.validate("data_t\n_[local]_x 1\n", DDLM)
    assert report.ok and report.counts == {"error": 0, "warning": 0, "info": 1}
    assert [(f.code, f.severity) for f in report] == [("unknown", "info")]


def test_sources_agree(tmp_path):
    text = site_loop(("x", "A", "alpha"))
    file = tmp_path / "t.cif"
    file.write_text(text)
    by_text = [(f.code, f.row) for f in quarzel.validate(text, DDL2)]
    by_path = quarzel.validate(file, DDL2)
    by_model = quarzel.validate(quarzel.read(text).cif, DDL2)
    by_raw = quarzel.validate(__import__("quarzel_core").parse_raw(text), DDL2)
    assert [(f.code, f.row) for f in by_path] == by_text
    assert by_path.source == str(file)
    for report in (by_model, by_raw):
        assert [(f.code, f.row) for f in report] == by_text
        assert all(f.line == 0 for f in report)  # no text of the user's to point into


def test_dictionary_objects_and_lists(tmp_path):
    local = tmp_path / "local.dic"
    local.write_text("data_on_this_dictionary\n_dictionary_name local.dic\n"
                     "data_cell_setting\n_name '_cell_setting'\n_category cell\n_type char\n")
    text = "data_t\n_cell_setting Cubic\n_cell_code AB\n"
    # The later dictionary redefines _cell_setting without an enumeration.
    assert found([DDL1, str(local)], text) == [("type", "_cell_code", None)]
    d = quarzel.Dictionary([DDL1, local])
    assert d.paths == [DDL1, str(local)]
    assert [(f.code, f.tags) for f in d.validate(text) if f.code != "dictionary"] == [
        ("type", ("_cell_code",))]
    assert found(quarzel.Dictionary(DDL1), text) == [("enumeration", "_cell_setting", None),
                                                      ("type", "_cell_code", None)]


def test_reader_errors_stay_apart():
    report = quarzel.validate("data_t\n_cell_length_a\nloop_\n_site_label\nC1\n", DDL1)
    assert [e.error_type for e in report.errors] == ["syntactic"]
    assert all(f.code != "syntactic" for f in report)


# ---- dictionaries that are not, or are faulty ----

def test_not_a_dictionary(tmp_path):
    plain = tmp_path / "plain.cif"
    plain.write_text("data_x\n_cell.length_a 5\n")
    with pytest.raises(DictionaryError, match="plain.cif: not a dictionary"):
        quarzel.validate("data_t\n", plain)
    with pytest.raises(DictionaryError, match="missing.dic: cannot read"):
        quarzel.validate("data_t\n", tmp_path / "missing.dic")


def test_dictionary_faults_are_findings():
    ddl2 = [f.message for f in quarzel.validate("data_t\n", DDL2) if f.code == "dictionary"]
    assert any("no_such_type" in m and "save__site.strange" in m for m in ddl2)
    assert any("'[A-Z'" in m and "_site.code" in m for m in ddl2)
    ddl1 = [f.message for f in quarzel.validate("data_t\n", DDL1) if f.code == "dictionary"]
    assert ddl1 == ["data_cell_wrong: _enumeration_range '5' of _cell_wrong has no ':'"]


def _ddlm_copy(tmp_path, template):
    shutil.copy(DDLM, tmp_path / "d.dic")
    if template is not None:
        (tmp_path / "templ_test.cif").write_text(template)
    return tmp_path / "d.dic"


def test_import_not_found(tmp_path):
    d = _ddlm_copy(tmp_path, None)
    with pytest.raises(DictionaryError, match=r"d.dic, save frame cell.imported: imported "
                                              r"file 'templ_test.cif' not found"):
        quarzel.validate("data_t\n", d)


def test_import_cycle(tmp_path):
    d = _ddlm_copy(tmp_path, "#\\#CIF_2.0\ndata_T\nsave_symop_template\n"
                   "_import.get [{'file':templ_test.cif 'save':symop_template}]\nsave_\n")
    with pytest.raises(DictionaryError, match="cycle of imports"):
        quarzel.validate("data_t\n", d)


def test_rules_are_compiled_once(monkeypatch):
    from quarzel import _rules

    quarzel.validate("data_t\n", DDL1)
    calls = []
    monkeypatch.setattr(_rules, "_compile", lambda *a: calls.append(a))
    quarzel.validate("data_t\n_cell_length_a 1\n", DDL1)
    assert calls == []


def test_changed_dictionary_is_compiled_again(tmp_path):
    d = tmp_path / "d.dic"
    shutil.copy(DDL1, d)
    assert found(str(d), "data_t\n_cell_setting Cubic\n") == [
        ("enumeration", "_cell_setting", None)]
    text = d.read_text().replace("triclinic monoclinic orthorhombic cubic", "Cubic")
    d.write_text(text)
    os.utime(d, ns=(1, 1))
    assert found(str(d), "data_t\n_cell_setting Cubic\n") == []


EXTENSION = """data_ext.dic
_dictionary.title ext.dic
loop_
_item_type_list.code
_item_type_list.primitive_code
_item_type_list.construct
code char '[A-Za-z0-9_]+'
save_ext
    _category.id ext
    _category.mandatory_code no
    _category_key.name '_ext.id'
save_
save__ext.id
    _item.name '_ext.id'
    _item.category_id ext
    _item.mandatory_code yes
    _item_type.code code
save_
save__ext.entry_id
    _item.name '_ext.entry_id'
    _item.category_id ext
    _item.mandatory_code no
    _item_type.code code
    _item_linked.child_name '_ext.entry_id'
    _item_linked.parent_name '_entry.id'
save__site.kind
    _item.name '_site.kind'
    _item.category_id site
    _item.mandatory_code no
    _item_type.code code
save_
"""


def test_ddl2_extension_dictionary(tmp_path):
    ext = tmp_path / "ext.dic"
    ext.write_text(EXTENSION)
    text = site_loop(("1", "A", "alpha", "HETATM2"), tags=("id", "part", "label", "kind")) + \
        "_ext.id e1\n_ext.entry_id T9\n"
    # The extension's link names an item of the base dictionary; its
    # definition of _site.kind replaces the base's (no enumeration).
    assert found([DDL2, str(ext)], text, links=True) == [("link", "_ext.entry_id", None)]
    assert found([DDL2, str(ext)], text) == []
    assert ("enumeration", "_site.kind", 0) in found(DDL2, text)
    alone = [f.message for f in quarzel.validate("data_t\n", ext) if f.code == "dictionary"]
    assert sorted(alone) == ["category site is not defined (its items name it)",
                             "linked item _entry.id is not defined"]
    combined = quarzel.validate("data_t\n", [DDL2, str(ext)])
    assert not any("is not defined" in f.message and "type code" not in f.message
                   for f in combined if f.code == "dictionary")
