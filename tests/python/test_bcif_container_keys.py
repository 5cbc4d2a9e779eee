"""The container's keys are matched a word or two at a time: a key one byte
off a known one (first, middle or last byte, or one byte longer or shorter)
must not be taken for it, wherever the two words of a long key overlap."""

import struct

import msgpack
import pytest

from quarzel import bcif


def packed(values):
    return {"data": struct.pack(f"<{len(values)}i", *values),
            "encoding": [{"kind": "ByteArray", "type": 3}]}


def document(column=None, category=None, encoding=None, kind="ByteArray"):
    """One category of one int32 column; `encoding` (extra keys of a
    second encoding of kind `kind`), `column` and `category` (keys of theirs)
    replace or add fields."""
    data = packed([1, 2])
    if encoding is not None:
        head = {} if kind is None else {"kind": kind}
        data["encoding"] = [{**head, **encoding}] + data["encoding"]
    col = {"name": "x", "data": data, **(column or {})}
    cat = {"name": "_c", "rowCount": 2, "columns": [col], **(category or {})}
    return msgpack.packb({"version": "0.3.0", "encoder": "test",
                          "dataBlocks": [{"header": "B", "categories": [cat]}]})


# (case, document, expected message ending): the real key replaced by a
# look-alike, so the field counts as missing.
CASES = [
    ("column name, last byte", lambda: msgpack.packb({"dataBlocks": [{"header": "B", "categories": [
        {"name": "_c", "rowCount": 1, "columns": [{"namE": "x", "data": packed([1])}]}]}]}),
     'the 1st column has no "name"'),
    ("column data, first byte", lambda: msgpack.packb({"dataBlocks": [{"header": "B", "categories": [
        {"name": "_c", "rowCount": 1, "columns": [{"name": "x", "Data": packed([1])}]}]}]}),
     'no "data"'),
    ("rowCount, middle byte", lambda: msgpack.packb({"dataBlocks": [{"header": "B", "categories": [
        {"name": "_c", "rowXount": 1, "columns": []}]}]}),
     'no "rowCount"'),
    ("columns, one byte longer", lambda: msgpack.packb({"dataBlocks": [{"header": "B", "categories": [
        {"name": "_c", "rowCount": 1, "columnss": []}]}]}),
     'no "columns"'),
    ("encoding, last byte", lambda: msgpack.packb({"dataBlocks": [{"header": "B", "categories": [
        {"name": "_c", "rowCount": 1, "columns": [
            {"name": "x", "data": {"data": b"\0\0\0\0", "encodinG": []}}]}]}]}),
     'no "data.encoding"'),
    ("byteCount, ninth byte (second word only)", lambda: document(
        encoding={"byteCounx": 1, "srcSize": 2, "isUnsigned": False}, kind="IntegerPacking"),
     'no "byteCount"'),
    ("byteCount, first byte (first word only)", lambda: document(
        encoding={"ByteCount": 1, "srcSize": 2}, kind="IntegerPacking"),
     'no "byteCount"'),
    ("srcSize, one byte shorter", lambda: document(
        encoding={"byteCount": 1, "srcSiz": 2}, kind="IntegerPacking"),
     'no "srcSize"'),
    ("kind, last byte", lambda: document(encoding={"kinD": "ByteArray", "type": 3}, kind=None),
     'no "kind" in data.encoding[0]'),
    ("a kind one byte off", lambda: document(encoding={"origin": 0, "srcType": 3}, kind="Deltb"),
     "(Deltb): unknown encoding"),
    ("a long kind, its middle byte off", lambda: document(
        encoding={"byteCount": 1, "srcSize": 2}, kind="IntegerPaXking"),
     "(IntegerPaXking): unknown encoding"),
    ("stringData, sixth byte", lambda: document(encoding={
        "stringDXta": "ab", "offsets": b"", "dataEncoding": [], "offsetEncoding": []},
        kind="StringArray"),
     'no "stringData"'),
    ("offsetEncoding, seventh byte (both words)", lambda: document(encoding={
        "stringData": "ab", "offsets": b"", "dataEncoding": [], "offseTEncoding": []},
        kind="StringArray"),
     'no "offsetEncoding"'),
]


@pytest.mark.parametrize("make, ending", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_look_alike_keys_are_not_taken(make, ending):
    blocks, errors = bcif._native().bcif_tables(make())
    messages = [e["message"] for e in errors]
    assert any(m.endswith(ending) for m in messages), messages


def test_the_real_keys_are_taken():
    blocks, errors = bcif._native().bcif_tables(document(
        encoding={"byteCount": 4, "srcSize": 2, "isUnsigned": False}, kind="IntegerPacking"))
    assert errors == []
    assert blocks["B"]["c"].column("x").to_pylist() == [1, 2]
    blocks, errors = bcif._native().bcif_tables(document())
    assert errors == []
    assert blocks["B"]["c"].column("x").to_pylist() == [1, 2]
