"""Human steps: `interrupt(value)` inside a node, and the answers that resume it.

A node calls `interrupt(question)` to stop the run until a person answers. The first time,
the call does not return: the node's superstep keeps the other nodes' results, and the run
stops with the question. When the run is resumed with an answer for that node, the node
runs again and the same call returns the answer. A node may ask several times; its calls
are answered in order.
"""

from __future__ import annotations

import contextvars
from dataclasses import dataclass, field
from typing import Any

from .errors import RuntimeFailure
from .view import load


@dataclass(frozen=True)
class Interrupt:
    """Why a run waits: `node` (with `instance`, the Send instance, or None) in `superstep`,
    and `value`, what an `interrupt(value)` call asked (None for interrupt_before/after).
    `when` is "before", "after" or "call"."""

    node: str
    superstep: int
    value: Any = None
    when: str = "call"
    instance: int | None = None

    def record(self) -> dict[str, Any]:
        return {
            "node": self.node,
            "superstep": self.superstep,
            "value": self.value,
            "when": self.when,
            "instance": self.instance,
        }

    @classmethod
    def from_record(cls, record: dict[str, Any]) -> Interrupt:
        return cls(record["node"], record["superstep"], record.get("value"), record["when"], record.get("instance"))


class NodeInterrupt(BaseException):
    """Raised by `interrupt()` to stop the node that asked; the value is its question."""

    def __init__(self, value: Any) -> None:
        super().__init__(value)
        self.value = value


@dataclass
class Asking:
    """The answers a running node instance has, and how many of its calls were made."""

    node: str
    answers: tuple[str, ...] = ()  # JSON texts, in the order the calls are answered
    asked: int = field(default=0)


_current: contextvars.ContextVar[Asking] = contextvars.ContextVar("zelk_node")


def interrupt(value: Any = None) -> Any:
    """Stop the run and wait for a person: the run ends with status "interrupted" and
    `value` (JSON) as the question; resumed with an answer for this node, the call returns
    the answer (read-only)."""
    asking = _current.get(None)
    if asking is None:
        raise RuntimeFailure("interrupt() was called outside a node; it works only inside a node while a graph runs")
    position = asking.asked
    asking.asked += 1
    if position < len(asking.answers):
        return load(asking.answers[position])
    raise NodeInterrupt(value)


def asking(node: str, answers: tuple[str, ...]) -> contextvars.Token[Asking]:
    """Make `interrupt()` calls of the running node see `answers` (until `done`)."""
    return _current.set(Asking(node, answers))


def done(token: contextvars.Token[Asking]) -> None:
    _current.reset(token)
