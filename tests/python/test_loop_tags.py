"""quarzel.loop_tags / loop_table: a category key matches exactly the tags
of that category, never a longer category that starts with the same text."""

import pytest

import quarzel
import quarzel_core
import testdata
from quarzel import Dictionary

DDL1_CORE = str(testdata.path("dict", "ddl1", "cif_core.dic"))

CIF1 = """data_a
loop_
_atom_site_aniso_label
_atom_site_aniso_U_11
C1 0.01
loop_
_atom_site_label
_atom_site_fract_x
C1 0.5
loop_
_geom_bond_atom_site_label_1
_geom_bond_atom_site_label_2
_geom_bond_distance
C1 C2 1.5
"""

MMCIF = """data_a
_entity_poly.entity_id 1
loop_
_entity_poly_seq.entity_id
_entity_poly_seq.num
1 1
loop_
_atom_site_anisotrop.id
_atom_site_anisotrop.U11
1 0.01
loop_
_atom_site.id
_atom_site.Cartn_x
1 1.5
"""

# text, key -> the tags found, or None for KeyError
CASES = [
    (MMCIF, "_entity_poly", None),  # not looped here; the _entity_poly_seq loop is another
    (MMCIF, "_entity_poly_seq", ["_entity_poly_seq.entity_id", "_entity_poly_seq.num"]),
    (MMCIF, "_atom_site", ["_atom_site.id", "_atom_site.cartn_x"]),  # after _anisotrop
    (MMCIF, "_ATOM_SITE.", ["_atom_site.id", "_atom_site.cartn_x"]),
    (MMCIF, "atom_site", ["_atom_site.id", "_atom_site.cartn_x"]),
    (MMCIF, "_atom", None),
    (MMCIF, "_entity", None),
    (MMCIF, "_atom_site_anisotrop.U11", ["_atom_site_anisotrop.id", "_atom_site_anisotrop.u11"]),
    (CIF1, "_atom_site", ["_atom_site_label", "_atom_site_fract_x"]),  # after the aniso loop
    (CIF1, "_atom_site_aniso", ["_atom_site_aniso_label", "_atom_site_aniso_u_11"]),
    (CIF1, "_geom_bond", ["_geom_bond_atom_site_label_1", "_geom_bond_atom_site_label_2",
                          "_geom_bond_distance"]),
    (CIF1, "_geom", None),
    (CIF1, "_atom", None),
    # a tag names its own loop, whatever its category
    (CIF1, "_geom_bond_distance", ["_geom_bond_atom_site_label_1",
                                   "_geom_bond_atom_site_label_2", "_geom_bond_distance"]),
    # one loop, two categories: the tags of the one asked for
    ("data_a\nloop_\n_a.x\n_b.y\n1 2\n", "_b", ["_b.y"]),
    ("data_a\nloop_\n_a.x\n_ab.y\n1 2\n", "_a", ["_a.x"]),
    ("data_a\n_atom_site.id 1\n", "_atom_site", None),  # not a loop
]


@pytest.mark.parametrize("text,key,want", CASES)
def test_category_keys(text, key, want):
    block = quarzel_core.parse_cif(text)[0]["a"]
    if want is None:
        with pytest.raises(KeyError):
            quarzel.loop_tags(block, key)
        return
    assert [t.lower() for t in quarzel.loop_tags(block, key)] == want
    assert [t.lower() for t in quarzel.loop_table(block, key).column_names] == want


# With a dictionary, tags without a dot take its categories: DDL1's
# _atom_site_aniso_* items are the category atom_site, though named like a
# category of their own, and a single-tag loop has no common prefix to go by.
DICTIONARY_CASES = [
    ("data_a\nloop_\n_symmetry_equiv_pos_as_xyz\nx,y,z\n", "_symmetry_equiv",
     ["_symmetry_equiv_pos_as_xyz"]),
    ("data_a\nloop_\n_atom_site_aniso_label\n_atom_site_aniso_U_11\nC1 0.1\n", "_atom_site",
     ["_atom_site_aniso_label", "_atom_site_aniso_u_11"]),
    ("data_a\nloop_\n_atom_site_label\n_atom_site_fract_x\n_my_flag\nC1 0.5 y\n", "_atom_site",
     ["_atom_site_label", "_atom_site_fract_x"]),
    ("data_a\nloop_\n_atom_site_label\n_atom_site_fract_x\n_my_flag\nC1 0.5 y\n", "_my_flag",
     ["_atom_site_label", "_atom_site_fract_x", "_my_flag"]),
    ("data_a\nloop_\n_atom_type_symbol\nC\n", "_atom", None),
]


@pytest.fixture(scope="module")
def ddl1_core():
    return Dictionary(DDL1_CORE)


@pytest.mark.parametrize("text,key,want", DICTIONARY_CASES)
def test_dotless_tags_take_the_dictionary_category(ddl1_core, text, key, want):
    block = quarzel_core.parse_cif(text)[0]["a"]
    if want is None:
        with pytest.raises(KeyError):
            quarzel.loop_tags(block, key, ddl1_core)
        return
    assert [t.lower() for t in quarzel.loop_tags(block, key, ddl1_core)] == want
    table = quarzel.loop_table(block, key, dictionary=ddl1_core)
    assert [t.lower() for t in table.column_names if not t.endswith("_status")] == want


def real_files():
    return [p for p in testdata.files((".cif", ".cif.gz")) if "cif_api" not in p.parts]


@pytest.mark.parametrize("path", real_files(), ids=lambda p: p.name)
def test_every_category_key_of_the_real_files(path):
    """Every category of every real entry, and every shorter key ending at
    an underscore (`_entity`, `_entity_poly` for `_entity_poly_seq`), finds
    the loop gemmi finds for it, or KeyError where gemmi finds no loop."""
    gemmi = pytest.importorskip("gemmi")
    text = testdata.read_bytes(path).decode("utf-8", "replace")
    try:
        doc = gemmi.cif.read_string(text)
    except (RuntimeError, ValueError):
        pytest.skip("gemmi does not read this file")
    cif = quarzel.read(text).cif
    checked = 0
    for theirs in doc:
        block = cif[theirs.name]
        categories = {t.split(".", 1)[0].lower() for tags in block.loops for t in tags
                      if "." in t}
        categories |= {t.split(".", 1)[0].lower() for t in block._tags if "." in t}
        keys = {c[:i] for c in categories for i in range(2, len(c) + 1)
                if i == len(c) or c[i] == "_"}
        for key in sorted(keys):
            table = theirs.find_mmcif_category(key + ".")
            if table.loop is None:
                with pytest.raises(KeyError):
                    quarzel.loop_tags(block, key)
            else:
                assert [t.lower() for t in quarzel.loop_tags(block, key)] == \
                    [t.lower() for t in table.tags], key
            checked += 1
    assert checked
