"""The cache of compiled rule sets kept on disk between processes: the
same findings with and without it, and every way an entry goes stale or
bad making the rules be compiled again (never an error)."""

import os
import shutil
import subprocess
import sys
import zlib

import pytest

import quarzel
from quarzel import _rule_cache, _rules
from test_validate import DDL1_CASES, DDL2_CASES, DDLM_CASES
from testdata import path

D = path("dict")
CORE1 = str(D / "ddl1" / "cif_core.dic")
COREM = str(D / "ddlm" / "cif_core-3_0_07.dic")
DDL = str(D / "ddlm" / "ddl.dic")
TEST1, TEST2, TESTM = (str(D / "validate" / n) for n in ("ddl1_test.dic", "ddl2_test.dic",
                                                         "ddlm_test.dic"))
SMALL = [str(p) for p in sorted(path("pdb").glob("*.cif"))[:3]] + [
    str(path("cif1", "usage-example_KILLER.cif"))]
LONG_AGO = 10**18  # an mtime in ns, far from now: stamps of such files are trusted


@pytest.fixture
def cache(tmp_path, monkeypatch):
    """A cache folder of the test's own; calls of the rule compiler counted."""
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "xdg"))
    monkeypatch.delenv("QUARZEL_NO_CACHE", raising=False)
    calls = []
    make = _rules._rule_text
    monkeypatch.setattr(_rules, "_rule_text", lambda *a: calls.append(a) or make(*a))
    _rules._cache.clear()
    yield calls
    _rules._cache.clear()


def reports(dictionary, sources, **options):
    """Every finding of every source as dicts, with a fresh process's state
    (nothing compiled in memory)."""
    _rules._cache.clear()
    return [[f.as_dict() for f in quarzel.validate(s, dictionary, **options)] for s in sources]


def entries():
    folder = _rule_cache.folder()
    return sorted(os.path.join(folder, n) for n in os.listdir(folder)) if os.path.isdir(
        folder) else []


# (dictionary, documents, options): each DDL, imports, a list, a DDL over a dictionary.
SAME_CASES = [
    ("ddl1-test", TEST1, [c[1] for c in DDL1_CASES], {}),
    ("ddl2-test", TEST2, [c[1] for c in DDL2_CASES], {"links": True}),
    ("ddlm-test-imports", TESTM, [c[1] for c in DDLM_CASES], {}),
    ("ddl1-core", CORE1, SMALL, {}),
    ("ddlm-core-imports", COREM, SMALL, {}),
    ("list", [CORE1, TEST1], SMALL + [c[1] for c in DDL1_CASES], {}),
    ("ddl-over-dictionary", DDL, [COREM, TESTM], {}),
    ("deposition-profile", TEST2, [c[1] for c in DDL2_CASES], {"profile": "deposition"}),
]


@pytest.mark.parametrize("dictionary, sources, options", [c[1:] for c in SAME_CASES],
                         ids=[c[0] for c in SAME_CASES])
def test_cached_rules_give_the_same_findings(cache, monkeypatch, dictionary, sources, options):
    monkeypatch.setenv("QUARZEL_NO_CACHE", "1")
    uncached = reports(dictionary, sources, **options)
    assert entries() == [] and len(cache) == 1
    monkeypatch.delenv("QUARZEL_NO_CACHE")
    assert reports(dictionary, sources, **options) == uncached  # compiles, keeps
    assert len(entries()) == 1 and len(cache) == 2
    assert reports(dictionary, sources, **options) == uncached  # from the cache
    assert len(cache) == 2


def _ddlm_tree(tmp_path):
    """The DDLm test dictionary in a folder of its own, its template in
    another folder named as a search path."""
    (tmp_path / "d").mkdir()
    (tmp_path / "s").mkdir()
    shutil.copy(TESTM, tmp_path / "d" / "d.dic")
    shutil.copy(D / "validate" / "templ_test.cif", tmp_path / "s" / "templ_test.cif")
    for p in (tmp_path / "d" / "d.dic", tmp_path / "s" / "templ_test.cif"):
        os.utime(p, ns=(LONG_AGO, LONG_AGO))
    return quarzel.Dictionary(str(tmp_path / "d" / "d.dic"), search_paths=[str(tmp_path / "s")])


