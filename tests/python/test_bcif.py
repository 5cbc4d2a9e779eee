"""BinaryCIF: the real files of two encoders read without a fault and agree
with their CIF text; typed tables; what quarzel writes is numeric only where
every value reads back unchanged (or a dictionary says so) and reads back as
the same document; hostile files give errors that say where, never a crash."""

from __future__ import annotations

import gzip
import math
import struct

import msgpack
import pyarrow as pa
import pytest
import quarzel_core as q

import quarzel
from quarzel import bcif

import testdata
from bcifgen import column, ints_column, strings_column

BCIF_FILES = testdata.files((".bcif",))
MOLSTAR = {"1ay7", "1mol", "1gl4", "1hml", "1p4k", "1qgi", "2nwd", "3kcs", "3lsj", "3lzm",
           "3rd3", "4osx", "6oa8", "2rtg"}


def unpack(data: bytes) -> dict:
    return msgpack.unpackb(gzip.decompress(data) if data[:2] == b"\x1f\x8b" else data)


def same_document(a, b) -> None:
    """The same blocks, tags and value texts (tag order within a block may
    differ: BinaryCIF groups a block's tags by category)."""
    assert list(a._blocks) == list(b._blocks)
    for name in a._blocks:
        x, y = a[name], b[name]
        assert set(x.tags) == set(y.tags), name
        for tag in x.tags:
            assert x[tag] == y[tag], (name, tag)


def looped(block) -> set[str]:
    return {t for loop in block.loops for t in loop}


# ---- reading the real files --------------------------------------------------

def test_the_test_data_has_both_encoders():
    assert len(BCIF_FILES) == 20
    encoders = {unpack(p.read_bytes())["encoder"].split()[0] for p in BCIF_FILES}
    assert encoders == {"mol*/ciftools", "python-mmcif"}


@pytest.mark.parametrize("path", BCIF_FILES, ids=lambda p: p.stem)
def test_every_file_reads_without_a_fault(path):
    cif, errors = quarzel.read(path)
    assert errors == []
    (block,) = cif.blocks
    atoms = cif[block]
    n = len(atoms["_atom_site.id"])
    assert n > 0
    assert len(atoms["_atom_site.cartn_x"]) == n
    assert {"_atom_site.id", "_atom_site.cartn_x"} <= looped(atoms)
    tables = bcif.tables(path)
    assert tables[block.upper()]["atom_site"].num_rows == n


def as_number(text: str):
    try:
        return float(text)
    except ValueError:
        return text


def test_1bna_agrees_with_its_cif_text_value_by_value():
    binary, errors = quarzel.read(testdata.path("bcif", "1bna.bcif.gz"))
    assert errors == []
    text, _ = quarzel.read(testdata.path("bcif", "1bna.cif"))
    b, t = binary["1bna"], text["1bna"]
    assert set(b.tags) == set(t.tags)
    assert looped(b) == looped(t)
    differing = 0
    for tag in t.tags:
        for x, y in zip(t[tag], b[tag], strict=True):
            if x != y:
                assert as_number(x) == as_number(y), (tag, x, y)
                differing += 1
    # Only the formatting of numbers differs ("24.870" and "24.87").
    assert differing > 0
    assert b["_cell.length_a"] == ["24.87"] and t["_cell.length_a"] == ["24.870"]


def test_values_become_cif_text():
    cif, _ = quarzel.read(testdata.path("bcif", "1bna.bcif.gz"))
    atoms = cif["1bna"]
    assert atoms["_atom_site.cartn_x"][:2] == ["18.935", "19.130"]  # FixedPoint: 3 decimals
    assert atoms["_atom_site.label_alt_id"][0] == "."  # masked, inapplicable
    assert atoms["_atom_site.id"][:3] == ["1", "2", "3"]
    mmcif, _ = quarzel.read(testdata.path("bcif", "1aki.bcif"))  # python-mmcif: Float64
    x = mmcif["1aki"]["_atom_site.cartn_x"][0]
    assert x == repr(float(x))


# ---- typed tables -------------------------------------------------------------

