"""JSON text form: parse errors and their positions, the compact printed form, the
conformance corpus, and random documents against a small reference printer.

The checkpoint codec parses and prints in one pass: its text parse is reached through
encode_checkpoint (a str) and its byte parse through decode_checkpoint (the body of a
frame). reduce_channel under a replacing reducer parses into values and prints those. All
three must agree wherever the input is UTF-8."""

import decimal
import json
import math
import pathlib

import pytest
import zelk_core
from hypothesis import given, settings
from hypothesis import strategies as st

HEADER = b"ZELK\x01"


def via_text(text):
    return zelk_core.encode_checkpoint(text)[len(HEADER) :].decode()


def via_bytes(data):
    return zelk_core.decode_checkpoint(HEADER + data)


def via_values(text):
    return zelk_core.reduce_channel("last_value", "null", text)


# ------------------------------------------------------------------ parse errors

PARSE_ERRORS = [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("   ", "EOF while parsing a value at line 1 column 3"),
    ("\ufeff1", "expected value at line 1 column 1"),
    ("1 2", "trailing characters at line 1 column 3"),
    ("nullx", "trailing characters at line 1 column 5"),
    ('"é" x', "trailing characters at line 1 column 6"),  # a two-byte character counts 2
    ("é", "expected value at line 1 column 1"),
    ("+1", "expected value at line 1 column 1"),
    (".5", "expected value at line 1 column 1"),
    ("\f1", "expected value at line 1 column 1"),  # form feed is not whitespace
    ("[,1]", "expected value at line 1 column 2"),
    ('{"a":}', "expected value at line 1 column 6"),
    ("tru", "EOF while parsing a value at line 1 column 3"),
    ("trux", "expected ident at line 1 column 4"),
    ("fals", "EOF while parsing a value at line 1 column 4"),
    ("nUll", "expected ident at line 1 column 2"),
    ("01", "invalid number at line 1 column 2"),
    ("-01", "invalid number at line 1 column 3"),
    ("-", "EOF while parsing a value at line 1 column 1"),
    ("-x", "invalid number at line 1 column 2"),
    ("1.", "EOF while parsing a value at line 1 column 2"),
    ("1.e5", "invalid number at line 1 column 3"),
    ("1e", "EOF while parsing a value at line 1 column 2"),
    ("1e+", "EOF while parsing a value at line 1 column 3"),
    ("1ex", "invalid number at line 1 column 3"),
    ("1e400", "number out of range at line 1 column 5"),
    ("-1e400", "number out of range at line 1 column 6"),
    ("[1e400]", "number out of range at line 1 column 6"),
    ("1" * 400, "number out of range at line 1 column 400"),
    ("1e99999999999", "number out of range at line 1 column 12"),
    ("[", "EOF while parsing a list at line 1 column 1"),
    ("[1", "EOF while parsing a list at line 1 column 2"),
    ("[1,", "EOF while parsing a value at line 1 column 3"),
    ("[1,]", "trailing comma at line 1 column 4"),
    ("[\n1,\n]", "trailing comma at line 3 column 1"),
    ("[1 2]", "expected `,` or `]` at line 1 column 4"),
    ("[1}", "expected `,` or `]` at line 1 column 3"),
    ("{", "EOF while parsing an object at line 1 column 1"),
    ('{"a"', "EOF while parsing an object at line 1 column 4"),
    ('{"a" 1}', "expected `:` at line 1 column 6"),
    ('{"a":1', "EOF while parsing an object at line 1 column 6"),
    ('{"a":1,', "EOF while parsing a value at line 1 column 7"),
    ('{"a":1,}', "trailing comma at line 1 column 8"),
    ('{"a":1,2}', "key must be a string at line 1 column 8"),
    ('{"a":1 2}', "expected `,` or `}` at line 1 column 8"),
    ("{1:2}", "key must be a string at line 1 column 2"),
    ('"abc', "EOF while parsing a string at line 1 column 4"),
    ('"\\', "EOF while parsing a string at line 1 column 2"),
    ('"\\x"', "invalid escape at line 1 column 3"),
    ('"\\u12"', "EOF while parsing a string at line 1 column 6"),
    ('"\\u12x4"', "invalid escape at line 1 column 7"),
    ('"\\udc00"', "lone leading surrogate in hex escape at line 1 column 7"),
    ('"\\ud800"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud800', "EOF while parsing a string at line 1 column 7"),
    ('"\\ud800\\', "EOF while parsing a string at line 1 column 8"),
    ('"\\ud800x"', "unexpected end of hex escape at line 1 column 8"),
    ('"\\ud800\\x"', "unexpected end of hex escape at line 1 column 9"),
    ('"\\ud800\\u00', "EOF while parsing a string at line 1 column 11"),
    ('"\\ud800\\uzzzz"', "invalid escape at line 1 column 13"),
    ('"\\ud800\\u0041"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"\\ud800\\ud800"', "lone leading surrogate in hex escape at line 1 column 13"),
    ('"a\tb"', "control character (\\u0000-\\u001F) found while parsing a string at line 1 column 3"),
    ('"a\nb"', "control character (\\u0000-\\u001F) found while parsing a string at line 2 column 0"),
    ("[" * 128, "recursion limit exceeded at line 1 column 128"),
    ('{"a":' * 128, "recursion limit exceeded at line 1 column 636"),
]


