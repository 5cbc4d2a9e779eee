"""quarzel.Dictionary: DDL1, DDL2 and DDLm dictionaries, DDLm imports, and
how their types agree with PyCifRW and with the dictionaries' own type
lists."""

import textwrap

import pytest

import quarzel
import testdata
from quarzel import Dictionary, DictionaryError

DDLM_CORE = str(testdata.path("dict", "ddlm", "cif_core-3_0_07.dic"))
DDLM_REFERENCE = str(testdata.path("dict", "ddlm", "ddl.dic"))
DDL1_CORE = str(testdata.path("dict", "ddl1", "cif_core.dic"))
PDBX = str(testdata.path("cif1", "mmcif_pdbx_v40.dic"))


@pytest.fixture(scope="module")
def ddlm_core():
    return Dictionary(DDLM_CORE)


@pytest.fixture(scope="module")
def pdbx():
    return Dictionary(PDBX)


@pytest.fixture(scope="module")
def ddl1_core():
    return Dictionary(DDL1_CORE)


# ---- the real dictionaries ----

@pytest.mark.parametrize("fixture,name,want", [
    ("ddlm_core", "_atom_site.fract_x",
     dict(name="_atom_site.fract_x", category="atom_site", looped=True, type="real")),
    ("ddlm_core", "_ATOM_SITE_FRACT_X", dict(name="_atom_site.fract_x", type="real")),
    ("ddlm_core", "_cell.length_a",
     dict(looped=False, type="real", units="angstroms", range=(1.0, None))),
    ("ddlm_core", "_refln.index_h", dict(type="integer", looped=True)),
    # type from the template file through _import.get (Contents)
    ("ddlm_core", "_diffrn_orient_matrix.UB_11",
     dict(type="real", type_code="Real", category="diffrn_orient_matrix")),
    ("ddlm_core", "_diffrn_orient_matrix.UB[1][1]", dict(name="_diffrn_orient_matrix.UB_11")),
    ("ddlm_core", "_atom_site.label", dict(type="text")),
    ("ddl1_core", "_atom_site_fract_x",
     dict(category="atom_site", looped=True, type="real", type_code="numb")),
    ("ddl1_core", "_atom_site_label", dict(type="text")),
    ("ddl1_core", "_cell_length_a", dict(looped=False, type="real", range=(0.0, None))),
    ("pdbx", "_atom_site.Cartn_x", dict(type="real", type_code="float", looped=True)),
    ("pdbx", "_atom_site_fract_x", dict(name="_atom_site.fract_x")),
    ("pdbx", "_refln.index_h", dict(type="integer", type_code="int")),
    # no type of its own: lent by the parent frame that lists it
    ("pdbx", "_atom_site.label_asym_id", dict(type="text", category="atom_site")),
    ("pdbx", "_refln.symmetry_epsilon", dict(type="integer", range=(1, 48))),
])
def test_definitions(request, fixture, name, want):
    d = request.getfixturevalue(fixture)
    assert name in d
    definition = d[name]
    for attribute, value in want.items():
        assert getattr(definition, attribute) == value, attribute


@pytest.mark.parametrize("fixture,name,values", [
    ("ddlm_core", "_atom_site.adp_type", {"Uani", "Uiso", "Bani", "Biso"}),
    ("ddl1_core", "_atom_site_adp_type", {"Uani", "Uiso"}),
    ("pdbx", "_atom_site.group_PDB", {"ATOM", "HETATM"}),
])
def test_enumerations(request, fixture, name, values):
    assert values <= set(request.getfixturevalue(fixture)[name].enumeration)


@pytest.mark.parametrize("fixture", ["ddlm_core", "ddl1_core", "pdbx"])
def test_undefined_names_and_iteration(request, fixture):
    d = request.getfixturevalue(fixture)
    with pytest.raises(KeyError):
        d["_no_such.item"]
    assert "_no_such.item" not in d and 5 not in d
    assert d.get("_no_such.item") is None
    names = list(d)
    assert len(names) == len(d) > 500
    assert all(d[n].name == n for n in names)
    assert all(d[n].type in ("integer", "real", "text") for n in names)


