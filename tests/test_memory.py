"""Every function called 10^5 times over its success and failure paths: the reference
counts of the arguments (and of the items they hold) and the memory traced by the
interpreter's allocator end where they started."""

import gc
import sys
import tracemalloc
from collections import defaultdict

import pytest
import zelk_core
from call_cases import cases, run

CALLS_PER_FUNCTION = 100_000


def shared(value):
    """Objects the interpreter shares process-wide, whose counts move for other reasons."""
    if value is None or isinstance(value, bool):
        return True
    return (type(value) is int and -5 <= value <= 256) or (type(value) is str and len(value) <= 1)


def held_objects(args, kwargs):
    """The arguments and the items of arguments that are lists or tuples, two levels deep."""
    found = []
    stack = [(value, 0) for value in (*args, *kwargs.values())]
    while stack:
        value, depth = stack.pop()
        if not shared(value):
            found.append(value)
        if depth < 2 and isinstance(value, (list, tuple)):
            stack.extend((item, depth + 1) for item in value)
    return found


def by_function():
    grouped = defaultdict(list)
    for case in cases():
        grouped[case[0]].append(case)
    return grouped


@pytest.mark.parametrize("name", sorted(by_function()))
def test_calls_leave_no_references_and_no_memory(name):
    function = getattr(zelk_core, name)
    table = by_function()[name]
    assert {raises is None for *_, raises in table} == {True, False}, "both paths covered"
    times = CALLS_PER_FUNCTION // len(table)
    for _, args, kwargs, raises in table:
        run(function, args, kwargs, raises, 200)  # warm caches the first calls fill
    watched = [held_objects(args, kwargs) for _, args, kwargs, _ in table]
    counts = [[sys.getrefcount(value) for value in objects] for objects in watched]
    gc.collect()
    tracemalloc.start()
    try:
        before = tracemalloc.get_traced_memory()[0]
        for _, args, kwargs, raises in table:
            run(function, args, kwargs, raises, times)
        gc.collect()
        grown = tracemalloc.get_traced_memory()[0] - before
    finally:
        tracemalloc.stop()
    assert [[sys.getrefcount(value) for value in objects] for objects in watched] == counts
    # One leaked object per call would be megabytes; allow the interpreter's own noise.
    assert grown < 64 * 1024, f"{grown} bytes still traced after {times * len(table)} calls"