@pytest.mark.parametrize("text, message", PARSE_ERRORS)
def test_parse_error_through_every_entry_point(text, message):
    for parse, argument in [(zelk_core.encode_checkpoint, text), (via_bytes, text.encode()), (via_values, text)]:
        with pytest.raises(ValueError) as raised:
            parse(argument)
        assert str(raised.value) == message


@pytest.mark.parametrize(
    "body, message",
    [
        (b'"\xff"', "invalid unicode code point at line 1 column 3"),
        (b'["\xc3\xa9", "x\xed\xa0\x80"]', "invalid unicode code point at line 1 column 13"),
        (b'{"\xf4\x90\x80\x80":1}', "invalid unicode code point at line 1 column 7"),
        (b'"\xff\\q"', "invalid escape at line 1 column 4"),  # syntax before the UTF-8 check
        (b"\xff", "expected value at line 1 column 1"),
        (b"[1]\x00", "trailing characters at line 1 column 4"),
    ],
)
def test_byte_parse_errors(body, message):
    with pytest.raises(ValueError) as raised:
        via_bytes(body)
    assert str(raised.value) == message


@pytest.mark.parametrize("text", ["[" * 127 + "]" * 127, '{"a":' * 127 + "1" + "}" * 127])
def test_nesting_budget_boundary(text):
    assert via_text(text) == via_values(text) == text


# ------------------------------------------------------------------ printing

PRINTED = [
    ("-0", "-0.0"),
    ("0", "0"),
    ("-1", "-1"),
    ("1.0", "1.0"),
    ("1E2", "100.0"),
    ("1e2", "100.0"),
    ("1.5e3", "1500.0"),
    ("0.1", "0.1"),
    ("1e15", "1000000000000000.0"),
    ("1e16", "1e+16"),
    ("0.000001", "1e-6"),
    ("0.00001", "0.00001"),
    ("0.5", "0.5"),
    ("123.456", "123.456"),
    ("1.5e-7", "1.5e-7"),
    ("1e21", "1e+21"),
    ("-1.25e-10", "-1.25e-10"),
    ("12345e12", "1.2345e+16"),
    ("5e-324", "5e-324"),
    ("1.7976931348623157e308", "1.7976931348623157e+308"),
    ("18446744073709551615", "18446744073709551615"),
    ("18446744073709551616", "1.8446744073709552e+19"),
    ("-9223372036854775808", "-9223372036854775808"),
    ("-9223372036854775809", "-9.223372036854776e+18"),
    ("1e-400", "0.0"),
    ("-1e-400", "-0.0"),
    ("0e99999999999", "0.0"),
    ("-0e-99999999999", "-0.0"),
    ("993.1027217047139", "993.1027217047139"),
    ("0.123456789012345678", "0.12345678901234568"),
    (" [ true ,false, null ] ", "[true,false,null]"),
    ('{"b": 1, "a": 2, "b": 3}', '{"a":2,"b":3}'),
    ('{"z":1,"é":2,"aa":3,"a":4,"B":5,"":6}', '{"":6,"B":5,"a":4,"aa":3,"z":1,"é":2}'),
    ('"\\/"', '"/"'),
    ('"\\u00e9"', '"é"'),
    ('"\\ud83d\\ude00"', '"😀"'),
    ('"\\u0000\\u001F\\u007f\\b\\f\\n\\r\\t\\"\\\\"', '"\\u0000\\u001f\x7f\\b\\f\\n\\r\\t\\"\\\\"'),
    ('"\\u0001\\u000b\\u001e"', '"\\u0001\\u000b\\u001e"'),
]


@pytest.mark.parametrize("text, printed", PRINTED)
def test_printed_form(text, printed):
    assert via_text(text) == via_bytes(text.encode()) == via_values(text) == printed


# ------------------------------------------------------------------ corpus

