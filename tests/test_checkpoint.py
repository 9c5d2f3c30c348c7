"""The checkpoint frame: encoding, decoding, blob conversion and every failure in order."""

import array
import ctypes
import json

import pytest
from conftest import host_message
from hypothesis import given, settings
from hypothesis import strategies as st
from zelk_core import decode_checkpoint, encode_checkpoint

OUT_OF_RANGE = "out of range integral type conversion attempted"


def test_encode_frames_the_compact_document():
    blob = encode_checkpoint('{\n  "b": [1, 2.0],\n  "a": "\\u00e9"\n}\n')
    assert type(blob) is bytes
    assert blob == b'ZELK\x01{"a":"\xc3\xa9","b":[1,2.0]}'
    assert decode_checkpoint(blob) == '{"a":"é","b":[1,2.0]}'
    assert encode_checkpoint("0") == b"ZELK\x010"
    assert encode_checkpoint(json_str="[]") == b"ZELK\x01[]"


@pytest.mark.parametrize(
    "blob",
    [
        b'ZELK\x01{"a":1}',
        bytearray(b'ZELK\x01{"a":1}'),
        list(b'ZELK\x01{"a":1}'),
        tuple(b'ZELK\x01{"a":1}'),
        array.array("B", b'ZELK\x01{"a":1}'),
        [*b"ZELK", True, *b'{"a":1}'],
        b'ZELK\x01 \r\n\t{"a" : 1}\n',
    ],
)
def test_blob_kinds_decode_alike(blob):
    assert decode_checkpoint(blob) == '{"a":1}'
    assert decode_checkpoint(blob=blob) == '{"a":1}'


class BytesSubclass(bytes):
    """Not an exact bytes object: converted item by item, never viewed in place."""


@pytest.mark.parametrize(
    "raw", [b"", b"ZELK", b"ZELK\x02{}", b"ZELK\x01", b'ZELK\x01"\xff"', b"ZELK\x01[1,]", b'ZELK\x01{"b":1e2,"a":[]}']
)
def test_in_place_bytes_equal_item_by_item(raw):
    def outcome(blob):
        try:
            return decode_checkpoint(blob)
        except ValueError as error:
            return str(error)

    assert outcome(raw) == outcome(BytesSubclass(raw)) == outcome(bytearray(raw)) == outcome(list(raw))


@pytest.mark.parametrize(
    "blob, message",
    [
        (b"", "invalid checkpoint: bad magic header"),
        (b"ZELK", "invalid checkpoint: bad magic header"),
        (b"zelk\x01{}", "invalid checkpoint: bad magic header"),
        (b"ZELJ\x01{}", "invalid checkpoint: bad magic header"),
        (b"ZEL", "invalid checkpoint: bad magic header"),
        (b"xZELK\x01{}", "invalid checkpoint: bad magic header"),
        (b"ZELK\x02{}", "unsupported checkpoint version: 2"),
        (b"ZELK\x00", "unsupported checkpoint version: 0"),
        (b"ZELK\xff\xff\xff", "unsupported checkpoint version: 255"),
        (b"ZELK\x01", "EOF while parsing a value at line 1 column 0"),
        (b"ZELK\x01{}\x00", "trailing characters at line 1 column 3"),
        (b"ZELK\x01\n  x", "expected value at line 2 column 3"),  # positions count from the body
        (b'ZELK\x01["\xc3\x28"]', "invalid unicode code point at line 1 column 5"),
        (b"ZELK\x01" + b"[" * 128, "recursion limit exceeded at line 1 column 128"),
    ],
)
def test_decode_failures(blob, message):
    with pytest.raises(ValueError) as raised:
        decode_checkpoint(blob)
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "blob, error, message",
    [
        ("ZELK\x01{}", TypeError, "argument 'blob': Can't extract `str` to `Vec`"),
        ({"a": 1}, TypeError, "argument 'blob': 'dict' object cannot be converted to 'Sequence'"),
        (None, TypeError, "argument 'blob': 'NoneType' object cannot be converted to 'Sequence'"),
        ([*b"ZELK\x01", 256], OverflowError, OUT_OF_RANGE),
        ([-1, *b"ZELK\x01{}"], OverflowError, OUT_OF_RANGE),  # conversion runs before the frame check
        ([*b"ZELK\x01", 1.0], TypeError, "argument 'blob': " + host_message("PyLong_AsLong", 1.0, ctypes.c_long)),
        ([*b"ZELK\x01", 2**70], OverflowError, host_message("PyLong_AsLong", 2**70, ctypes.c_long)),
    ],
)
def test_blob_conversion_failures(blob, error, message):
    with pytest.raises(error) as raised:
        decode_checkpoint(blob)
    assert type(raised.value) is error
    assert str(raised.value) == message


