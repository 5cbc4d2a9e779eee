"""How validate_document copies a document's values: each column in one
pass into chunks that grow, texts too long for a reference and quoted
placeholders kept aside, a CifFile's parts read from the instances; and
documents whose attributes run code left to the text once a frame read
before may have changed."""

from types import SimpleNamespace

import pytest

import quarzel
from quarzel import _rules, _validate_native
from testdata import path

DDL2 = str(path("dict", "validate", "ddl2_test.dic"))
HEAD = "data_t\n_entry.id T1\nloop_\n_site.id\n_site.part\n_site.label\n"


def fields(report):
    return [(f.code, f.severity, f.message, f.block, f.frame, f.category, f.tags, f.value,
             f.row, f.rule, f.dictionary) for f in report.findings]


def direct(source):
    rules = _rules.compile_rules(DDL2)
    return _validate_native.validate_document(rules.native, source, 2)


def rows(count, part, label="'a label'"):
    return "".join(f"{i + 1} {part(i)} {label}\n" for i in range(count))


COPIES = [
    # More text than the first chunk takes: the column goes to a new one.
    ("column past the first chunk", HEAD + rows(20000, lambda i: f"P{i:07d}")),
    ("column past the first megabyte", HEAD + rows(150000, lambda i: f"P{i:07d}")),
    # Bad values on both sides of a chunk boundary keep their rows.
    ("faults across chunks", HEAD + rows(9000, lambda i: "x y" if i % 997 == 0 else f"P{i:07d}",
                                         label="'a longer label of some size'")),
    ("faults across a megabyte",
     HEAD + rows(40000, lambda i: "x y" if i % 997 == 0 else f"P{i:07d}",
                 label="'a longer label of some size'")),
    # A column's first value kept aside, then values copied after it.
    ("quoted placeholder first", HEAD + rows(12, lambda i: '"?"' if i == 0 else "x y")),
    ("long text first", "data_t\n_entry.id T1\nloop_\n_site.part\n_site.id\n;"
     + "z" * 40000 + "\n;\n1\n'x y' 2\n;\n" + "w" * 33000 + "\n;\n3\n"),
    # Every length each way of copying takes (1-3, 4-7, 8-16, longer), bad
    # values among them keeping their rows.
    ("values of every length",
     HEAD + rows(60, lambda i: ("x y" if i % 7 == 3 else "p" * (i % 30)) or "''")),
    ("lone values of every length",
     "".join(f"data_b{n}\n_entry.id {'E' * n}\n_site.part '{'q ' * (n // 2)}'\n"
             for n in range(1, 25))),
    ("quoted placeholders among values",
     HEAD + rows(40, lambda i: '"?"' if i % 3 == 0 else ("'.'" if i % 5 == 0 else "p"))),
    ("text longer than a reference", HEAD + "1 p\n;" + "z" * 40000 + "\n;\n2 q r\n"),
    ("values beyond ASCII", HEAD + rows(30, lambda i: "'\u00e9t\u00e9 \u2603'" if i % 2 else "p")),
    ("empty and one-character values", HEAD + rows(30, lambda i: "''" if i % 4 == 0 else "x")),
    ("several frames of columns",
     HEAD + rows(50, lambda i: "p") + "data_u\n_entry.id U\nloop_\n_site.id\n_site.part\n"
     + "".join(f"{i} 'q r'\n" for i in range(3000))),
]


@pytest.mark.parametrize("text", [c[1] for c in COPIES], ids=[c[0] for c in COPIES])
def test_copies_give_the_findings_of_the_text(text):
    cif = quarzel.read(text).cif
    assert direct(cif) is not None
    assert fields(quarzel.validate(cif, DDL2)) == fields(quarzel.validate(text, DDL2))


class _Block:
    """A block whose parts are plain attributes, `meddle` run as its values
    are read."""

    def __init__(self, name, values, meddle=None):
        self.name = name
        self._tag_order = ["_site.id"]
        self._loops = []
        self._save_frame_list = []
        self._values = values
        self._meddle = meddle

    @property
    def _tags(self):
        if self._meddle:
            self._meddle()
        return {"_site.id": self._values}


class _File:
    def __init__(self, blocks):
        self._block_list = blocks


def _native_then_duck():
    # A CifFile's block read without sizing, then an object whose attributes
    # run code: nothing can tell whether that code changed the block.
    cif = quarzel.read("data_a\n_site.id 1\n").cif
    cif._block_list.append(_Block("b", ["2"]))
    return cif, None


def _duck_then_native_changed():
    # Once code may run, a CifFile's block is sized as read; code run later
    # makes it longer than sized.
    first = quarzel.read("data_a\n_site.id 1\n").cif._block_list[0]
    values = first._tags["_site.id"]
    return _File([first, _Block("b", ["2"], lambda: values.__setitem__(0, "1" * 50))]), None


