"""Validating documents read beforehand (a CifFile, a parse_raw result):
checked as they stand, not written out and read again, with the findings
the text gives (in its order, without line and column); and the keys that
are hashed without being made (numbers, folded case) still agreeing."""

import os

import pytest

import quarzel
import quarzel_core
from quarzel import _rules, _validate_native
from quarzel.write import dumps
from testdata import path

PDBX = "/usr/share/libcifpp/mmcif_pdbx.dic"
DDL1 = str(path("dict", "validate", "ddl1_test.dic"))
DDL2 = str(path("dict", "validate", "ddl2_test.dic"))
PDB = sorted(f for f in os.listdir(path("pdb")) if f.endswith(".cif"))


def fields(report):
    return [(f.code, f.severity, f.message, f.block, f.frame, f.category, f.tags, f.value,
             f.row, f.rule, f.dictionary) for f in report.findings]


def direct(source, dictionary, links=False):
    """validate_document's answer (None: it leaves the document to the text)."""
    rules = _rules.compile_rules(dictionary)
    return _validate_native.validate_document(rules.native, source, 1 if links else 2)


SOURCES = {
    "CifFile": lambda text: quarzel.read(text).cif,
    "ReadResult": lambda text: quarzel.read(text),
    "parse_raw": quarzel_core.parse_raw,
}


@pytest.mark.parametrize("links", [False, True], ids=["links off", "links on"])
@pytest.mark.parametrize("kind", list(SOURCES))
@pytest.mark.parametrize("entry", PDB)
def test_pdb_entries_as_read(entry, kind, links):
    if not os.path.exists(PDBX):
        pytest.skip("libcifpp-data is not installed")
    text = path("pdb", entry).read_text(encoding="utf-8")
    source = SOURCES[kind](text)
    document = source.cif if kind == "ReadResult" else source
    assert direct(document, PDBX, links) is not None  # not written out
    by_text = quarzel.validate(text, PDBX, links=links)
    report = quarzel.validate(source, PDBX, links=links)
    assert fields(report) == fields(by_text)
    assert all(f.line == 0 and f.column == 0 for f in report)
    assert report.errors == []


ENTRY = "data_t\n_entry.id T1\n"
SITES = ENTRY + "loop_\n_site.id\n_site.part\n_site.label\n"

# Documents the model holds that differ from what reading their text gives
# back, or that only text can hold: handed to the text path (None), with
# the findings of the document written out.
DECLINED = [
    ("a list value", "#\\#CIF_2.0\n" + ENTRY + "_site.label [a b]\n"),
    ("an item with two values", None),
    ("columns of a loop of unequal length", None),
    ("tags alike but for case", None),
    ("a value that is not a str", None),
]


def _declined(name):
    cif = quarzel.read(ENTRY + "_site.label alpha\n").cif
    block = cif["t"]
    if name == "an item with two values":
        block._tags["_site.label"].append("beta")
    elif name == "columns of a loop of unequal length":
        cif = quarzel.read(SITES + "1 A alpha\n2 A beta\n").cif
        cif["t"]._tags["_site.label"].pop()
    elif name == "tags alike but for case":
        block._tag_order.append("_SITE.LABEL")
        block._tags["_SITE.LABEL"] = ["beta"]
    elif name == "a value that is not a str":
        block._tags["_site.label"] = [None]
    return cif


@pytest.mark.parametrize("name,text", DECLINED, ids=[c[0] for c in DECLINED])
def test_documents_left_to_the_text(name, text):
    document = quarzel.read(text).cif if text else _declined(name)
    assert direct(document, DDL2) is None
    # Checked as before: written out (or refused by the writer) and read.
    try:
        written = dumps(document)
    except (ValueError, TypeError) as refused:
        with pytest.raises(type(refused)):
            quarzel.validate(document, DDL2)
        return
    assert fields(quarzel.validate(document, DDL2)) == fields(quarzel.validate(written, DDL2))


CASE_CASES = [
    ("upper-case tags and block name", "DATA_T\n_ENTRY.ID T1\nloop_\n_SITE.ID\n_Site.Part\n"
     "_site.LABEL\nx A alpha\n1 A alpha\n1 A beta\n"),
    ("save frames", "data_t\n_entry.id T1\nsave_one\n_site.id x\nsave_\nsave_two\n"
     "_site.label Beta\nsave_\n"),
    ("loops and items interleaved", ENTRY + "_site.id x\nloop_\n_residue.name\n_residue.num\n"
     "GLY 1\nALA z\n_site.label gamma\n"),
    ("non-ASCII values", SITES + "1 A \u00e9t\u00e9\n2 A \u03b1\n"),
    ("quoted placeholders", SITES + "'?' A '.'\n2 A alpha\n"),
]


@pytest.mark.parametrize("text", [c[1] for c in CASE_CASES], ids=[c[0] for c in CASE_CASES])
@pytest.mark.parametrize("kind", ["CifFile", "parse_raw"])
def test_small_documents_as_read(text, kind):
    source = SOURCES[kind](text)
    assert direct(source, DDL2) is not None
    for links in (False, True):
        by_text = fields(quarzel.validate(text, DDL2, links=links))
        assert fields(quarzel.validate(source, DDL2, links=links)) == by_text
    assert by_text  # each document has something to find


def test_ddl1_document_as_read():
    text = ("data_t\nloop_\n_site_label\n_site_type\nA1 x\nA1 y\nA2 1\n")
    cif = quarzel.read(text).cif
    assert direct(cif, DDL1) is not None
    assert fields(quarzel.validate(cif, DDL1)) == fields(quarzel.validate(text, DDL1))


# Keys hashed without being made: numbers already as they are written back,
# and ASCII folded on the stack, agree with the ones made in full.
KEY_CASES = [
    ("1", "01", True),
    ("-0", "0", True),
    ("+1", "1", True),
    ("1", "1.0", True),
    ("10", "1e1", True),
    ("10", "1", False),
    ("-1", "1", False),
    ("123456789012345", "123456789012345", True),
    ("1234567890123456", "1234567890123457", False),
]


@pytest.mark.parametrize("a,b,repeated", KEY_CASES)
def test_numeric_composite_keys(a, b, repeated):
    text = SITES + f"{a} A alpha\n{b} A beta\n"
    codes = [(f.code, f.row) for f in quarzel.validate(text, DDL2) if f.code == "duplicate-key"]
    assert codes == ([("duplicate-key", 1)] if repeated else [])


class _Part:
    def __init__(self, **parts):
        self.__dict__.update(parts)


def _meddling_document(meddle):
    """A document of two blocks whose second, as it is read, changes the
    values of the first (Python code run between sizing and copying)."""
    values = ["1"]
    first = _Part(name="a", _tag_order=["_site.id"], _loops=[], _tags={"_site.id": values},
                  _save_frame_list=[])

    class Second:
        name = "b"
        _tag_order = ["_site.id"]
        _loops = []
        _save_frame_list = []

        @property
        def _tags(self):
            meddle(values)
            return {"_site.id": ["2"]}

    return _Part(_block_list=[first, Second()])


MEDDLING = [
    ("a value added", lambda v: v.append("3")),
    ("a value made longer", lambda v: v.__setitem__(0, "1" * 100)),
    ("a value made no str", lambda v: v.__setitem__(0, 1)),
]


@pytest.mark.parametrize("meddle", [m[1] for m in MEDDLING], ids=[m[0] for m in MEDDLING])
def test_values_changed_while_read(meddle):
    # The values sized are not the ones copied: left to the text, never
    # copied past the buffer.
    assert direct(_meddling_document(meddle), DDL2) is None
