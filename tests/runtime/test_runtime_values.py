"""The serialise-first check of values gives exactly the walk's verdict and message, on
both of its roads (values walked when small, texts scanned when large)."""

from __future__ import annotations

import math

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

pytest.importorskip("zelk_runtime")
from zelk_runtime import values
from zelk_runtime.view import freeze


def nested(depth: int, leaf: object = 1) -> object:
    value = leaf
    for level in range(depth):
        value = [value] if level % 2 else {"k": value}
    return value


class Odd:
    """An object JSON cannot hold."""


scalars = st.one_of(
    st.none(),
    st.booleans(),
    st.integers(min_value=-(2**65), max_value=2**65),
    st.floats(allow_nan=True, allow_infinity=True),
    st.text(alphabet=st.characters(codec="utf-8") | st.sampled_from(["\ud800", "\udfff", '"', "\\", "é", "{", "["])),
    st.sampled_from([Odd(), b"raw", {1, 2}, 3 + 4j]),
)
keys = st.one_of(
    st.text(max_size=6),
    st.sampled_from(["1", "-2.5e3", "true", "null", "NaN"]),
    st.integers(-3, 3),
    st.floats(allow_nan=False, width=16),
    st.booleans(),
    st.none(),
)
json_like = st.recursive(
    scalars,
    lambda children: st.one_of(
        st.lists(children, max_size=5),
        st.tuples(children, children),
        st.dictionaries(keys, children, max_size=5),
    ),
    max_leaves=25,
)
deep = st.integers(120, 130).map(nested)


def expected(value: object, channels: bool) -> tuple[str | None, str | None]:
    problem = values.json_problem(value, "v", channels=channels)
    return (values.dumps(value), None) if problem is None else (None, problem)


@pytest.mark.parametrize("walked", [values.WALKED, 0])
@settings(max_examples=300, deadline=None, suppress_health_check=[HealthCheck.function_scoped_fixture])
@given(value=st.one_of(json_like, deep, json_like.map(freeze)), channels=st.booleans())
def test_serialise_first_agrees_with_the_walk(monkeypatch, walked, value, channels):
    if channels:
        value = {"c": value}
    monkeypatch.setattr(values, "WALKED", walked)
    assert values.checked_dumps(value, "v", channels=channels) == expected(value, channels)


@pytest.mark.parametrize("walked", [values.WALKED, 0])
def test_the_edges_of_each_road(monkeypatch, walked):
    monkeypatch.setattr(values, "WALKED", walked)
    looped: list[object] = []
    looped.append(looped)
    for value in (
        {"c": nested(125)},
        {"c": nested(126)},
        {"c": [2**64 - 1, -(2**63)]},
        {"c": [2**64]},
        {"c": {1: "a"}},
        {"c": {"1": "a", "b": "1"}},
        {"c": "x" * 10_000 + "\ud800"},
        {"c": ["[" * 200]},
        {"c": math.inf},
        {"c": looped},
    ):
        assert values.checked_dumps(value, "v", channels=True) == expected(value, True), value