def _duck_then_native_kept():
    first = quarzel.read("data_a\n_site.id x\n").cif._block_list[0]
    return _File([first, _Block("b", ["2"], lambda: None)]), "data_a\n_site.id x\ndata_b\n_site.id 2\n"


MIXED = [
    ("CifFile block, then attributes that run code", _native_then_duck),
    ("CifFile block changed by later code", _duck_then_native_changed),
    ("CifFile block among objects, unchanged", _duck_then_native_kept),
]


@pytest.mark.parametrize("make", [c[1] for c in MIXED], ids=[c[0] for c in MIXED])
def test_documents_mixing_objects(make):
    source, text = make()
    got = direct(source)
    if text is None:
        assert got is None
        return
    assert got is not None
    rules = _rules.compile_rules(DDL2)
    by_text = _validate_native.validate_text(rules.native, text, 2)[0]
    assert [t[:9] for t in got[0]] == [t[:9] for t in by_text]



def _runs(*runs):
    # Each (text, count): `count` rows holding one str object of its own.
    return [x for text, count in runs for x in ["".join([text[:1], text[1:]])] * count]


def _word(v):
    return "\n;" + v + "\n;\n" if len(v) > 2000 else f"'{v}'" if " " in v else v


# Loop columns repeating one str object over rows, as a CifFile read from
# text holds repeated values (each keeps its row, kept-aside ones included).
SHARED = [
    ("failing value repeated", _runs(("1", 2), ("x y", 5), ("2", 3)), _runs(("p", 10))),
    ("failing first value", _runs(("zz", 4), ("3", 2)), _runs(("p q", 4), ("r", 2))),
    ("quoted placeholder repeated", _runs(('"?"', 3), ("x y", 2)), _runs(("p", 1), ('"."', 4))),
    ("long text repeated", _runs(("1", 5)), _runs(("z" * 40000, 3), ("x y", 2))),
    ("one object every other row", [_runs(("x y", 1))[0], "4"] * 3, _runs(("p", 6))),
    ("one object in every row", _runs(("x y", 7)), _runs(("p", 7))),
    ("runs of two objects by turns", _runs(("5", 3), ("x y", 1), ("5", 3), ("x y", 2)) * 2,
     _runs(("p q", 1), ("r", 17))),
    ("a run after a placeholder kept aside", _runs(("6", 1), ('"."', 1), ("x y", 4)),
     _runs(("p", 2), ("z" * 40000, 1), ("r", 3))),
    ("repeats past the first chunk", _runs(*[(f"{i % 5 or 'x y'}", 300) for i in range(200)]),
     [f"P{i:07d}" * 5 for i in range(60000)]),
]


@pytest.mark.parametrize("ids, parts", [c[1:] for c in SHARED], ids=[c[0] for c in SHARED])
def test_shared_values_give_the_findings_of_the_text(ids, parts):
    tags = ["_site.id", "_site.part"]
    got = direct(_File([SimpleNamespace(name="t", _tag_order=tags, _loops=[tags], _save_frame_list=[],
                                        _tags={"_site.id": ids, "_site.part": parts})]))
    text = "data_t\nloop_\n_site.id\n_site.part\n" + "".join(
        f"{_word(a)} {_word(b)}\n" for a, b in zip(ids, parts))
    by_text = _validate_native.validate_text(_rules.compile_rules(DDL2).native, text, 2)[0]
    assert got is not None and by_text
    assert [t[:9] for t in got[0]] == [t[:9] for t in by_text]


# Single items, each value stored alone (a plain slice, or kept aside), in
# a CifFile and in objects that are sized as read.
SINGLE = [
    ("failing value", {"_site.id": "x1", "_site.part": "A"}),
    ("passing values", {"_site.id": "12", "_site.part": "A", "_site.label": "alpha"}),
    ("quoted placeholder", {"_site.id": '"?"', "_site.part": '"."'}),
    ("long text", {"_site.id": "3", "_site.note": "z" * 40000}),
    ("empty text", {"_site.id": "", "_site.part": "B"}),
    ("one byte and seventeen", {"_site.id": "7", "_site.label": "q" * 17}),
]


@pytest.mark.parametrize("items", [c[1] for c in SINGLE], ids=[c[0] for c in SINGLE])
@pytest.mark.parametrize("as_objects", [False, True], ids=["CifFile", "objects"])
def test_single_items_give_the_findings_of_the_text(items, as_objects):
    text = "data_t\n" + "".join(
        f"_{t[1:]} {_word(v) if v else chr(39) * 2}\n" for t, v in items.items())
    if as_objects:
        tags = list(items)
        source = _File([SimpleNamespace(name="t", _tag_order=tags, _loops=[], _save_frame_list=[],
                                        _tags={t: [v] for t, v in items.items()})])
    else:
        source = quarzel.read(text).cif
    got = direct(source)
    by_text = _validate_native.validate_text(_rules.compile_rules(DDL2).native, text, 2)[0]
    assert got is not None and by_text
    assert [t[:9] for t in got[0]] == [t[:9] for t in by_text]