def test_ddlm_core_types_agree_with_pycifrw(ddlm_core):
    CifFile = pytest.importorskip("CifFile")
    theirs = CifFile.CifDic(DDLM_CORE, do_dREL=False, verbose_import=False,
                            verbose_validation=False)
    compared = 0
    for key in theirs.keys():
        frame = theirs[key]
        if str(frame.get("_definition.scope", "Item")).lower() != "item":
            continue
        name = frame["_definition.id"]
        contents = frame.get("_type.contents")
        container = frame.get("_type.container", "Single")
        if container != "Single" or contents is None:
            want = "text"
        else:
            want = {"Real": "real", "Integer": "integer", "Count": "integer",
                    "Index": "integer"}.get(contents, "text")
        ours = ddlm_core[name]
        assert (ours.type, ours.type_code) == (want, contents), name
        assert ours.category == frame["_name.category_id"].lower(), name
        compared += 1
    assert compared == len(ddlm_core)


def test_pdbx_type_codes_as_written_and_numeric_by_the_type_list(pdbx):
    gemmi = pytest.importorskip("gemmi")
    doc = gemmi.cif.read_file(PDBX)
    block = doc.sole_block()
    primitive = dict(zip(block.find_loop("_item_type_list.code"),
                         block.find_loop("_item_type_list.primitive_code")))
    numeric_codes = {c for c, p in primitive.items() if p == "numb"}
    assert {"int", "float"} <= numeric_codes
    checked = set()
    for frame in block:
        if frame.frame is None:
            continue
        code = frame.frame.find_value("_item_type.code")
        own = frame.frame.name
        if code is None or own.lower() not in pdbx:
            continue
        definition = pdbx[own]
        assert definition.type_code == gemmi.cif.as_string(code), own
        assert (definition.type != "text") == (definition.type_code in numeric_codes), own
        checked.add(definition.type_code)
    assert numeric_codes & checked and len(checked) > 10
    assert pdbx["_refln.index_h"].type == "integer" and pdbx["_refln.F_meas"].type == "real"


def test_ddlm_reference_dictionary_imports_its_enumerations():
    d = Dictionary(DDLM_REFERENCE)
    assert d["_type.contents"].category == "type"
    assert "Real" in d["_type.contents"].enumeration
    # the units codes come from templ_enum.cif
    assert {"none", "metres", "angstroms"} <= set(d["_units.code"].enumeration)


# ---- DDLm imports, on small files ----

HEAD = """\
#\\#CIF_2.0
data_TEST_DIC
_dictionary.title TEST_DIC
save_TEST_HEAD
_definition.id TEST_HEAD
_definition.scope Category
_definition.class Head
save_
save_thing
_definition.id THING
_definition.scope Category
_definition.class Loop
_name.category_id TEST_HEAD
save_
"""

TEMPLATES = """\
#\\#CIF_2.0
data_TEMPL
save_length
_type.contents Real
_type.container Single
_units.code angstroms
_enumeration.range 0.0:
_description.text 'template text'
save_
save_count
_type.contents Count
_import.get [{'file':more.cif 'save':counted}]
save_
"""

MORE = """\
#\\#CIF_2.0
data_MORE
save_counted
_units.code none
_enumeration.range 1:10
save_
"""


def write(folder, name, text):
    path = folder / name
    path.write_text(textwrap.dedent(text), encoding="utf-8")
    return str(path)


def item(name, *lines):
    return "\n".join([f"save_thing.{name}", f"_definition.id '_thing.{name}'",
                      "_name.category_id thing", f"_name.object_id {name}", *lines, "save_", ""])


def test_contents_import_from_folder_and_search_path(tmp_path):
    other = tmp_path / "lib"
    other.mkdir()
    write(other, "templ.cif", TEMPLATES)
    write(other, "more.cif", MORE)
    main = write(tmp_path, "main.dic", HEAD
                 + item("a", "_import.get [{'file':templ.cif 'save':length}]",
                        "_description.text 'own text'")
                 + item("n", "_import.get [{'save':count 'file':templ.cif}]")
                 + item("u", "_import.get [{'file':templ.cif 'save':length 'dupl':Replace}]",
                        "_units.code metres")
                 + item("plain", "_type.contents Text"))
    with pytest.raises(DictionaryError, match=r"main\.dic, save frame thing\.a.*templ\.cif"):
        Dictionary(main)
    d = Dictionary(main, search_paths=[other])
    a = d["_THING.A"]
    assert (a.type, a.units, a.range, a.looped, a.category) == (
        "real", "angstroms", (0.0, None), True, "thing")
    n = d["_thing.n"]  # an import inside an imported frame
    assert (n.type, n.units, n.range) == ("integer", "none", (1, 10))
    assert d["_thing.u"].units == "angstroms"
    assert d["_thing.plain"].type == "text"
    assert list(d) == ["_thing.a", "_thing.n", "_thing.u", "_thing.plain"]


