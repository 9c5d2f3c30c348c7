"""Calls of every function of the module on its success and failure paths.

One table shared by the memory test (pytest) and the memcheck run (`make valgrind`):
each case is a function name, positional and keyword arguments, and the exception type
the call raises (None when it returns). The arguments are built fresh by `cases()` so
that a caller can watch their reference counts.
"""

import sys

import zelk_core

CHAIN_GENESIS = "genesis"


def _chain(length):
    entries, previous = [], CHAIN_GENESIS
    for i in range(length):
        payload = f'{{"superstep":{i}}}'
        previous = zelk_core.hash_event(previous, payload)
        entries.append((payload, previous))
    return entries


def cases():
    blob = zelk_core.encode_checkpoint('{"a":[1,2.5,"x"],"b":null}')
    chain = _chain(9)  # more than one group of interleaved links
    broken = chain[:4] + [(chain[4][0] + " ", chain[4][1])] + chain[5:]
    state = '{"hits":1,"log":["a"],"name":"x"}'
    reducers = '{"hits":"add","log":"append"}'
    return [
        ("cosine_similarity", ([1.0, 2.0, 3.0], [3.0, 2.0, 1.5]), {}, None),
        ("cosine_similarity", ((1, 2), (1, 2, 3)), {}, None),
        ("cosine_similarity", (), {"a": [0.5], "b": [2.0]}, None),
        ("cosine_similarity", (["x"], [1.0]), {}, TypeError),
        ("cosine_similarity", ([1.0, 10**400], [1.0, 1.0]), {}, OverflowError),
        ("cosine_similarity", ([1.0],), {}, TypeError),
        ("top_k", ([1.0, 0.0], [[1.0, 0.0], [0.0, 1.0], [0.5, 0.5]], 2), {}, None),
        ("top_k", ([1.0, 0.0], [[1.0], (0.0, 1.0, 2.0)], 5), {}, None),
        ("top_k", ([1.0], [[1.0]], -1), {}, OverflowError),
        ("top_k", ([1.0], [[1.0], "ab"], 1), {}, TypeError),
        ("top_k", ([1.0], [[1.0]], "1"), {}, TypeError),
        ("encode_checkpoint", ('{"b": [1, 2, {"c": null}], "a": "\\u00e9"}',), {}, None),
        ("encode_checkpoint", ('{"a": [1, 2',), {}, ValueError),
        ("encode_checkpoint", (b"{}",), {}, TypeError),
        ("decode_checkpoint", (blob,), {}, None),
        ("decode_checkpoint", (bytearray(blob),), {}, None),
        ("decode_checkpoint", (list(blob),), {}, None),
        ("decode_checkpoint", (b"XELK\x01{}",), {}, ValueError),
        ("decode_checkpoint", (b"ZELK\x02{}",), {}, ValueError),
        ("decode_checkpoint", (b"ZELK\x01[\xff]",), {}, ValueError),
        ("decode_checkpoint", ([90, 69, 76, 75, 256],), {}, OverflowError),
        ("decode_checkpoint", ("ZELK\x01{}",), {}, TypeError),
        ("reduce_channel", ("add", "1", "2.5"), {}, None),
        ("reduce_channel", ("append", "[1]", '[2, {"x": [3]}]'), {}, None),
        ("reduce_channel", ("last_value", '{"a": 1}', '"x"'), {}, None),
        ("reduce_channel", ("add", "1", "["), {}, ValueError),
        ("reduce_channel", (1, "1", "2"), {}, TypeError),
        ("advance_superstep", (state, reducers, '[{"hits": 2, "log": ["b"]}, null, {"new": true}]'), {}, None),
        ("advance_superstep", ("[]", reducers, "[]"), {}, ValueError),
        ("advance_superstep", (state, '{"hits": 1}', "[]"), {}, ValueError),
        ("advance_superstep", (state, reducers, "[1]"), {}, ValueError),
        ("advance_superstep", (state, reducers, '[{"hits": 1'), {}, ValueError),
        ("plan_supersteps", (["c", "a", "b", "d"], [("a", "b"), ("b", "c"), ("c", "b"), ("a", "x")]), {}, None),
        ("plan_supersteps", ([1], []), {}, TypeError),
        ("plan_supersteps", (["a", "b"], [["a", "b"]]), {}, TypeError),
        ("plan_supersteps", (["a"], [("a",)]), {}, ValueError),
        ("hash_event", ("0" * 64, '{"superstep": 1}'), {}, None),
        ("hash_event", (1, "x"), {}, TypeError),
        ("verify_chain", (CHAIN_GENESIS, chain), {}, None),
        ("verify_chain", (CHAIN_GENESIS, broken), {}, None),
        ("verify_chain", (CHAIN_GENESIS, [("a",)]), {}, ValueError),
        ("verify_chain", (CHAIN_GENESIS, [1]), {}, TypeError),
        ("aggregate_cost", ([1.0, 2, 3.5],), {}, None),
        ("aggregate_cost", (["x"],), {}, TypeError),
        ("aggregate_cost", ([10**400],), {}, OverflowError),
    ]


def run(function, args, kwargs, raises, times):
    """Calls the function `times` times, checking each call's outcome."""
    for _ in range(times):
        try:
            function(*args, **kwargs)
        except Exception as error:  # the type is checked below
            if raises is None or type(error) is not raises:
                raise
        else:
            if raises is not None:
                raise AssertionError(f"{function.__name__}{args!r} did not raise {raises.__name__}")


if __name__ == "__main__":
    # The memcheck selection: every case a few hundred times.
    times = int(sys.argv[1]) if len(sys.argv) > 1 else 100
    for name, args, kwargs, raises in cases():
        run(getattr(zelk_core, name), args, kwargs, raises, times)
    print(f"{len(cases())} cases x {times} calls")
