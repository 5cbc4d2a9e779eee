"""quarzel.Dictionary: DDL1, DDL2 and DDLm dictionaries, DDLm imports, and
how their types agree with PyCifRW and with the dictionaries' own type
lists."""

import os
import textwrap

import pytest

import quarzel
import testdata
from quarzel import Dictionary, DictionaryError

DDLM_CORE = str(testdata.path("dict", "ddlm", "cif_core-3_0_07.dic"))
DDLM_REFERENCE = str(testdata.path("dict", "ddlm", "ddl.dic"))
DDL1_CORE = str(testdata.path("dict", "ddl1", "cif_core.dic"))
PDBX = str(testdata.path("cif1", "mmcif_pdbx_v40.dic"))
# The current PDBx/mmCIF dictionary, as the development environment has it.
LIBCIFPP_PDBX = "/usr/share/libcifpp/mmcif_pdbx.dic"


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
    # numb codes hold numbers, but a range (1-245, 6.5-7.0) is not one
    ranges = {"int-range", "float-range"}
    numeric_codes = {c for c, p in primitive.items() if p == "numb"} - ranges
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
    assert numeric_codes & checked and ranges & checked and len(checked) > 10
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
    (tmp_path / "bad.cif").write_bytes(b"\x1f\x8b\x08\x00")  # a gzip stream cut short
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


# ---- DDL2: aliases, types that are no number ----

def ddl2(types, items, frames=""):
    """A small DDL2 dictionary: the type list (code, primitive, construct),
    one frame per (name, type code), then any further frames."""
    rows = "".join(f"{code} {primitive}\n;{construct}\n;\n" for code, primitive, construct in types)
    own = "".join(f"save_{name}\n_item.name '{name}'\n_item.category_id t\n_item_type.code {code}\n"
                  "save_\n" for name, code in items)
    return ("data_t\nloop_\n_item_type_list.code\n_item_type_list.primitive_code\n"
            f"_item_type_list.construct\n{rows}save_t\n_category.id t\nsave_\n{frames}{own}")


TYPE_LIST = [
    ("int", "numb", "[+-]?[0-9]+", "integer"),
    ("float", "numb", "-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?",
     "real"),
    ("positive_int", "numb", "[1-9][0-9]*", "integer"),
    ("int_on_its_own_line", "numb", "\n[+-]?[0-9]+", "integer"),  # text field's line break
    # ranges: mmcif_pdbx v4.0 (a plain integer matches too) and today's dictionary
    ("int-range", "numb", "-?[0-9]+(--?[0-9]+)?", "text"),
    ("int-range2", "numb", "[+-]?[0-9]+-[+-]?[0-9]+", "text"),
    ("float-range", "numb", "-?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?"
     "(--?(([0-9]+)[.]?|([0-9]*[.][0-9]+))([(][0-9]+[)])?([eE][+-]?[0-9]+)?)?", "text"),
    ("numb_list", "numb", "[0-9]+(,[0-9]+)*", "text"),
    ("letters", "numb", "[A-Z]+", "text"),  # no plain number matches
    ("code", "char", "[0-9]+", "text"),
]


@pytest.mark.parametrize("code,primitive,construct,want", TYPE_LIST)
def test_ddl2_numeric_codes(tmp_path, code, primitive, construct, want):
    path = write(tmp_path, "t.dic", ddl2([(code, primitive, construct)], [("_t.x", code)]))
    assert Dictionary(path)["_t.x"].type == want


@pytest.mark.parametrize("path", [PDBX, LIBCIFPP_PDBX], ids=["v40", "libcifpp"])
def test_pdbx_range_types_are_text(path):
    if not os.path.isfile(path):
        pytest.skip(f"{path} is part of the development environment")
    d = Dictionary(path)
    ranges = [n for n in d if d[n].type_code in ("int-range", "float-range")]
    assert len(ranges) >= 3 and all(d[n].type == "text" for n in ranges)
    assert d["_pdbx_nmr_exptl_sample_conditions.pH"].type == "text"
    assert d["_refln.index_h"].type == "integer" and d["_refln.F_meas"].type == "real"


