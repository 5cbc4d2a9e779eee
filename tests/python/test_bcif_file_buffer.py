"""Files read by path go through a buffer kept per thread (page-aligned,
grown when a file needs more): each read must give that file's bytes
whatever was read before it."""

import threading

import pytest

from quarzel import bcif

# Sizes in reading order: growing past the buffer, shrinking after a large
# one, sizes at page edges.
SEQUENCES = [
    ("one small file", [10]),
    ("grows twice", [100, 5000, 3 << 20]),
    ("small after large", [3 << 20, 7, 4096]),
    ("page edges", [4095, 4096, 4097, 8191, 8192]),
    ("same size again", [4096, 4096, 4096]),
]


def _content(size: int, seed: int) -> bytes:
    return bytes((seed * 131 + i * 7) % 251 for i in range(min(size, 1 << 16))) * (
        size // (1 << 16) + 1)


@pytest.mark.parametrize("sizes", [s for _, s in SEQUENCES], ids=[n for n, _ in SEQUENCES])
def test_each_read_gives_the_files_own_bytes(tmp_path, sizes):
    def run():
        for k, size in enumerate(sizes):
            want = _content(size, k)[:size]
            path = tmp_path / f"f{k}"
            path.write_bytes(want)
            assert bytes(bcif._read_file(path)) == want

    # A fresh thread starts with no buffer of its own.
    failures = []
    t = threading.Thread(target=lambda: _record(run, failures))
    t.start()
    t.join()
    assert not failures, failures[0]


def _record(fn, failures):
    try:
        fn()
    except BaseException as e:  # reported by the test's own thread
        failures.append(e)

