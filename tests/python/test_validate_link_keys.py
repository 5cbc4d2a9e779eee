"""Link keys as the link check compares them: a ucode component folded
(ASCII capitals as small letters, at every length a key is read at), an
int component as its number, null components matching anything; on the
text and on the document read beforehand alike."""

import pytest

import quarzel
from testdata import path

DDL2 = str(path("dict", "validate", "ddl2_test.dic"))


def document(parents, children):
    text = "data_t\n_entry.id T1\nloop_\n_residue.name\n_residue.num\n_residue.entry_id\n"
    text += "".join(f"{name} {num} T1\n" for name, num in parents)
    text += "loop_\n_site.id\n_site.part\n_site.label\n_site.res_name\n_site.res_num\n"
    text += "".join(f"{i + 1} p x {name} {num}\n" for i, (name, num) in enumerate(children))
    return text


def link_findings(source):
    report = quarzel.validate(source, DDL2, links=True)
    return [(f.message.split(" (")[0], f.row, f.value) for f in report.findings
            if f.code == "link"]


NAMES = ["A", "Ab", "ABc", "abcD", "AbCdE", "ABCDEF", "AbcdefG", "ABCDEFGH",
         "abcdefghiJKLM", "ABCDEFGHIJKLMNOP", "ABCDEFGHIJKLMNOPQ", "ABCDEFGHIJKLMNOPQRSTU"]

CASES = [
    # Every length folded: the children give the names in other cases.
    ("folded at every length", [(n, 1) for n in NAMES],
     [(n.swapcase(), 1) for n in NAMES], []),
    # Names alike but for one byte, first or last, at each length.
    ("one byte apart, last", [(n, 1) for n in NAMES],
     [(n[:-1] + "z", 1) for n in NAMES],
     [(f"{len(NAMES)} of {len(NAMES)} rows of site have no parent row in residue", 0,
       "z, 1")]),
    ("one byte apart, first", [("ABCDEFG", 1), ("QRS", 2)],
     [("ABCDEFG", 1), ("BBCDEFG", 1), ("qrs", 2), ("Qrt", 2)],
     [("2 of 4 rows of site have no parent row in residue", 1, "BBCDEFG, 1")]),
    # The characters around the capitals are not folded.
    ("brackets and backquotes kept", [("A@[", 1), ("Z`{", 2)],
     [("a@[", 1), ("a`[", 1), ("z`{", 2), ("Z@{", 2)],
     [("2 of 4 rows of site have no parent row in residue", 1, "a`[, 1")]),
    # The number component: 01 and 1 are one number, 10 and 1 are not.
    ("numbers as numbers", [("ALA", 1), ("GLY", 10)],
     [("ala", "01"), ("GLY", "+10"), ("ALA", 10), ("gly", 1)],
     [("2 of 4 rows of site have no parent row in residue", 2, "ALA, 10")]),
    # A null component matches any parent's; both null: not checked.
    ("null components", [("ALA", 1), ("GLY", 2)],
     [("?", 2), ("ala", "."), ("?", "?"), ("SER", "?"), ("?", 3)],
     [("2 of 4 rows of site have no parent row in residue", 3, "SER, ?")]),
    # Long keys (hashed otherwise than short ones) beside short ones that
    # share their start.
    ("long and short keys", [("ABCDEFGHIJKLMNOPQRST", 1), ("ABCDEFG", 1)],
     [("abcdefghijklmnopqrst", 1), ("ABCDEFGHIJKLMNOPQRSU", 1), ("ABCDEFGH", 1),
      ("abcdefg", 1)],
     [("2 of 4 rows of site have no parent row in residue", 1, "ABCDEFGHIJKLMNOPQRSU, 1")]),
]


@pytest.mark.parametrize("parents, children, want", [c[1:] for c in CASES],
                         ids=[c[0] for c in CASES])
def test_link_keys(parents, children, want):
    text = document(parents, children)
    got = link_findings(text)
    assert got == want
    assert link_findings(quarzel.read(text).cif) == got