CORPUS = pathlib.Path(__file__).resolve().parents[2] / "shared" / "testdata" / "jsontestsuite" / "parsing"
CORPUS_FILES = sorted(CORPUS.glob("*.json")) if CORPUS.is_dir() else []


def outcome(parse, argument):
    try:
        return "accepted", parse(argument)
    except ValueError:
        return "rejected", None


@pytest.mark.skipif(not CORPUS_FILES, reason="conformance corpus not present beside the repository")
@pytest.mark.parametrize("path", CORPUS_FILES, ids=lambda p: p.name)
def test_conformance_corpus(path):
    data = path.read_bytes()
    verdicts = {"byte": outcome(via_bytes, data)}
    try:
        text = data.decode("utf-8")
    except UnicodeDecodeError:
        text = None
    if text is not None:
        verdicts["text"] = outcome(via_text, text)
        assert outcome(via_values, text) == verdicts["text"] == verdicts["byte"]
    for kind, (verdict, printed) in verdicts.items():
        if path.name.startswith("y_"):
            assert verdict == "accepted", kind
        elif path.name.startswith("n_"):
            assert verdict == "rejected", kind
        if printed is not None:
            assert via_text(printed) == printed


# ------------------------------------------------------------------ reference printer


def reference_double(x):
    if x == 0:
        return "-0.0" if math.copysign(1, x) < 0 else "0.0"
    sign = "-" if x < 0 else ""
    # repr gives the shortest round-trip digits, nearest to the binary value.
    _, digit_tuple, exponent = decimal.Decimal(repr(abs(x))).normalize().as_tuple()
    digits = "".join(map(str, digit_tuple))
    n = len(digits)
    e = exponent + n - 1
    if -5 <= e <= 15:
        if e < 0:
            return sign + "0." + "0" * (-e - 1) + digits
        if e < n - 1:
            return sign + digits[: e + 1] + "." + digits[e + 1 :]
        return sign + digits + "0" * (e - n + 1) + ".0"
    mantissa = digits[0] + ("." + digits[1:] if n > 1 else "")
    return f"{sign}{mantissa}e{'+' if e >= 0 else '-'}{abs(e)}"


ESCAPES = {'"': '\\"', "\\": "\\\\", "\b": "\\b", "\t": "\\t", "\n": "\\n", "\f": "\\f", "\r": "\\r"}


def reference_string(s):
    return '"' + "".join(ESCAPES.get(c, f"\\u{ord(c):04x}" if ord(c) < 0x20 else c) for c in s) + '"'


def reference(v):
    if v is None:
        return "null"
    if isinstance(v, bool):
        return "true" if v else "false"
    if isinstance(v, int):
        return str(v) if -(2**63) <= v < 2**64 else reference_double(float(v))
    if isinstance(v, float):
        return reference_double(v)
    if isinstance(v, str):
        return reference_string(v)
    if isinstance(v, list):
        return "[" + ",".join(map(reference, v)) + "]"
    names = sorted(v, key=lambda name: name.encode())
    return "{" + ",".join(reference_string(k) + ":" + reference(v[k]) for k in names) + "}"


texts = st.text(st.characters(exclude_categories=["Cs"]), max_size=12)
scalars = (
    st.none() | st.booleans() | st.integers(-(2**70), 2**70) | st.floats(allow_nan=False, allow_infinity=False) | texts
)
documents = st.recursive(
    scalars, lambda inner: st.lists(inner, max_size=5) | st.dictionaries(texts, inner, max_size=5), max_leaves=30
)
layouts = st.sampled_from([{}, {"indent": 2}, {"separators": (",", ":")}, {"ensure_ascii": False}])


@settings(max_examples=400, deadline=None)
@given(documents, layouts)
def test_random_documents_print_like_the_reference(document, layout):
    text = json.dumps(document, **layout)
    printed = via_text(text)
    assert printed == reference(document)
    assert via_text(printed) == printed  # parse then print is a fixed point
    assert via_bytes(text.encode()) == via_values(text) == printed


@settings(max_examples=300, deadline=None)
@given(st.lists(st.tuples(st.sampled_from(["a", "b", "é", "", '"', "a\n"]), documents), max_size=30))
def test_repeated_names_keep_the_last(pairs):
    text = "{" + ",".join(json.dumps(name) + ":" + json.dumps(value) for name, value in pairs) + "}"
    assert via_text(text) == via_values(text) == reference(dict(pairs))


@settings(max_examples=300, deadline=None)
@given(st.floats(allow_nan=False, allow_infinity=False))
def test_every_double_reads_back_unchanged(x):
    printed = via_text(repr(x))
    assert printed == reference_double(x)
    assert via_text(printed) == printed