def test_tables_are_typed_as_stored():
    tables = bcif.tables(testdata.path("bcif", "1bna.bcif.gz"))
    atoms = tables["1BNA"]["atom_site"]
    types = {f.name: f.type for f in atoms.schema}
    assert types["id"] == pa.int32()
    assert types["Cartn_x"] == pa.float64()
    assert types["label_atom_id"] == pa.string()
    assert atoms.column("Cartn_x")[0].as_py() == 18.935
    # label_alt_id is all '.': null, with its status.
    assert atoms.column("label_alt_id").null_count == atoms.num_rows
    assert set(atoms.column("label_alt_id_status").to_pylist()) == {"inapplicable"}
    assert "id_status" not in atoms.column_names


def test_table_status_tells_unknown_from_inapplicable():
    data = document([category("_c", 3, [
        ints_column("n", [1, 0, 0], mask=[0, 1, 2]),
        strings_column("s", ["a", "b"], [0, -1, 1], mask=[0, 2, 0]),
    ])])
    table = bcif.tables(data)["TEST"]["c"]
    assert table.column("n").to_pylist() == [1, None, None]
    assert table.column("n_status").to_pylist() == ["number", "inapplicable", "unknown"]
    assert table.column("s").to_pylist() == ["a", None, "b"]
    assert table.column("s_status").to_pylist() == ["text", "unknown", "text"]
    cif, errors = quarzel.read(data)
    assert errors == []
    assert cif["test"]["_c.n"] == ["1", ".", "?"]
    assert cif["test"]["_c.s"] == ["a", "?", "b"]


def test_tables_from_bytes_path_and_gzip_agree():
    path = testdata.path("bcif", "1hml.bcif")
    a = bcif.tables(path)
    b = bcif.tables(path.read_bytes())
    c = bcif.tables(gzip.compress(path.read_bytes()))
    for t in (b, c):
        assert a.keys() == t.keys()
        for block in a:
            assert a[block].keys() == t[block].keys()
            assert all(a[block][k].equals(t[block][k]) for k in a[block])


def test_uint32_columns_are_int64():
    data = document([category("_c", 2, [column("u", struct.pack("<2I", 1, 4000000000),
                                                   [{"kind": "ByteArray", "type": 6}])])])
    table = bcif.tables(data)["TEST"]["c"]
    assert table.schema.field("u").type == pa.int64()
    assert table.column("u").to_pylist() == [1, 4000000000]


def test_batches_equal_parse_arrow_of_the_same_text():
    data = testdata.read_bytes(testdata.path("bcif", "1bna.bcif.gz"))
    cif, _ = quarzel.read(data)
    text = quarzel.dumps(cif)
    want, _ = q.parse_arrow(text)
    got, errors = bcif.batches(data)
    assert errors == []
    key = lambda b: b.column("_loop_id")[0].as_py()  # noqa: E731
    want = {key(b): b for b in want}
    got = {key(b): b for b in got}
    assert want.keys() == got.keys()
    for k in want:
        # The same columns with the same cells (BinaryCIF orders a block's
        # items by category).
        assert set(want[k].schema.names) == set(got[k].schema.names)
        for name in want[k].schema.names:
            assert want[k].column(name).to_pylist() == got[k].column(name).to_pylist(), name


# ---- writing ------------------------------------------------------------------

def one_column(values: list[str], dictionary=None) -> tuple[dict, list[str]]:
    """The stored column of a one-loop document, and the values read back."""
    f = quarzel.new_file()
    b = quarzel.add_block(f, "t")
    quarzel.set_loop(b, {"_t.v": values, "_t.k": [str(i) for i in range(len(values))]})
    data = quarzel.dumps(f, format="bcif", dictionary=dictionary)
    stored = unpack(data)["dataBlocks"][0]["categories"][0]["columns"][0]
    back, errors = quarzel.read(data)
    assert errors == []
    return stored, back["t"]["_t.v"]


def kinds(stored: dict) -> list[str]:
    return [e["kind"] for e in stored["data"]["encoding"]]


