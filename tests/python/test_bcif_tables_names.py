"""bcif.tables with block headers and category names that are not UTF-8:
they are read with U+FFFD for each bad byte, and the mended names must
still be whole when the tables are handed over (short names and names too
long to be held inside a string object alike)."""

import msgpack
import pytest

from quarzel import bcif

from bcifgen import ints_column as ints


def document(header, names):
    """A file of one block; placeholders of the same length stand for the
    names' bytes, which are put in after packing."""
    data = msgpack.packb({"version": "0.3.0", "encoder": "test", "dataBlocks": [
        {"header": "H" * len(header), "categories": [
            {"name": chr(ord("a") + i) * len(name), "rowCount": 1,
             "columns": [ints("x", [i])]}
            for i, name in enumerate(names)]}]})
    for placeholder, raw in [(b"H" * len(header), header)] + [
            (bytes([ord("a") + i]) * len(name), name) for i, name in enumerate(names)]:
        assert data.count(placeholder) == 1
        data = data.replace(placeholder, raw)
    return data


# (case, header, category names): where the bad bytes are.
CASES = [
    ("a short category name", b"B", [b"_c\xff"]),
    ("a long category name", b"B", [b"_chem_comp\xfe_bond_and_more"]),
    ("a long header", b"BLOCK_\xc3_WITH_A_LONG_HEADER", [b"_cell"]),
    ("both, and a sound category after", b"\xe2\x82", [b"_atom_site\x80_anisotrop", b"_exptl"]),
]


def mended(raw):
    """U+FFFD for each byte that is not part of valid UTF-8."""
    text = raw.decode("utf-8", "surrogateescape")
    return "".join("\ufffd" if "\udc80" <= c <= "\udcff" else c for c in text)


@pytest.mark.parametrize("header, names", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_mended_names_are_whole(header, names):
    data = document(header, names)
    blocks, errors = bcif._native().bcif_tables(data)
    assert list(blocks) == [mended(header)]
    tables = blocks[mended(header)]
    assert list(tables) == [mended(n).removeprefix("_") for n in names]
    for i, name in enumerate(names):
        assert tables[mended(name).removeprefix("_")].column("x").to_pylist() == [i]
    bad = [n for n in [header] + names if mended(n) != n.decode("latin-1")]
    assert len(errors) == len(bad)
    assert all(e["message"].endswith("is not valid UTF-8") for e in errors)
    with pytest.raises(bcif.BinaryCIFError):
        bcif.tables(data)
