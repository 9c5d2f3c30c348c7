"""What a store holds, read back and checked: its manifest and audit log (`read_run`), the
state after any superstep (`load_checkpoint`), and the whole store (`verify`).

Every stored blob is checked against the SHA-256 its audit entry (or, for the base state
a run starts from, the manifest) keeps of it, and decoded by the module. The state after
a superstep is the nearest full checkpoint at or before it, with the update lists stored
since folded onto it in one `advance_superstep` call.
"""

from __future__ import annotations

import os
from collections.abc import Mapping
from dataclasses import dataclass
from typing import Any

import zelk_core

from .audit import KEYED, AuditKey, Entry, Head, check_chain, check_head, check_tags, genesis, head_of
from .audit import audit_key as resolve_key
from .errors import AuditError, CheckpointError, StoreError
from .records import check_payload, parse_manifest
from .states import MAGIC_LENGTH, Checkpointing, blob_hash, body, join_deltas
from .stores import Store, open_store
from .values import dumps


@dataclass
class StoredRun:
    """A store read back and checked: its manifest and the payloads of its audit entries.
    Entry i is superstep `first + i`: a run starts from a base state stored as superstep
    `first - 1` (the initial state, or for a fork the state it was forked at)."""

    store: str
    manifest: dict[str, Any]
    genesis: str
    entries: list[Entry]
    payloads: list[dict[str, Any]]

    @property
    def base(self) -> dict[str, Any] | None:
        base = self.manifest.get("base")
        return base if isinstance(base, dict) else None

    @property
    def first(self) -> int:
        base = self.base
        return int(base["superstep"]) + 1 if base is not None else 0

    @property
    def completed(self) -> int:
        return self.first + len(self.entries)

    @property
    def head(self) -> Head:
        return head_of(self.genesis, self.entries)

    @property
    def keyed(self) -> bool:
        return self.manifest.get("audit") == KEYED

    @property
    def forked(self) -> bool:
        return isinstance(self.manifest.get("parent"), dict)

    def payload(self, superstep: int) -> dict[str, Any]:
        return self.payloads[superstep - self.first]

    def kind(self, superstep: int) -> str:
        """How a superstep's state is stored: "full" or "delta" (the base is full)."""
        if superstep == self.first - 1 or self.manifest.get("format") == 1:
            return "full"
        return str(self.payload(superstep).get("checkpoint", "full"))


def _check_key(location: str, manifest: Mapping[str, Any], key: AuditKey | None) -> None:
    keyed = manifest.get("audit") == KEYED
    if keyed and key is None:
        raise AuditError(
            f"store {location} has a keyed audit log: checking it needs its audit key "
            "(audit_key=, or the ZELK_AUDIT_KEY environment variable)",
            None,
        )
    if not keyed and key is not None:
        raise AuditError(
            f"store {location} has an unkeyed audit log, but an audit key was given: a keyed log "
            "stripped of its tags reads like this; if the store was never keyed, go on without the key",
            None,
        )
    if keyed and key is not None and manifest.get("key_check") != key.check():
        raise AuditError(f"the audit key given is not the key of store {location}", None)


def read_run(store: Store, key: AuditKey | None = None) -> StoredRun:
    """Read the manifest and the audit log and check them: the chain (`verify_chain`), a
    keyed log's tags and head record, that the log covers every checkpoint, and each
    payload's shape. Raises `AuditError` with the index of the first entry that does not hold.
    """
    text = store.read_manifest()
    if text is None:
        raise StoreError(f"store {store.location} holds no run")
    manifest = parse_manifest(store.location, text)
    start = genesis(text)
    entries = store.audit_entries()
    check_chain(store.location, start, entries)
    _check_key(store.location, manifest, key)
    if key is not None:
        check_tags(store.location, key, entries, store.read_head())
    stored = StoredRun(store.location, manifest, start, entries, [])
    beyond = [number for number in store.checkpoint_superstep_numbers() if number >= stored.completed]
    if beyond:
        raise AuditError(
            f"the audit log of store {store.location} was truncated: it holds {len(entries)} entries, but the "
            f"store holds checkpoints up to superstep {beyond[-1]}; refusing to go on (nothing was run again)",
            len(entries),
        )
    for index, entry in enumerate(entries):
        stored.payloads.append(
            check_payload(store.location, index, stored.first + index, entry.payload, manifest["format"])
        )
    return stored


