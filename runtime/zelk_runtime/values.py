"""JSON values as the state keeps them: what is refused, and the compact text of the rest.

The runtime checks every value before it crosses into the module, because `json.dumps`
would quietly turn NaN into a token the module refuses, integer keys into strings, and
big integers into doubles, and a value nested too deep could not be folded or read back.
"""

from __future__ import annotations

import json
import math
import re
from typing import Any, TypeAlias

import zelk_core

JSON: TypeAlias = None | bool | int | float | str | list["JSON"] | dict[str, "JSON"]

# The module's integers: unsigned 64-bit, and signed 64-bit for negative values. Anything
# outside becomes a double there and loses digits.
INT_MIN = -(2**63)
INT_MAX = 2**64 - 1
# Containers a channel value may nest. The module reads 127 levels; an update list and
# its update object take two of them, so a value nested 125 levels is the deepest that
# can always be written, folded (an appended item sits inside its list) and read back.
MAX_NESTING = 125
# Places a message names of a value's path; deeper ones are shown as "[...]", so a value
# nested a hundred levels (or holding itself) gives a readable message.
PATH_PARTS = 8


def json_problem(value: object, where: str, *, channels: bool = False) -> str | None:
    """Why `value` is not a JSON value the state keeps exactly, or None when it is.

    `where` names the value in the message (for example "initial state['a']"); the path
    of the first offending part is appended to it. With `channels`, `value` is a mapping
    of channel to value (a state or an update), and each channel's value may nest
    MAX_NESTING levels below it. A container that holds itself is reported as nested too
    deep, never walked forever.
    """
    if plain(value, channels=channels):
        return None
    return _problem(value, where, channels)


def plain(value: object, *, channels: bool = False) -> bool:
    """Whether `value` is certainly fine: exact built-in types only, ASCII strings, integers
    and floats in range, no nesting past the limit. Builds no strings, so the common case
    costs one pass; anything else is left to the walk that names the problem."""
    levels = MAX_NESTING + 1 if channels else MAX_NESTING
    stack: list[tuple[Any, int]] = [(value, 0)]
    while stack:
        item, depth = stack.pop()
        kind = type(item)
        if kind is dict:
            if not all(type(key) is str and key.isascii() for key in item):
                return False
            children = item.values()
        elif kind is list:
            children = item
        else:
            children = (item,)
            depth -= 1
        if depth >= levels:
            return False
        for child in children:
            leaf = type(child)
            if leaf is str:
                if not child.isascii():
                    return False
            elif leaf is int:
                if not INT_MIN <= child <= INT_MAX:
                    return False
            elif leaf is float:
                if not math.isfinite(child):
                    return False
            elif leaf is dict or leaf is list:
                stack.append((child, depth + 1))
            elif child is not None and leaf is not bool:
                return False
    return True


def _problem(value: object, where: str, channels: bool) -> str | None:
    levels = MAX_NESTING + 1 if channels else MAX_NESTING

    def place(path: str, depth: int, part: str) -> str:
        if depth < PATH_PARTS:
            return f"{path}[{part}]"
        return path if path.endswith("[...]") else path + "[...]"

    stack: list[tuple[object, str, int]] = [(value, where, 0)]
    while stack:
        item, path, depth = stack.pop()
        kind = type(item)
        if item is None or kind is bool:
            continue
        if isinstance(item, str):
            if not item.isascii():
                try:
                    item.encode("utf-8")
                except UnicodeEncodeError:
                    return f"{path} is a string with a lone surrogate, which has no UTF-8 form"
            continue
        if isinstance(item, bool):
            continue
        if isinstance(item, int):
            if not INT_MIN <= item <= INT_MAX:
                return f"{path} is the integer {item}, outside the 64-bit range JSON state keeps exactly"
            continue
        if isinstance(item, float):
            if not math.isfinite(item):
                return f"{path} is {item!r}, which JSON cannot hold"
            continue
        if isinstance(item, (list, tuple, dict)) and depth >= levels:
            return f"{path} nests containers deeper than {MAX_NESTING} levels, more than JSON state can hold"
        if isinstance(item, (list, tuple)):
            stack.extend(
                (child, place(path, depth, str(index)), depth + 1) for index, child in reversed(list(enumerate(item)))
            )
            continue
        if isinstance(item, dict):
            for key, child in item.items():
                if not isinstance(key, str):
                    return f"{path} has the key {key!r} of type {type(key).__name__}; JSON keys are strings"
                if not key.isascii():
                    try:
                        key.encode("utf-8")
                    except UnicodeEncodeError:
                        return f"{path} has a key with a lone surrogate, which has no UTF-8 form"
                stack.append((child, place(path, depth, repr(key)), depth + 1))
            continue
        hint = " (convert it with .item() or .tolist())" if hasattr(item, "tolist") else ""
        article = "an" if kind.__name__[:1] in "aeiou" else "a"
        return f"{path} is {article} {kind.__name__}, which JSON cannot hold{hint}"
    return None


