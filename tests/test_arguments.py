"""Argument matching, the conversion rules and the labelling rule, across all ten functions."""

import array
import ctypes
import sys

import numpy as np
import pytest
import zelk_core
from conftest import host_error, host_message
from hypothesis import given, settings
from hypothesis import strategies as st

PARAMS = {
    "cosine_similarity": ["a", "b"],
    "top_k": ["query", "matrix", "k"],
    "encode_checkpoint": ["json_str"],
    "decode_checkpoint": ["blob"],
    "reduce_channel": ["reducer", "current_json", "update_json"],
    "advance_superstep": ["state_json", "reducers_json", "updates_json"],
    "plan_supersteps": ["nodes", "edges"],
    "hash_event": ["prev_hash", "payload"],
    "verify_chain": ["genesis", "entries"],
    "aggregate_cost": ["values"],
}

# Valid arguments for every function, so that one parameter at a time can be made bad.
VALID = {
    "cosine_similarity": [[1.0], [1.0]],
    "top_k": [[1.0], [[1.0]], 1],
    "encode_checkpoint": ["0"],
    "decode_checkpoint": [b"ZELK\x010"],
    "reduce_channel": ["add", "1", "2"],
    "advance_superstep": ["{}", "{}", "[]"],
    "plan_supersteps": [["a"], []],
    "hash_event": ["", ""],
    "verify_chain": ["", []],
    "aggregate_cost": [[1.0]],
}

# The conversion rule of each parameter.
RULE = {
    "a": "floats",
    "b": "floats",
    "query": "floats",
    "values": "floats",
    "matrix": "rows",
    "k": "count",
    "json_str": "text",
    "reducer": "text",
    "current_json": "text",
    "update_json": "text",
    "state_json": "text",
    "reducers_json": "text",
    "updates_json": "text",
    "prev_hash": "text",
    "payload": "text",
    "genesis": "text",
    "blob": "bytes",
    "nodes": "texts",
    "edges": "pairs",
    "entries": "pairs",
}


def raises(call, *args, **kwargs):
    with pytest.raises(BaseException) as info:
        call(*args, **kwargs)
    return info.value


def call_with(name, param, value):
    args = list(VALID[name])
    args[PARAMS[name].index(param)] = value
    return raises(getattr(zelk_core, name), *args)


def every_param(rule):
    return [(name, param) for name, params in PARAMS.items() for param in params if RULE[param] == rule]


def quoted(names):
    names = [f"'{n}'" for n in names]
    if len(names) == 1:
        return names[0]
    if len(names) == 2:
        return " and ".join(names)
    return ", ".join(names[:-1]) + ", and " + names[-1]


# ------------------------------------------------------------------ matching


@pytest.mark.parametrize("name", PARAMS)
def test_matching_messages(name):
    params = PARAMS[name]
    function = getattr(zelk_core, name)
    count = len(params)

    error = raises(function, *range(count + 1))
    assert type(error) is TypeError
    assert str(error) == f"{name}() takes {count} positional arguments but {count + 1} were given"
    # too many positional arguments win over a wrong keyword
    assert str(raises(function, *range(count + 1), bogus=1)) == str(error)

    # keywords are looked at before missing arguments are counted
    error = raises(function, bogus=1)
    assert str(error) == f"{name}() got an unexpected keyword argument 'bogus'"

    error = raises(function)
    word = "argument" if count == 1 else "arguments"
    assert str(error) == f"{name}() missing {count} required positional {word}: {quoted(params)}"

    error = raises(function, *range(count), **{params[0]: 1})
    assert str(error) == f"{name}() got multiple values for argument '{params[0]}'"

    if count > 1:
        error = raises(function, 0)
        rest = params[1:]
        word = "argument" if len(rest) == 1 else "arguments"
        assert str(error) == f"{name}() missing {len(rest)} required positional {word}: {quoted(rest)}"


def test_missing_names_skip_the_ones_given_by_keyword():
    error = raises(zelk_core.top_k, matrix=[])
    assert str(error) == "top_k() missing 2 required positional arguments: 'query' and 'k'"


def test_keyword_with_lone_surrogate_is_unknown():
    error = raises(zelk_core.aggregate_cost, **{"values\udcff": 1})
    shown = "values\udcff".encode("utf-8", "surrogatepass").decode("utf-8", "replace")
    assert str(error) == f"aggregate_cost() got an unexpected keyword argument '{shown}'"


def test_keywords_in_any_order():
    assert zelk_core.top_k(k=1, matrix=[[0.0, 1.0], [1.0, 0.0]], query=[1.0, 0.0]) == [(1, 1.0)]
    assert zelk_core.top_k([1.0, 0.0], k=1, matrix=[[1.0, 0.0]]) == [(0, 1.0)]
    assert zelk_core.cosine_similarity(b=[1.0, 0.0], a=[0.0, 1.0]) == 0.0
    assert zelk_core.aggregate_cost(values=(1, 2)) == 3.0


