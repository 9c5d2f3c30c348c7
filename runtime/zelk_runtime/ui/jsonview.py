"""A JSON value as a collapsible tree of `<details>` elements, every key and value as text.

Large states stay readable and the page stays small: long strings are cut, long arrays and
objects show their first items, and the whole tree stops after a budget of values, each
cut saying how much it left out (the raw JSON is a link away).
"""

from __future__ import annotations

import json
from dataclasses import dataclass
from typing import Any

from .html import Html, h, join

STRING = 400  # characters of a string shown
ITEMS = 200  # items of an array or object shown
BUDGET = 4000  # values shown in one tree


@dataclass
class _Budget:
    left: int


def scalar(value: Any, limit: int = STRING) -> Html:
    """A string, number, true, false or null, as JSON text in a span classed by its type."""
    if isinstance(value, str):
        text = json.dumps(value if len(value) <= limit else value[:limit], ensure_ascii=False)
        cut = "" if len(value) <= limit else f"... ({len(value):,} characters)"
        return h("span", {"class": "j-str"}, text, h("span", {"class": "j-cut"}, cut) if cut else None)
    kind = "j-lit" if value is None or isinstance(value, bool) else "j-num"
    return h("span", {"class": kind}, json.dumps(value))


def inline(value: Any, limit: int = 120) -> Html:
    """A value on one line, cut at `limit` characters (for tables and diffs)."""
    if isinstance(value, (dict, list)):
        text = json.dumps(value, ensure_ascii=False)
        if len(text) > limit:
            text = text[:limit] + f"... ({len(text):,} characters)"
        return h("code", {"class": "j-inline"}, text)
    return scalar(value, limit)


def tree(value: Any, open_depth: int = 1) -> Html:
    """The value as a tree; containers down to `open_depth` levels start open."""
    return h("div", {"class": "json"}, _node(value, 0, open_depth, _Budget(BUDGET)))


def _size(value: dict[str, Any] | list[Any]) -> str:
    count = len(value)
    if isinstance(value, dict):
        return f"{{{count} key{'s' if count != 1 else ''}}}"
    return f"[{count} item{'s' if count != 1 else ''}]"


def _node(value: Any, depth: int, open_depth: int, budget: _Budget) -> Html:
    budget.left -= 1
    if not isinstance(value, (dict, list)):
        return scalar(value)
    if not value:
        return h("span", {"class": "j-lit"}, "{}" if isinstance(value, dict) else "[]")
    pairs = list(value.items()) if isinstance(value, dict) else list(enumerate(value))
    rows: list[Html] = []
    for shown, (key, item) in enumerate(pairs):
        if shown >= ITEMS or budget.left <= 0:
            left = len(pairs) - shown
            rows.append(h("li", {"class": "j-cut"}, f"... {left:,} more (see the raw JSON)"))
            break
        label = h("span", {"class": "j-key"}, json.dumps(key, ensure_ascii=False)) if isinstance(key, str) else None
        index = h("span", {"class": "j-index"}, str(key)) if isinstance(key, int) else None
        rows.append(h("li", None, label or index, ": ", _node(item, depth + 1, open_depth, budget)))
    return h(
        "details",
        {"open": depth < open_depth},
        h("summary", {"class": "j-size"}, _size(value)),
        h("ul", None, join(rows)),
    )
