"""Numbers with standard uncertainties: quarzel.number, quarzel.numbers,
and how they agree with float() and with PyCifRW on real files."""

import math
import random
import re

import pyarrow as pa
import pytest

import quarzel
import quarzel_core
import testdata

# (text, value, su): the expected pair, types included (int or float).
NUMBER_CASES = [
    ("5.6402(3)", 5.6402, 0.0003),
    ("12(3)", 12, 3),
    ("-4.5e-3(2)", -0.0045, 0.0002),
    ("1.2", 1.2, None),
    ("7", 7, None),
    ("+7", 7, None),
    ("-0", 0, None),
    ("-0.0", -0.0, None),
    ("007", 7, None),
    (".5", 0.5, None),
    ("5.", 5.0, None),
    ("5.(3)", 5.0, 3.0),
    ("1.5E2(3)", 150.0, 30.0),
    ("12e3(3)", 12000.0, 3000.0),
    ("1e-2(1)", 0.01, 0.01),
    ("0.000123(45)", 0.000123, 4.5e-05),
    ("3.3(3)", 3.3, 0.3),
    ("1.2(007)", 1.2, 0.7),
    ("1.0000000000000000001(1)", 1.0, 1e-19),
    ("9223372036854775807(1)", 9223372036854775807, 1),
    ("123456789012345678901234567890(12)", 123456789012345678901234567890, 12),
    ("1" * 400, int("1" * 400), None),
    ("1e308", 1e308, None),
    ("1e-400", 0.0, None),
    ("4.9e-324", 5e-324, None),
    ("0.1000000000000000055511151231257827021181583404541015625", 0.1, None),
    ("9007199254740993.0000000000000000001", 9007199254740994.0, None),
    # not numbers
    ("?", None, None),
    (".", None, None),
    ('"?"', None, None),
    ('"."', None, None),
    ("", None, None),
    ("1e400", None, None),
    ("-1e400", None, None),
    ("1.5(" + "9" * 400 + ")", None, None),
    ("1.2(", None, None),
    ("1.2(3", None, None),
    ("1.2(a)", None, None),
    ("1.2()", None, None),
    ("(3)", None, None),
    ("1..2", None, None),
    ("1.23(4)e-3", None, None),
    ("+-1", None, None),
    ("1e", None, None),
    ("1d3", None, None),
    ("1_2", None, None),
    (" 1", None, None),
    ("nan", None, None),
    ("inf", None, None),
    ("Infinity", None, None),
    ("\u0661", None, None),  # ARABIC-INDIC DIGIT ONE: Python's float() takes it, CIF does not
    ("1" * 5000, None, None),  # beyond float64 and beyond Python's int-from-text limit
]


@pytest.mark.parametrize("text,value,su", NUMBER_CASES)
def test_number(text, value, su):
    got = quarzel.number(text)
    assert got == (value, su)
    assert [type(x) for x in got] == [type(value), type(su)]
    if isinstance(value, float):
        assert math.copysign(1, got[0]) == math.copysign(1, value)


@pytest.mark.parametrize("text,value,su", NUMBER_CASES)
def test_numbers_column_agrees_with_number(text, value, su):
    row = quarzel.numbers([text]).to_pylist()[0]
    if value is None or (isinstance(value, int) and abs(value) > 2**1023):
        assert row["value"] is None and row["su"] is None
        assert row["status"] == {"?": "unknown", ".": "inapplicable"}.get(text, "text")
    else:
        assert row == {"value": float(value), "su": None if su is None else float(su),
                       "status": "number"}


def test_number_rejects_non_str():
    with pytest.raises(TypeError):
        quarzel.number(1.5)


# A reference grammar, written independently of the native scanner.
REFERENCE = re.compile(r"([+-]?)(\d*)(?:\.(\d*))?(?:[eE]([+-]?\d+))?(?:\((\d+)\))?")


def reference(text):
    m = REFERENCE.fullmatch(text)
    if not m or not (m.group(2) or m.group(3)):
        return None
    sign, whole, frac, exp, su = m.groups()
    mantissa = f"{sign}{whole}" + (f".{frac}" if frac is not None else "")
    exponent = int(exp or 0)
    try:
        value = float(mantissa + (f"e{exponent}" if exp is not None else ""))
        su_value = None if su is None else float(f"{su}e{exponent - len(frac or '')}")
    except OverflowError:  # pragma: no cover
        return None
    if math.isinf(value) or (su_value is not None and math.isinf(su_value)):
        return None
    return value, su_value


def random_texts(seed, count):
    rng = random.Random(seed)
    pieces = "0123456789"
    for _ in range(count):
        whole = "".join(rng.choice(pieces) for _ in range(rng.choice([0, 1, 1, 2, 5, 17, 30])))
        frac = "".join(rng.choice(pieces) for _ in range(rng.choice([0, 1, 3, 8, 20, 40])))
        text = rng.choice(["", "-", "+"]) + whole
        if rng.random() < 0.8:
            text += "." + frac
        if rng.random() < 0.4:
            text += rng.choice("eE") + rng.choice(["", "-", "+"]) + str(rng.randint(0, 330))
        if rng.random() < 0.5:
            text += "(" + str(rng.randint(0, 99999)) + ")"
        if rng.random() < 0.05:
            pos = rng.randrange(len(text) + 1)
            text = text[:pos] + rng.choice(".e()+-x ") + text[pos:]
        yield text


def test_random_texts_round_like_float():
    texts = list(random_texts(19, 20000))
    column = quarzel.numbers(texts).to_pylist()
    for text, row in zip(texts, column):
        want = reference(text)
        if want is None:
            assert row["status"] == {"?": "unknown", ".": "inapplicable"}.get(text, "text"), text
        else:
            assert row["status"] == "number", text
            assert (row["value"], row["su"]) == want, text
            assert math.copysign(1, row["value"]) == math.copysign(1, want[0]), text