def test_full_import_adds_the_children_under_the_importing_category(tmp_path):
    write(tmp_path, "extra.dic", """\
        #\\#CIF_2.0
        data_EXTRA
        save_EXTRA_HEAD
        _definition.id EXTRA_HEAD
        _definition.scope Category
        _definition.class Head
        save_
        save_gadget
        _definition.id GADGET
        _definition.scope Category
        _definition.class Loop
        _name.category_id EXTRA_HEAD
        save_
        save_gadget.size
        _definition.id '_gadget.size'
        _name.category_id gadget
        _type.contents Real
        save_
        """)
    main = write(tmp_path, "main.dic", HEAD.replace(
        "_definition.class Head\n",
        "_definition.class Head\n_import.get [{'file':extra.dic 'save':EXTRA_HEAD "
        "'mode':Full}]\n"))
    d = Dictionary(main)
    size = d["_gadget.size"]
    assert (size.type, size.category, size.looped) == ("real", "gadget", True)


@pytest.mark.parametrize("spec,message", [
    ("{'file':nowhere.cif 'save':length}", r"save frame thing\.a: imported file 'nowhere\.cif'"
                                           r" not found"),
    ("{'file':templ.cif 'save':nothing}", r"save frame thing\.a: imported file 'templ\.cif' "
                                          r"has no save frame 'nothing'"),
    ("{'file':templ.cif}", r"needs 'file' and 'save'"),
    ("{'file':templ.cif 'save':length 'mode':Sideways}", r"unknown import mode"),
    ("{'file':bad.cif 'save':length}", r"cannot import 'bad\.cif'"),
])
def test_unresolvable_imports_name_file_and_frame(tmp_path, spec, message):
    write(tmp_path, "templ.cif", TEMPLATES)
    write(tmp_path, "more.cif", MORE)
    (tmp_path / "bad.cif").write_bytes(b"data_x\n_a \xff\xfe\n")
    main = write(tmp_path, "main.dic", HEAD + item("a", f"_import.get [{spec}]"))
    with pytest.raises(DictionaryError, match=r"main\.dic.*" + message):
        Dictionary(main)


def test_missing_import_may_be_ignored(tmp_path):
    main = write(tmp_path, "main.dic", HEAD + item(
        "a", "_import.get [{'file':nowhere.cif 'save':x 'miss':Ignore}]", "_type.contents Real"))
    assert Dictionary(main)["_thing.a"].type == "real"


@pytest.mark.parametrize("files", [
    # a -> b -> a through Contents imports
    {"a.cif": "data_A\nsave_x\n_import.get [{'file':b.cif 'save':y}]\nsave_\n",
     "b.cif": "data_B\nsave_y\n_import.get [{'file':a.cif 'save':x}]\nsave_\n"},
    # a frame importing itself
    {"a.cif": "data_A\nsave_x\n_import.get [{'file':a.cif 'save':x}]\nsave_\n"},
])
def test_cycles_of_contents_imports(tmp_path, files):
    for name, text in files.items():
        write(tmp_path, name, "#\\#CIF_2.0\n" + text)
    main = write(tmp_path, "main.dic", HEAD + item("a", "_import.get [{'file':a.cif 'save':x}]"))
    with pytest.raises(DictionaryError, match="cycle of imports"):
        Dictionary(main)


def test_cycle_of_full_imports(tmp_path):
    full = "_import.get [{{'file':{} 'save':H 'mode':Full}}]\n"
    for name, other in (("one.dic", "two.dic"), ("two.dic", "one.dic")):
        write(tmp_path, name, "#\\#CIF_2.0\ndata_D\nsave_H\n_definition.id H\n"
              "_definition.scope Category\n_definition.class Head\n" + full.format(other)
              + "save_\nsave_h.x\n_definition.id '_h.x'\n_name.category_id H\nsave_\n")
    with pytest.raises(DictionaryError, match="cycle of imports"):
        Dictionary(str(tmp_path / "one.dic"))


@pytest.mark.parametrize("text", [
    "data_x\n_cell.length_a 5.0\n",
    "",
    "#\\#CIF_2.0\ndata_x\nsave_f\n_a 1\nsave_\n",
])
def test_not_a_dictionary(tmp_path, text):
    path = write(tmp_path, "x.dic", text)
    with pytest.raises(DictionaryError, match=r"x\.dic: not a dictionary"):
        Dictionary(path)


def test_unreadable_dictionary(tmp_path):
    with pytest.raises(DictionaryError, match="cannot read"):
        Dictionary(str(tmp_path / "missing.dic"))