# values -> first encoding, FixedPoint factor (or None)
CLASSIFIED = [
    (["1", "-20", "3", "100", "-7"], "IntegerPacking", None),
    (["1", "-20", "300000"], "ByteArray", None),  # plain Int32 is smaller
    ([str(i) for i in range(1, 101)], "Delta", None),
    (["7"] * 40, "RunLength", None),
    (["1.00", "2.50", "-0.25"], "FixedPoint", 100),
    (["12.345", "-0.001", "?"], "FixedPoint", 1000),
    (["1.5", "2.25", "1e+21"], "ByteArray", None),  # shortest texts: Float64
    (["1.0", "2.50"], "StringArray", None),  # "1.0" would read back as "1"
    (["012", "7"], "StringArray", None),
    (["1.5(3)"], "StringArray", None),
    (["-0.000"], "StringArray", None),
    (["3000000000"], "StringArray", None),  # its shortest text is "3e+09"
    (["?", "."], "StringArray", None),
    (["ATOM", "HETATM", "ATOM"], "StringArray", None),
]


@pytest.mark.parametrize("values,first,factor", CLASSIFIED)
def test_columns_are_numeric_only_when_every_value_reads_back(values, first, factor):
    stored, back = one_column(values)
    assert back == values
    assert kinds(stored)[0] == first
    if factor is not None:
        assert stored["data"]["encoding"][0]["factor"] == factor


def test_the_mask_holds_unknown_and_inapplicable():
    stored, back = one_column(["1", "?", ".", "4"])
    assert back == ["1", "?", ".", "4"]
    mask = stored["mask"]
    assert mask["encoding"] == [{"kind": "ByteArray", "type": 4}]
    assert list(mask["data"]) == [0, 2, 1, 0]
    assert one_column(["1", "2"])[0]["mask"] is None


DIC = """#\\#CIF_2.0
data_TEST_DIC
_dictionary.title TEST_DIC
save_T
_definition.id T
_definition.scope Category
_definition.class Loop
save_
save_t.v
_definition.id '_t.V'
_name.category_id t
_type.contents {contents}
save_
"""


@pytest.fixture(params=["Real", "Integer", "Code"])
def typed(request, tmp_path):
    path = tmp_path / "t.dic"
    path.write_text(DIC.format(contents=request.param), encoding="utf-8")
    return request.param, quarzel.Dictionary(str(path))


# dictionary type -> values, stored first encoding, values read back
DECLARED = {
    "Real": (["1.5", "2.25", "3"], "FixedPoint", ["1.50", "2.25", "3.00"]),
    "Integer": (["012", "+7", "?"], "IntegerPacking", ["12", "7", "?"]),
    "Code": (["1", "2", "3"], "StringArray", ["1", "2", "3"]),
}


def test_a_dictionary_types_and_spells_columns(typed):
    contents, dictionary = typed
    values, first, back = DECLARED[contents]
    stored, got = one_column(values, dictionary)
    assert kinds(stored)[0] == first
    assert got == back
    assert stored["name"] == "V"  # as the dictionary spells _t.V


def test_a_declared_number_that_is_not_one_stays_text(tmp_path):
    path = tmp_path / "t.dic"
    path.write_text(DIC.format(contents="Real"), encoding="utf-8")
    stored, back = one_column(["1.5(3)", "2"], quarzel.Dictionary(str(path)))
    assert kinds(stored) == ["StringArray"]
    assert back == ["1.5(3)", "2"]


TEXT_FILES = testdata.files((".cif",), depth=1)
TEXT_FILES = [p for p in TEXT_FILES if p.parent.name in ("pdb", "bcif")]


@pytest.mark.parametrize("path", TEXT_FILES, ids=lambda p: p.name)
def test_cif_text_round_trips_through_bcif(path):
    cif, _ = quarzel.read(path)
    data = quarzel.dumps(cif, format="bcif")
    back, errors = quarzel.read(data)
    assert errors == []
    same_document(cif, back)


