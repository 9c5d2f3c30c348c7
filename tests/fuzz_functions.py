"""Coverage-guided fuzzing of the module's ten functions through their Python surface.

Run by `make fuzz` (atheris; libFuzzer options on the command line). Each input picks a
function and builds its arguments: values of every kind the conversions meet (numbers at
and past their limits, texts with lone surrogates, bytes, containers, objects whose
conversion hooks raise or return the wrong type) and JSON texts built from such values
and then cut or spliced. Every call must return or raise an ordinary exception; the
internal-failure exception, or anything that is not an Exception, is a finding. Texts
that parse also satisfy the round trips: decode(encode(t)) is the compact form of t, the
compact form is a fixed point, and it reads back with the json module as t does (wide
integers read as doubles).
"""

import json
import math
import sys

import atheris
import zelk_core

FUNCTIONS = [name for name in zelk_core.__all__ if callable(getattr(zelk_core, name))]


class Hook:
    """An object whose conversion hooks misbehave in a chosen way."""

    def __init__(self, how):
        self.how = how

    def _answer(self, good):
        if self.how == 0:
            raise RuntimeError("hook failed")
        if self.how == 1:
            return "not a number"
        return good

    def __index__(self):
        return self._answer(3)

    def __float__(self):
        return self._answer(1.5)

    def __len__(self):
        if self.how == 0:
            raise RuntimeError("len failed")
        return 2

    def __getitem__(self, i):
        if i >= 2:
            raise IndexError(i)
        return self._answer(0.5)


def value(fdp, depth=0):
    kind = fdp.ConsumeIntInRange(0, 15 if depth < 3 else 9)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeBool()
    if kind == 2:
        return fdp.ConsumeIntInRange(-(2**70), 2**70)
    if kind == 3:
        return fdp.ConsumeRegularFloat()
    if kind == 4:
        return fdp.PickValueInList([math.nan, math.inf, -math.inf, -0.0, 5e-324, 1.7976931348623157e308, 3.4e38])
    if kind == 5:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 40))
    if kind == 6:
        return fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 40))
    if kind == 7:
        return bytearray(fdp.ConsumeBytes(fdp.ConsumeIntInRange(0, 20)))
    if kind == 8:
        return fdp.ConsumeUnicodeNoSurrogates(8)
    if kind == 9:
        return Hook(fdp.ConsumeIntInRange(0, 2))
    if kind == 10:
        return json_text(fdp, depth)
    items = [value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 5))]
    if kind == 11:
        return items
    if kind == 12:
        return tuple(items)
    if kind == 13:
        return {str(i): item for i, item in enumerate(items)}
    if kind == 14:
        return [tuple(items[:2]), tuple(items[2:4])]
    return [fdp.ConsumeFloat() for _ in range(fdp.ConsumeIntInRange(0, 8))]


def json_value(fdp, depth):
    kind = fdp.ConsumeIntInRange(0, 7 if depth < 4 else 4)
    if kind == 0:
        return None
    if kind == 1:
        return fdp.ConsumeIntInRange(-(2**64), 2**64)
    if kind == 2:
        return fdp.ConsumeRegularFloat()
    if kind == 3:
        return fdp.ConsumeUnicode(fdp.ConsumeIntInRange(0, 12))
    if kind == 4:
        return fdp.ConsumeBool()
    if kind == 5:
        return [json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))]
    return {fdp.ConsumeUnicode(3): json_value(fdp, depth + 1) for _ in range(fdp.ConsumeIntInRange(0, 4))}


def json_text(fdp, depth=0):
    text = json.dumps(json_value(fdp, depth), ensure_ascii=fdp.ConsumeBool())
    how = fdp.ConsumeIntInRange(0, 3)
    if how == 1 and text:
        text = text[: fdp.ConsumeIntInRange(0, len(text))]
    elif how == 2 and text:
        at = fdp.ConsumeIntInRange(0, len(text))
        text = text[:at] + fdp.ConsumeUnicode(3) + text[at:]
    return text


def arguments(fdp, name):
    if name == "advance_superstep" and fdp.ConsumeBool():
        return [json_text(fdp) for _ in range(3)]
    if name == "reduce_channel" and fdp.ConsumeBool():
        return [fdp.PickValueInList(["add", "append", "last_value", "Add", ""]), json_text(fdp), json_text(fdp)]
    if name in ("encode_checkpoint", "decode_checkpoint") and fdp.ConsumeBool():
        text = json_text(fdp)
        return [text if name == "encode_checkpoint" else b"ZELK\x01" + text.encode("utf-8", "surrogatepass")]
    return [value(fdp) for _ in range(fdp.ConsumeIntInRange(0, 4))]


def as_module_reads(value):
    """The value as the module reads it: integers outside 64 bits become doubles."""
    if isinstance(value, bool):
        return value
    if isinstance(value, int) and not -(2**63) <= value < 2**64:
        return float(value)
    if isinstance(value, list):
        return [as_module_reads(item) for item in value]
    if isinstance(value, dict):
        return {name: as_module_reads(item) for name, item in value.items()}
    return value


def loads(text):
    try:
        return as_module_reads(json.loads(text))
    except (ValueError, OverflowError, RecursionError):
        return None


def check_round_trips(text):
    try:
        blob = zelk_core.encode_checkpoint(text)
    except (ValueError, TypeError):
        return
    compact = zelk_core.decode_checkpoint(blob)
    assert blob == b"ZELK\x01" + compact.encode(), (text, blob)
    assert zelk_core.encode_checkpoint(compact) == blob, (text, compact)
    expected = loads(text)
    if expected is not None:
        assert json.loads(compact) == expected, (text, compact)


def one_input(data):
    fdp = atheris.FuzzedDataProvider(data)
    name = fdp.PickValueInList(FUNCTIONS)
    args = arguments(fdp, name)
    kwargs = {}
    if fdp.ConsumeProbability() < 0.1 and args:
        kwargs[fdp.PickValueInList(["a", "b", "k", "blob", "values", "json_str", "nodes", "edges"])] = args.pop()
    try:
        getattr(zelk_core, name)(*args, **kwargs)
    except Exception:  # an ordinary exception is a clean refusal
        pass
    if name == "encode_checkpoint" and args and isinstance(args[0], str):
        check_round_trips(args[0])


if __name__ == "__main__":
    # The module is native and uninstrumented: the guidance comes from this harness's own
    # branches (which kinds of arguments reached which checks) and the json module's.
    atheris.instrument_all()
    atheris.Setup(sys.argv, one_input)
    atheris.Fuzz()
