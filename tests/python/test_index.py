"""quarzel.index: for every test file the blocks, the rows per category and
the problem records of one pass, and index.read of each category (of each
block) from its byte ranges equal to read_categories; the ranges hold the
category's tags; the records per category partition the file's records."""

import gzip
import os
import time

import pytest

import quarzel
import quarzel._selective as selective

import testdata

FIELDS = ["error_type", "message", "line", "column", "context", "recovery_action"]


def records(errors):
    return [tuple(getattr(e, f) for f in FIELDS) for e in errors]


FILES = [p for p in testdata.files(suffixes=(".cif", ".dic", ".cif.gz")) if p.stat().st_size < 3 << 20]


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_index_reads_as_read_categories(path):
    ix = quarzel.index(path)
    full = quarzel.read(path)
    assert [b.name for b in ix.blocks] == [b.name for b in full.cif._block_list]
    assert records(ix.errors) == records(full.errors)
    names = ix.category_names()
    tables = quarzel.read_categories(path, names)
    for name in names:
        assert ix.rows(name) == tables[name].num_rows, name
    step = max(1, len(names) // 8)
    blocks = [b.name for b in ix.blocks]
    for name in names[::step]:
        assert ix.read(name).equals(tables[name]), name
        for block in sorted(set(blocks))[:3]:
            one = quarzel.read_categories(path, name, blocks=[block])[name]
            assert ix.read(name, block).equals(one), (name, block)
    # Every record is the index's once: found among one category's rows,
    # or among none.
    attributed = [r for n in names for r in records(ix.errors_of(n))]
    assert len(attributed) <= len(ix.errors)
    assert sorted(attributed) == sorted(set(attributed)) or len(set(records(ix.errors))) < len(ix.errors)


@pytest.mark.parametrize("path", [testdata.path("pdb", "1A8O.cif"), testdata.path("cif2", "ddl.dic")],
                         ids=lambda p: p.name)
def test_ranges_hold_their_tags(path):
    data = path.read_bytes()
    ix = quarzel.index(path)
    for entry in ix.categories:
        text = data[entry.begin:entry.end].decode("utf-8").lower()
        assert all(t in text for t in entry.tags), entry
        # The range begins at a line start, on the line the index names.
        assert entry.begin == 0 or data[entry.begin - 1:entry.begin] == b"\n"
        assert data[:entry.begin].count(b"\n") + 1 == entry.line


@pytest.mark.parametrize("window", [16, 300])
def test_tiny_windows_change_nothing(window, monkeypatch):
    path = testdata.path("cif_api", "text_fields.cif")
    whole = quarzel.index(path)
    monkeypatch.setattr(selective, "_WINDOW", window)
    cut = quarzel.index(path)
    assert cut.categories == whole.categories and cut.blocks == whole.blocks
    for name in whole.category_names():
        assert cut.read(name).equals(whole.read(name))


def test_records_found_among_a_categorys_rows():
    text = ("data_a _x.a 1 _x.b\n_y.a 2\nloop_ _z.a _z.b 1 2 3\n_w.a 'open\n")
    ix = quarzel.index(text)
    assert [e.message for e in ix.errors_of("x")] == ['tag "_x.b" has no value (new tag "_y.a")']
    assert [e.message[:18] for e in ix.errors_of("z")] == ["loop value count 3"]
    assert [e.message for e in ix.errors_of("w")] == ["unterminated single quoted string"]
    assert ix.errors_of("y") == []


def test_changed_file_is_refused(tmp_path):
    path = tmp_path / "x.cif"
    path.write_text("data_a loop_ _c.a 1 2 3\n")
    ix = quarzel.index(path)
    assert ix.read("c").num_rows == 3
    time.sleep(0.01)
    path.write_text("data_a loop_ _c.a 1 2 3 4 5\n")
    with pytest.raises(quarzel.UnreadableFile, match="changed since it was indexed"):
        ix.read("c")


def test_compressed_file_is_streamed(tmp_path):
    plain = testdata.path("pdb", "1A8O.cif")
    path = tmp_path / "x.cif.gz"
    path.write_bytes(gzip.compress(plain.read_bytes()))
    a, b = quarzel.index(plain), quarzel.index(path)
    assert a.categories == b.categories
    assert b.read("atom_site").equals(a.read("atom_site"))


def test_save_frames_and_blocks():
    text = ("data_d _c.x 0 save_f1 _c.x 1 loop_ _c.y 2 3 save_ save_f2 _c.x 4 save_\n"
            "data_e _c.x 5\n")
    ix = quarzel.index(text)
    assert [(c.block, c.frame, c.looped, c.rows) for c in ix.categories] == [
        ("d", None, False, 1), ("d", "f1", False, 1), ("d", "f1", True, 2), ("d", "f2", False, 1),
        ("e", None, False, 1)]
    assert [f.name for f in ix.blocks[0].frames] == ["f1", "f2"]
    assert ix.read("c").equals(quarzel.read_categories(text, "c")["c"])
    assert ix.read("c", "E").column("_c.x").to_pylist() == ["5"]
