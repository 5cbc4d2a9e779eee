"""Every column chunk a typed run writes is compressed as a text run's
are: the parts' numbers (float64 and their su), their text columns (a
column that turns out to hold text within the row group being filled, or
one settled afterwards from the text kept beside its part), and the kept
text itself (OUT/.text/); int64 values are packed differences instead,
stored as they are."""

import os

import pyarrow.parquet as pq
import pytest

from quarzel import dataset
from test_dataset import write

# Each case: the values of `_t.v` file by file, the run's options, and
# what `_t.v` holds in the end (`_t.n` holds integers throughout).
CASES = [
    ("integers throughout", ["1", "2", "3"], {"_part_bytes": 1}, "int"),
    ("fractions: float64", ["1.5", "2.25", "3"], {"_part_bytes": 1}, "float"),
    ("fractions with an su", ["1.5(2)", "2.25", "3.125(11)"], {"_part_bytes": 1}, "float"),
    ("text in a later part: settled from the kept text", ["1", "2", "abc"], {"_part_bytes": 1}, "text"),
    ("text later in the same row group", ["1", "abc"], {}, "text"),
    ("text in a later row group of one part", ["1", "2", "x"], {"_row_group_bytes": 1}, "text"),
    ("placeholders, then numbers: settled to numbers", ["?", ".", "4.5"], {"_part_bytes": 1}, "float"),
]


def codecs(path):
    """Each column's codec; "DELTA" for int64 chunks of packed differences
    stored uncompressed."""
    meta = pq.read_metadata(path)
    found = set()
    for g in range(meta.num_row_groups):
        for c in range(meta.num_columns):
            chunk = meta.row_group(g).column(c)
            codec = chunk.compression
            if (codec == "UNCOMPRESSED" and chunk.physical_type == "INT64"
                    and "DELTA_BINARY_PACKED" in chunk.encodings):
                codec = "DELTA"
            found.add((meta.schema.column(c).name, codec))
    return found


@pytest.mark.parametrize("name,values,options,kind", CASES, ids=[c[0] for c in CASES])
def test_parts_and_kept_text_compressed(tmp_path, name, values, options, kind):
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
    for part in parts:
        found = codecs(part)
        assert ("_t.n", "DELTA") in found, (part, found)
        assert (("_t.v", "DELTA") in found) == (kind == "int"), (part, found)
        assert {codec for name, codec in found if name not in ("_t.n", "_t.v")} == {"SNAPPY"}, (part, found)
        shadow = os.path.join(kept, os.path.basename(part))
        assert os.path.exists(shadow)
        found = codecs(shadow)
        assert "_t.n" in {n for n, _ in found}
        assert {codec for _, codec in found} == {"SNAPPY"}, (shadow, found)
        if kind != "text":
            assert "_t.v" in {n for n, _ in found}

    table = dataset.read_table(out, "t").sort_by([("_file", "ascending")])
    expected = [v for v in values for _ in range(40)]
    assert table.column("_t.n").to_pylist() == [k for _ in values for k in range(40)]
    got = table.column("_t.v").to_pylist()
    if kind == "int":
        assert got == [int(v) for v in expected]
    elif kind == "float":
        assert got == [None if v in "?." else float(v.split("(")[0]) for v in expected]
    else:
        assert got == expected
