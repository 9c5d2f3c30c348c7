"""Graphs for the control-flow tests, described once and built for either side.

A `Flow` holds each node and route as a module-level function with its parameters; the
function's first parameter is a `Kit` (the Send and Output types and the END marker), so
the same functions run under the reference interpreter (its kit) and under the runtime
(zelk_runtime's). What a node returns is a deterministic function of the state and its
Send argument. The functions are bound with functools.partial, so Ray can ship them.
"""

from __future__ import annotations

import functools
import math
from collections.abc import Callable, Mapping, Sequence
from dataclasses import dataclass, field
from typing import Any, NamedTuple

import flow_reference


class Kit(NamedTuple):
    send: Any
    output: Any
    end: Any


def reference_kit() -> Kit:
    return Kit(flow_reference.Send, flow_reference.Output, flow_reference.END)


def runtime_kit() -> Kit:
    from zelk_runtime import END, Output, Send

    return Kit(Send, Output, END)


Part = tuple[Callable[..., Any], tuple[Any, ...]]


@dataclass(frozen=True)
class Flow:
    """A graph for both sides: nodes and routes as (function, parameters)."""

    nodes: Mapping[str, Part]
    edges: tuple[tuple[str, str], ...] = ()
    branches: Mapping[str, tuple[Callable[..., Any], tuple[Any, ...], tuple[str, ...]]] = field(default_factory=dict)
    sends: Mapping[str, tuple[str, ...]] = field(default_factory=dict)
    reducers: Mapping[str, str] = field(default_factory=dict)
    channels: tuple[str, ...] = ()
    initial_state: Mapping[str, Any] = field(default_factory=dict)
    start: tuple[str, ...] | None = None
    step_limit: int = 100
    replace_names: tuple[str, ...] = ()

    def arguments(self, kit: Kit, **changes: Any) -> dict[str, Any]:
        """Keyword arguments for Graph or run_reference (nodes given as a mapping)."""
        built = {
            "nodes": {name: functools.partial(fn, kit, *params) for name, (fn, params) in self.nodes.items()},
            "edges": list(self.edges),
            "branches": {
                name: (functools.partial(fn, kit, *params), list(targets))
                for name, (fn, params, targets) in self.branches.items()
            },
            "sends": {sender: list(targets) for sender, targets in self.sends.items()},
            "reducers": dict(self.reducers),
            # Every channel given a reducer is declared too.
            "channels": list(dict.fromkeys([*self.channels, *self.reducers])),
            "initial_state": dict(self.initial_state),
            "start": None if self.start is None else list(self.start),
            "step_limit": self.step_limit,
            "replace_names": list(self.replace_names),
        }
        return built | changes

    def reference(self, **changes: Any) -> flow_reference.Trace:
        arguments = self.arguments(reference_kit(), **changes)
        return flow_reference.run_reference(arguments.pop("nodes"), arguments.pop("edges"), **arguments)

    def graph(self, **changes: Any) -> Any:
        from zelk_runtime import Graph

        arguments = self.arguments(runtime_kit(), **changes)
        return Graph(arguments.pop("nodes"), arguments.pop("edges"), **arguments)


def number(value: object) -> float | int:
    return value if isinstance(value, (int, float)) and not isinstance(value, bool) else 0


def digest(value: object) -> int:
    """A small number from a JSON value, the same for any read-only form of it (mappings
    in any order, sequences of any type); list order counts."""
    if value is None:
        return 1
    if isinstance(value, bool):
        return 3 + value
    if isinstance(value, (int, float)):
        return math.floor(value * 2) % 1000003
    if isinstance(value, str):
        return (sum(map(ord, value)) + len(value)) % 1009
    if isinstance(value, Mapping):
        return sum(digest(key) * 31 + digest(item) * 7 for key, item in value.items()) % 1000003
    if isinstance(value, Sequence):
        return (sum((place + 1) * 13 * digest(item) for place, item in enumerate(value)) + len(value)) % 1000003
    raise TypeError(f"not a JSON value: {type(value).__name__}")


# The random graphs' nodes and routes.

# How a sender hands back its Sends: a bare list (no update), an Output with the update, or
# a single Send when there is exactly one (an Output otherwise).
AS_LIST, AS_OUTPUT, AS_SINGLE = 0, 1, 2


