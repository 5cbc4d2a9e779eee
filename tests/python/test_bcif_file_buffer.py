"""Files read by path go through a page-aligned buffer kept per thread and
grown when a file needs more: each read gives that file's own bytes."""

import pytest

from quarzel import bcif


# File sizes in reading order: growing, shrinking after a large one, page edges.
@pytest.mark.parametrize("sizes", [[100, 5000, 3 << 20], [3 << 20, 7, 4096],
                                   [4095, 4096, 4097, 8192]],
                         ids=["grows", "small after large", "page edges"])
def test_each_read_gives_the_files_own_bytes(tmp_path, sizes):
    for k, size in enumerate(sizes):
        want = bytes((k * 131 + i * 7) % 251 for i in range(4099)) * (size // 4099 + 1)
        path = tmp_path / f"f{k}"
        path.write_bytes(want[:size])
        assert bytes(bcif._read_file(path)) == want[:size]