@pytest.mark.parametrize(
    "argument, error, message",
    [
        ("", ValueError, "EOF while parsing a value at line 1 column 0"),
        ("{} x", ValueError, "trailing characters at line 1 column 4"),
        (1, TypeError, "argument 'json_str': 'int' object cannot be converted to 'PyString'"),
        (b"{}", TypeError, "argument 'json_str': 'bytes' object cannot be converted to 'PyString'"),
    ],
)
def test_encode_failures(argument, error, message):
    with pytest.raises(error) as raised:
        encode_checkpoint(argument)
    assert str(raised.value) == message


def test_lone_surrogate_in_text_fails_in_conversion():
    with pytest.raises(UnicodeEncodeError):
        encode_checkpoint('"\ud800"')


def test_body_is_reprinted_not_returned_as_stored():
    assert decode_checkpoint(b"ZELK\x011e2") == "100.0"
    assert decode_checkpoint(b'ZELK\x01{"b":1,"a":2,"b":3}') == '{"a":2,"b":3}'


documents = st.recursive(
    st.none()
    | st.booleans()
    | st.integers(-(2**64), 2**64)
    | st.floats(allow_nan=False, allow_infinity=False)
    | st.text(st.characters(exclude_categories=["Cs"]), max_size=8),
    lambda inner: st.lists(inner, max_size=4) | st.dictionaries(st.text(max_size=4), inner, max_size=4),
    max_leaves=25,
)


@settings(max_examples=300, deadline=None)
@given(documents)
def test_round_trip_is_exact_for_doubles_too(document):
    text = json.dumps(document, indent=1)
    blob = encode_checkpoint(text)
    compact = blob[5:].decode()
    assert decode_checkpoint(blob) == compact
    assert encode_checkpoint(compact) == blob
    assert json.loads(compact) == json.loads(text) or not _comparable(document)


def _comparable(document):
    # json.loads keeps integers beyond 64 bits exact where the module makes them doubles.
    if isinstance(document, int) and not isinstance(document, bool):
        return -(2**63) <= document < 2**64
    if isinstance(document, list):
        return all(map(_comparable, document))
    if isinstance(document, dict):
        return all(map(_comparable, document.values()))
    return True


def test_double_that_used_to_drift_survives_round_trips():
    blob = encode_checkpoint('{"x": 993.1027217047139}')
    assert decode_checkpoint(blob) == '{"x":993.1027217047139}'


# A text already compact frames into a bytes object of exactly its size; the cases where
# the last token asks for more room than is left, or the frame ends up longer or shorter
# than the text, take the copying path and give the same frame.
@pytest.mark.parametrize(
    "text, body",
    [
        ("[1.5]", "[1.5]"),
        ('{"a":"\\n"}', '{"a":"\\n"}'),
        ('["' + "x" * 40 + '\\u0001"]', '["' + "x" * 40 + '\\u0001"]'),
        ("[" + "0.25," * 500 + "1e-7]", "[" + "0.25," * 500 + "1e-7]"),
        ("1e2", "100.0"),
        ("[1e15]", "[1000000000000000.0]"),
        (' {"b" : 1, "a":[ ]} ', '{"a":[],"b":1}'),
        ('"\\u00e9"', '"\u00e9"'),
    ],
)
def test_frame_size_against_the_text(text, body):
    assert encode_checkpoint(text) == b"ZELK\x01" + body.encode()


# Strict UTF-8 in a blob's strings: accepted exactly when the host's own codec accepts the
# bytes, for byte strings built from every kind of well- and ill-formed piece.
utf8_pieces = st.sampled_from(
    [
        b"a",
        b"\xc3\xa9",
        b"\xe2\x82\xac",
        b"\xf0\x9f\x98\x80",
        b"\xf4\x8f\xbf\xbf",
        b"\xc0\x80",
        b"\xc1\xbf",
        b"\xe0\x9f\xbf",
        b"\xed\xa0\x80",
        b"\xed\x9f\xbf",
        b"\xf0\x8f\xbf\xbf",
        b"\xf4\x90\x80\x80",
        b"\xf5\x80\x80\x80",
        b"\x80",
        b"\xbf",
        b"\xc3",
        b"\xe2\x82",
        b"\xf0\x9f\x98",
        b"\xff",
        b"\xfe",
    ]
)


@settings(max_examples=400, deadline=None)
@given(st.lists(utf8_pieces, max_size=40), st.integers(0, 70))
def test_blob_strings_are_strict_utf8(pieces, indent):
    content = b" " * indent + b"".join(pieces)
    blob = b'ZELK\x01["' + content + b'"]'
    try:
        expected = '["' + content.decode("utf-8") + '"]'
    except UnicodeDecodeError:
        expected = f"invalid unicode code point at line 1 column {len(content) + 3}"
    try:
        got = decode_checkpoint(blob)
    except ValueError as error:
        got = str(error)
    assert got == expected
