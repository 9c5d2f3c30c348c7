"""Channel reducers, reduce_channel and advance_superstep: results, every failure message in
the order the steps run, and the superstep against a channel-by-channel fold."""

import json
import math

import pytest
import zelk_core
from hypothesis import given, settings
from hypothesis import strategies as st
from zelk_core import advance_superstep, reduce_channel

# ------------------------------------------------------------------ reducers

REDUCED = [
    ("add", "2", "3", "5"),
    ("add", "0.1", "0.2", "0.30000000000000004"),
    ("add", "1.5", "1.5", "3"),
    ("add", "-2", "1", "-1"),
    ("add", "-0.5", "0.5", "0"),
    ("add", "-0.5", "-0.5", "-1"),
    ("add", "null", "null", "0"),
    ("add", '"5"', "1", "1"),
    ("add", "7", "{}", "7"),
    ("add", "true", "true", "0"),
    ("add", "[1]", "2.5", "2.5"),
    ("add", "1.7e308", "1.7e308", "null"),
    ("add", "-1.7e308", "-1.7e308", "null"),
    # integers add exactly; out of both integer ranges the sum is the nearest double
    ("add", "9007199254740993", "0", "9007199254740993"),
    ("add", "10000000000000000000", "0", "10000000000000000000"),
    ("add", "18446744073709551615", "1", "1.8446744073709552e+19"),
    ("add", "-9223372036854775808", "-9223372036854775808", "-1.8446744073709552e+19"),
    ("add", "18446744073709551615", "-18446744073709551615", "0"),  # the second is a double
    ("add", "18446744073709551615", "-1", "18446744073709551614"),
    ("add", "-9223372036854775808", "-1", "-9.223372036854776e+18"),
    ("add", "-9223372036854775807", "-1", "-9223372036854775808"),
    ("add", "9223372036854775808", "-9223372036854775808", "0"),
    ("add", "1", "-9223372036854775808", "-9223372036854775807"),
    # with a double the sum is a double, whole sums inside the integer range coming back
    # as integers and the rest staying doubles
    ("add", "-1e19", "0", "-1e+19"),
    ("add", "1e300", "0", "1e+300"),
    ("add", "9223372036854775808.0", "0", "9223372036854775808"),
    ("add", "18446744073709551616.0", "0", "1.8446744073709552e+19"),
    ("add", "-9223372036854775808.0", "0", "-9223372036854775808"),
    ("add", "-0.0", "0", "0"),
    ("append", "null", "null", "[null]"),
    ("append", "null", "[]", "[]"),
    ("append", "[]", "[]", "[]"),
    ("append", "null", "[1,2]", "[1,2]"),
    ("append", "[1]", "[2, [3]]", "[1,2,[3]]"),
    ("append", "[1]", "2", "[1,2]"),
    ("append", '"s"', "[]", '["s"]'),
    ("append", '{"a":1}', '{"b":2}', '[{"a":1},{"b":2}]'),
    ("append", "5", "6", "[5,6]"),
    ("append", "false", "null", "[false,null]"),
    ("last_value", "[1]", "null", "null"),
    ("last_value", "1", '{ "b" : 1 , "a" : [ 2.50 ] }', '{"a":[2.5],"b":1}'),
    ("", "1", "2", "2"),
    ("ADD", "1", "2", "2"),
    ("Append", "[1]", "2", "2"),
    ("append ", "[1]", "2", "2"),
    ("add\x00", "1", "2", "2"),
    ("sum", "1", "2", "2"),
]


@pytest.mark.parametrize("reducer, current, update, result", REDUCED)
def test_reduce_channel(reducer, current, update, result):
    assert reduce_channel(reducer, current, update) == result
    assert reduce_channel(update_json=update, reducer=reducer, current_json=current) == result


@pytest.mark.parametrize(
    "current, update, message",
    [
        ("", "1", "EOF while parsing a value at line 1 column 0"),
        ("", "[", "EOF while parsing a list at line 1 column 1"),  # the update is parsed first
        ("1 2", "1", "trailing characters at line 1 column 3"),
        ("1", "1 2", "trailing characters at line 1 column 3"),
        ("[1,]", "{", "EOF while parsing an object at line 1 column 1"),
    ],
)
def test_reduce_channel_parse_errors(current, update, message):
    with pytest.raises(ValueError) as raised:
        reduce_channel("add", current, update)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "function, arguments, message",
    [
        (reduce_channel, (1, "1", "2"), "argument 'reducer': 'int' object cannot be converted to 'PyString'"),
        (
            reduce_channel,
            ("add", None, "2"),
            "argument 'current_json': 'NoneType' object cannot be converted to 'PyString'",
        ),
        (
            reduce_channel,
            ("add", "1", b"2"),
            "argument 'update_json': 'bytes' object cannot be converted to 'PyString'",
        ),
        (advance_superstep, ({}, "{}", "[]"), "argument 'state_json': 'dict' object cannot be converted to 'PyString'"),
        (
            advance_superstep,
            ("{}", "{}", []),
            "argument 'updates_json': 'list' object cannot be converted to 'PyString'",
        ),
    ],
)
def test_arguments_must_be_text(function, arguments, message):
    with pytest.raises(TypeError) as raised:
        function(*arguments)
    assert str(raised.value) == message