def _touch(p):
    os.utime(p, ns=(LONG_AGO + 10**9, LONG_AGO + 10**9))


def _edit(p):
    """The imported definition renamed (dictionary), or its type changed
    (template): findings change either way."""
    text = p.read_text()
    p.write_text(text.replace("_cell.imported'", "_cell.importee'").replace(
        "object_id              imported", "object_id              importee")
        if p.suffix == ".dic" else text.replace("Symop", "Text"))


def _edit_dictionary(t, e):
    _edit(t / "d" / "d.dic")


def _edit_import(t, e):
    _edit(t / "s" / "templ_test.cif")


def _shadow(p):
    """A template put in the dictionary's own folder, searched first."""
    shutil.copy(p, p.parent.parent / "d" / p.name)


def _corrupt(entry, change):
    data = _rule_cache.read_entry(entry)
    change(data)
    with open(entry, "wb") as f:
        f.write(_rule_cache._entry_bytes(data))


def _flip_byte(entry):
    with open(entry, "r+b") as f:
        data = bytearray(f.read())
        data[len(data) // 2] ^= 0x01
        f.seek(0)
        f.write(data)


def _entry_of(entry, body):
    """An entry file whose header and checksum are right for `body`."""
    with open(entry, "wb") as f:
        f.write(_rule_cache.MAGIC + zlib.crc32(body).to_bytes(4, "big") + body)


def _set(key, value):
    return lambda data: data.__setitem__(key, value)


def _rule_text_that_fails(data):
    data["text"] = "no such rule\n"
    data["text_check"] = _rule_cache._check(data["text"])


# (what is done between two runs, compiled again?): each a different way an
# entry must be (or need not be) made again.
STALE_CASES = [
    ("nothing", lambda t, e: None, False),
    ("dictionary touched, same text", lambda t, e: _touch(t / "d" / "d.dic"), False),
    ("import touched, same text", lambda t, e: _touch(t / "s" / "templ_test.cif"), False),
    ("dictionary edited", _edit_dictionary, True),
    ("import edited", _edit_import, True),
    ("import shadowed by a new file searched first",
     lambda t, e: _shadow(t / "s" / "templ_test.cif"), True),
    ("another build", lambda t, e: _corrupt(e, _set("build", "other")), True),
    ("another format", lambda t, e: _corrupt(e, _set("format", 0)), True),
    ("entry of other sources under this name",
     lambda t, e: _corrupt(e, _set("sources", [["/elsewhere.dic", []]])), True),
    ("text damaged", lambda t, e: _corrupt(e, _set("text", "x")), True),
    ("text that does not compile",
     lambda t, e: _corrupt(e, _rule_text_that_fails), True),
    ("a field of a wrong type", lambda t, e: _corrupt(e, _set("files", [1, 2])), True),
    ("a field missing", lambda t, e: _corrupt(e, lambda d: d.pop("ddls")), True),
    ("truncated", lambda t, e: open(e, "r+b").truncate(100), True),
    ("not an entry", lambda t, e: open(e, "wb").write(b"\xff\x00garbage"), True),
    ("a byte changed", lambda t, e: _flip_byte(e), True),
    ("checksum right, not marshal data", lambda t, e: _entry_of(e, b"\xff\x00garbage"), True),
    ("checksum right, not a mapping",
     lambda t, e: _entry_of(e, __import__("marshal").dumps([1, 2])), True),
    ("a folder in its place", lambda t, e: (os.unlink(e), os.mkdir(e)), True),
]


@pytest.mark.parametrize("change, again", [c[1:] for c in STALE_CASES],
                         ids=[c[0] for c in STALE_CASES])
def test_stale_or_bad_entries_are_compiled_again(cache, tmp_path, change, again):
    d = _ddlm_tree(tmp_path)
    docs = [c[1] for c in DDLM_CASES]
    first = reports(d, docs)
    [entry] = entries()
    change(tmp_path, entry)
    _rule_cache._build = None  # as a new process finds it
    got = reports(d, docs)
    assert len(cache) == (2 if again else 1)
    assert (got == first) == (change not in (_edit_dictionary, _edit_import))
    with pytest.MonkeyPatch.context() as m:
        m.setenv("QUARZEL_NO_CACHE", "1")
        assert got == reports(d, docs)  # what the files now say
    if again and os.path.isfile(entry):  # kept anew: the next run needs no compiler
        n = len(cache)
        assert reports(d, docs) == got and len(cache) == n


def test_touched_file_is_stamped_again(cache, tmp_path):
    d = _ddlm_tree(tmp_path)
    reports(d, ["data_t\n"])
    _touch(tmp_path / "d" / "d.dic")
    [entry] = entries()
    reports(d, ["data_t\n"])  # same text: hashed once, then stamped again
    stamps = {p: v[:2] for p, v in _rule_cache.read_entry(entry)["files"].items()}
    assert stamps[str(tmp_path / "d" / "d.dic")] == [LONG_AGO + 10**9, os.path.getsize(
        tmp_path / "d" / "d.dic")]
    assert len(cache) == 1


def test_fresh_files_are_hashed_not_trusted(cache, tmp_path):
    """A file written a moment ago may change again within its mtime's
    tick at the same size: its entry is checked by the text's hash."""
    d = tmp_path / "d.dic"
    shutil.copy(TEST1, d)
    before = reports(str(d), ["data_t\n_cell_setting Cubic\n"])
    st = os.stat(d)
    d.write_text(d.read_text().replace("triclinic monoclinic orthorhombic cubic",
                                       "Cubic     monoclinic orthorhombic cubic"))
    os.utime(d, ns=(st.st_atime_ns, st.st_mtime_ns))  # same size, same mtime
    after = reports(str(d), ["data_t\n_cell_setting Cubic\n"])
    assert len(cache) == 2 and before != after


def test_off_and_unwritable(cache, tmp_path, monkeypatch):
    monkeypatch.setenv("QUARZEL_NO_CACHE", "1")
    reports(TEST1, ["data_t\n"])
    reports(TEST1, ["data_t\n"])
    assert len(cache) == 2 and entries() == []
    monkeypatch.setenv("QUARZEL_NO_CACHE", "0")
    (tmp_path / "file").write_text("")
    monkeypatch.setenv("XDG_CACHE_HOME", str(tmp_path / "file"))  # cannot hold a folder
    [found] = reports(TEST1, ["data_t\n_cell_setting Cubic\n"])
    assert "enumeration" in [f["code"] for f in found]


@pytest.mark.parametrize("xdg, expected", [
    ("/abs/cache", "/abs/cache/quarzel/rules"),
    ("relative/cache", "{home}/.cache/quarzel/rules"),  # XDG: relative paths are ignored
    ("", "{home}/.cache/quarzel/rules"),
])
def test_folder(monkeypatch, tmp_path, xdg, expected):
    monkeypatch.setenv("HOME", str(tmp_path))
    monkeypatch.setenv("XDG_CACHE_HOME", xdg)
    assert _rule_cache.folder() == expected.format(home=tmp_path)


def test_old_entries_are_removed(cache, tmp_path, monkeypatch):
    monkeypatch.setattr(_rule_cache, "KEEP", 2)
    def sources(entry):
        return _rule_cache.read_entry(entry)["sources"][0][0]

    copies = []
    for i in range(3):
        copies.append(str(tmp_path / f"d{i}.dic"))
        shutil.copy(TEST1, copies[-1])
        reports(copies[-1], ["data_t\n"])
        for e in entries():  # each entry last used before the next is made
            if sources(e) == copies[-1]:
                os.utime(e, (i + 1, i + 1))
    assert sorted(sources(e) for e in entries()) == copies[1:]


def test_command_line_same_with_and_without_cache(tmp_path):
    """Whole processes: the first fills the cache, the second uses it."""
    env = {**os.environ, "XDG_CACHE_HOME": str(tmp_path)}
    argv = [sys.executable, "-m", "quarzel", "validate", "-d", COREM, "--no-progress", *SMALL]
    runs = [subprocess.run(argv, capture_output=True, text=True, env=e)
            for e in ({**env, "QUARZEL_NO_CACHE": "1"}, env, env)]
    assert os.listdir(tmp_path / "quarzel" / "rules")
    assert runs[0].stdout and runs[0].returncode == 1
    assert {(r.stdout, r.stderr, r.returncode) for r in runs} == {
        (runs[0].stdout, runs[0].stderr, runs[0].returncode)}
