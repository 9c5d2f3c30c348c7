"""Graphs that wait for people, for the interrupt, resume and fork tests.

`build_graph()` (the command line loads this file) is a review: `draft` writes a text,
`review` asks a person about it with `interrupt()` while `side` runs beside it, and
`publish` joins them. Every node counts its calls in CALLS, so tests see which nodes ran
again. With ZELK_TEST_BLOCK naming a file, `review` creates the file once it has its
answer and then blocks, so a test can kill the process mid-superstep.

`ask_step` wraps a node of the control-flow tests' random graphs so that it asks a few
questions first: in "human" mode through `interrupt()`, in "auto" mode answered at once by
`reply`. A run of the human graph answered with `reply` must end as the auto graph's run.
"""

from __future__ import annotations

import os
import threading
import time
from collections import Counter
from collections.abc import Callable, Mapping
from typing import Any

import flow_graphs as fg
from zelk_runtime import Graph, Output, Send, interrupt

CALLS: Counter[str] = Counter()
_LOCK = threading.Lock()


def counted(name: str) -> None:
    with _LOCK:
        CALLS[name] += 1


def draft(state: Mapping[str, Any]) -> dict[str, Any]:
    counted("draft")
    return {"log": ["draft"], "text": "first draft"}


def review(state: Mapping[str, Any]) -> dict[str, Any]:
    counted("review")
    verdict = interrupt({"question": "publish this?", "text": state["text"]})
    marker = os.environ.get("ZELK_TEST_BLOCK")
    if marker:
        with open(marker, "w") as handle:
            handle.write("answered")
        time.sleep(60)
    return {"log": ["review"], "verdict": verdict}


def side(state: Mapping[str, Any]) -> dict[str, Any]:
    counted("side")
    return {"log": ["side"], "count": 1}


def publish(state: Mapping[str, Any]) -> dict[str, Any]:
    counted("publish")
    return {"log": ["publish"], "count": 10}


def double(state: Mapping[str, Any]) -> dict[str, Any]:
    """Asks twice in one run of the node."""
    counted("double")
    first = interrupt("first?")
    second = interrupt({"second": first})
    return {"log": ["double"], "pair": [first, second]}


def fan(state: Mapping[str, Any]) -> list[Send]:
    counted("fan")
    return [Send("check", item) for item in state["items"]]


def check(state: Mapping[str, Any], item: int) -> dict[str, Any]:
    """Asks about odd items only; even ones go through."""
    counted(f"check {item}")
    verdict = interrupt({"item": item}) if item % 2 else "fine"
    return {"checked": [[item, verdict]]}


def broken(state: Mapping[str, Any]) -> dict[str, Any]:
    counted("broken")
    raise ValueError("no input")


CHANNELS = ["log", "text", "verdict", "count", "pair", "checked", "items", "notes"]
REDUCERS = {"log": "append", "count": "add", "checked": "append", "notes": "append"}


def build_graph(**options: Any) -> Graph:
    """The review graph: draft, then review and side, then publish."""
    nodes: dict[str, Callable[..., Any]] = {"draft": draft, "review": review, "side": side, "publish": publish}
    nodes.update(options.pop("nodes", {}))
    edges = [("draft", "review"), ("draft", "side"), ("review", "publish"), ("side", "publish")]
    return Graph(nodes, edges + options.pop("edges", []), reducers=REDUCERS, channels=CHANNELS, **options)


def fan_graph(**options: Any) -> Graph:
    """fan sends one `check` per item; publish follows the checks."""
    nodes = {"fan": fan, "check": check, "publish": publish}
    return Graph(
        nodes,
        [("check", "publish")],
        sends={"fan": ["check"]},
        reducers=REDUCERS,
        channels=CHANNELS,
        initial_state={"items": [1, 2, 3, 4]},
        **options,
    )


# The random graphs' nodes, asking first.


def reply(question: Mapping[str, Any]) -> Any:
    """The answer a person gives to a question of `ask_step`."""
    return question["seen"] * 3 + question["k"]


def ask_step(
    kit: fg.Kit, mode: str, times: int, inner: Callable[..., Any], params: tuple[Any, ...], state: Any, *arg: Any
) -> Any:
    """Asks `times` questions unless the state's digest is a multiple of 3 (so a loop does
    not always ask), then runs `inner` and appends the answers to channel "asked". The questions
    depend on the state only, not on a Send argument: every instance of a node asks the
    same, so one answer per node fits them all."""
    seen = fg.digest(state)
    answers = []
    for k in range(times if seen % 3 else 0):
        question = {"k": k, "seen": seen % 1000}
        answers.append(interrupt(question) if mode == "human" else reply(question))
    result = inner(kit, *params, state, *arg)
    if isinstance(result, dict):
        return {**result, "asked": answers}
    if isinstance(result, Output):
        return Output({**(result.update or {}), "asked": answers}, result.cost, result.sends)
    sends = [result] if isinstance(result, Send) else list(result)
    return Output({"asked": answers}, 0.0, sends)
