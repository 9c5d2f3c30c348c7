"""Numeric buffers (numpy arrays, array.array, memoryview) read from their memory give exactly
what the plain rule gives on the element objects their iteration yields: the same values bit
for bit, or the same exception (type, message, labelling, first failing element)."""

import array
import ctypes
import ctypes.util
import math
import re
import struct
import sys

import numpy as np
import pytest
import zelk_core
from hypothesis import given, settings
from hypothesis import strategies as st

pytestmark = pytest.mark.filterwarnings("ignore::RuntimeWarning")  # overflow in the doubling classes


class Plain:
    """The element objects `source` yields, through a sequence no fast path reads; rows that
    are buffers are wrapped too."""

    def __init__(self, source):
        self.source = source

    def __len__(self):
        return len(self.source)

    def __getitem__(self, index):
        return self.source[index]

    def __iter__(self):
        for item in self.source:
            yield Plain(item) if isinstance(item, (np.ndarray, array.array, memoryview)) else item


def bits(value):
    if isinstance(value, float):
        return struct.pack("<d", value)
    if isinstance(value, (list, tuple)):
        return [bits(v) for v in value]
    return value


def outcome(call, *args):
    try:
        return "value", bits(call(*args))
    except BaseException as error:  # the exception is the outcome
        return type(error), str(error)


# Each overriding class changes what iteration yields, so reading it by its memory would show.
class Sub(np.ndarray):
    pass


class OwnIter(np.ndarray):
    def __iter__(self):
        return (2 * x for x in np.ndarray.__iter__(self))


class OwnItem(np.ndarray):
    def __getitem__(self, index):
        return 2 * np.ndarray.__getitem__(self, index)


class OwnLen(np.ndarray):
    def __len__(self):
        raise ValueError("no length")


class ArraySub(array.array):
    def __iter__(self):
        return iter([7] * len(self))


DTYPES = ["f2", "f4", "f8", "i1", "u1", "i2", "u2", "i4", "u4", "i8", "u8", ">f4", ">i2", "?", "c8", "g"]
TYPECODES = {
    "i1": "b",
    "u1": "B",
    "i2": "h",
    "u2": "H",
    "i4": "i",
    "u4": "I",
    "i8": "q",
    "u8": "Q",
    "f4": "f",
    "f8": "d",
}


def specials(dtype):
    """Bit patterns worth meeting: zeros, infinities, NaN payloads (quiet and signalling),
    subnormal extremes, integers at the double-rounding and byte-range edges."""
    width = 8 * dtype.itemsize
    top = 1 << (width - 1)
    fraction = {16: 10, 32: 23, 64: 52}.get(width)
    if dtype.kind == "f" and fraction:
        inf = (top - 1) ^ ((1 << fraction) - 1)
        quiet = 1 << (fraction - 1)
        base = [0, inf, inf | 1, inf | quiet, inf | quiet | 5, inf | (quiet - 1), 1, (1 << fraction) - 1]
        return base + [b | top for b in base]
    edges = [0, 1, 255, 256, 2**53 + 1, 2**62 + 2**38 + 1, 2**63 - 1, 2**63, 2**64 - 1, 2**64 - 256]
    return [e % (1 << width) for e in edges] + [(1 << width) - 1]


@st.composite
def numbers(draw, ndim=1):
    """A numeric buffer in one of the layouts and containers users pass."""
    dtype = np.dtype(draw(st.sampled_from(DTYPES)))
    width = 8 * dtype.itemsize
    shape = tuple(draw(st.integers(0, 5)) for _ in range(ndim))
    step = draw(st.sampled_from([1, 1, 2, -1, -3]))
    count = math.prod(shape) * abs(step)
    element = st.one_of(st.integers(0, 2**width - 1), st.integers(0, 300), st.sampled_from(specials(dtype)))
    raw = b"".join(
        (v % 2**width).to_bytes(dtype.itemsize, sys.byteorder)
        for v in draw(st.lists(element, min_size=count, max_size=count))
    )
    if draw(st.booleans()):  # unaligned
        arr = np.frombuffer(b"\0" + raw, dtype=dtype, offset=1)
    else:
        arr = np.frombuffer(raw, dtype=dtype).copy()
    arr = arr[::step] if step > 0 else arr[::-1][::-step]
    arr = arr.reshape(shape)
    if ndim == 2 and draw(st.booleans()):
        arr = np.ascontiguousarray(arr.T).T  # rows strided, elements not
    container = draw(
        st.sampled_from(
            ["ndarray", "sub", "own_iter", "own_item", "own_len", "memoryview", "array", "array_sub", "0-d"]
        )
    )
    if container == "sub":
        return arr.view(Sub)
    if container in ("own_iter", "own_item", "own_len"):
        return arr.view({"own_iter": OwnIter, "own_item": OwnItem, "own_len": OwnLen}[container])
    if container == "memoryview":
        return memoryview(arr)
    if container in ("array", "array_sub") and dtype.str[1:] in TYPECODES and ndim == 1 and dtype.byteorder != ">":
        kind = array.array if container == "array" else ArraySub
        return kind(TYPECODES[dtype.str[1:]], arr.tobytes())
    if container == "0-d" and arr.size:
        return arr.reshape(-1)[0:1].reshape(())
    return arr


@pytest.fixture(scope="module")
def rules(probe):
    return probe


@settings(max_examples=400, deadline=None)
@given(numbers())
def test_vectors_values_blobs_read_as_their_elements(rules, value):
    for convert in (rules.floats32, rules.floats_fingerprint, rules.blob, zelk_core.aggregate_cost):
        assert outcome(convert, value) == outcome(convert, Plain(value)), convert.__name__
    assert outcome(zelk_core.cosine_similarity, value, value) == outcome(
        zelk_core.cosine_similarity, Plain(value), Plain(value)
    )


