"""The builder of a thread takes room up front for as many tags and names as
the document it read last had: whatever came before, a text reads the same."""

import pytest

import quarzel_core as q


def block(name, tags, prefix="_t"):
    return f"data_{name}\n" + "".join(f"{prefix}{i} v{i}\n" for i in range(tags))


def looped(name, tags, rows):
    head = f"data_{name}\nloop_\n" + "".join(f"_l.c{i}\n" for i in range(tags))
    return head + "".join(" ".join(f"r{r}c{i}" for i in range(tags)) + "\n" for r in range(rows))


def result(text):
    batches, errors = q.parse_arrow(text)
    return [(str(b.schema), [c.to_pylist() for c in b.columns]) for b in batches], errors


CASES = [
    pytest.param(block("a", 60), block("b", 20), id="fewer-tags-than-before"),
    pytest.param(block("a", 12), block("b", 200), id="more-tags-than-before"),
    pytest.param(block("a", 900), block("b", 700), id="over-the-cap"),
    pytest.param(block("a", 52), block("b", 30) + "_t3 again\n_t20 again\n", id="tags-given-again"),
    pytest.param(block("a", 52), block("b", 40) + "loop_\n_t5\n_t41\nx y\n", id="scalar-replaced-by-loop"),
    pytest.param(looped("a", 30, 4), looped("b", 30, 2) + block("c", 30), id="names-shared-by-blocks"),
    pytest.param(block("a", 40) + block("b", 3), block("c", 9) + block("d", 45), id="blocks-of-other-sizes"),
]


@pytest.mark.parametrize("before, text", CASES)
def test_text_reads_the_same_after_any_other(before, text):
    q.parse_arrow("data_x _a 1")
    fresh = result(text)
    q.parse_arrow(before)
    assert result(text) == fresh
    assert result(text) == fresh  # and after itself