# ------------------------------------------------------------------ the text rule


@pytest.mark.parametrize("name, param", every_param("text"))
def test_text_rule(name, param):
    error = call_with(name, param, 1)
    assert type(error) is TypeError
    assert str(error) == f"argument '{param}': 'int' object cannot be converted to 'PyString'"
    error = call_with(name, param, b"bytes")
    assert str(error) == f"argument '{param}': 'bytes' object cannot be converted to 'PyString'"
    # a lone surrogate: the host's UnicodeEncodeError, without the parameter name
    error = call_with(name, param, "\ud800")
    assert type(error) is UnicodeEncodeError
    assert "surrogates not allowed" in str(error)


# ------------------------------------------------------------------ sequence rule


@pytest.mark.parametrize(
    "name, param",
    every_param("floats") + every_param("rows") + every_param("texts") + every_param("pairs") + every_param("bytes"),
)
@pytest.mark.parametrize(
    "value, shown",
    [
        ({}, "dict"),
        ({1}, "set"),
        (None, "NoneType"),
        (5, "int"),
        ((x for x in ()), "generator"),
    ],
)
def test_sequence_rule_refuses_non_sequences(name, param, value, shown):
    error = call_with(name, param, value)
    assert type(error) is TypeError
    assert str(error) == f"argument '{param}': '{shown}' object cannot be converted to 'Sequence'"


@pytest.mark.parametrize(
    "name, param",
    every_param("floats") + every_param("rows") + every_param("texts") + every_param("pairs") + every_param("bytes"),
)
def test_sequence_rule_refuses_str(name, param):
    for value in ("ab", "", type("S", (str,), {})("x")):
        error = call_with(name, param, value)
        assert type(error) is TypeError
        assert str(error) == f"argument '{param}': Can't extract `str` to `Vec`"


class Custom:
    """A sequence whose protocol methods are supplied per test."""

    def __init__(self, items, length=None, fail_len=None, fail_iter=None):
        self.items, self.length, self.fail_len, self.fail_iter = items, length, fail_len, fail_iter

    def __len__(self):
        if self.fail_len:
            raise self.fail_len
        return len(self.items) if self.length is None else self.length

    def __getitem__(self, i):
        return self.items[i]

    def __iter__(self):
        for i, item in enumerate(self.items):
            if self.fail_iter is not None and i == self.fail_iter[0]:
                raise self.fail_iter[1]
            yield item


@pytest.mark.parametrize("length", [0, 1, 2**62, sys.maxsize])
def test_reported_length_is_only_a_hint(length):
    assert zelk_core.aggregate_cost(Custom([1.0, 2.0, 3.0], length=length)) == 6.0


@pytest.mark.parametrize("failure", [ValueError("len"), TypeError("len"), OverflowError("len")])
def test_errors_of_len_are_discarded(failure):
    assert zelk_core.aggregate_cost(Custom([1.0, 2.0], fail_len=failure)) == 3.0


@pytest.mark.parametrize(
    "failure, labelled",
    [
        (TypeError("broken iteration"), True),
        (type("SubTypeError", (TypeError,), {})("broken iteration"), False),
        (RuntimeError("broken iteration"), False),
        (KeyError("broken iteration"), False),
    ],
)
@pytest.mark.parametrize("at", [0, 2])
def test_iteration_errors(failure, labelled, at):
    error = raises(zelk_core.aggregate_cost, Custom([1.0, 2.0, 3.0], fail_iter=(at, failure)))
    assert type(error) is type(failure)
    if labelled:
        assert str(error) == "argument 'values': broken iteration"
        assert error is not failure
    else:
        assert error is failure


def test_getiter_failure_passes_through():
    class NoIter:
        def __len__(self):
            return 1

        def __getitem__(self, i):
            return 1.0

        __iter__ = None

    error = raises(zelk_core.aggregate_cost, NoIter())
    assert type(error) is TypeError
    assert str(error) == "argument 'values': 'NoIter' object is not iterable"


# ------------------------------------------------------------------ float elements


class Floaty:
    def __init__(self, value=None, error=None):
        self.value, self.error = value, error

    def __float__(self):
        if self.error is not None:
            raise self.error
        return self.value


@pytest.mark.parametrize("name, param", every_param("floats"))
@pytest.mark.parametrize("item", ["x", None, b"1", [1.0], object()])
def test_float_element_type_errors_are_labelled(name, param, item):
    error = call_with(name, param, [1.0, item])
    assert type(error) is TypeError
    assert str(error) == f"argument '{param}': " + host_message("PyFloat_AsDouble", item)


