"""A fixed corpus of inputs whose outputs must be the same bytes on every platform.

The inputs are generated from a fixed seed by a generator of our own (so they do not depend
on the interpreter's `random`); the outputs recorded on x86-64 are in
platform_outputs.json. Texts longer than a line are recorded by their SHA-256, numbers by
their exact bit patterns. After a deliberate change of an output, rewrite the file with
`ZELK_WRITE_PLATFORM_OUTPUTS=1 python -m pytest test_platform_outputs.py` on x86-64.
"""

import hashlib
import json
import math
import os
import pathlib
import struct

import pytest
import zelk_core

EXPECTED = pathlib.Path(__file__).with_name("platform_outputs.json")


class SplitMix:
    def __init__(self, seed):
        self.state = seed

    def next(self):
        self.state = (self.state + 0x9E3779B97F4A7C15) & (2**64 - 1)
        z = self.state
        z = ((z ^ (z >> 30)) * 0xBF58476D1CE4E5B9) & (2**64 - 1)
        z = ((z ^ (z >> 27)) * 0x94D049BB133111EB) & (2**64 - 1)
        return z ^ (z >> 31)

    def below(self, n):
        return self.next() % n


def double_texts(rng, count):
    """Doubles in every form the printer and parser meet: random bit patterns (all
    exponents, subnormals included), long and halfway decimal strings, overflow and
    underflow, integers past 2**53."""
    fixed = [
        "0",
        "-0.0",
        "1e-400",
        "-1e-400",
        "4.9406564584124654e-324",
        "2.4703282292062327e-324",
        "2.2250738585072011e-308",
        "2.2250738585072014e-308",
        "1.7976931348623157e308",
        "1.7976931348623158e308",
        "9007199254740993",
        "9007199254740993.0",
        "123456789012345678901234567890",
        "0.1000000000000000055511151231257827021181583404541015625",
        "7.038531e-26",
        "1e23",
        "8.98846567431158e307",
        "2.5e-1",
        "100000000000000000000000e-24",
        "1E+2",
        "0.000000000000000000000000000001",
    ]
    out = list(fixed)
    while len(out) < count:
        bits = rng.next()
        value = struct.unpack("<d", struct.pack("<Q", bits))[0]
        if math.isfinite(value):
            out.append(repr(value))
        digits = "".join(str(rng.below(10)) for _ in range(1 + rng.below(30)))
        fraction = "." + digits[1:] if len(digits) > 1 else ""
        out.append(f"{digits[0]}{fraction}e{rng.below(638) - 330}")
    return out


def json_documents(rng):
    docs = []
    for d in range(12):
        numbers = double_texts(rng, 120)
        doc = '{"id":%d,"xs":[%s],"nested":{"a":[%s],"s":"\\u00e9t\\u00e9 \\ud83d\\ude00 %d"}}' % (
            d,
            ", ".join(numbers[:80]),
            ",".join(numbers[80:]),
            d,
        )
        docs.append(doc)
    return docs


def float32_values(rng, count):
    """A vector of one scale: ordinary, tiny (squares and products subnormal or below),
    holding subnormal elements, or huge (squares overflow)."""
    scale = rng.below(6)
    out = []
    for _ in range(count):
        mantissa = rng.below(2**24) / 2**23 - 1.0
        if scale == 0:
            out.append(mantissa * [1e19, 3e38, 1.0][rng.below(3)])
        elif scale == 1:
            out.append(mantissa * 1e-20)
        elif scale == 2:
            out.append(mantissa * [3e-39, 1e-44, 1.0, 1e-3][rng.below(4)])
        else:
            out.append(mantissa * 10.0 ** (rng.below(7) - 3))
    return [struct.unpack("<f", struct.pack("<f", v))[0] for v in out]


def bits_of(value):
    return struct.pack("<d", value).hex()


def digest(text):
    if isinstance(text, str):
        text = text.encode("utf-8", "surrogatepass")
    return "sha256:" + hashlib.sha256(text).hexdigest()


def corpus_outputs():
    rng = SplitMix(0x5EED_2026)
    out = {}
    for i, doc in enumerate(json_documents(rng)):
        printed = zelk_core.reduce_channel("replace", "null", doc)
        out[f"json/{i}"] = digest(printed)
        out[f"checkpoint/{i}"] = digest(zelk_core.encode_checkpoint(doc))
        out[f"append/{i}"] = digest(zelk_core.reduce_channel("append", "[1.5e300]", printed))
    numbers = double_texts(rng, 200)
    total = "0"
    for text in numbers:
        total = zelk_core.reduce_channel("add", total, text)
    out["add/doubles"] = total
    out["superstep"] = digest(
        zelk_core.advance_superstep(
            '{"sum":0,"log":[],"last":null}',
            '{"sum":"add","log":"append"}',
            json.dumps([{"sum": float(t), "log": [t], "last": t} for t in numbers[:60] if abs(float(t)) < 1e300]),
        )
    )

    for n in (1, 3, 7, 8, 9, 16, 17, 31, 64, 100):
        query = float32_values(rng, n)
        rows = [float32_values(rng, n) for _ in range(37)]
        out[f"cosine/{n}"] = [bits_of(zelk_core.cosine_similarity(query, row)) for row in rows]
        out[f"top_k/{n}"] = [[i, bits_of(s)] for i, s in zelk_core.top_k(query, rows, 10)]
    costs = [float(t) for t in double_texts(rng, 300) if abs(float(t)) < 1e20]
    out["cost"] = bits_of(zelk_core.aggregate_cost(costs))

    prev, entries = "genesis", []
    for i in range(40):
        payload = "".join(chr(0x20 + rng.below(0x2FF)) for _ in range(rng.below(300))) + f"#{i}"
        prev = zelk_core.hash_event(prev, payload)
        entries.append((payload, prev))
    out["chain/head"] = prev
    out["chain/verify"] = [
        zelk_core.verify_chain("genesis", entries),
        zelk_core.verify_chain("genesis", entries[:17] + [(entries[17][0] + "x", entries[17][1])] + entries[18:]),
    ]

    for g in range(6):
        nodes = [f"n{rng.below(1000)}_{i}" for i in range(30 + 20 * g)]
        edges = [(nodes[rng.below(len(nodes))], nodes[rng.below(len(nodes))]) for _ in range(2 * len(nodes))]
        if g % 2 == 0:  # acyclic: edges only forwards
            edges = [(a, b) for a, b in edges if nodes.index(a) < nodes.index(b)]
        out[f"plan/{g}"] = digest(json.dumps(zelk_core.plan_supersteps(nodes, edges)))
    return out


def test_outputs_match_the_recorded_ones():
    got = corpus_outputs()
    if os.environ.get("ZELK_WRITE_PLATFORM_OUTPUTS"):
        EXPECTED.write_text(json.dumps(got, indent=1, sort_keys=True) + "\n")
        pytest.skip("expected outputs rewritten")
    want = json.loads(EXPECTED.read_text())
    assert sorted(got) == sorted(want)
    differing = [name for name in want if got[name] != want[name]]
    assert differing == []
