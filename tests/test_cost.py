"""aggregate_cost: the plain sequential double sum from -0.0."""

import functools
import math
import operator

import pytest
import zelk_core
from hypothesis import given
from hypothesis import strategies as st


@pytest.mark.parametrize(
    "values, expected",
    [
        ([], "-0.0"),
        ([0.0], "0.0"),
        ([-0.0], "-0.0"),
        ([0.1, 0.2], "0.30000000000000004"),
        ([1e16, 1.0, -1e16], "0.0"),
        ([1, 2, 3], "6.0"),
        ([True, 2.5], "3.5"),
        ([1e308, 1e308], "inf"),
        ([float("inf"), float("-inf")], "nan"),
        ((0.5, 0.5), "1.0"),
        (range(4), "6.0"),
        (b"\x01\x02\x03", "6.0"),
        ([5e-324, 5e-324], "1e-323"),
    ],
)
def test_examples(values, expected):
    assert str(zelk_core.aggregate_cost(values)) == expected


def test_generator_is_refused():
    with pytest.raises(TypeError, match=r"^argument 'values': 'generator' object cannot be converted to 'Sequence'$"):
        zelk_core.aggregate_cost(x for x in [1.0])


@given(st.lists(st.floats(allow_nan=False) | st.integers(-(2**60), 2**60)))
def test_equals_sequential_sum(values):
    expected = functools.reduce(operator.add, (float(v) for v in values), -0.0)
    got = zelk_core.aggregate_cost(values)
    assert (math.isnan(got) and math.isnan(expected)) or (
        got == expected and math.copysign(1, got) == math.copysign(1, expected)
    )
