"""A column name given twice in a category: the later column is kept where
the earlier stood in order, and each earlier one is reported. Wide
categories look their names up in a table kept from category to category,
narrow ones compare them pairwise: both must agree."""

import msgpack
import pytest

from quarzel import bcif

from bcifgen import ints_column as ints


def run(categories):
    """{category: {column: values}} and the duplicate-tag records of a file
    whose categories are lists of column names (column k holds [k])."""
    data = msgpack.packb({"version": "0.3.0", "encoder": "test", "dataBlocks": [
        {"header": "B", "categories": [
            {"name": f"_c{i}", "rowCount": 1,
             "columns": [ints(name, [k]) for k, name in enumerate(names)]}
            for i, names in enumerate(categories)]}]})
    blocks, errors = bcif._native().bcif_tables(data)
    got = {c: t.to_pydict() for c, t in blocks["B"].items()}
    return got, sorted(e["message"] for e in errors)


def kept(names):
    """The columns that stay: each name's last column, in the order of the
    columns kept."""
    last = {name: k for k, name in enumerate(names)}
    return {name: [k] for k, name in enumerate(names) if last[name] == k}


def reported(i, names):
    return sorted(f'block "B", category "_c{i}", column "{name}": duplicate tag "_c{i}.{name}"'
                  for k, name in enumerate(names) if name in names[k + 1:])


def wide(n):
    return [f"n{k}" for k in range(n)]


# (case, the categories' column names)
CASES = [
    ("first and last of twenty", [wide(19) + ["n0"]]),
    ("three times in a wide category", [["x"] + wide(9) + ["x"] + wide(20)[10:18] + ["x"]]),
    ("forty distinct names", [wide(40)]),
    ("every name twice, in two runs", [wide(10) + wide(10)]),
    ("seventeen, the narrowest looked up", [wide(16) + ["n3"]]),
    ("sixteen, the widest compared pairwise", [wide(15) + ["n3"]]),
    ("a wide category after one with the same names repeated",
     [wide(20) + wide(20), wide(25)]),
    ("names that differ only in their middle",
     [[f"atom_{k:03d}_site" for k in range(30)] + ["atom_007_site"]]),
]


@pytest.mark.parametrize("categories", [c[1] for c in CASES], ids=[c[0] for c in CASES])
def test_later_columns_kept_and_earlier_ones_reported(categories):
    got, errors = run(categories)
    assert got == {f"c{i}": kept(names) for i, names in enumerate(categories)}
    assert errors == sorted(m for i, names in enumerate(categories) for m in reported(i, names))
