"""BinaryCIF between quarzel and the Python readers and writers of biotite,
python-mmcif and ihm (run as oracles only): each reads what quarzel writes
with the same values, and quarzel reads what each writes with the same
values. Numbers are compared as numbers, `?` and `.` as themselves."""

from __future__ import annotations

import gzip
import io
import math

import pytest

import quarzel
from quarzel import _native, bcif

import testdata

pdbx = pytest.importorskip("biotite.structure.io.pdbx")
mmcif_reader = pytest.importorskip("mmcif.io.BinaryCifReader")
mmcif_writer = pytest.importorskip("mmcif.io.BinaryCifWriter")
mmcif_io = pytest.importorskip("mmcif.io.IoAdapterPy")
ihm_format = pytest.importorskip("ihm.format")
ihm_bcif = pytest.importorskip("ihm.format_bcif")

SOURCES = [testdata.path("bcif", "1bna.cif"), testdata.path("bcif", "1hml.bcif"),
           testdata.path("bcif", "1aki.bcif")]


def same_value(ours: str, theirs, rel: float = 0.0) -> bool:
    """`ours` (CIF text) and a peer's value: equal texts, or equal numbers
    (within `rel`, relative, for a peer that gives numbers as rounded text)."""
    if isinstance(theirs, bytes):
        theirs = theirs.decode()
    if ours in ("?", ".") or theirs in ("?", "."):
        return ours == str(theirs)
    if ours == theirs:
        return True
    try:
        a, b = float(ours), float(theirs)
    except (TypeError, ValueError):
        return False
    return a == b or math.isclose(a, b, rel_tol=rel, abs_tol=0)


def biotite_values(column) -> list:
    """A biotite column's values as biotite decodes them (numbers in their
    own dtype), masked cells as "." or "?"."""
    values = column.as_array().tolist()
    if column.mask is not None:
        for i, m in enumerate(column.mask.array.tolist()):
            if m:
                values[i] = "." if m == 1 else "?"
    return values


def written_by_quarzel(source, tmp_path):
    """The document of `source`, its BinaryCIF as quarzel writes it (names
    spelled as the source spells them), and the file's path."""
    data = testdata.read_bytes(source)
    if bcif.is_bcif(data):
        (cif, _), names = bcif.read_with_names(data)
    else:
        text = data.decode()
        cif, _ = quarzel.read(text)
        names = _native.name_spellings(text)
    path = tmp_path / "q.bcif"
    path.write_bytes(bcif.dumps(cif, names=names))
    return cif, names, path


def columns_of(cif, names):
    """(category without underscore, column as spelled, values) per tag."""
    (block,) = cif.blocks
    for tag in cif[block].tags:
        spelled = names.get(tag, tag)
        category, column = spelled[1:].split(".", 1)
        yield category, column, cif[block][tag]


@pytest.mark.parametrize("source", SOURCES, ids=lambda p: p.name)
def test_biotite_reads_what_quarzel_writes(source, tmp_path):
    cif, names, path = written_by_quarzel(source, tmp_path)
    block = pdbx.BinaryCIFFile.read(str(path)).block
    checked = 0
    for category, column, values in columns_of(cif, names):
        got = biotite_values(block[category][column])
        assert len(got) == len(values)
        for ours, theirs in zip(values, got):
            assert same_value(ours, theirs), (category, column, ours, theirs)
        checked += 1
    assert checked > 100


@pytest.mark.parametrize("source", SOURCES, ids=lambda p: p.name)
def test_python_mmcif_reads_what_quarzel_writes(source, tmp_path):
    cif, names, path = written_by_quarzel(source, tmp_path)
    (container,) = mmcif_reader.BinaryCifReader().deserialize(str(path))
    for category, column, values in columns_of(cif, names):
        obj = container.getObj(category)
        assert obj.getRowCount() == len(values)
        for row, ours in enumerate(values):
            theirs = obj.getValue(column, row)
            assert same_value(ours, theirs), (category, column, ours, theirs)


def ihm_handlers(categories: dict[str, list[str]], got: dict):
    """Handlers for ihm's reader that collect every value of the named
    categories (lower-case keywords, as ihm hands them over)."""

    def handler(category, keywords):
        rows = got.setdefault(category, [])
        params = ", ".join(keywords)
        namespace: dict = {}
        exec(f"def call(self, {params}):\n    rows.append(dict(zip(keys, [{params}])))",
             {"rows": rows, "keys": keywords}, namespace)
        cls = type("Handler", (), {"__call__": namespace["call"], "not_in_file": None,
                                   "omitted": ".", "unknown": "?"})
        return cls()

    return {f"_{c}": handler(c, ks) for c, ks in categories.items()}


