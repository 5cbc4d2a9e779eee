"""Columns of BinaryCIF files written by hand, for tests that feed the
decoder what no encoder writes."""

import struct


def column(name, data, encoding, mask=None):
    return {"name": name, "data": {"data": data, "encoding": encoding},
            "mask": None if mask is None else
            {"data": bytes(mask), "encoding": [{"kind": "ByteArray", "type": 4}]}}


def ints_column(name, values, mask=None):
    return column(name, struct.pack(f"<{len(values)}i", *values),
                  [{"kind": "ByteArray", "type": 3}], mask)


def strings_column(name, strings, indices, mask=None, utf16=False):
    offsets = [0]
    for s in strings:
        offsets.append(offsets[-1] + (len(s.encode("utf-16-le")) // 2 if utf16 else len(s)))
    return column(name, struct.pack(f"<{len(indices)}i", *indices), [{
        "kind": "StringArray", "dataEncoding": [{"kind": "ByteArray", "type": 3}],
        "stringData": "".join(strings), "offsetEncoding": [{"kind": "ByteArray", "type": 3}],
        "offsets": struct.pack(f"<{len(offsets)}i", *offsets)}], mask)
