"""HTML built so that every value is escaped: text is escaped unless it is already `Html`,
and `Html` is made only here, by `h` (an element whose tag and attribute names are the
code's own words), `escape` and `join`, or from a constant of the code (`Html("...")`).

A store's values (node and channel names, states, questions, authors, error messages,
file names) are passed as plain strings and so always reach the page as text.
"""

from __future__ import annotations

import html
import re
from collections.abc import Iterable, Mapping
from typing import TypeAlias


class Html(str):
    """Markup that is safe to send as it is."""

    __slots__ = ()


Child: TypeAlias = "Html | str | int | float | None | Iterable[Child]"

_NAME = re.compile(r"[a-z][a-z0-9-]*\Z")
_ATTRIBUTE = re.compile(r"[a-zA-Z][a-zA-Z0-9-]*\Z")  # SVG has viewBox and preserveAspectRatio
VOID = frozenset({"br", "hr", "img", "input", "link", "meta", "wbr"})


def escape(value: object) -> Html:
    """`value` as text: markup characters and both quotes escaped."""
    if isinstance(value, Html):
        return value
    return Html(html.escape(str(value), quote=True))


def join(children: Iterable[Child], separator: str = "") -> Html:
    """The children one after the other, each escaped unless it is Html."""
    parts: list[str] = []
    for child in children:
        if child is None:
            continue
        if isinstance(child, (str, int, float)):
            parts.append(escape(child))
        else:
            parts.append(join(child))
    return Html(escape(separator).join(parts))


def h(tag: str, attributes: Mapping[str, object] | None = None, *children: Child) -> Html:
    """An element: `attributes` (None or False leaves one out, True writes it bare) and the
    children, every value escaped."""
    if not _NAME.match(tag):
        raise ValueError(f"{tag!r} is not an element name")
    opened = [tag]
    for name, value in (attributes or {}).items():
        if not _ATTRIBUTE.match(name):
            raise ValueError(f"{name!r} is not an attribute name")
        if value is None or value is False:
            continue
        opened.append(name if value is True else f'{name}="{escape(value)}"')
    start = f"<{' '.join(opened)}>"
    if tag in VOID:
        if children:
            raise ValueError(f"<{tag}> holds no children")
        return Html(start)
    return Html(f"{start}{join(children)}</{tag}>")
