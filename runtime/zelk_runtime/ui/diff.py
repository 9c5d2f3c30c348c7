"""The difference between two JSON states, structurally: objects by key, arrays by position
(the common part compared item by item, then what one has beyond the other), values by type
and value (true is not 1, and 1 is not 1.0: the state's text tells them apart).

Each change names its path from the top of the state: a channel, then keys and positions.
Applying the changes to the first state, removals at the highest positions first, gives the
second.
"""

from __future__ import annotations

import json
import re
from dataclasses import dataclass
from typing import Any

ADDED, REMOVED, CHANGED = "added", "removed", "changed"
Path = tuple[str | int, ...]


@dataclass(frozen=True)
class Change:
    path: Path
    kind: str  # ADDED, REMOVED or CHANGED
    old: Any = None  # the value before (REMOVED, CHANGED)
    new: Any = None  # the value after (ADDED, CHANGED)


def same(a: Any, b: Any) -> bool:
    """JSON equality: equal values of the same JSON type, all the way down."""
    if isinstance(a, dict) and isinstance(b, dict):
        return a.keys() == b.keys() and all(same(a[key], b[key]) for key in a)
    if isinstance(a, list) and isinstance(b, list):
        return len(a) == len(b) and all(same(x, y) for x, y in zip(a, b, strict=True))
    return type(a) is type(b) and a == b


class _Full(Exception):
    """Raised when a change beyond the most wanted is found."""


def diff(a: Any, b: Any, most: int = 1000) -> tuple[list[Change], bool]:
    """The changes that make `a` into `b`, at most `most` of them; and whether there are more."""
    found: list[Change] = []
    try:
        _walk(a, b, (), found, most)
    except _Full:
        return found, True
    return found, False


def _add(found: list[Change], change: Change, most: int) -> None:
    if len(found) >= most:
        raise _Full
    found.append(change)


def _walk(a: Any, b: Any, path: Path, found: list[Change], most: int) -> None:
    if isinstance(a, dict) and isinstance(b, dict):
        for key in a:
            if key in b:
                _walk(a[key], b[key], (*path, key), found, most)
            else:
                _add(found, Change((*path, key), REMOVED, old=a[key]), most)
        for key in b:
            if key not in a:
                _add(found, Change((*path, key), ADDED, new=b[key]), most)
    elif isinstance(a, list) and isinstance(b, list):
        for index in range(min(len(a), len(b))):
            _walk(a[index], b[index], (*path, index), found, most)
        for index in range(len(b), len(a)):
            _add(found, Change((*path, index), REMOVED, old=a[index]), most)
        for index in range(len(a), len(b)):
            _add(found, Change((*path, index), ADDED, new=b[index]), most)
    elif not same(a, b):
        _add(found, Change(path, CHANGED, old=a, new=b), most)


_PLAIN_KEY = re.compile(r"[A-Za-z_][A-Za-z0-9_]*\Z")


def path_text(path: Path) -> str:
    """A path as people read it: `channel.key[3]["other key"]` (the top as "(the state)")."""
    if not path:
        return "(the state)"
    parts = []
    for position, step in enumerate(path):
        if isinstance(step, int):
            parts.append(f"[{step}]")
        elif _PLAIN_KEY.match(step):
            parts.append(step if position == 0 else f".{step}")
        else:
            parts.append(f"[{json.dumps(step, ensure_ascii=False)}]")
    return "".join(parts)