@pytest.mark.parametrize("name, param", every_param("floats"))
def test_float_element_overflow_is_not_labelled(name, param):
    error = call_with(name, param, [10**400])
    expected = host_error("PyFloat_AsDouble", 10**400)
    assert type(error) is type(expected) is OverflowError
    assert str(error) == str(expected)


def test_conversion_errors_keep_their_cause_and_type():
    cause = KeyError("why")
    try:
        raise TypeError("custom") from cause
    except TypeError as raised:
        failure = raised
    error = raises(zelk_core.aggregate_cost, [Floaty(error=failure)])
    assert type(error) is TypeError and str(error) == "argument 'values': custom"
    assert error.__cause__ is cause

    error = raises(zelk_core.aggregate_cost, [Floaty(error=TypeError("plain"))])
    assert error.__cause__ is None

    for failure in [ValueError("v"), ZeroDivisionError("z"), type("T", (TypeError,), {})("t")]:
        assert raises(zelk_core.aggregate_cost, [Floaty(error=failure)]) is failure


def test_first_bad_parameter_wins():
    error = raises(zelk_core.cosine_similarity, "x", {})
    assert str(error) == "argument 'a': Can't extract `str` to `Vec`"
    error = raises(zelk_core.top_k, [1.0], "m", 2.0)
    assert str(error) == "argument 'matrix': Can't extract `str` to `Vec`"


class Indexy:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


@pytest.mark.parametrize(
    "values, total",
    [
        ([], -0.0),
        ([-1.0], -1.0),
        ([1, 2, 3], 6.0),
        ([True, True], 2.0),
        ((0.5, 0.25), 0.75),
        (range(5), 10.0),
        (b"\x01\x02", 3.0),
        (bytearray(b"\x05"), 5.0),
        (array.array("d", [1.5, 2.5]), 4.0),
        (array.array("i", [1, -2]), -1.0),
        (np.array([0.5, 1.5]), 2.0),
        (np.array([1, 2], dtype=np.int64), 3.0),
        ([Floaty(2.5), Indexy(3)], 5.5),
        (Custom([1.0, 2.0]), 3.0),
    ],
)
def test_float_sequences_accepted(values, total):
    result = zelk_core.aggregate_cost(values)
    assert result == total and str(result) == str(total)


# ------------------------------------------------------------------ row elements


def test_row_rules():
    error = raises(zelk_core.top_k, [1.0], [[1.0], "ab"], 1)
    assert type(error) is TypeError and str(error) == "argument 'matrix': Can't extract `str` to `Vec`"
    error = raises(zelk_core.top_k, [1.0], [[1.0], 7], 1)
    assert str(error) == "argument 'matrix': 'int' object cannot be converted to 'Sequence'"
    error = raises(zelk_core.top_k, [1.0], [[1.0], [1.0, "x"]], 1)
    assert str(error) == "argument 'matrix': " + host_message("PyFloat_AsDouble", "x")
    assert zelk_core.top_k([1.0], ((1.0,), range(2), b"\x01", np.array([2.0])), 9) == [
        (0, 1.0),
        (2, 1.0),
        (3, 1.0),
        (1, 0.0),
    ]


# ------------------------------------------------------------------ the count rule


def test_count_rule():
    rows = [[1.0]] * 3
    assert len(zelk_core.top_k([1.0], rows, True)) == 1
    assert len(zelk_core.top_k([1.0], rows, Indexy(2))) == 2
    assert len(zelk_core.top_k([1.0], rows, 2**64 - 1)) == 3
    assert len(zelk_core.top_k([1.0], rows, np.uint64(2))) == 2
    for value in [2.0, "2", None, np.float64(2.0)]:
        error = raises(zelk_core.top_k, [1.0], rows, value)
        assert type(error) is TypeError
        assert str(error) == "argument 'k': " + host_message("PyNumber_Index", value, ctypes.py_object)
    for value in [-1, 2**64, -(2**70), Indexy(-1)]:
        error = raises(zelk_core.top_k, [1.0], rows, value)
        expected = host_error("PyLong_AsUnsignedLongLong", value if isinstance(value, int) else -1, ctypes.c_ulonglong)
        assert type(error) is OverflowError and str(error) == str(expected)


# ------------------------------------------------------------------ text elements


class Fresh:
    """A sequence that makes a new str object on every access and keeps none."""

    def __init__(self, count):
        self.count = count

    def __len__(self):
        return self.count

    def __getitem__(self, i):
        if i >= self.count:
            raise IndexError(i)
        return "".join(["n\u00e9", str(i), "-" * (i % 50)])


def test_text_elements(probe):
    expected = ["né" + str(i) + "-" * (i % 50) for i in range(2000)]
    assert probe.texts(Fresh(2000)) == expected
    assert probe.texts(("a", type("S", (str,), {})("b"), "")) == ["a", "b", ""]
    assert probe.texts(["\U0001f600"]) == ["\U0001f600"]


