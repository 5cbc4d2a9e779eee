"""The text a typed run keeps beside its parts (OUT/.text/) is stored
uncompressed, a working copy. A column that turns out to hold text within
the row group being filled is compressed in its part as any text column;
one settled from the kept text afterwards takes its chunks as they are
(stored)."""

import os

import pyarrow.parquet as pq
import pytest

from quarzel import dataset
from test_dataset import write

# Each case: the values of `_t.v` file by file, the run's options, and
# what `_t.v` holds in the end (`_t.n` holds integers throughout).
# `settled`: the parts whose `_t.v` is taken from the kept text, stored.
CASES = [
    ("numbers throughout", ["1", "2", "3"], {"_part_bytes": 1}, "int", 0),
    ("text in a later part: settled from the kept text", ["1", "2", "abc"], {"_part_bytes": 1}, "text", 2),
    ("text later in the same row group", ["1", "abc"], {}, "text", 0),
    ("text in a later row group of one part", ["1", "2", "x"], {"_row_group_bytes": 1}, "text", 1),
]


def codecs(path):
    meta = pq.read_metadata(path)
    return {(meta.schema.column(c).name, meta.row_group(g).column(c).compression)
            for g in range(meta.num_row_groups) for c in range(meta.num_columns)}


@pytest.mark.parametrize("name,values,options,kind,settled", CASES, ids=[c[0] for c in CASES])
def test_kept_text_stored_and_parts_compressed(tmp_path, name, values, options, kind, settled):
    src = tmp_path / "in"
    src.mkdir()
    paths = []
    for i, v in enumerate(values):
        rows = "".join(f"{v} w{k} {k}\n" for k in range(40))
        paths.append(write(str(src), f"{i:02}.cif", f"data_b{i}\nloop_ _t.v _t.name _t.n\n{rows}".encode()))
    out = str(tmp_path / "out")
    dataset.convert(paths, out, jobs=1, typed=True, **options)

    parts = [os.path.join(out, "t", p) for p in sorted(os.listdir(os.path.join(out, "t"))) if p.endswith(".parquet")]
    kept = os.path.join(out, ".text", "t")
    assert parts
    stored = 0
    for part in parts:
        found = codecs(part)
        assert {codec for n, codec in found if n != "_t.v"} == {"SNAPPY"}, part
        stored += {codec for n, codec in found if n == "_t.v"} == {"UNCOMPRESSED"}
        shadow = os.path.join(kept, os.path.basename(part))
        assert os.path.exists(shadow)
        found = codecs(shadow)
        assert "_t.n" in {n for n, _ in found}
        assert {codec for _, codec in found} == {"UNCOMPRESSED"}, shadow
    assert stored == settled

    table = dataset.read_table(out, "t").sort_by([("_file", "ascending")])
    expected = [v for v in values for _ in range(40)]
    assert table.column("_t.n").to_pylist() == [k for _ in values for k in range(40)]
    if kind == "int":
        assert table.column("_t.v").to_pylist() == [int(v) for v in expected]
    else:
        assert table.column("_t.v").to_pylist() == expected
