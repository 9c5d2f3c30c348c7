"""hash_event and verify_chain against hashlib."""

import hashlib
import random

import pytest
import zelk_core
from hypothesis import given, settings
from hypothesis import strategies as st


def reference(prev, payload):
    return hashlib.sha256(prev.encode() + b"\x1f" + payload.encode()).hexdigest()


def chain(genesis, payloads):
    entries, prev = [], genesis
    for payload in payloads:
        prev = zelk_core.hash_event(prev, payload)
        entries.append((payload, prev))
    return entries


ALPHABET = ["a", "\x1f", "é", "€", "😀", "\x00"]  # 1, 1, 2, 3, 4 and 1 UTF-8 bytes


def text_of_bytes(rng, size):
    """A str whose UTF-8 form has exactly `size` bytes."""
    out, used = [], 0
    while used < size:
        char = rng.choice([c for c in ALPHABET if len(c.encode()) <= size - used])
        out.append(char)
        used += len(char.encode())
    return "".join(out)


def test_every_total_length_up_to_300():
    rng = random.Random(11)
    for total in range(301):  # bytes of prev and payload; the separator adds one
        for prev_size in {0, min(total, 63), min(total, 64), total, rng.randint(0, total)}:
            prev = text_of_bytes(rng, prev_size)
            payload = text_of_bytes(rng, total - prev_size)
            assert zelk_core.hash_event(prev, payload) == reference(prev, payload), (prev, payload)


@pytest.mark.parametrize(
    "prev, payload",
    [
        ("0" * 64, "x" * 6_000_001),
        ("g" * 63, "€é😀a" * 700_000),  # 7 MB of UTF-8, the separator closing the first block
        ("€", "y" * (1 << 22)),
    ],
)
def test_large_payloads(prev, payload):
    assert zelk_core.hash_event(prev, payload) == reference(prev, payload)


def test_hash_text_form_and_boundary():
    assert zelk_core.hash_event("", "") == hashlib.sha256(b"\x1f").hexdigest()
    assert zelk_core.hash_event("a", "bc") != zelk_core.hash_event("ab", "c")
    text = zelk_core.hash_event(payload="ü", prev_hash="p")
    assert len(text) == 64 and set(text) <= set("0123456789abcdef")


@pytest.mark.parametrize("genesis", ["", "genesis", "0" * 64, "ÄÖ😀"])
def test_chain_examples(genesis):
    entries = chain(genesis, ["p0", "p1 ✓", "p2"])
    assert zelk_core.verify_chain(genesis, entries) is None
    assert zelk_core.verify_chain(genesis, []) is None
    assert zelk_core.verify_chain(genesis, tuple(entries)) is None
    assert zelk_core.verify_chain(genesis + "x", entries) == 0
    (p0, h0), (p1, h1), (p2, h2) = entries
    assert zelk_core.verify_chain(genesis, [(p0, h0), ("changed", h1), (p2, h2)]) == 1
    assert zelk_core.verify_chain(genesis, [(p0, h0), (p1, "0" * 64), (p2, h2)]) == 1
    assert zelk_core.verify_chain(genesis, [(p1, h1), (p0, h0), (p2, h2)]) == 0
    assert zelk_core.verify_chain(genesis, [(p0, h0), (p1, h1), (p2, h2.upper())]) == 2
    assert zelk_core.verify_chain(genesis, [(p0, h0), (p1, h1 + " "), (p2, h2)]) == 1
    assert zelk_core.verify_chain(entries=entries[:2], genesis=genesis) is None


@settings(max_examples=200)
@given(st.text(), st.lists(st.text(max_size=80), min_size=1, max_size=12), st.data())
def test_first_broken_link_is_reported(genesis, payloads, data):
    entries = chain(genesis, payloads)
    assert [h for _, h in entries] == [
        reference(p, q) for p, q in zip([genesis] + [h for _, h in entries], payloads, strict=False)
    ]
    at = data.draw(st.integers(0, len(entries) - 1))
    payload, stored = entries[at]
    entries[at] = data.draw(st.sampled_from([(payload + "!", stored), (payload, stored[:-1] + "g")]))
    assert zelk_core.verify_chain(genesis, entries) == at
    # Items read borrowed (exact tuples of exact str in an exact list or tuple) and held
    # (a subclass anywhere, or a sequence walked by the iteration protocol) agree.
    held = [Entry((Text(p), h)) if k % 2 else (p, Text(h)) for k, (p, h) in enumerate(entries)]
    for given_entries in (tuple(entries), Entries(entries), held, Entries(held)):
        assert zelk_core.verify_chain(genesis, given_entries) == at