@pytest.mark.parametrize("path", [PDBX, LIBCIFPP_PDBX], ids=["v40", "libcifpp"])
def test_ddl2_aliases_come_from_the_items_own_frame(path):
    gemmi = pytest.importorskip("gemmi")
    if not os.path.isfile(path):
        pytest.skip(f"{path} is part of the development environment")
    d = Dictionary(path)
    assert d["_audit_block_code"].name == "_entry.id"
    declared: dict[str, list[str]] = {}
    for item in gemmi.cif.read_file(path).sole_block():
        if item.frame is not None:
            declared[item.frame.name.lower()] = [
                gemmi.cif.as_string(v) for v in item.frame.find_values("_item_aliases.alias_name")]
    for name in d:
        assert sorted(d[name].aliases) == sorted(declared.get(name.lower(), [])), name
    owners: dict[str, set[str]] = {}
    for own, aliases in declared.items():
        for alias in aliases:
            owners.setdefault(alias.lower(), set()).add(own)
    assert len(owners) > 1000
    for alias, frames in owners.items():
        assert d[alias].name.lower() in frames | {alias}, alias


def test_ddl2_parent_aliases_stay_with_the_parent(tmp_path):
    parent = ("save__p.id\nloop_\n_item.name\n_item.category_id\n'_p.id' p\n'_t.p_id' t\n"
              "_item_type.code int\n_item_aliases.alias_name '_p_code'\nsave_\n")
    types = [("int", "numb", "[+-]?[0-9]+")]
    path = write(tmp_path, "t.dic", ddl2(types, [("_t.p_id", "int")], parent))
    d = Dictionary(path)
    assert d["_p_code"].name == "_p.id" and d["_p.id"].aliases == ["_p_code"]
    assert d["_t.p_id"].aliases == [] and d["_t.p_id"].type == "integer"


# ---- names first met as aliases ----

DDLM_ALIAS_FIRST = HEAD + item("a", "_type.contents Real", "_alias.definition_id '_thing.b'") + \
    item("b", "_type.contents Count")
DDL2_ALIAS_FIRST = ddl2([("int", "numb", "[+-]?[0-9]+")], [
    ("_t.a", "int"), ("_t.b", "int")]).replace(
        "_item_type.code int\nsave_\n", "_item_type.code int\n_item_aliases.alias_name '_t.b'\n"
        "save_\n", 1)


@pytest.mark.parametrize("text,names", [(DDLM_ALIAS_FIRST, ["_thing.a", "_thing.b"]),
                                        (DDL2_ALIAS_FIRST, ["_t.a", "_t.b"])],
                         ids=["DDLm", "DDL2"])
def test_a_name_met_first_as_an_alias_is_counted_when_defined(tmp_path, text, names):
    d = Dictionary(write(tmp_path, "t.dic", text))
    assert list(d) == names and len(d) == 2
    assert d[names[1]].name == names[1] and d[names[1]].type == "integer"
    assert d[names[0]].aliases == [names[1]]


# ---- files as quarzel.read reads them ----

COMPRESSORS = {"gzip": __import__("gzip").compress, "bzip2": __import__("bz2").compress,
               "xz": __import__("lzma").compress}


@pytest.mark.parametrize("compression,name", [
    ("gzip", "core.dic.gz"), ("bzip2", "core.dic.bz2"), ("xz", "core.dic.xz"),
    ("gzip", "core.dic"),  # recognised by its first bytes, not its name
])
def test_compressed_dictionaries(tmp_path, ddl1_core, compression, name):
    path = tmp_path / name
    path.write_bytes(COMPRESSORS[compression](open(DDL1_CORE, "rb").read()))
    d = Dictionary(str(path))
    assert list(d) == list(ddl1_core)
    assert d["_atom_site_fract_x"].type == "real"


LATIN1_DDL1 = ("data_cell_length_a\n_name '_cell_length_a'\n_category cell\n_type numb\n"
               "_definition ' L\u00e4nge a, in \u00c5ngstr\u00f6m'\n_units A\n")


@pytest.mark.parametrize("encoding", ["latin-1", "utf-8"])
def test_dictionaries_that_are_not_utf8(tmp_path, encoding):
    path = tmp_path / "x.dic"
    path.write_bytes(LATIN1_DDL1.encode(encoding))
    assert Dictionary(str(path))["_cell_length_a"].type == "real"


def test_compressed_imports(tmp_path):
    (tmp_path / "templ.cif").write_bytes(COMPRESSORS["gzip"](TEMPLATES.encode()))
    write(tmp_path, "more.cif", MORE)
    main = write(tmp_path, "main.dic", HEAD + item("a", "_import.get [{'file':templ.cif "
                                                        "'save':length}]"))
    assert Dictionary(main)["_thing.a"].units == "angstroms"


def test_damaged_compressed_dictionary(tmp_path):
    path = tmp_path / "x.dic.gz"
    path.write_bytes(COMPRESSORS["gzip"](LATIN1_DDL1.encode("utf-8"))[:-6])
    with pytest.raises(DictionaryError, match=r"x\.dic\.gz: cannot read: truncated gzip stream"):
        Dictionary(str(path))