@pytest.mark.parametrize("path", BCIF_FILES, ids=lambda p: p.stem)
def test_bcif_round_trips_through_quarzel(path):
    cif, _ = quarzel.read(path)
    back, errors = quarzel.read(quarzel.dumps(cif, format="bcif"))
    assert errors == []
    same_document(cif, back)
    assert {tuple(sorted(loop)) for loop in back[cif.blocks[0]].loops} == {
        tuple(sorted(loop)) for loop in cif[cif.blocks[0]].loops}


def test_encoded_size_is_near_the_pdbs():
    """gzip-compressed, within 10% of the Mol*-encoded files the PDB serves."""
    ours = theirs = 0
    for path in BCIF_FILES:
        if path.stem not in MOLSTAR:
            continue
        data = path.read_bytes()
        cif, _ = quarzel.read(data)
        ours += len(gzip.compress(quarzel.dumps(cif, format="bcif"), 6))
        theirs += len(gzip.compress(data, 6))
    assert ours <= 1.10 * theirs


CIF11 = """data_nacl
_cell_length_a 5.6402(3)
_cell_length_b 5.6402
_symmetry_space_group_name_H-M 'F m -3 m'
loop_
_atom_site_label
_atom_site_fract_x
_atom_site_occupancy
Na1 0.0 1.00
Cl1 0.5 1.00
"""


def test_tags_without_a_dot_round_trip():
    cif, _ = q.parse_cif(CIF11)
    data = quarzel.dumps(cif, format="bcif")
    stored = unpack(data)["dataBlocks"][0]["categories"]
    names = {c["name"]: [col["name"] for col in c["columns"]] for c in stored}
    assert names["_atom_site"] == ["_atom_site_label", "_atom_site_fract_x",
                                   "_atom_site_occupancy"]
    assert names["_cell"] == ["_cell_length_a", "_cell_length_b"]
    back, errors = quarzel.read(data)
    assert errors == []
    same_document(cif, back)
    assert back["nacl"].loops == [["_atom_site_label", "_atom_site_fract_x",
                                   "_atom_site_occupancy"]]


UNICODE = ["Å", "naïve", "𝔘nicode 😀", "", "plain"]


def test_string_offsets_count_code_points():
    stored, back = one_column(UNICODE)
    assert back == UNICODE
    (sa,) = stored["data"]["encoding"]
    assert sa["stringData"] == "".join(UNICODE[:3] + UNICODE[4:])
    offsets = read_ints(sa["offsets"], sa["offsetEncoding"])
    assert offsets == [0, 1, 6, 15, 15, 20]  # 𝔘 and 😀 are one character each


def test_utf16_offsets_of_javascript_writers_are_read():
    # Offsets counted in UTF-16 units: "😀" takes two.
    words = ["a😀", "b"]
    data = document([category("_c", 2, [strings_column("s", words, [0, 1], utf16=True)])])
    cif, errors = quarzel.read(data)
    assert errors == []
    assert cif["test"]["_c.s"] == words


@pytest.mark.parametrize("suffix,compressed", [(".bcif", False), (".bcif.gz", True)])
def test_dump_chooses_bcif_by_suffix(tmp_path, suffix, compressed):
    cif, _ = quarzel.read(testdata.path("bcif", "1bna.cif"))
    path = tmp_path / ("out" + suffix)
    quarzel.dump(cif, path)
    data = path.read_bytes()
    assert (data[:2] == b"\x1f\x8b") == compressed
    back, errors = quarzel.read(path)
    assert errors == []
    same_document(cif, back)
    other = tmp_path / "out.dat"
    quarzel.dump(cif, other, format="bcif")
    assert bcif.is_bcif(other.read_bytes())


@pytest.mark.parametrize("text,message", [
    ("data_a\nsave_f\n_x 1\nsave_\n", "block \"a\", save frame \"f\": BinaryCIF has no save frames"),
    ("#\\#CIF_2.0\ndata_a\n_x [1 2]\n", "block \"a\", tag \"_x\": BinaryCIF holds text values only"),
])
def test_what_bcif_cannot_hold_is_refused_where_it_lies(text, message):
    cif, _ = q.parse_cif(text)
    with pytest.raises(ValueError) as e:
        quarzel.dumps(cif, format="bcif")
    assert message in str(e.value)


