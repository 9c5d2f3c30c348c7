"""cosine_similarity and top_k: 32-bit results in a fixed order of operations."""

import math
import random

import numpy as np
import pytest
import zelk_core
from hypothesis import given, settings
from hypothesis import strategies as st

f32 = np.float32


def reference_cosine(x, y):
    """The cosine taken element by element with numpy float32 scalars (never np.dot or sum)."""
    if len(x) == 0 or len(x) != len(y):
        return 0.0
    with np.errstate(all="ignore"):
        x = [f32(v) for v in x]
        y = [f32(v) for v in y]
        dot = xx = yy = f32(0.0)
        for a, b in zip(x, y, strict=False):
            dot = f32(dot + f32(a * b))
            xx = f32(xx + f32(a * a))
            yy = f32(yy + f32(b * b))
        if xx == 0 or yy == 0:
            return 0.0
        return float(f32(dot / f32(f32(np.sqrt(xx)) * f32(np.sqrt(yy)))))


def reference_top_k(query, matrix, k):
    scores = [(i, reference_cosine(query, row)) for i, row in enumerate(matrix)]
    scores.sort(key=lambda item: (math.isnan(item[1]), -item[1] if not math.isnan(item[1]) else 0.0, item[0]))
    return scores[:k]


def same(a, b):
    return (math.isnan(a) and math.isnan(b)) or (a == b and math.copysign(1, a) == math.copysign(1, b))


@pytest.mark.parametrize(
    "a, b, expected",
    [
        ([1.0, 0.0], [0.0, 1.0], 0.0),
        ([3.0, 4.0], [3.0, 4.0], 1.0),
        ([1.0, 2.0], [2.0, 4.0], 1.0),
        ([1.0, 1.0], [1.0, 1.0], 1.0000001192092896),
        ([1.0, 2.0, 3.0], [1.0, 2.0, 3.0], 0.9999999403953552),
        ([1.0, 2.0, 3.0], [4.0, 5.0, 6.0], 0.9746317863464355),
        ([], [], 0.0),
        ([1.0], [1.0, 2.0], 0.0),
        ([0.0, 0.0], [1.0, 1.0], 0.0),
        ([1e-30], [1e-30], 0.0),
        ([1e-20], [1e-20], 1.0),
        ([1e20], [1e20], float("nan")),
        ([float("nan")], [1.0], float("nan")),
        ([-1.0, 0.0], [1.0, 0.0], -1.0),
    ],
)
def test_cosine_examples(a, b, expected):
    assert same(zelk_core.cosine_similarity(a, b), expected)


@pytest.mark.parametrize("value", [0.1, 1e39, -1e39, 3.4028235e38, 1e-40, 1e-46, 2**24 + 1, 1 / 3])
def test_elements_are_rounded_to_32_bits(value):
    # a / sqrt(a*a + 1) shows the 32-bit value of a through every step
    assert same(zelk_core.cosine_similarity([value, 1.0], [1.0, 0.0]), reference_cosine([value, 1.0], [1.0, 0.0]))


def test_zero_result_is_positive_zero():
    assert math.copysign(1, zelk_core.cosine_similarity([0.0], [1.0])) == 1.0
    assert math.copysign(1, zelk_core.cosine_similarity([1.0], [1.0, 2.0])) == 1.0


# Values that reach the edges of 32-bit arithmetic: subnormals, squares that underflow
# or overflow, exact cancellations.
EDGE_VALUES = [0.0, -0.0, 1.0, -1.0, 1e-45, 1e-40, 1e-20, 1e-19, 3e-39, 1e19, 1e20, 3e38, -3e38, 0.5, 7.0]


def random_vector(rng, n):
    kind = rng.random()
    if kind < 0.3:
        return [rng.choice(EDGE_VALUES) for _ in range(n)]
    if kind < 0.6:
        return [rng.uniform(-1, 1) * 10 ** rng.randint(-42, 38) for _ in range(n)]
    return [rng.gauss(0, 1) for _ in range(n)]


def test_cosine_against_float32_reference():
    rng = random.Random(20261209)
    for _ in range(1500):
        n = rng.randint(1, 40)
        x, y = random_vector(rng, n), random_vector(rng, n)
        assert same(zelk_core.cosine_similarity(x, y), reference_cosine(x, y)), (x, y)


@settings(max_examples=150, deadline=None)
@given(st.data())
def test_top_k_against_reference(data):
    n = data.draw(st.integers(0, 6))
    element = st.floats(width=32, allow_nan=True, allow_infinity=True) | st.sampled_from(EDGE_VALUES)
    query = data.draw(st.lists(element, min_size=n, max_size=n))
    lengths = st.integers(max(0, n - 1), n + 1)
    matrix = data.draw(st.lists(lengths.flatmap(lambda m: st.lists(element, min_size=m, max_size=m)), max_size=25))
    k = data.draw(st.integers(0, 30))
    got = zelk_core.top_k(query, matrix, k)
    want = reference_top_k(query, matrix, k)
    assert [i for i, _ in got] == [i for i, _ in want]
    assert all(same(a, b) for (_, a), (_, b) in zip(got, want, strict=False))


def test_top_k_examples():
    matrix = [[1.0, 0.0], [0.0, 1.0], [1.0, 0.0, 0.0], [-1.0, 0.0], [2.0, 0.0]]
    assert zelk_core.top_k([1.0, 0.0], matrix, 10) == [(0, 1.0), (4, 1.0), (1, 0.0), (2, 0.0), (3, -1.0)]
    assert zelk_core.top_k([1.0, 0.0], matrix, 2) == [(0, 1.0), (4, 1.0)]
    assert zelk_core.top_k([1.0, 0.0], matrix, 0) == []
    assert zelk_core.top_k([1.0], [], 5) == []
    assert zelk_core.top_k([], matrix, 3) == [(0, 0.0), (1, 0.0), (2, 0.0)]
    assert zelk_core.top_k([1.0], [[1.0]] * 3, True) == [(0, 1.0)]


def test_nan_scores_rank_last_in_index_order():
    nan = float("nan")
    matrix = [[nan], [-1.0], [1e20], [1.0], [nan], [0.0]]  # 1e20 squared overflows: 1e20 / inf = 0
    got = zelk_core.top_k([1.0], matrix, 10)
    assert [i for i, _ in got] == [3, 2, 5, 1, 0, 4]
    for cut in range(7):
        assert [i for i, _ in zelk_core.top_k([1.0], matrix, cut)] == [3, 2, 5, 1, 0, 4][:cut]


def test_partial_selection_equals_full_sort():
    rng = random.Random(7)
    matrix = [[rng.choice([0.5, -0.5, 1.0, 0.0, float("nan")]), rng.choice([1.0, 0.0])] for _ in range(300)]
    full = zelk_core.top_k([1.0, 1.0], matrix, 300)
    for k in [0, 1, 5, 17, 150, 299, 300, 1000]:
        part = zelk_core.top_k([1.0, 1.0], matrix, k)
        assert [i for i, _ in part] == [i for i, _ in full][:k]


def test_numpy_inputs():
    rng = np.random.default_rng(3)
    query = rng.standard_normal(16).astype(np.float32)
    matrix = rng.standard_normal((20, 16)).astype(np.float32)
    got = zelk_core.top_k(query, matrix, 5)
    assert got == reference_top_k(list(query), [list(r) for r in matrix], 5)
