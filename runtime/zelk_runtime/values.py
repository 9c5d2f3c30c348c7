"""JSON values as the state keeps them: what is refused, and the compact text of the rest.

The runtime checks every value before it crosses into the module, because `json.dumps`
would quietly turn NaN into a token the module refuses, integer keys into strings, and
big integers into doubles, and a value nested too deep could not be folded or read back.
"""

from __future__ import annotations

import json
import math
from typing import Any, TypeAlias

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


def dumps(value: object) -> str:
    """Compact JSON text of a value that passed `json_problem`."""
    return _ENCODER.encode(value)


def loads(text: str) -> Any:
    return json.loads(text)