def test_other_formats_are_refused():
    with pytest.raises(ValueError, match="format must be"):
        quarzel.dumps(quarzel.new_file(), format="mmtf")


def test_raw_dicts_and_single_blocks_are_written():
    raw = q.parse_raw("data_a\n_x.y 1\nloop_\n_z.a\n_z.b\n1 2\n3 4\n")
    back, _ = quarzel.read(quarzel.dumps(raw, format="bcif"))
    assert back["a"]["_z.b"] == ["2", "4"]
    cif, _ = q.parse_cif("data_a\n_x.y 1\n")
    back, _ = quarzel.read(quarzel.dumps(cif["a"], format="bcif"))
    assert back["a"]["_x.y"] == ["1"]


# ---- hostile input ---------------------------------------------------------------

def category(name, rows, columns):
    return {"name": name, "rowCount": rows, "columns": columns}


def document(categories, header="TEST", version="0.3.0"):
    return msgpack.packb({"version": version, "encoder": "test",
                          "dataBlocks": [{"header": header, "categories": categories}]})


def read_ints(data, encoding):
    """A few encodings decoded in Python, for checking what was written."""
    values = list(data)
    for e in reversed(encoding):
        if e["kind"] == "ByteArray":
            fmt = {1: "b", 2: "h", 3: "i", 4: "B", 5: "H", 6: "I"}[e["type"]]
            values = list(struct.unpack(f"<{len(data) // struct.calcsize(fmt)}{fmt}", data))
        elif e["kind"] == "IntegerPacking":
            limit = (0xFF if e["isUnsigned"] else 0x7F) if e["byteCount"] == 1 else (
                0xFFFF if e["isUnsigned"] else 0x7FFF)
            out, acc = [], 0
            for v in values:
                acc += v
                if v not in (limit, -limit - 1):
                    out.append(acc)
                    acc = 0
            values = out
        elif e["kind"] == "Delta":
            out, acc = [], e["origin"]
            for v in values:
                acc += v
                out.append(acc)
            values = out
        elif e["kind"] == "RunLength":
            values = [v for v, n in zip(values[::2], values[1::2]) for _ in range(n)]
    return values


def ok_column():
    return ints_column("ok", [1, 2, 3])


def with_bad(bad, rows=3):
    """A category of a sound column and `bad`."""
    return document([category("_c", rows, [ok_column(), bad])])


def bomb(depth):
    """A column whose encoding list is nested `depth` arrays deep."""
    data = with_bad(column("x", b"", "BOMB"))
    return data.replace(b"\xa4BOMB", b"\x91" * depth + b"\x01")


WHERE = 'block "TEST", category "_c", column "x"'