@pytest.mark.parametrize("make", [
    lambda v: v,
    lambda v: pa.array(v, pa.string()),
    lambda v: pa.array(v, pa.large_string()),
    lambda v: pa.array(v, pa.string_view()),
    lambda v: pa.array(v, pa.string()).dictionary_encode(),
    lambda v: pa.chunked_array([pa.array(v[:2], pa.string()), pa.array([], pa.string()),
                                pa.array(v[2:], pa.string())]),
    lambda v: pa.array(v, pa.string()).slice(0),
], ids=["list", "string", "large_string", "string_view", "dictionary", "chunked", "slice"])
def test_numbers_inputs(make):
    values = ["5.6402(3)", "?", None, ".", "x", "12(3)"]
    result = quarzel.numbers(make(values))
    assert isinstance(result, pa.StructArray)
    assert result.type.field("status").type == pa.dictionary(pa.int8(), pa.string())
    assert result.to_pylist() == [
        {"value": 5.6402, "su": 0.0003, "status": "number"},
        {"value": None, "su": None, "status": "unknown"},
        {"value": None, "su": None, "status": None},
        {"value": None, "su": None, "status": "inapplicable"},
        {"value": None, "su": None, "status": "text"},
        {"value": 12.0, "su": 3.0, "status": "number"},
    ]


def test_numbers_of_a_sliced_array_reads_its_own_rows():
    column = pa.array(["1", "2(1)", None, "?", "5"]).slice(1, 3)
    assert quarzel.numbers(column).field("value").to_pylist() == [2.0, None, None]


@pytest.mark.parametrize("values", [[], pa.chunked_array([], pa.string()), [None, None]])
def test_numbers_empty_and_all_null(values):
    result = quarzel.numbers(values)
    assert result.field("value").null_count == len(result)


@pytest.mark.parametrize("bad", ["1.5", 15, pa.array([1, 2]), [1.5]])
def test_numbers_rejects_non_strings(bad):
    with pytest.raises((TypeError, pa.ArrowInvalid, pa.ArrowTypeError)):
        quarzel.numbers(bad)


def test_numbers_of_a_million_digit_value():
    big = "1" * 1_000_000
    result = quarzel.numbers([big, "0." + big, "1.5(" + big + ")", "7"]).to_pylist()
    assert [r["status"] for r in result] == ["text", "number", "text", "number"]
    assert result[1]["value"] == float("0." + big)


# ---- against PyCifRW, over the project's test files ----

def _distinct_values(paths):
    seen = set()
    for path in paths:
        try:
            text = testdata.read_bytes(path).decode("utf-8")
        except UnicodeDecodeError:
            continue
        batches, _ = quarzel_core.parse_arrow(text)
        for batch in batches:
            for name, column in zip(batch.schema.names, batch.columns):
                if name.startswith("_") and pa.types.is_string(column.type) and \
                        name not in ("_block_name", "_frame_name", "_loop_id"):
                    seen.update(column.unique().to_pylist())
    seen.discard(None)
    return sorted(seen)


def test_values_of_the_test_files_agree_with_pycifrw():
    pycifrw = pytest.importorskip("CifFile")
    files = [p for p in testdata.files((".cif", ".cif.gz"))
             if p.relative_to(testdata.DATA).parts[0] in ("cif1", "pdb", "cif_api", "cif2")]
    assert files
    values = _distinct_values(files)
    ours = quarzel.numbers(values).to_pylist()
    compared = 0
    for text, row in zip(values, ours):
        theirs = pycifrw.get_number_with_esd(text)
        if row["status"] == "number":
            if theirs[0] is None:
                # PyCifRW refuses a leading '+' and, when an exponent is
                # present, drops the su; the value is the float() of the text.
                assert text.startswith("+"), text
                continue
            compared += 1
            assert row["value"] == theirs[0], text
            if row["su"] is None or theirs[1] is None:
                assert row["su"] is None or "e" in text.lower(), text
            else:
                # PyCifRW scales the su digits by a power of ten in floating
                # point (3 * 10**-4 = 0.00030000000000000003); ours is the
                # correctly rounded float("3e-4"): at most an ulp or two apart.
                assert math.isclose(row["su"], theirs[1], rel_tol=4e-16), text
                want = reference(text)
                assert want is not None and row["su"] == want[1], text
        elif theirs[0] is not None and not math.isinf(theirs[0]):
            # PyCifRW reads a number at the start of longer text ("1.2(",
            # "1_2", "2x"): none of these is a whole CIF number.
            assert reference(text) is None, text
    assert compared > 1000


def test_a_large_column_split_among_threads_matches_number():
    # Large enough to be shared out among threads; chunk edges and nulls
    # fall at rows that are not multiples of eight.
    texts = list(random_texts(7, 3000))
    texts += ["?", ".", None, "x", "12(3)", "-0", "1e400"]
    values = (texts * 200)[:600_001]
    chunks = [pa.array(values[:250_003], pa.string()), pa.array(values[250_003:], pa.string())]
    result = quarzel.numbers(pa.chunked_array(chunks))
    rows = result.to_pylist()
    for i in range(0, len(values), 997):
        text = values[i]
        if text is None:
            assert rows[i]["status"] is None
            continue
        value, su = quarzel.number(text)
        if value is None or isinstance(value, int) and abs(value) > 2**1000:
            assert rows[i]["value"] is None
        else:
            assert (rows[i]["value"], rows[i]["su"]) == (
                float(value), None if su is None else float(su)), text
    full = quarzel.numbers(values)
    assert full.equals(result)