def test_ihm_reads_what_quarzel_writes(tmp_path):
    cif, names, path = written_by_quarzel(testdata.path("bcif", "1bna.cif"), tmp_path)
    wanted: dict[str, list[str]] = {}
    values: dict[tuple[str, str], list[str]] = {}
    for category, column, vals in columns_of(cif, names):
        key = column.lower()
        if not key.isidentifier() or category not in ("atom_site", "cell", "struct_conn",
                                                      "entity", "pdbx_poly_seq_scheme"):
            continue
        wanted.setdefault(category, []).append(key)
        values[(category, key)] = vals
    got: dict = {}
    with open(path, "rb") as fh:
        ihm_bcif.BinaryCifReader(fh, ihm_handlers(wanted, got)).read_file()
    for (category, key), vals in values.items():
        theirs = [row[key] for row in got[category]]
        assert len(theirs) == len(vals)
        for ours, t in zip(vals, theirs):
            # ihm's reader gives floats as text of 6 significant digits.
            assert same_value(ours, t, rel=5e-6), (category, key, ours, t)


def quarzel_values(path_or_data):
    cif, errors = quarzel.read(path_or_data)
    assert errors == []
    (block,) = cif.blocks
    return cif[block]


def test_quarzel_reads_what_biotite_writes(tmp_path):
    for source in (testdata.path("bcif", "1hml.bcif"), testdata.path("bcif", "1aki.bcif")):
        out = tmp_path / "b.bcif"
        pdbx.compress(pdbx.BinaryCIFFile.read(str(source))).write(str(out))
        ours = quarzel_values(out)
        block = pdbx.BinaryCIFFile.read(str(out)).block  # what biotite wrote, as it reads it
        for category in block:
            for column in block[category]:
                theirs = biotite_values(block[category][column])
                tag = f"_{category}.{column}".lower()
                assert len(ours[tag]) == len(theirs)
                for a, b in zip(ours[tag], theirs):
                    assert same_value(a, b), (tag, a, b)


def test_quarzel_reads_what_python_mmcif_writes(tmp_path):
    source = testdata.path("bcif", "1bna.cif")
    containers = mmcif_io.IoAdapterPy().readFile(str(source))
    out = tmp_path / "m.bcif"
    mmcif_writer.BinaryCifWriter().serialize(str(out), containers)
    ours = quarzel_values(out)
    text = quarzel_values(source)
    assert set(ours.tags) == set(text.tags)
    for tag in text.tags:
        for a, b in zip(ours[tag], text[tag], strict=True):
            assert same_value(a, b), (tag, a, b)


def test_quarzel_reads_what_ihm_writes(tmp_path):
    buf = io.BytesIO()
    w = ihm_bcif.BinaryCifWriter(buf)
    w.start_block("ihm")
    with w.category("_struct") as c:
        c.write(entry_id="1ABC", title="a title", pdbx_descriptor=w.unknown)
    with w.loop("_atom_site", ["id", "type_symbol", "Cartn_x", "occupancy", "label_seq_id"]) as l:
        for i in range(50):
            l.write(id=i + 1, type_symbol="CNO"[i % 3], Cartn_x=i * 1.25 - 3,
                    occupancy=None if i % 7 == 0 else 1.0,
                    label_seq_id=w.unknown if i % 5 == 0 else i // 3)
    w.end_block()
    w.flush()
    block = quarzel_values(buf.getvalue())
    assert block["_struct.entry_id"] == ["1ABC"]
    assert block["_struct.pdbx_descriptor"] == ["?"]
    assert block["_atom_site.id"] == [str(i + 1) for i in range(50)]
    for i in range(50):
        assert float(block["_atom_site.cartn_x"][i]) == i * 1.25 - 3
        assert block["_atom_site.occupancy"][i] == ("." if i % 7 == 0 else
                                                    block["_atom_site.occupancy"][i])
        if i % 5 == 0:
            assert block["_atom_site.label_seq_id"][i] == "?"
        else:
            assert int(block["_atom_site.label_seq_id"][i]) == i // 3
    tables = bcif.tables(gzip.compress(buf.getvalue()))
    assert tables["ihm"]["atom_site"].num_rows == 50