# name, file bytes, part of the message (None: WHERE), more of it
HOSTILE = [
    ("unknown encoding", with_bad(column("x", b"", [{"kind": "Zstd"}])), None, "unknown encoding"),
    ("srcSize past the data", with_bad(column("x", bytes([1, 2, 3]), [
        {"kind": "IntegerPacking", "byteCount": 1, "isUnsigned": True, "srcSize": 9},
        {"kind": "ByteArray", "type": 4}])), None, "srcSize 9 is more than"),
    ("a run beyond any bound", with_bad(column("x", struct.pack("<2i", 5, 2_000_000_000), [
        {"kind": "RunLength", "srcType": 3, "srcSize": 2_000_000_000},
        {"kind": "ByteArray", "type": 3}])), None, "is more values than the file may hold"),
    ("offsets past the string data", with_bad(column("x", struct.pack("<3i", 0, 0, 0), [{
        "kind": "StringArray", "dataEncoding": [{"kind": "ByteArray", "type": 3}],
        "stringData": "ab", "offsetEncoding": [{"kind": "ByteArray", "type": 3}],
        "offsets": struct.pack("<2i", 0, 9)}])), None, "offset 9 is past the 2 characters"),
    ("an index of no string", with_bad(strings_column("x", ["a"], [0, 5, 0])), None,
     "index 5 in row 2"),
    ("bytes that are no whole values", with_bad(column("x", b"\x01\x02\x03", [
        {"kind": "ByteArray", "type": 3}])), None, "3 bytes are not a whole number"),
    ("too few values", with_bad(ints_column("x", [1, 2])), None, "2 values for 3 rows"),
    ("a mask value of 3", with_bad(ints_column("x", [1, 2, 3], mask=[0, 3, 0])), None,
     "mask: value 3 in row 2"),
    ("StringArray after another encoding", with_bad(column("x", b"", [
        {"kind": "StringArray"}, {"kind": "ByteArray", "type": 3}])), None, "StringArray"),
    ("Delta over floats", with_bad(column("x", struct.pack("<3d", 1, 2, 3), [
        {"kind": "Delta", "origin": 0, "srcType": 3}, {"kind": "ByteArray", "type": 33}])), None,
     "Delta: its input is Float64"),
    ("a type code that is none", with_bad(column("x", b"", [{"kind": "ByteArray", "type": 7}])),
     None, "not a type code"),
    ("a name of the wrong type", with_bad({"name": 5, "data": {}}), 'block "TEST", category "_c"',
     'the 2nd column has a "name" that is an integer'),
    ("a row count of the wrong type", document([category("_c", "3", [ok_column()])]),
     'block "TEST", category "_c"', '"rowCount" is a string'),
    ("encodings nested as a bomb", bomb(100000), "BinaryCIF file",
     "nested deeper than 64 levels"),
    ("a duplicate tag", with_bad(ints_column("ok", [4, 5, 6])),
     'block "TEST", category "_c", column "ok"', 'duplicate tag "_c.ok"'),
]


@pytest.mark.parametrize("name,data,where,message", HOSTILE, ids=[h[0] for h in HOSTILE])
def test_hostile_columns_are_reported_where_they_lie(name, data, where, message):
    cif, errors = quarzel.read(data)
    assert errors, name
    text = errors[0].message
    assert (where or WHERE) in text and message in text, text
    assert errors[0].context == "BinaryCIF"
    if where is None:
        # A fault in one column: the sound column is kept.
        assert cif["test"]["_c.ok"] == ["1", "2", "3"]
    with pytest.raises(bcif.BinaryCIFError) as e:
        bcif.tables(data)
    assert message in str(e.value)


@pytest.mark.parametrize("categories,kept", [
    # within one category, and across two categories of one name
    ([category("_c", 3, [ok_column(), ints_column("ok", [4, 5, 6])])], ["4", "5", "6"]),
    ([category("_c", 3, [ok_column()]), category("_c", 2, [ints_column("ok", [8, 9])])],
     ["8", "9"]),
])
def test_a_tag_given_again_keeps_the_later_column_as_text_does(categories, kept):
    cif, errors = quarzel.read(document(categories))
    assert cif["test"]["_c.ok"] == kept
    assert [e.recovery_action for e in errors] == ["later column kept, earlier one dropped"]