_ENCODER = json.JSONEncoder(ensure_ascii=False, allow_nan=False, separators=(",", ":"))


def _unknown(value: object) -> object:
    raise TypeError(f"Object of type {type(value).__name__} is not JSON serializable")


# The standard library's C encoder called directly, in the same strict mode, without the
# per-call set-up of JSONEncoder.encode. It keeps no table of the containers it is in (so
# it shares nothing between threads); a container that holds itself ends in RecursionError.
_make_encoder = getattr(json.encoder, "c_make_encoder", None)
_C_ENCODER = _make_encoder and _make_encoder(
    None, _unknown, json.encoder.encode_basestring, None, ":", ",", False, False, False
)
# What the encoder writes without objecting, but the state may not hold: a key it made
# from a number, a boolean or null (a quote opens a key after "{" or "," and only a key
# is followed by ":"), or an integer of 19 digits or more (which may be out of range).
_SUSPECT = re.compile(r'[{,]"(?:-?[0-9][0-9.eE+-]*|-?Infinity|NaN|true|false|null)":|[0-9]{19}')
# Up to this size a text's value is checked by `plain`; past it the text itself is scanned,
# at the speed of C, with the module reading it to check its nesting. The scan is the
# quicker for any size but the smallest texts.
WALKED = 0


def dumps(value: object) -> str:
    """Compact JSON text of a value that passed `json_problem`."""
    return "".join(_C_ENCODER(value, 0)) if _C_ENCODER else _ENCODER.encode(value)


def checked_dumps(value: object, where: str, *, channels: bool = False) -> tuple[str | None, str | None]:
    """(compact text, None) for a value `json_problem` accepts, else (None, its message).

    The encoder runs first, in its strict mode (it objects to NaN, infinities, cycles and
    objects JSON cannot hold); what it lets through that the state cannot hold is found in
    its text, and only a value something was found in is walked, to name the problem."""
    try:
        text: str | None = "".join(_C_ENCODER(value, 0)) if _C_ENCODER else _ENCODER.encode(value)
    except (ValueError, TypeError, RecursionError):
        text = None
    if text is not None and _text_is_plain(value, text, channels):
        return text, None
    problem = _problem(value, where, channels)
    if problem is None and text is None:  # the walk accepts what the encoder refused
        problem = f"{where} cannot be written as JSON"
    return (None, problem) if problem is not None else (text, None)


def _text_is_plain(value: object, text: str, channels: bool) -> bool:
    if len(text) <= WALKED:
        return plain(value, channels=channels)
    if _SUSPECT.search(text):
        return False
    if not text.isascii():
        try:
            text.encode("utf-8")
        except UnicodeEncodeError:
            return False  # a lone surrogate
    if text.count("[") + text.count("{") <= MAX_NESTING:
        return True  # fewer brackets than levels allowed, inside strings or not
    # The module reads 127 levels: the text inside one more list (two for a plain value,
    # which the state puts inside its mapping) reads back exactly when it nests no deeper
    # than the state can hold.
    wrapped = "[" + text + "]" if channels else "[[" + text + "]]"
    try:
        zelk_core.encode_checkpoint(wrapped)
    except ValueError:
        return False
    return True


def loads(text: str) -> Any:
    return json.loads(text)