# ------------------------------------------------------------------ advance_superstep

ADVANCED = [
    ('{"b": 1.5, "a": [1, {"y": 2, "x": 1}]}', "{}", "[]", '{"a":[1,{"x":1,"y":2}],"b":1.5}'),
    ('{"a":1}', "{}", '[{"a":2},{"a":3}]', '{"a":3}'),
    ('{"a":1}', '{"a":"add"}', '[{"a":2},{"a":3}]', '{"a":6}'),
    ("{}", '{"a":"add"}', '[{"a":2.5},{"a":2.5}]', '{"a":5}'),
    ("{}", '{"a":"add"}', '[{"a":2.5}]', '{"a":2.5}'),
    ("{}", '{"a":"add"}', '[{"a":"x"}]', '{"a":0}'),
    ("{}", '{"a":"append"}', '[{"a":1},null,{"a":[2,3]}]', '{"a":[1,2,3]}'),
    ("{}", '{"a":"append"}', '[{"a":{"k":1}}]', '{"a":[{"k":1}]}'),
    ('{"a":1}', "{}", '[{"a":null}]', '{"a":null}'),
    ('{"a":1,"z":[]}', '{"z":"append"}', "[null,{},null]", '{"a":1,"z":[]}'),
    ("{}", '{"a":"add","a":"append"}', '[{"a":1},{"a":2}]', '{"a":[1,2]}'),
    ("{}", '{"a":"add"}', '[{"b":1,"a":1,"b":2}]', '{"a":1,"b":2}'),
    # unwritten channels print from their values wherever the text is not in printed form
    (
        '{"a":[1, 2],"b":{"y":1,"x":2},"a":[3],"c":"\\u00e9","d":1.50,"e":-0,"f":[1e2],"g":18446744073709551616}',
        "{}",
        '[{"z":0}]',
        '{"a":[3],"b":{"x":2,"y":1},"c":"é","d":1.5,"e":-0.0,"f":[100.0],"g":1.8446744073709552e+19,"z":0}',
    ),
    (
        '{"m":0}',
        '{"m":"add","c":"append"}',
        '[{"z":1,"c":1,"m":1},{"a":true,"c":[2],"m":-3}]',
        '{"a":true,"c":[1,2],"m":-2,"z":1}',
    ),
]


@pytest.mark.parametrize("state, reducers, updates, result", ADVANCED)
def test_advance_superstep(state, reducers, updates, result):
    assert advance_superstep(state, reducers, updates) == result


NESTED = "[" * 126 + "]" * 126

