"""What a thread keeps from one checked document (or data block) to the
next: its column hashes, key tables and category lists are cleared, not
rebuilt, so that each document is checked as if it were the first, after
larger, smaller and longer ones alike; and the link check of one-component
children that start with nulls or find no parent at all."""

import pytest

import quarzel
from testdata import path

DDL1 = str(path("dict", "validate", "ddl1_test.dic"))


def sites(labels, x="0.1"):
    return "loop_\n_site_label\n_site_x\n" + "".join(f"{s} {x}\n" for s in labels)


def bonds(pairs):
    return "loop_\n_bond_site_1\n_bond_site_2\n_bond_distance\n" + "".join(
        f"{a} {b} 1.5\n" for a, b in pairs)


def found(text):
    """(code, block, row, value) of the key and link findings."""
    report = quarzel.validate(text, DDL1)
    return sorted((f.code, f.block, f.row, f.value) for f in report.findings
                  if f.code in ("duplicate-key", "link"))


MANY = [f"C{i}" for i in range(3000)]

CASES = [
    # Child rows that are nulls up to the last: only that one is looked up.
    ("nulls before the only checked row",
     ["data_a\n" + sites(["A"]) + bonds([("?", "A"), (".", "A"), ("B", "A")])],
     [("link", "a", 2, "B")]),
    ("every child row null", ["data_a\n" + sites(["A"]) + bonds([("?", "?"), (".", "?")])], []),
    # No parent column at all: each given child value is reported.
    ("no parent, the first value late",
     ["data_a\n" + bonds([("?", "?"), ("?", "B"), ("D", "?")])],
     [("link", "a", 1, "B"), ("link", "a", 2, "D")]),
    # A large document, then a small one: nothing of the first is seen.
    ("large then small",
     ["data_a\n" + sites(MANY) + bonds(list(zip(MANY, MANY[1:]))),
      "data_b\n" + sites(["C0", "C0"]) + bonds([("C0", "C1"), ("C0", "C1")])],
     [("duplicate-key", "b", 1, "C0"), ("duplicate-key", "b", 1, "C0, C1"),
      ("link", "b", 0, "C1")]),
    # Small, then longer than what is kept, then small again.
    ("small, long, small",
     ["data_a\n" + sites(["A", "B"]),
      "data_b\n" + sites(MANY + ["C2999"]),
      "data_c\n" + sites(["X", "Y", "X"]) + bonds([("X", "Y"), ("Y", "Z")])],
     [("duplicate-key", "c", 2, "X"), ("link", "c", 1, "Z")]),
    # Blocks of one document: the second block's parents are its own.
    ("two blocks",
     ["data_a\n" + sites(["A", "B"]) + bonds([("A", "B")])
      + "data_b\n" + sites(["C"]) + bonds([("C", "A"), ("C", "C"), ("C", "C")])],
     [("duplicate-key", "b", 2, "C, C"), ("link", "b", 0, "A")]),
]


@pytest.mark.parametrize("documents,expected", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_each_document_as_if_first(documents, expected):
    for text in documents[:-1]:
        found(text)
    assert found(documents[-1]) == expected
    # The same findings from a thread that has checked nothing else since.
    assert found(documents[-1]) == expected
