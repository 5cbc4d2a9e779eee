"""Hostile dictionaries and data: dictionaries written for the tests,
damaged at random (lines dropped, values replaced by odd ones, lines
repeated), and random documents. The validator either refuses the
dictionary with a DictionaryError naming its file, or reports findings;
nothing else may escape, and every finding is well-formed."""

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

import quarzel
from quarzel import DictionaryError
from testdata import path

DICTIONARIES = [path("dict", "validate", name) for name in
                ("ddl1_test.dic", "ddl2_test.dic", "ddlm_test.dic")]
ODD = ["?", ".", "''", "[", "]", "{}", "[1 2]", "{'a':1}", "numb", "char", "Real", "List",
       "[0-9", "(a|", "a{99999}", "1:0", "x:y", ":", "yes", "no", "implicit", "_nowhere.x",
       "'[A-Z]*'", "\u00e9", "save_", "loop_", "-1e999", "1e-999", "\\", "'\\n'"]
DOCUMENTS = [
    "data_t\n_site.id 1\n",
    "#\\#CIF_2.0\ndata_t\nloop_\n_site.label\n_site.part\nC1 1\nC1 1\n",
    "data_t\nloop_\n_site_label\n_site_flag\nC1 1\n",
    "#\\#CIF_2.0\ndata_t\n_cell.vector [1 [2] {'a':[]}]\n_cell.table [[[[]]]]\n",
    "data_t\n_cell_length_a\nloop_ _bond_site_1 _bond_site_2 a b c\n",
]


@st.composite
def damaged(draw):
    source = draw(st.sampled_from(DICTIONARIES))
    lines = source.read_text().splitlines()
    for _ in range(draw(st.integers(1, 6))):
        i = draw(st.integers(0, len(lines) - 1))
        action = draw(st.sampled_from(["drop", "replace", "repeat", "value"]))
        if action == "drop":
            del lines[i]
        elif action == "repeat":
            lines.insert(i, lines[i])
        elif action == "replace":
            lines[i] = draw(st.sampled_from(ODD))
        else:
            words = lines[i].split()
            if words:
                words[-1] = draw(st.sampled_from(ODD))
                lines[i] = "    ".join(words)
    return source.name, "\n".join(lines) + "\n"


@settings(max_examples=60, deadline=None, suppress_health_check=[HealthCheck.too_slow,
                                                                   HealthCheck.function_scoped_fixture])
@given(dictionary=damaged(), document=st.sampled_from(DOCUMENTS), links=st.sampled_from(
    [None, True, False]))
def test_damaged_dictionaries(tmp_path, dictionary, document, links):
    name, text = dictionary
    d = tmp_path / name
    d.write_text(text)
    (tmp_path / "templ_test.cif").write_text(path("dict", "validate", "templ_test.cif").read_text())
    try:
        report = quarzel.validate(document, d, links=links)
    except DictionaryError as e:
        assert str(d) in str(e)
        return
    for f in report:
        assert f.severity in ("error", "warning", "info") and f.message
        assert f.line >= 0 and f.column >= 0
        assert f.dictionary is None or "test" in f.dictionary.lower()
        if f.code == "dictionary":
            assert f.block is None


@settings(max_examples=80, deadline=None)
@given(st.lists(st.sampled_from(list("_.abcdefgilmnoprstxyz0123456789 \n'\"[]{}:;?#$")
                                + ["data_t\n", "loop_\n", "save_s\n", "save_\n", "_site.",
                                   "_cell.", "_cell_", "_bond_", "\u00e9", "#\\#CIF_2.0\n"]),
                max_size=120).map("".join))
def test_random_documents(text):
    text = "\n" + text  # a text, never taken for a path
    for d in DICTIONARIES:
        report = quarzel.validate(text, d, links=True)
        assert all(f.message for f in report)
