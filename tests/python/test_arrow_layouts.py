"""parse_arrow reads texts under 1 MB as views into the text and copies the
values into the batches; larger texts are packed as they are read. The same
document must give the same batches either way: a comment of over 1 MB put
in front of it switches the way without changing any value."""

import pytest

import quarzel_core as q

PAD = "#" + "p" * (1 << 20) + "\n"


def loop(rows, value, tail=""):
    """One loop of `rows` rows of a counter and `value(i)`, then `tail`."""
    body = "".join(f"{i} {value(i)}\n" for i in range(rows))
    return "data_d\nloop_\n_a.k\n_a.v\n" + body + tail


def content(text):
    batches, errors = q.parse_arrow(text)
    return [(b.schema, [c.to_pylist() for c in b.columns]) for b in batches], errors


CASES = [
    # Plain short words, across the blocks of rows columns are filled in.
    pytest.param(loop(1, lambda i: f"v{i}"), id="one-row"),
    pytest.param(loop(2047, lambda i: f"v{i}"), id="block-less-one"),
    pytest.param(loop(2048, lambda i: f"v{i}"), id="one-block"),
    pytest.param(loop(2049, lambda i: f"v{i}"), id="block-and-one"),
    pytest.param(loop(5000, lambda i: f"{i * 7 % 1000}.{i}(3)"), id="numbers"),
    # Words longer than 16 bytes, and of every length about it.
    pytest.param(loop(3000, lambda i: "w" * (1 + i % 40)), id="lengths"),
    # The last value ends the text: no 16 bytes after it.
    pytest.param(loop(300, lambda i: "x" * (i % 20 + 1)).rstrip("\n"), id="value-at-end"),
    pytest.param("data_d _a.v " + "y" * 15, id="scalar-at-end"),
    # Values kept aside among slices: quoted placeholders, changed text
    # fields, long texts.
    pytest.param(loop(2500, lambda i: "'.'" if i % 3 == 0 else f"s{i}"), id="quoted-dots"),
    pytest.param(loop(2100, lambda i: "'?'" if i == 2099 else "."), id="placeholders"),
    pytest.param(loop(40, lambda i: f"\n;\\\nline {i}\\\n more\n;" if i % 2 else "z"), id="text-fields"),
    pytest.param(loop(3, lambda i: "'" + "L" * 40000 + "'" if i == 1 else "s"), id="long-value"),
    # Bare words too long for a reference into the text, among words that
    # the lexer hands over as references: first in their column, amid a
    # run, at the limit and one past it, and in a run of a few words.
    pytest.param(loop(3000, lambda i: "B" * 40000 if i == 0 else f"b{i}"), id="long-word-first"),
    pytest.param(loop(3000, lambda i: "M" * 40000 if i == 1500 else f"m{i}"), id="long-word-amid"),
    pytest.param(loop(600, lambda i: "C" * (32767 + i % 2) if i % 100 in (7, 8) else f"c{i}"),
                 id="reference-limit"),
    pytest.param(loop(1, lambda i: "D" * 40000), id="long-word-short-run"),
    pytest.param("data_d\nloop_\n_a.k\n" + "E" * 33000 + " " + " ".join(f"e{i}" for i in range(2000)) + "\n",
                 id="long-word-opens-run"),
    # Columns of unequal length in one loop: nulls after the values.
    pytest.param("data_d\nloop_\n_a.k\n_a.v\n" + " ".join(f"k{i}" for i in range(4001)) + "\n",
                 id="short-last-row"),
    # Several blocks and frames, scalars and loops.
    pytest.param("data_a _x.y 1 _x.z 'two'\n" + loop(100, lambda i: i)[0:] +
                 "save_f _s.t " + "q" * 20 + " save_\n", id="blocks-frames"),
]


@pytest.mark.parametrize("text", CASES)
def test_views_and_packed_give_the_same_batches(text):
    small, small_errors = content(text)
    packed, packed_errors = content(PAD + text)
    assert [s for s, _ in small] == [s for s, _ in packed]
    assert [c for _, c in small] == [c for _, c in packed]
    assert [str(e) for e in small_errors] == [str(e) for e in packed_errors]
    assert small  # something was read