SUPERSTEP_ERRORS = [
    # the state, before the other two texts are read
    ("", "x", "x", "EOF while parsing a value at line 1 column 0"),
    ("[]", "", "x", "state must be a JSON object"),
    ("null", "{}", "[]", "state must be a JSON object"),
    # the reducer table
    ("{}", "", "x", "EOF while parsing a value at line 1 column 0"),
    ("{}", "  \n ", "x", "EOF while parsing a value at line 2 column 1"),
    ("{}", "null", "x", "invalid type: null, expected a map at line 1 column 4"),
    ("{}", "[]", "x", "invalid type: sequence, expected a map at line 1 column 0"),
    ("{}", " \n  [", "x", "invalid type: sequence, expected a map at line 2 column 2"),
    ("{}", "true", "x", "invalid type: boolean `true`, expected a map at line 1 column 4"),
    ("{}", "false", "x", "invalid type: boolean `false`, expected a map at line 1 column 5"),
    ("{}", "-5", "x", "invalid type: integer `-5`, expected a map at line 1 column 2"),
    (
        "{}",
        "18446744073709551615",
        "x",
        "invalid type: integer `18446744073709551615`, expected a map at line 1 column 20",
    ),
    ("{}", "-0", "x", "invalid type: floating point `-0.0`, expected a map at line 1 column 2"),
    ("{}", "1e16", "x", "invalid type: floating point `1e+16`, expected a map at line 1 column 4"),
    ("{}", '"add"', "x", 'invalid type: string "add", expected a map at line 1 column 5'),
    (
        "{}",
        '"q\\"b\\\\c\\t\\r\\n\\u0000\\u0001\\u001f\\u007f\\u0085\\u00a0é"',
        "x",
        'invalid type: string "q\\"b\\\\c\\t\\r\\n\\0\\u{1}\\u{1f}\\u{7f}\\u{85}\xa0é", expected a map at line 1 column 53',
    ),
    ("{}", "nul", "x", "EOF while parsing a value at line 1 column 3"),
    ("{}", "-", "x", "EOF while parsing a value at line 1 column 1"),
    ("{}", "1e400", "x", "number out of range at line 1 column 5"),
    ("{}", "x", "x", "expected value at line 1 column 1"),
    ("{}", '{"a": 1}', "x", "invalid type: integer `1`, expected a string at line 1 column 7"),
    ("{}", '{"a": 1.5}', "x", "invalid type: floating point `1.5`, expected a string at line 1 column 9"),
    ("{}", '{"a": null}', "x", "invalid type: null, expected a string at line 1 column 10"),
    ("{}", '{"a": {"b": 1}}', "x", "invalid type: map, expected a string at line 1 column 6"),
    ("{}", '{"a":"add","b":[1]}', "x", "invalid type: sequence, expected a string at line 1 column 15"),
    ("{}", '{"a":', "x", "EOF while parsing a value at line 1 column 5"),
    ("{}", '{"a":"add"', "x", "EOF while parsing an object at line 1 column 10"),
    ("{}", '{"a":"add",}', "x", "trailing comma at line 1 column 12"),
    ("{}", '{"a" "add"}', "x", "expected `:` at line 1 column 6"),
    ("{}", '{"a":"add"} x', "x", "trailing characters at line 1 column 13"),
    ("{}", '{"a":"\\q"}', "x", "invalid escape at line 1 column 8"),
    # the update list
    ("{}", "{}", "", "EOF while parsing a value at line 1 column 0"),
    ("{}", "{}", "{}", "invalid type: map, expected a sequence at line 1 column 0"),
    ("{}", "{}", "null", "invalid type: null, expected a sequence at line 1 column 4"),
    ("{}", "{}", "true", "invalid type: boolean `true`, expected a sequence at line 1 column 4"),
    ("{}", "{}", '"s"', 'invalid type: string "s", expected a sequence at line 1 column 3'),
    ("{}", "{}", "[", "EOF while parsing a list at line 1 column 1"),
    ("{}", "{}", "[{},", "EOF while parsing a value at line 1 column 4"),
    ("{}", "{}", "[{},]", "trailing comma at line 1 column 5"),
    ("{}", "{}", "[{} {}]", "expected `,` or `]` at line 1 column 5"),
    ("{}", "{}", "[] []", "trailing characters at line 1 column 4"),
    ("{}", "{}", "[" + "[" * 127, "recursion limit exceeded at line 1 column 128"),
    ("{}", "{}", "[" + NESTED + "]", "each node update must be a JSON object or null"),
    ("{}", "{}", '[{"a":1}, 5]', "each node update must be a JSON object or null"),
    ("{}", "{}", "[5, {]", "key must be a string at line 1 column 6"),
    ("{}", "{}", '[{"a":1}, "x", {"a":]', "expected value at line 1 column 21"),
]


@pytest.mark.parametrize("state, reducers, updates, message", SUPERSTEP_ERRORS)
def test_advance_superstep_errors(state, reducers, updates, message):
    with pytest.raises(ValueError) as raised:
        advance_superstep(state, reducers, updates)
    assert str(raised.value) == message


def nested_object(depth):
    """An object nesting `depth` objects, innermost empty."""
    return '{"k":' * (depth - 1) + "{}" + "}" * (depth - 1)