def _checked_body(store: Store, stored: StoredRun, superstep: int) -> str:
    """The JSON text of a superstep's stored blob, checked against the hash kept of it."""
    name = store.checkpoint_name(superstep)
    blob = store.read_checkpoint(superstep)
    try:
        if stored.manifest.get("format") == 1:  # stores of the first format hash the state text
            text = body(blob)
            matches = zelk_core.hash_event("state", text) == stored.payload(superstep)["state"]
        else:
            kept = stored.base if superstep == stored.first - 1 else stored.payload(superstep)
            matches = kept is not None and blob_hash(blob) == kept.get("sha256")
            # A blob that hashes as recorded is the module's own frame as it was written:
            # its body is read in place. One that does not is read by the module, to say
            # how it is damaged if it is.
            text = str(memoryview(blob)[MAGIC_LENGTH:], "utf-8") if matches else zelk_core.decode_checkpoint(blob)
    except ValueError as error:  # UnicodeDecodeError included
        raise CheckpointError(f"checkpoint {name} is damaged or truncated: {error}", superstep, name) from error
    if not matches:
        where = "the manifest's base" if superstep == stored.first - 1 else f"audit entry {superstep}"
        raise CheckpointError(
            f"checkpoint {name} does not match {where}: its state was changed or replaced", superstep, name
        )
    return text


def _reducers(stored: StoredRun) -> str:
    return dumps(stored.manifest["graph"]["reducers"])


def load_checkpoint(store: Store, stored: StoredRun, superstep: int) -> str:
    """The module's text of the state after `superstep` (the base state at `first - 1`),
    rebuilt from the nearest full checkpoint and the update lists stored since."""
    low = stored.first - 1 if stored.base is not None else 0
    if not low <= superstep < stored.completed:
        raise StoreError(f"store {store.location} holds supersteps {low} to {stored.completed - 1}, not {superstep}")
    full = superstep
    while stored.kind(full) != "full":
        full -= 1
    text = _checked_body(store, stored, full)
    if full == superstep:
        return text
    deltas = [_checked_body(store, stored, number) for number in range(full + 1, superstep + 1)]
    return str(zelk_core.advance_superstep(text, _reducers(stored), join_deltas(deltas)))


def checkpointing(store: Store, stored: StoredRun) -> Checkpointing:
    """Where the store stands in its checkpoint rhythm: the last full checkpoint's size and
    the deltas stored since."""
    size = int(stored.base["checkpoint_bytes"]) if stored.base is not None else 0
    state = Checkpointing(size)
    for payload in stored.payloads:
        state.stored(str(payload.get("checkpoint", "full")), int(payload["checkpoint_bytes"]))
    return state


def verify(
    location: str | os.PathLike[str] | Store,
    *,
    head: str | Head | None = None,
    audit_key: bytes | str | AuditKey | None = None,
    run_id: str | None = None,
) -> StoredRun:
    """Check a whole store: the audit chain (and a keyed log's tags and head record), that
    the log covers every checkpoint, and every stored blob against its hash and as JSON.
    With `head` ("COUNT:HASH", recorded elsewhere), the log must end exactly there.
    `run_id` names the run in a PostgreSQL database.
    """
    expected = None if head is None else Head.parse(head)
    store = open_store(location, create=False, run_id=run_id)
    try:
        stored = read_run(store, resolve_key(audit_key))
        if expected is not None:
            check_head(store.location, stored.head, expected)
        low = stored.first - 1 if stored.base is not None else 0
        for superstep in range(low, stored.completed):
            _checked_body(store, stored, superstep)
        return stored
    finally:
        if store is not location:
            store.close()