@settings(max_examples=300, deadline=None)
@given(numbers(ndim=2), st.integers(0, 7))
def test_matrices_read_as_their_rows(rules, matrix, k):
    as_rows = [row for row in matrix] if isinstance(matrix, np.ndarray) and matrix.ndim == 2 else matrix
    for value in (matrix, as_rows):
        assert outcome(rules.matrix32, value) == outcome(rules.matrix32, Plain(value))
        query = np.ones(matrix.shape[-1] if getattr(matrix, "ndim", 0) == 2 else 0, dtype=np.float32)
        assert outcome(zelk_core.top_k, query, value, k) == outcome(zelk_core.top_k, Plain(query), Plain(value), k)


@pytest.mark.parametrize(
    "value, error",
    [
        (np.array([3, 256, -1], dtype=np.int16), (OverflowError, "out of range integral type conversion attempted")),
        (np.array([1, 2**64 - 1], dtype=np.uint64), (OverflowError, "Python int too large to convert to C long")),
        (np.array([1.0]), (TypeError, "argument 'blob': 'numpy.float64' object cannot be interpreted as an integer")),
        (
            memoryview(b"ab").cast("c"),
            (TypeError, "argument 'blob': 'bytes' object cannot be interpreted as an integer"),
        ),
        (
            memoryview(np.zeros((2, 2), dtype=np.uint8)),
            (NotImplementedError, "multi-dimensional sub-views are not implemented"),
        ),
    ],
)
def test_blob_errors_are_the_plain_rule_errors(value, error):
    assert outcome(zelk_core.decode_checkpoint, value) == error


@pytest.mark.parametrize(
    "call",
    [
        lambda v: zelk_core.aggregate_cost(v),
        lambda v: zelk_core.cosine_similarity(v, v),
        lambda v: zelk_core.top_k(v, [], 1),
        lambda v: zelk_core.top_k([], [v], 1),
        lambda v: zelk_core.decode_checkpoint(v),
    ],
)
@pytest.mark.parametrize(
    "make", [lambda: memoryview(np.arange(3.0)), lambda: memoryview(b"ZELK\x011"), lambda: memoryview(np.zeros((2, 2)))]
)
def test_released_memoryview_is_refused_as_its_own_operations_refuse_it(call, make):
    view = make()
    view.release()
    with pytest.raises(ValueError) as caught:
        len(view)
    with pytest.raises(ValueError, match=f"^{re.escape(str(caught.value))}$"):
        call(view)


def test_blob_and_matrix_in_place_and_buffers_released():
    blob = zelk_core.encode_checkpoint('{"b":[1,2],"a":null}')
    for value in (
        np.frombuffer(blob, dtype=np.uint8),
        memoryview(blob),
        array.array("B", blob),
        np.frombuffer(blob, dtype=np.uint8).astype(np.int64),
    ):
        assert zelk_core.decode_checkpoint(value) == '{"a":null,"b":[1,2]}'
    grown = array.array("d", [1.0, 2.0])
    assert zelk_core.aggregate_cost(grown) == 3.0
    grown.append(4.0)  # no export outlives the call (a held one would refuse the resize)
    assert zelk_core.top_k(grown, [grown], 1) == [(0, 1.0)] and zelk_core.cosine_similarity(grown, grown) == 1.0
    grown.append(5.0)


class Writer:
    """A count whose __index__ writes into an array converted before it."""

    def __init__(self, target, value):
        self.target, self.value = target, value

    def __index__(self):
        self.target[...] = self.value
        return 1


class WritesFirst(Plain):
    """A sequence whose iteration writes into an array converted before it."""

    def __init__(self, source, target, value):
        super().__init__(source)
        self.writer = Writer(target, value)

    def __iter__(self):
        self.writer.__index__()
        return super().__iter__()


def test_python_code_in_a_later_argument_sees_no_in_place_view():
    def query():
        return np.array([1.0, 0.0], dtype=np.float32)

    def matrix():
        return np.array([[1.0, 0.0], [0.0, 1.0]], dtype=np.float32)

    q = query()
    assert zelk_core.top_k(q, matrix(), Writer(q, [0.0, 1.0])) == [(0, 1.0)]
    m = matrix()
    assert zelk_core.top_k(query(), m, Writer(m, [[0.0, 1.0], [1.0, 0.0]])) == [(0, 1.0)]
    q = query()
    assert zelk_core.top_k(q, WritesFirst([[0.0, 1.0], [1.0, 0.0]], q, [0.0, 1.0]), 1) == [(1, 1.0)]
    a = np.array([1.0, 2.0], dtype=np.float32)
    assert zelk_core.cosine_similarity(a, WritesFirst([2.0, 4.0], a, [-1.0, 1.0])) == 1.0


def test_rounding_mode_other_than_nearest_takes_the_plain_rule():
    libm = ctypes.CDLL(ctypes.util.find_library("m"))
    upward = {"x86_64": 0x800, "aarch64": 0x400000}.get(__import__("platform").machine())
    if upward is None:
        pytest.skip("rounding mode constants unknown on this machine")
    values = np.array([2**53 + 1, 2**62 + 2**38 + 1, -(2**53 + 1)], dtype=np.int64)
    libm.fesetround(upward)
    try:
        got = [
            outcome(zelk_core.aggregate_cost, v) for v in (values, values.astype(np.uint64), array.array("q", values))
        ]
        expected = [
            outcome(zelk_core.aggregate_cost, Plain(v))
            for v in (values, values.astype(np.uint64), array.array("q", values))
        ]
    finally:
        libm.fesetround(0)
    assert got == expected