# "append" wraps an object operand in a new list, one level deeper. A result the parser
# could not read back (more than 127 open containers, the state object counted) is refused.
@pytest.mark.parametrize("result_depth", [126, 127, 128])
def test_append_refuses_results_too_deep_to_read_back(result_depth):
    inner = nested_object(result_depth - 1)
    for current, update, expected in [
        (inner, "1", f"[{inner},1]"),
        ("null", inner, f"[{inner}]"),
        ("[2]", inner, f"[2,{inner}]"),
    ]:
        if result_depth <= 127:
            assert reduce_channel("append", current, update) == expected
            assert zelk_core.encode_checkpoint(expected)[5:] == expected.encode()
        else:
            with pytest.raises(ValueError, match=r"^recursion limit exceeded: the result would nest more than 127"):
                reduce_channel("append", current, update)
    # In a superstep the state object is one more level; the list of updates and the update
    # object are two levels above a written value, so only a state channel can grow too deep.
    state = '{"b":1,"c\\u0001":' + nested_object(result_depth - 2) + "}"
    if result_depth <= 127:
        result = advance_superstep(state, '{"c\\u0001":"append"}', '[{"c\\u0001":1}]')
        assert result == '{"b":1,"c\\u0001":[' + nested_object(result_depth - 2) + ",1]}"
        assert advance_superstep(result, "{}", "[]") == result
    else:
        # of two channels too deep in one update, the first in byte order is named
        state = state[:-1] + ',"d":' + nested_object(result_depth - 2) + "}"
        with pytest.raises(ValueError) as raised:
            advance_superstep(state, '{"c\\u0001":"append","d":"append"}', '[{"b":2},{"d":1,"c\\u0001":1}]')
        assert str(raised.value) == (
            'recursion limit exceeded in channel "c\\u0001": the state would nest more than 127 arrays and objects'
        )
    written = nested_object(min(result_depth - 2, 125))
    assert advance_superstep("{}", '{"c":"append"}', '[{"c":' + written + "}]") == '{"c":[' + written + "]}"


# ------------------------------------------------------------------ superstep against the fold

names = st.sampled_from(["a", "b", "ab", "é", "B", ""])
values = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**64), 2**64)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.sampled_from([2**64 - 1, 2**64, -(2**63), -(2**63) - 1, 10**19, -(10**18), 0.0, -0.0, 1e16])
    | st.text(max_size=3),
    lambda inner: st.lists(inner, max_size=3) | st.dictionaries(names, inner, max_size=2),
    max_leaves=6,
)
reducer_names = st.sampled_from(["add", "append", "last_value", "ADD", "other"])


def compact(value):
    return reduce_channel("last_value", "null", json.dumps(value))


# State texts in several layouts: channels that no update writes are copied from a text
# already in printed form and re-printed from their values otherwise, with the same result.
LAYOUTS = [
    {},
    {"separators": (",", ":")},
    {"separators": (",", ":"), "ensure_ascii": False},
    {"separators": (",", ":"), "ensure_ascii": False, "sort_keys": True},
]


@settings(max_examples=400, deadline=None)
@given(
    st.dictionaries(names, values, max_size=4),
    st.dictionaries(names, reducer_names, max_size=4),
    st.lists(st.none() | st.dictionaries(names, values, max_size=4), max_size=6),
    st.sampled_from(LAYOUTS),
)
def test_superstep_equals_the_channel_fold(state, reducers, updates, layout):
    channels = {name: compact(value) for name, value in state.items()}
    for update in updates:
        for name, written in (update or {}).items():
            current = channels.get(name, "null")
            channels[name] = reduce_channel(reducers.get(name, "last_value"), current, json.dumps(written))
    expected = (
        "{"
        + ",".join(
            json.dumps(name, ensure_ascii=False) + ":" + channels[name] for name in sorted(channels, key=str.encode)
        )
        + "}"
    )
    assert advance_superstep(json.dumps(state, **layout), json.dumps(reducers), json.dumps(updates)) == expected


def reference_add(a, b):
    def number(v):
        if isinstance(v, bool) or not isinstance(v, (int, float)):
            return 0
        return v if isinstance(v, float) or -(2**63) <= v < 2**64 else float(v)

    x, y = number(a), number(b)
    if isinstance(x, float) or isinstance(y, float):
        s = float(x) + float(y)
        if not math.isfinite(s):
            return None
        return int(s) if s == int(s) and -(2**63) <= s < 2**64 else s
    s = x + y
    return s if -(2**63) <= s < 2**64 else float(s)


@settings(max_examples=500, deadline=None)
@given(values, values)
def test_add_against_exact_reference(a, b):
    assert reduce_channel("add", json.dumps(a), json.dumps(b)) == compact(reference_add(a, b))


@settings(max_examples=400, deadline=None)
@given(values, values, st.sampled_from(["append", "last_value", "Append"]), st.sampled_from(LAYOUTS))
def test_append_and_replace_against_a_list_reference(a, b, reducer, layout):
    if reducer == "append":
        base = [] if a is None else (a if isinstance(a, list) else [a])
        expected = base + (b if isinstance(b, list) else [b])
    else:
        expected = b
    assert reduce_channel(reducer, json.dumps(a, **layout), json.dumps(b, **layout)) == compact(expected)


def test_results_are_new_strings():
    assert type(zelk_core.reduce_channel("append", "[]", "1")) is str