class Entries(list):
    pass


class Entry(tuple):
    pass


BROKEN = ("p", "0" * 64)  # an earlier broken link does not stop conversion
ERRORS = [
    ("hash_event", (1, ""), TypeError, "argument 'prev_hash': 'int' object cannot be converted to 'PyString'"),
    ("hash_event", ("", b"x"), TypeError, "argument 'payload': 'bytes' object cannot be converted to 'PyString'"),
    ("verify_chain", (None, []), TypeError, "argument 'genesis': 'NoneType' object cannot be converted to 'PyString'"),
    ("verify_chain", ("", "ab"), TypeError, "argument 'entries': Can't extract `str` to `Vec`"),
    ("verify_chain", ("", 5), TypeError, "argument 'entries': 'int' object cannot be converted to 'Sequence'"),
    (
        "verify_chain",
        ("", [BROKEN, ["a", "b"]]),
        TypeError,
        "argument 'entries': 'list' object cannot be converted to 'PyTuple'",
    ),
    (
        "verify_chain",
        ("", [BROKEN, ("a", "b", "c")]),
        ValueError,
        "expected tuple of length 2, but got tuple of length 3",
    ),
    (
        "verify_chain",
        ("", [BROKEN, ("a", 1)]),
        TypeError,
        "argument 'entries': 'int' object cannot be converted to 'PyString'",
    ),
]


@pytest.mark.parametrize("function, args, kind, message", ERRORS)
def test_argument_errors(function, args, kind, message):
    with pytest.raises(kind) as caught:
        getattr(zelk_core, function)(*args)
    assert type(caught.value) is kind and str(caught.value) == message


# ------------------------------------------------------------------ long non-ASCII payloads
#
# A long non-ASCII str is encoded a chunk at a time by the module's own UTF-8 encoders;
# each is checked against the host's encoder, and the streamed hash against hashlib.

EDGES = [
    "a",
    "\x7f",
    "\x80",
    "\u07ff",
    "\u0800",
    "\ud7ff",
    "\ue000",
    "\uffff",
    "\U00010000",
    "\U0010ffff",
    "\x00",
    "é",
    "€",
    "😀",
]


@settings(max_examples=200, deadline=None)
@given(st.lists(st.sampled_from(EDGES + ["\ud800", "\udfff"]), max_size=40))
def test_utf8_encoders_match_the_host(probe, chars):
    text = "".join(chars)
    try:
        expected = text.encode()
    except UnicodeEncodeError as error:
        expected = -1 - error.start
    for name, result in probe.utf8_paths(text):
        if result is None:
            continue  # this CPU lacks that path
        assert result == expected, name


@pytest.mark.parametrize("length", [16383, 16384, 16385, 4096 * 9 + 3, 150_000])
@pytest.mark.parametrize("alphabet", ["".join(EDGES), "ab" * 20 + "é", "é€"])
def test_long_non_ascii_payload(length, alphabet):
    rng = random.Random(length)
    payload = "".join(rng.choice(alphabet) for _ in range(length))
    assert zelk_core.hash_event("p", payload) == reference("p", payload)


class Text(str):
    pass


@pytest.mark.parametrize("position", [0, 4095, 4096, 16383, 20000, 39999])
def test_long_payload_surrogate_error_is_the_text_rules(position):
    payload = "é" * position + "\udc80" + "€" * (39999 - position)
    errors = []
    for given_payload in (payload, Text(payload)):  # chunked path and plain text rule
        with pytest.raises(UnicodeEncodeError) as caught:
            zelk_core.hash_event("p", given_payload)
        errors.append(str(caught.value))
    assert errors[0] == errors[1] and f"position {position}" in errors[0]
