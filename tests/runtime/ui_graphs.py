"""Graphs and stores for the page tests.

- `review_graph()`: draft, then review (asks a person with `interrupt()`), then publish.
- `loop_graph()`: plan, act and check go round until the score passes (a branch).
- `hostile_graph()`: a node, a channel, a value, a question and an author made of markup.
- `gated_graph()`: a chain whose nodes each wait for a gate a test opens, so a test sees a
  run going on in another thread superstep by superstep.
"""

from __future__ import annotations

import itertools
import shutil
import sqlite3
import threading
from collections.abc import Mapping
from pathlib import Path
from typing import Any

from zelk_runtime import END, Graph, Output, interrupt, resume, run

HOSTILE = "<script>alert(1)</script>"
HOSTILE_VALUE = "<img src=x onerror=\"alert('value')\">"
HOSTILE_AUTHOR = "<b onmouseover=alert(3)>eve</b>"
HOSTILE_STORE = "<img src=x onerror=alert(5)>&run"  # a file name holds no slash


def draft(state: Mapping[str, Any]) -> dict[str, Any]:
    return {"text": "first draft", "log": ["draft"]}


def review(state: Mapping[str, Any]) -> dict[str, Any]:
    verdict = interrupt({"question": "publish this?", "text": state["text"]})
    return {"verdict": verdict, "log": ["review"]}


def publish(state: Mapping[str, Any]) -> Output:
    return Output({"published": bool(state["verdict"]), "log": ["publish"]}, cost=0.25)


def review_graph() -> Graph:
    return Graph(
        [draft, review, publish],
        [("draft", "review"), ("review", "publish")],
        channels=["text", "verdict", "published", "log"],
        reducers={"log": "append"},
        initial_state={"log": []},
    )


def plan(state: Mapping[str, Any]) -> dict[str, Any]:
    return {"round": 1}


def act(state: Mapping[str, Any]) -> Output:
    return Output({"draft": f"draft {state['round']}", "notes": [f"round {state['round']}"]}, cost=0.001)


def check(state: Mapping[str, Any]) -> dict[str, Any]:
    return {"score": 30 * state["round"]}


def route(state: Mapping[str, Any]) -> Any:
    return END if state["score"] >= 80 else "plan"


def loop_graph() -> Graph:
    return Graph(
        [plan, act, check],
        [("plan", "act"), ("act", "check")],
        branches={"check": (route, ["plan"])},
        initial_state={"round": 0, "score": 0, "notes": []},
        channels=["draft"],
        reducers={"round": "add", "notes": "append"},
        start=["plan"],
    )


def shout(state: Mapping[str, Any]) -> dict[str, Any]:
    return {HOSTILE: HOSTILE_VALUE, "nested": {HOSTILE: [HOSTILE_VALUE, "</script><script>alert(4)</script>"]}}


def ask(state: Mapping[str, Any]) -> dict[str, Any]:
    return {"answer": interrupt({HOSTILE: HOSTILE_VALUE})}


def hostile_graph() -> Graph:
    return Graph({HOSTILE: shout, "ask": ask}, [(HOSTILE, "ask")], channels=[HOSTILE, "nested", "answer"])


GATES: dict[str, threading.Event] = {}


def gated(name: str) -> Any:
    def node(state: Mapping[str, Any]) -> dict[str, Any]:
        if not GATES[name].wait(30):
            raise TimeoutError(f"gate {name} was never opened")
        return {"steps": [name]}

    node.__name__ = name
    return node


CHAIN = ["one", "two", "three", "four"]


def gated_graph() -> Graph:
    for name in CHAIN:
        GATES[name] = threading.Event()
    return Graph(
        [gated(name) for name in CHAIN],
        list(itertools.pairwise(CHAIN)),
        channels=["steps"],
        reducers={"steps": "append"},
        initial_state={"steps": []},
    )


def make_stores(folder: Path) -> dict[str, Path]:
    """A folder of runs of every kind, and what is beside it; returns the paths by role."""
    folder.mkdir(parents=True)
    paths = {
        "review": folder / "review",
        "loop": folder / "loop.sqlite",
        "hostile": folder / HOSTILE_STORE,
        "tampered": folder / "tampered",
        "damaged": folder / "damaged",
        "other": folder / "other.db",
        "link": folder / "elsewhere",
        "outside": folder.parent / "outside-run",
        "secret": folder.parent / "secret.txt",
    }
    run(review_graph(), paths["review"], progress=None)
    run(loop_graph(), paths["loop"], progress=None)
    run(hostile_graph(), paths["hostile"], progress=None)
    resume(hostile_graph(), paths["hostile"], update={"nested": {"by": HOSTILE}}, author=HOSTILE_AUTHOR, progress=None)
    for name in ("tampered", "damaged"):
        run(loop_graph(), paths[name], progress=None)
    # One audit entry changed in place: the chain breaks there.
    audit = paths["tampered"] / "audit.jsonl"
    lines = audit.read_text().splitlines(keepends=True)
    lines[2] = lines[2].replace('\\"superstep\\":2', '\\"superstep\\":2,\\"extra\\":1')
    audit.write_text("".join(lines))
    # One checkpoint's bytes changed: the log holds, the state after it does not.
    checkpoint = sorted((paths["damaged"] / "checkpoints").glob("*.zelk"))[-1]
    data = bytearray(checkpoint.read_bytes())
    data[-2] ^= 0x01
    checkpoint.write_bytes(bytes(data))
    # Another program's database, a run outside reached by a link, and a secret beside.
    db = sqlite3.connect(paths["other"])
    db.execute("CREATE TABLE notes (text TEXT)")
    db.execute("INSERT INTO notes VALUES ('not a store')")
    db.commit()
    db.close()
    run(loop_graph(), paths["outside"], progress=None)
    paths["link"].symlink_to(paths["outside"], target_is_directory=True)
    paths["secret"].write_text("TOP SECRET beside the served folder")
    return paths


def copy_store(source: Path, target: Path) -> Path:
    if source.is_dir():
        shutil.copytree(source, target)
    else:
        shutil.copy2(source, target)
    return target
