"""Skipped loops counted 64 bytes at a time (the word skim) against the
lexer's own count: for each case the index (blocks, groups of rows with
their byte ranges, lines and row counts, problem records) and
read_categories of a small category (its table and records) are the same
with the skim on and off, and the loop is counted as the full read counts
it. Each case puts one thing where the skim could go wrong."""

import random

import pytest

import quarzel
import quarzel._native as native
import quarzel._selective as selective

FIELDS = ["error_type", "message", "line", "column", "context", "recovery_action"]

pytestmark = pytest.mark.skipif(not native.word_skim(), reason="no AVX2 here")


def records(errors):
    return [tuple(getattr(e, f) for f in FIELDS) for e in errors]


def rows(words, per_row=4, width=5):
    """Rows of plain words whose starts fall on every byte of a 64-byte block."""
    out = []
    for i in range(words // per_row):
        out.append(" ".join(f"{w:0{width + (i + k) % 7}d}" for k, w in enumerate(range(i, i + per_row))))
    return "\n".join(out) + "\n"


HEAD = "data_d\n_small.id 1\n_small.name two\nloop_\n_big.a\n_big.b\n_big.c\n_big.d\n"
AFTER = "loop_\n_tail.x\n_tail.y\n1 2\n3 4\n_small.late 'x y'\n"

CASES = {
    "plain rows across block edges": HEAD + rows(400) + AFTER,
    "single quotes among the rows": HEAD + rows(40) + "a 'b c' d e\n'O5''' x 'y' z\n" + rows(40) + AFTER,
    "double quotes": HEAD + rows(40) + 'a "b c" "d" e\n' + rows(40) + AFTER,
    "quote inside a word": HEAD + rows(20) + "O5' b'c d e\n" + rows(20) + AFTER,
    "text field": HEAD + rows(40) + "a b c\n;line one\nline two\n;\n" + rows(40)[:-1] + " z\n" + AFTER,
    "semicolon inside a line": HEAD + rows(20) + "a ;b c d\n" + rows(20) + AFTER,
    "comments": HEAD + rows(40) + "# a comment\na b # c d\nc d\n" + rows(40) + AFTER,
    "hash inside a word": HEAD + rows(20) + "a#b c d e\n" + rows(20) + AFTER,
    "tag ends the loop": HEAD + rows(40) + "_small.more 3\n" + AFTER,
    "tag ends a loop with a short row": HEAD + rows(40) + "a b\n_small.more 3\n" + AFTER,
    "value count not a multiple of the tags": HEAD + rows(40) + "x\n" + AFTER,
    "underscore words that are not keywords": HEAD + rows(20) + "abcd_ data_ sAVE_ gLOBALx\n" + rows(20) + AFTER,
    "loop_ in upper case": HEAD + rows(40) + "LOOP_\n_tail2.q\n1\n2\n" + AFTER,
    "stop_ in mixed case": HEAD + rows(40) + "StOp_\n" + AFTER,
    "save_ in a loop": HEAD + rows(40) + "SAVE_f\n_small.in 1\nsave_\n" + AFTER,
    "data_ ends the block": HEAD + rows(40) + "DATA_second\n_small.id 2\n" + AFTER,
    "global_ halts": HEAD + rows(40) + "Global_\n" + AFTER,
    "loop at the end of the file": HEAD + rows(400),
    "loop at the end, no last line end": HEAD + rows(400)[:-1],
    "loop at the end, short last row": HEAD + rows(400) + "x y",
    "CRLF line ends": (HEAD + rows(200) + AFTER).replace("\n", "\r\n"),
    "lone CR line ends": (HEAD + rows(200) + AFTER).replace("\n", "\r"),
    "tabs and runs of blanks": HEAD + rows(100).replace(" ", "\t  ") + AFTER,
    "non-ASCII words": HEAD + rows(40) + "é ü ñ x\nÅngström b c d\n" + rows(40) + AFTER,
    "brackets in CIF 1.1 words": HEAD + rows(40) + "a[1] b] {c} d\n" + rows(40) + AFTER,
    "dollar and colon": HEAD + rows(40) + "$a b c:d :\n" + rows(40) + AFTER,
    "CIF 2.0 list": "#\\#CIF_2.0\n" + HEAD + rows(40) + "[1 2] {'k':v} c d\na[b c]d e f\n" + rows(40) + AFTER,
    "CIF 2.0 plain rows": "#\\#CIF_2.0\n" + HEAD + rows(400) + AFTER,
    "CIF 2.0 triple quotes": "#\\#CIF_2.0\n" + HEAD + rows(40) + "'''a\nb''' c d e\n" + rows(40) + AFTER,
    "long words": HEAD + " ".join("w" * (30 + k % 90) for k in range(400)) + "\n" + AFTER,
    "control bytes in words": HEAD + rows(20) + "a\x01b c\x7f d e\n" + rows(20) + AFTER,
    "two loops of one category": HEAD + rows(40) + "loop_\n_big.a\n_big.b\n" + rows(40, 2) + AFTER,
}


def generated(seed):
    """A loop of atom_site-like rows with quotes, comments and words that
    look like keywords sprinkled in, at random places."""
    rnd = random.Random(seed)
    pieces = ["ATOM", "HETATM", "1.250", "-7.5", "SER", "GLY", "S", "DA", "?", ".", '"C1\'"', "'O5'",
              "'a b'", "#c\n", "loop_x", "dataa_", "gxxxxx_", "ab_cd", "\n", "\n", "w" * 70]
    words = [rnd.choice(pieces) for _ in range(rnd.randrange(200, 3000))]
    return HEAD + " ".join(words) + "\n" + AFTER


CASES.update({f"generated {k}": generated(k) for k in range(6)})


def snapshot(path):
    ix = quarzel.index(path)
    small = quarzel.read_categories(path, ["small", "tail"])
    return (ix.blocks, ix.categories, records(ix.errors), [ix.errors_of(n) == [] for n in ix.category_names()],
            {k: t.to_pydict() for k, t in small.items()}, records(small.errors))


@pytest.mark.parametrize("window", [selective._WINDOW, 256], ids=["window 16 MB", "window 256 B"])
@pytest.mark.parametrize("name", list(CASES))
def test_skim_counts_as_the_lexer(name, window, tmp_path, monkeypatch):
    path = tmp_path / "t.cif"
    path.write_bytes(CASES[name].encode("utf-8"))
    monkeypatch.setattr(selective, "_WINDOW", window)
    try:
        native.word_skim(False)
        exact = snapshot(path)
    finally:
        native.word_skim(True)
    assert snapshot(path) == exact
    # The rows counted while skipping are those read when the loop is kept,
    # and the records those of a full read.
    counted = sum(c.rows for c in exact[1] if c.category == "big")
    assert counted == quarzel.read_categories(path, "big")["big"].num_rows
    assert records(quarzel.read(path).errors) == exact[2]
