"""An encoding's parameter that is missing, of the wrong kind or out of
range skips its column with one message naming the parameter, what it is
and what it should be."""

import math

import pytest

from quarzel import bcif

from test_bcif_container_keys import document

# (case, kind, the encoding's keys besides "kind", expected message ending)
CASES = [
    ("integer missing", "IntegerPacking", {"srcSize": 2}, 'no "byteCount"'),
    ("integer above its range", "IntegerPacking", {"byteCount": 5, "srcSize": 2},
     '"byteCount" is 5, not an integer from 1 to 4'),
    ("integer as a string", "IntegerPacking", {"byteCount": "1", "srcSize": 2},
     '"byteCount" is a string, not an integer from 1 to 4'),
    ("integer below its range", "IntegerPacking", {"byteCount": 1, "srcSize": -1},
     '"srcSize" is -1, not an integer from 0 to 2147483647'),
    ("integer with no range, fractional", "Delta", {"origin": 1.5, "srcType": 3},
     '"origin" is a float, not an integer'),
    ("integer, lower bound past one", "IntervalQuantization",
     {"min": 0.0, "max": 1.0, "numSteps": 1, "srcType": 3},
     '"numSteps" is 1, not an integer from 2 to 9223372036854775807'),
    ("number missing", "FixedPoint", {"srcType": 3}, 'no "factor"'),
    ("number as a string", "FixedPoint", {"factor": "10", "srcType": 3},
     '"factor" is a string, not a number'),
    ("number not finite", "FixedPoint", {"factor": math.inf, "srcType": 3},
     '"factor" is a float, not a number'),
    ("type missing where required", "ByteArray", {}, 'no "type"'),
    ("type code unknown", "ByteArray", {"type": 7}, '"type" is 7, not a type code (1-6, 32 or 33)'),
    ("optional type code given but bad", "Delta", {"srcType": 0},
     '"srcType" is 0, not a type code (1-6, 32 or 33)'),
    ("flag neither bool nor 0 or 1", "IntegerPacking",
     {"byteCount": 1, "srcSize": 2, "isUnsigned": 2}, '"isUnsigned" is 2, not a bool'),
]


@pytest.mark.parametrize("kind, keys, ending", [c[1:] for c in CASES], ids=[c[0] for c in CASES])
def test_a_bad_parameter_is_named_in_one_message(kind, keys, ending):
    blocks, errors = bcif._native().bcif_tables(document(encoding=keys, kind=kind))
    messages = [e["message"] for e in errors]
    assert len(messages) == 1, messages
    assert messages[0].endswith(f"data.encoding[0] ({kind}): {ending}"), messages
    assert errors[0]["recovery_action"] == "column skipped"
    category = blocks["B"].get("c")
    assert category is None or "x" not in category.column_names