@pytest.mark.parametrize("name, param", every_param("texts"))
def test_text_element_errors(name, param):
    error = call_with(name, param, ["a", 1])
    assert type(error) is TypeError
    assert str(error) == f"argument '{param}': 'int' object cannot be converted to 'PyString'"
    error = call_with(name, param, ["a", "\udc80"])
    assert type(error) is UnicodeEncodeError


# ------------------------------------------------------------------ pair elements


@pytest.mark.parametrize("name, param", every_param("pairs"))
@pytest.mark.parametrize(
    "item, kind, message",
    [
        (["a", "b"], TypeError, "argument '{param}': 'list' object cannot be converted to 'PyTuple'"),
        ("ab", TypeError, "argument '{param}': 'str' object cannot be converted to 'PyTuple'"),
        (("a", "b", "c"), ValueError, "expected tuple of length 2, but got tuple of length 3"),
        ((), ValueError, "expected tuple of length 2, but got tuple of length 0"),
        (("a", 1), TypeError, "argument '{param}': 'int' object cannot be converted to 'PyString'"),
        ((None, "a"), TypeError, "argument '{param}': 'NoneType' object cannot be converted to 'PyString'"),
    ],
)
def test_pair_element_errors(name, param, item, kind, message):
    error = call_with(name, param, [("x", "y"), item])
    assert type(error) is kind
    assert str(error) == message.format(param=param)


@pytest.mark.parametrize("name, param", every_param("pairs"))
def test_pair_element_surrogate(name, param):
    error = call_with(name, param, [("x", "\ud800")])
    assert type(error) is UnicodeEncodeError


# ------------------------------------------------------------------ byte elements


@pytest.mark.parametrize("items", [[256], [-1], [0, 1000], [2**40]])
def test_byte_out_of_range(items):
    error = raises(zelk_core.decode_checkpoint, items)
    assert type(error) is OverflowError
    assert str(error) == "out of range integral type conversion attempted"


def test_byte_beyond_c_long_is_the_hosts_overflow():
    error = raises(zelk_core.decode_checkpoint, [2**70])
    expected = host_error("PyLong_AsLong", 2**70, ctypes.c_long)
    assert type(error) is OverflowError and str(error) == str(expected)


@pytest.mark.parametrize("item", [1.0, "a", None, b"a"])
def test_byte_type_errors_are_labelled(item):
    error = raises(zelk_core.decode_checkpoint, [90, item])
    assert type(error) is TypeError
    assert str(error) == "argument 'blob': " + host_message("PyLong_AsLong", item, ctypes.c_long)


# ------------------------------------------------------------------ list and tuple fast path


class Plain(list):
    """A list subclass: converted through the generic iterator, never the index fast path."""


class Mutating:
    """A number whose conversion changes the list being converted."""

    def __init__(self, target, action, value=1.0):
        self.target, self.action, self.value = target, action, value

    def __float__(self):
        if self.action == "pop" and self.target:
            self.target.pop()
        elif self.action == "append":
            self.action = None
            self.target.append(100.0)
        elif self.action == "clear":
            self.target.clear()
        return self.value


@pytest.mark.parametrize("action", ["pop", "append", "clear", None])
@pytest.mark.parametrize("kind", [list, Plain])
def test_list_mutated_during_conversion(action, kind):
    target = kind([1.0, 2.0, 3.0, 4.0])
    target.insert(1, Mutating(target, action))
    expected = {"pop": 1.0 + 1.0 + 2.0 + 3.0, "append": 1.0 + 1.0 + 2.0 + 3.0 + 4.0 + 100.0, "clear": 2.0, None: 11.0}[
        action
    ]
    assert zelk_core.aggregate_cost(target) == expected


ITEMS = [
    1.5,
    2,
    True,
    -0.0,
    "x",
    None,
    10**400,
    Floaty(2.5),
    Floaty(error=ValueError("v")),
    Indexy(3),
    float("nan"),
    2**63,
]


@settings(max_examples=300, deadline=None)
@given(st.lists(st.sampled_from(range(len(ITEMS))), max_size=8))
def test_fast_path_equals_generic_path(picks):
    items = [ITEMS[i] for i in picks]

    def outcome(values):
        try:
            return ("ok", repr(zelk_core.aggregate_cost(values)))
        except Exception as error:
            return (type(error), str(error))

    assert outcome(items) == outcome(Plain(items)) == outcome(tuple(items)) == outcome(Custom(items))
    rows = [items[:2], tuple(items[2:])]
    assert outcome_of(zelk_core.top_k, [1.0, 1.0], rows) == outcome_of(zelk_core.top_k, [1.0, 1.0], Plain(rows))


def outcome_of(function, *args):
    try:
        return ("ok", repr(function(*args, 5)))
    except Exception as error:
        return (type(error), str(error))