def test_truncated_files_keep_what_came_before_the_cut():
    data = document([category("_a", 1, [ints_column("x", [7])]),
                     category("_b", 1000, [ints_column("y", list(range(1000)))])])
    for cut in (len(data) - 1, len(data) // 2, 30):
        cif, errors = quarzel.read(data[:cut] + b"\0" * 0)
        assert "truncated MessagePack" in errors[0].message
        if cut > len(data) // 4:
            assert cif["test"]["_a.x"] == ["7"]


def test_a_huge_declared_size_allocates_nothing():
    # A column list that declares four billion columns and holds none.
    head = document([category("_c", 1, [])])
    data = head[:-1] + b"\xdd\xff\xff\xff\xff"
    assert head.endswith(b"\x90")  # the empty column list it replaces
    cif, errors = quarzel.read(data)
    assert "truncated" in errors[0].message


def test_any_version_is_read():
    # Writers disagree on the version (ihm writes its own): decoding goes by
    # the encodings.
    data = document([category("_c", 3, [ok_column()])], version="2.12")
    cif, errors = quarzel.read(data)
    assert errors == []
    assert cif["test"]["_c.ok"] == ["1", "2", "3"]


def test_not_bcif_at_all():
    with pytest.raises(bcif.BinaryCIFError, match="not BinaryCIF: the MessagePack value is an "
                                                  "array"):
        bcif.tables(msgpack.packb([1, 2]))
    assert not bcif.is_bcif(b"data_x\n_a 1\n")
    assert not bcif.is_bcif(msgpack.packb({"other": 1}))


def test_random_damage_never_crashes():
    import random

    rng = random.Random(27)
    data = testdata.path("bcif", "1hml.bcif").read_bytes()
    for _ in range(200):
        b = bytearray(data)
        for _ in range(rng.randint(1, 8)):
            b[rng.randrange(len(b))] = rng.randrange(256)
        cif, errors = quarzel.read(bytes(b))  # records, never an exception
        assert isinstance(errors, list)


# ---- the command line --------------------------------------------------------------

def test_convert_both_ways_and_to_parquet(tmp_path):
    import pyarrow.parquet as pq

    from quarzel.cli import main

    src = testdata.path("bcif", "1bna.cif")
    out, err = tmp_path / "o.txt", tmp_path / "e.txt"
    with open(out, "w") as o, open(err, "w") as e:
        assert main(["convert", str(src), str(tmp_path / "a.bcif.gz")], o, e) == 0
        assert main(["convert", str(tmp_path / "a.bcif.gz"), str(tmp_path / "b.cif")], o, e) == 0
        assert main(["convert", str(tmp_path / "a.bcif.gz"), str(tmp_path / "c.parquet")], o,
                    e) == 0
        assert main(["convert", str(src), str(tmp_path / "d.parquet")], o, e) == 0
        assert main(["check", str(tmp_path / "a.bcif.gz")], o, e) == 0
    stored = unpack((tmp_path / "a.bcif.gz").read_bytes())["dataBlocks"][0]
    assert stored["header"] == "1BNA"  # spelled as the text spells it
    names = {c["name"]: [x["name"] for x in c["columns"]] for c in stored["categories"]}
    assert "Cartn_x" in names["_atom_site"]
    same_document(quarzel.read(src).cif, quarzel.read(tmp_path / "b.cif").cif)
    a, b = pq.read_table(tmp_path / "c.parquet"), pq.read_table(tmp_path / "d.parquet")
    assert sorted(a.column_names) == sorted(b.column_names)
    assert a.num_rows == b.num_rows
    for name in a.column_names:
        assert a.column(name).to_pylist() == b.column(name).to_pylist(), name


def test_check_reports_a_damaged_bcif(tmp_path):
    from quarzel.cli import main

    path = tmp_path / "bad.bcif"
    path.write_bytes(with_bad(ints_column("x", [1])))
    out, err = tmp_path / "o.txt", tmp_path / "e.txt"
    with open(out, "w") as o, open(err, "w") as e:
        assert main(["check", str(path)], o, e) == 1
    assert f'{WHERE}: 1 values for 3 rows' in out.read_text()


@pytest.mark.parametrize("options,message", [
    (["--style", "pdbx"], "--style does not apply to BinaryCIF output"),
    (["--cif-version", "2.0"], "--cif-version does not apply to BinaryCIF output"),
    (["--dictionary", "x.dic"], "--dictionary applies to Parquet, Arrow and JSON output only"),
])
def test_convert_to_bcif_refuses_options_of_other_outputs(tmp_path, options, message):
    from quarzel.cli import EXIT_USAGE, main

    target = tmp_path / "a.bcif"
    out, err = tmp_path / "o.txt", tmp_path / "e.txt"
    with open(out, "w") as o, open(err, "w") as e:
        status = main(["convert", str(testdata.path("bcif", "1bna.cif")), str(target), *options],
                      o, e)
    assert status == EXIT_USAGE
    assert message in err.read_text()
    assert not target.exists()
