"""Text kept beside a typed part only where its numbers cannot give it
back: the text numbers give back."""

import random
import re

import pyarrow as pa
import pytest

from quarzel import _kept_text
from quarzel.numbers import number

# A plain decimal of at most 8 bytes that is the text its number gives
# back, an su of up to 4 digits after it: the rows the engine keeps no text for.
GIVEN_BACK = re.compile(r"(-?(?:0|[1-9][0-9]*)(?:\.[0-9]*[1-9])?)(?:\((?:0|[1-9][0-9]{0,3})\))?")


def given_back(text):
    m = GIVEN_BACK.fullmatch(text)
    return bool(m) and len(m.group(1)) <= 8 and not re.match(r"-0(\(|$)", text)


# Each case: value, su (None: none), whether int64, the text.
TEXTS = [
    (104.5, None, False, "104.5"),
    (-3.125, None, False, "-3.125"),
    (12.0, None, False, "12"),  # no ".0"
    (1e-05, None, False, "0.00001"),  # no exponent
    (1e-07, 3e-08, False, "0.0000001(0)"),
    (-0.0, None, False, "-0"),
    (2.0**60, None, False, "1152921504606846976"),  # an integer in full, exactly
    (1e23, None, False, "99999999999999991611392"),
    (0.1 + 0.2, None, False, "0.30000000000000004"),
    (0.36512, 4e-05, False, "0.36512(4)"),  # su in units of the last digit
    (12.0, 3.0, False, "12(3)"),
    (1.5, 1e20, False, "1.5(1e+20)"),  # an su too large for digits
    (12, 3, True, "12(3)"),
    (-7, None, True, "-7"),
]


@pytest.mark.parametrize("value,su,ints,text", TEXTS, ids=[c[3] for c in TEXTS])
def test_the_text_numbers_give_back(value, su, ints, text):
    kind = pa.int64() if ints else pa.float64()
    got = _kept_text.number_text(pa.array([value, 1], kind), pa.array([su, None], kind))
    assert got.to_pylist() == [text, "1"]


@pytest.mark.parametrize("seed", range(3))
def test_text_left_out_is_given_back(seed):
    rng = random.Random(seed)
    texts = []
    while len(texts) < 3000:
        digits = "".join(rng.choice("0123456789") for _ in range(rng.randint(1, 8)))
        k = rng.randint(1, len(digits))
        t = rng.choice(["", "-"]) + digits[:k] + ("." + digits[k:] if k < len(digits) else "")
        t += rng.choice(["", f"({rng.randint(0, 9999)})"])
        if given_back(t):
            texts.append(t)
    parsed = [number(t) for t in texts]
    doubles = _kept_text.number_text(pa.array([float(v) for v, _ in parsed]),
                                     pa.array([None if s is None else float(s) for _, s in parsed]))
    assert doubles.to_pylist() == texts
    ints = [(t, v, s) for t, (v, s) in zip(texts, parsed) if isinstance(v, int)]
    got = _kept_text.number_text(pa.array([v for _, v, _ in ints]), pa.array([s for _, _, s in ints], pa.int64()))
    assert got.to_pylist() == [t for t, _, _ in ints]
