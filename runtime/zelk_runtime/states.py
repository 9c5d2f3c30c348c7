"""The state between supersteps: the read-only view nodes read, folded channel by channel,
and what a superstep stores of it.

A superstep folds only the channels its updates write: their current values and the
superstep's update list go through `advance_superstep`, and the channels that come back
replace theirs in a new view. Work and memory follow what the superstep wrote, not the
size of the state.

A superstep stores its update list (a delta), framed by `encode_checkpoint`, and now and
then the whole state (a full checkpoint): every CHECKPOINT_EVERY supersteps, and whenever
the deltas stored since the last full checkpoint would outgrow half the state. The state after any superstep
is rebuilt by folding, in one `advance_superstep` call, the deltas since the nearest full
checkpoint at or before it onto that checkpoint: exactly the fold the run made, since a
fold of the whole state and a fold of the written channels agree on every channel.
"""

from __future__ import annotations

import hashlib
from collections.abc import Iterable, Sequence
from dataclasses import dataclass
from typing import Any

import zelk_core

from .values import dumps
from .view import StateDict, load, state_dict

CHECKPOINT_EVERY = 64
MAGIC_LENGTH = 5  # "ZELK" and the version byte before a blob's JSON body


def fold(view: StateDict, reducers_json: str, updates_json: str, written: Iterable[str]) -> tuple[StateDict, int]:
    """The view after folding `updates_json`, which writes only the channels `written`, and
    how much the state's text grew (the written channels' text after, less before).
    Channels stay in name order, as in the module's own text of the state, so a node sees
    them in the same order whether the run went on or was resumed."""
    names = sorted(set(written))
    if not names:
        return view, 0
    current = {name: view[name] for name in names if name in view}
    before = dumps(current)
    after = zelk_core.advance_superstep(before, reducers_json, updates_json)
    grown = len(after) - len(before)
    del before, current
    changed: dict[str, Any] = load(after)
    del after
    if len(changed) == len(names) and all(name in view for name in names):
        folded = state_dict(view)
        dict.update(folded, changed)
        return folded, grown
    merged = dict(view)
    merged.update(changed)
    return state_dict(sorted(merged.items())), grown  # a new channel: names kept in order


def full_blob(view: StateDict) -> bytes:
    """A full checkpoint of the state (the module's text of it)."""
    return zelk_core.encode_checkpoint(dumps(view))


def blob_hash(blob: bytes) -> str:
    """The hash an audit entry keeps of a stored blob: SHA-256 of its bytes."""
    return hashlib.sha256(blob).hexdigest()


def body(blob: bytes) -> str:
    """The JSON text of a blob the module has checked."""
    zelk_core.decode_checkpoint(blob)
    return blob[MAGIC_LENGTH:].decode("utf-8")


def join_deltas(deltas: Sequence[str]) -> str:
    """Update lists of several supersteps as one, in order (each is the module's compact
    text of a list, so its items are what lies between its brackets)."""
    items = [delta[1:-1] for delta in deltas if delta != "[]"]
    return "[" + ",".join(items) + "]"


@dataclass
class Checkpointing:
    """When a superstep stores the whole state: the state's size (its text, as of the
    last full checkpoint and the folds since), and the deltas stored since that checkpoint."""

    state_bytes: int
    since_full: int = 0
    deltas: int = 0

    def grown(self, size: int) -> None:
        self.state_bytes = max(0, self.state_bytes + size)

    def full_now(self, delta_bytes: int) -> bool:
        # Deltas may hold half the state before the whole state is stored again: a large
        # write is then stored once, as the state, rather than as a delta soon followed by
        # the state (which would store it twice).
        return self.deltas + 1 >= CHECKPOINT_EVERY or 2 * (self.since_full + delta_bytes) > self.state_bytes

    def stored(self, kind: str, size: int) -> None:
        if kind == "full":
            self.state_bytes, self.since_full, self.deltas = size, 0, 0
        else:
            self.since_full += size
            self.deltas += 1
