"""parse_arrow keeps freed large buffers of one call for the next calls:
batches still alive must keep their contents, and reused memory must not
show through in later results."""

import threading

import pytest

import quarzel_core as q


def loop_text(rows, width, seed):
    """One loop of `rows` rows, values `width` characters long, plus a
    second loop, so that several columns pass 64 KB."""
    head = "data_d\nloop_\n_a.k\n_a.v\n_a.w\n"
    body = "".join(f"{i} {str(i * seed).rjust(width, 'x')} '{seed}-{i}'\n" for i in range(rows))
    tail = "loop_\n_b.n\n" + "".join(f"{i * seed % 97}\n" for i in range(rows // 2))
    return head + body + tail


def content(batches):
    return [(b.schema.names, [c.to_pylist() for c in b.columns]) for b in batches]


# Small texts (views into the text), texts over 1 MB (packed columns handed
# to the batches), and a mix, so that buffers of one kind are reused by the other.
SHAPES = [
    pytest.param([(8000, 12, 3), (9000, 5, 7), (8000, 12, 11)], id="small"),
    pytest.param([(60000, 20, 3), (70000, 9, 5), (60000, 20, 13)], id="over-1MB"),
    pytest.param([(60000, 20, 3), (8000, 30, 7), (90000, 4, 17)], id="mixed"),
]


@pytest.mark.parametrize("shapes", SHAPES)
def test_live_batches_keep_their_contents(shapes):
    texts = [loop_text(*s) for s in shapes]
    expected = [content(q.parse_arrow(t)[0]) for t in texts]
    held = [q.parse_arrow(t)[0] for t in texts]
    for _ in range(3):  # later calls must not write into what is held
        for t in reversed(texts):
            q.parse_arrow(t)
    assert [content(b) for b in held] == expected


@pytest.mark.parametrize("shapes", SHAPES)
def test_reused_memory_does_not_show(shapes):
    texts = [loop_text(*s) for s in shapes]
    expected = [content(q.parse_arrow(t)[0]) for t in texts]
    for _ in range(2):
        for t, want in zip(reversed(texts), reversed(expected)):
            assert content(q.parse_arrow(t)[0]) == want


def test_batches_freed_on_another_thread():
    texts = [loop_text(60000, 10, 3), loop_text(5000, 40, 9)]
    expected = [content(q.parse_arrow(t)[0]) for t in texts]
    results, errors = {}, []

    def work(k):
        try:
            for i in range(4):
                t = texts[(i + k) % 2]
                results[k, i] = q.parse_arrow(t)[0]
                # the batch made on this thread dies on the main thread
        except Exception as e:  # pragma: no cover - reported below
            errors.append(e)

    threads = [threading.Thread(target=work, args=(k,)) for k in range(2)]
    for th in threads:
        th.start()
    for th in threads:
        th.join()
    assert not errors
    for (k, i), batches in results.items():
        assert content(batches) == expected[(i + k) % 2]
    results.clear()
    assert [content(q.parse_arrow(t)[0]) for t in texts] == expected
