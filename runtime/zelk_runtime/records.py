"""The records a run keeps in its store, as JSON: the manifest, the audit payload of each
superstep, a node's result while its superstep is in progress, and the status record.

Manifest (its text is the genesis of the audit chain):
    {"format": 2, "created", "graph": the graph's description, "code": node and route
     fingerprints (null in a fork until it runs), "base": the state the run starts from,
     stored as superstep `first - 1` ({"superstep", "checkpoint_bytes", "sha256", "next",
     "cost"}: the initial state at -1, or a fork's state), "audit": "hmac-sha256" and
     "key_check" for a keyed log, and in a fork "parent": {"store", "superstep", "link"}}
Audit payload of superstep N:
    {"superstep": N, "kind": "nodes" | "update", "time", "nodes": the names run in fold
     order (a Send target once per instance), "seconds": each instance's wall time (null
     for a result recorded by an earlier attempt of the superstep), "cost", "state": hash_event("state", the
     state text), "checkpoint_bytes", "next": the frontier after it ({"nodes", "sends"},
     and "start": true in an update folded before superstep 0); where they apply
     "routes", "answers" (node -> [{"question", "answer", "author"}]), "update" and
     "author", "code" (fingerprints first
     used in it), "changed_code" (nodes run with changed code on request)}
"""

from __future__ import annotations

import json
from collections.abc import Mapping
from dataclasses import dataclass, field
from datetime import UTC, datetime
from typing import Any, NamedTuple

from .errors import AuditError, StoreError
from .interrupts import Interrupt
from .values import dumps

FORMAT = 2
MAGIC_LENGTH = 5  # "ZELK" and the version byte before a checkpoint's JSON body


def now() -> str:
    return datetime.now(UTC).isoformat(timespec="microseconds")


def parse_manifest(location: str, text: str) -> dict[str, Any]:
    try:
        manifest = json.loads(text)
    except ValueError as error:
        raise StoreError(f"the manifest of store {location} is not JSON: {error}") from error
    if not isinstance(manifest, dict) or manifest.get("format") not in (1, FORMAT) or "graph" not in manifest:
        raise StoreError(f"store {location} has no run manifest of format {FORMAT}")
    return manifest


def check_payload(location: str, index: int, superstep: int, payload: str, format: int) -> dict[str, Any]:
    """The payload of audit entry `index` (superstep `superstep`), checked for its shape."""
    try:
        record = json.loads(payload)
    except ValueError:
        record = None
    if not isinstance(record, dict) or record.get("superstep") != superstep:
        raise AuditError(f"audit entry {index} of store {location} is not superstep {superstep}", index)
    kept = record.get("state") if format == 1 else record.get("sha256")
    if not isinstance(kept, str) or not isinstance(record.get("cost"), (int, float)):
        raise AuditError(f"audit entry {index} of store {location} lacks its checkpoint's hash or its cost", index)
    if format >= 2 and (
        not isinstance(record.get("next"), dict)
        or not isinstance(record.get("nodes"), list)
        or record.get("checkpoint") not in ("full", "delta")
        or not isinstance(record.get("checkpoint_bytes"), int)
    ):
        raise AuditError(
            f"audit entry {index} of store {location} lacks its nodes, checkpoint or what runs next", index
        )
    return record


class NodeRecord(NamedTuple):
    """A node instance's result as the superstep folds it: the update as compact JSON
    text (or None), the channels it writes, its cost, and its Sends (target, argument text)."""

    update: str | None
    channels: tuple[str, ...]
    cost: float
    sends: tuple[tuple[str, str], ...] = ()
    arg: str | None = None  # the Send argument the instance ran with
    code: str | None = None  # the fingerprint of the code that made it (None in older records)

    def text(self) -> str:
        # Built from the texts at hand: this runs once per node, on the hot path.
        parts = ['{"update":', self.update or "null", ',"cost":', repr(self.cost)]
        if self.sends:
            parts += [',"sends":[', ",".join(f"[{dumps(target)},{arg}]" for target, arg in self.sends), "]"]
        if self.arg is not None:
            parts += [',"arg":', dumps(self.arg)]
        if self.code is not None:
            parts += [',"code":"', self.code, '"']
        parts.append("}")
        return "".join(parts)

    @classmethod
    def parse(cls, text: str) -> NodeRecord | None:
        """The record, or None for one that cannot be read (that node simply runs again)."""
        try:
            record = json.loads(text)
            update = record["update"]
            sends = tuple((str(target), dumps(arg)) for target, arg in record.get("sends", ()))
            arg = record.get("arg")
            return cls(
                None if update is None else dumps(update),
                () if update is None else tuple(update),
                float(record["cost"]),
                sends,
                None if arg is None else str(arg),
                record.get("code"),
            )
        except (ValueError, KeyError, TypeError):
            return None


class Answer(NamedTuple):
    """A person's answer to a node's interrupt() call: what the node asked, the answer as
    JSON text, and who gave it."""

    question: Any
    answer: str
    author: str

    def record(self) -> dict[str, Any]:
        return {"question": self.question, "answer": json.loads(self.answer), "author": self.author}

    @classmethod
    def from_record(cls, record: dict[str, Any]) -> Answer:
        return cls(record.get("question"), dumps(record["answer"]), str(record["author"]))


@dataclass
class Status:
    """The run's status record: "interrupted" (waiting for a person) or "resuming" (answers
    given, not yet consumed by a committed superstep). `at` is the superstep the run goes on
    with; a record whose `at` is not the store's next superstep is left over from before."""

    kind: str
    at: int
    interrupts: list[Interrupt] = field(default_factory=list)
    answers: dict[str, list[Answer]] = field(default_factory=dict)  # node -> its answers in order
    skip_before: bool = False  # the run was answered past an interrupt_before

    def text(self) -> str:
        return dumps(
            {
                "status": self.kind,
                "at": self.at,
                "interrupts": [interrupt.record() for interrupt in self.interrupts],
                "answers": {node: [answer.record() for answer in answers] for node, answers in self.answers.items()},
                "skip_before": self.skip_before,
            }
        )

    @classmethod
    def parse(cls, location: str, text: str | None) -> Status | None:
        if text is None:
            return None
        try:
            record = json.loads(text)
            return cls(
                str(record["status"]),
                int(record["at"]),
                [Interrupt.from_record(item) for item in record["interrupts"]],
                {str(node): [Answer.from_record(item) for item in items] for node, items in record["answers"].items()},
                bool(record.get("skip_before")),
            )
        except (ValueError, KeyError, TypeError, AttributeError) as error:
            raise StoreError(f"the status record of store {location} is not readable ({error})") from error


def effective_code(manifest: Mapping[str, Any], payloads: list[dict[str, Any]]) -> dict[str, dict[str, str]]:
    """The fingerprints the store's state was made with: the manifest's, as later entries
    changed them."""
    code: dict[str, dict[str, str]] = {"nodes": {}, "routes": {}}
    for source in [manifest.get("code") or {}] + [payload.get("code") or {} for payload in payloads]:
        for part in ("nodes", "routes"):
            code[part].update(source.get(part) or {})
    return code
