"""iter_blocks against quarzel.read: the same blocks, save frames, tags,
loops and values for every test file, window by window; the problem
records handed out with the blocks, in order, are those of the full
reading; with categories, only their tags, with their values."""

import gzip

import pytest

import quarzel
import quarzel._selective as selective

import testdata

FIELDS = ["error_type", "message", "line", "column", "context", "recovery_action"]


def frame_view(frame):
    return (frame.name, frame._tag_order, frame._tags, frame._loops)


def block_view(block):
    return (block.name, block._id, block._tag_order, block._tags, block._loops,
            [frame_view(f) for f in block._save_frame_list], sorted(block._save_frames))


def records(errors):
    return [tuple(getattr(e, f) for f in FIELDS) for e in errors]


FILES = testdata.files(suffixes=(".cif", ".dic", ".cif.gz"))


@pytest.mark.parametrize("path", FILES, ids=lambda p: p.name)
def test_same_blocks_and_records_as_read(path):
    full = quarzel.read(path)
    it = quarzel.iter_blocks(path)
    got, errors = [], []
    for block, block_errors in it:
        got.append(block_view(block))
        errors += block_errors
    errors += it.errors
    assert got == [block_view(b) for b in full.cif._block_list]
    assert records(errors) == records(full.errors)


@pytest.mark.parametrize("window", [16, 200])
def test_tiny_windows_change_nothing(window, monkeypatch):
    path = testdata.path("cif_api", "text_fields.cif")
    expected = [block_view(b) for b in quarzel.read(path).cif._block_list]
    monkeypatch.setattr(selective, "_WINDOW", window)
    assert [block_view(b) for b, _ in quarzel.iter_blocks(path)] == expected


def test_records_go_with_their_block():
    text = ("data_one _a.x 1 _a.y\n"          # no value: the record is at data_two
            "data_two loop_ _b.x _b.y 1 2 3\n"  # padded at data_one (duplicate name)
            "data_one _c.x 'open\n")
    blocks = list(quarzel.iter_blocks(text))
    assert [b.name for b, _ in blocks] == ["one", "two", "one"]
    first, second, third = (records(e) for _, e in blocks)
    assert [m for _, m, *_ in first] == ['tag "_a.y" has no value (terminated by data_two)']
    assert len(second) == 1 and second[0][1].startswith("loop value count 3")
    assert [m for _, m, *_ in third] == ['duplicate data block name: "one"',
                                         "unterminated single quoted string"]
    assert sum(map(len, (first, second, third))) == len(quarzel.read(text).errors)


def test_categories_keep_only_their_tags():
    path = testdata.path("pdb", "1A8O.cif")
    full = quarzel.read(path).cif._block_list[0]
    (block, _), = list(quarzel.iter_blocks(path, categories=["atom_type", "CELL"]))
    wanted = [t for t in full._tag_order if t.startswith(("_atom_type.", "_cell."))]
    assert block._tag_order == wanted
    assert all(block._tags[t] == full._tags[t] for t in wanted)
    assert block._loops == [l for l in full._loops if l[0].startswith("_atom_type.")]


def test_no_blocks_leaves_records_on_the_iterator():
    it = quarzel.iter_blocks("_lonely.tag 1\n")
    assert list(it) == []
    assert [e.message for e in it.errors] == ['tag "_lonely.tag" outside data block']


def test_compressed_input(tmp_path):
    path = tmp_path / "x.cif.gz"
    path.write_bytes(gzip.compress(testdata.path("pdb", "1A8O.cif").read_bytes()))
    expected = [block_view(b) for b in quarzel.read(path).cif._block_list]
    assert [block_view(b) for b, _ in quarzel.iter_blocks(path)] == expected
