"""The columns of each loop batch, wherever the loop's tags stand in the
block's tag order once tags given again have left their earlier places."""

import pytest

import quarzel_core as q

CASES = [
    pytest.param("data_d loop_ _a _b _c 1 2 3 4 5 6 _b 9",
                 [(["_b"], [["9"]]), (["_a", "_c"], [["1", "4"], ["3", "6"]])], id="middle-tag-given-again"),
    pytest.param("data_d loop_ _a _b 1 2 loop_ _b _c 3 4",
                 [(["_a"], [["1"]]), (["_b", "_c"], [["3"], ["4"]])], id="tag-looped-again"),
    pytest.param("data_d loop_ _a _b _a 1 2 3 4 5 6",
                 [(["_b", "_a"], [["2", "5"], ["3", "6"]])], id="tag-repeated-in-header"),
    pytest.param("data_d _x 0 loop_ _a _b 1 2 _a 7 loop_ _c _a 5 6",
                 [(["_x"], [["0"]]), (["_b"], [["2"]]), (["_c", "_a"], [["5"], ["6"]])], id="scalar-then-looped"),
    pytest.param("data_d loop_ _p _q 1 2 loop_ _r _s 3 4 _p 8 _s 9",
                 [(["_p", "_s"], [["8"], ["9"]]), (["_q"], [["2"]]), (["_r"], [["3"]])], id="ends-of-loops-given-again"),
]


@pytest.mark.parametrize("text, expected", CASES)
def test_loop_batches_hold_their_columns(text, expected):
    batches, _ = q.parse_arrow(text)
    assert [(b.schema.names[5:], [c.to_pylist() for c in b.columns[5:]]) for b in batches] == expected