def step(
    kit: Kit,
    index: int,
    writes: tuple[str, ...],
    sends_to: tuple[str, ...],
    bound: int,
    form: int,
    state: Mapping[str, Any],
    *arg: Any,
) -> Any:
    """Writes each channel of `writes` by its kind, always one tick, and, as a sender, sends
    1-2 instances while the ticks are under `bound` (none after). Values depend on the state and the Send
    argument, so a superstep run in another order or on another state shows."""
    seen = digest(state) + (7 * digest(arg[0]) if arg else 0)
    update: dict[str, Any] = {"ticks": 1}
    for channel in writes:
        if channel == "a":
            update[channel] = seen % 7 + index
        elif channel == "f":
            update[channel] = (seen % 5 + 1) * 0.5
        elif channel == "l":
            update[channel] = [index, seen % 10] if seen % 2 else index
        elif channel == "m":
            update[channel] = [{"i": index}, None, [], None][seen % 4]
        elif channel in ("v", "w"):
            update[channel] = {"by": index, "seen": seen % 100}
        else:
            update[channel] = seen % 1000
    if not sends_to:
        return update
    count = 0 if number(state.get("ticks")) >= bound else 1 + seen % 2
    sends = [
        kit.send(sends_to[(seen + k) % len(sends_to)], {"from": index, "k": k, "seen": seen % 50}) for k in range(count)
    ]
    if form == AS_LIST:
        return sends
    if form == AS_SINGLE and len(sends) == 1:
        return sends[0]
    return kit.output(update=update, sends=sends)


def route(kit: Kit, targets: tuple[str, ...], live: int, bound: int, state: Mapping[str, Any]) -> Any:
    """END once the ticks reach `bound`; otherwise by the state one of the first `live`
    declared targets, all of them as a list, or END."""
    if number(state.get("ticks")) >= bound:
        return kit.end
    choices = targets[:live]
    pick = digest(state) % (len(choices) + 2)
    if pick < len(choices):
        return choices[pick]
    return list(choices) if pick == len(choices) else kit.end


# The hand cases' nodes and routes.


def note(kit: Kit, label: str, state: Mapping[str, Any]) -> dict[str, Any]:
    return {"log": [label]}


def count(kit: Kit, label: str, channel: str, state: Mapping[str, Any]) -> dict[str, Any]:
    return {"log": [label], channel: 1}


def write(kit: Kit, channel: str, value: Any, state: Mapping[str, Any]) -> dict[str, Any]:
    return {channel: value}


def write_arg(kit: Kit, channel: str, state: Mapping[str, Any], arg: Any) -> dict[str, Any]:
    return {channel: arg}


def until(kit: Kit, channel: str, threshold: float, again: str, state: Mapping[str, Any]) -> Any:
    """Back to `again` until the channel reaches `threshold`, then END."""
    return kit.end if number(state.get(channel)) >= threshold else again


def below(kit: Kit, channel: str, limit: float, low: str, high: str, state: Mapping[str, Any]) -> str:
    return low if number(state.get(channel)) < limit else high


def always(kit: Kit, choice: Any, state: Mapping[str, Any]) -> Any:
    """A fixed choice; None stands for END."""
    return kit.end if choice is None else choice


def fan_out(kit: Kit, target: str, channel: str, state: Mapping[str, Any]) -> list[Any]:
    return [kit.send(target, item) for item in state.get(channel) or ()]


def send_each(kit: Kit, target: str, args: tuple[Any, ...], state: Mapping[str, Any]) -> list[Any]:
    return [kit.send(target, arg) for arg in args]


def square(kit: Kit, state: Mapping[str, Any], arg: Any) -> dict[str, Any]:
    return {"results": [arg * arg], "log": ["square"]}


def total(kit: Kit, state: Mapping[str, Any]) -> dict[str, Any]:
    return {"total": sum(state.get("results") or ()), "log": ["join"]}


def score(kit: Kit, gain: float, state: Mapping[str, Any]) -> dict[str, Any]:
    return {"score": gain, "log": ["act"]}


def record(kit: Kit, state: Mapping[str, Any], arg: Any) -> dict[str, Any]:
    """Appends its argument to "seen" and replaces "last" with it."""
    return {"seen": [arg], "last": arg}


def echo(kit: Kit, target: str, state: Mapping[str, Any], arg: Any) -> Any:
    """Sends its argument on to `target` (itself, for a loop that never ends)."""
    return kit.output(update={"log": ["echo"]}, sends=[kit.send(target, arg)])
