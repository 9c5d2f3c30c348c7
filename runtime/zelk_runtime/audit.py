"""The audit chain of a store: link hashes, the head, and keyed tags.

Every entry of a store's audit log is (payload, link): `link` is `hash_event(previous
link, payload)`, starting from the genesis, `hash_event("", manifest text)`. The head is
where a log ends: its entry count and last link ("COUNT:HASH"). The chain alone finds
any change, removal or reordering inside the log; what it cannot see is the loss of its
last entries, which the stores catch by comparing the log with their other records, and a
verifier catches by comparing the head with one recorded elsewhere.

With an audit key a store is keyed: every entry also carries `tag`, an HMAC-SHA256 of its
link under the key, and the store keeps a head record tagged the same way. Without the
key nobody can make a tag, so nobody can change, append, remove, reorder or cut entries
without a tag or the head record failing to match.
"""

from __future__ import annotations

import hashlib
import hmac
import os
from collections.abc import Sequence
from dataclasses import dataclass

import zelk_core

from .errors import AuditError, UsageError

KEY_VARIABLE = "ZELK_AUDIT_KEY"
KEYED = "hmac-sha256"  # the manifest's "audit" member of a keyed store
HASH_LENGTH = 64


@dataclass(frozen=True)
class Entry:
    """One audit entry as a store keeps it."""

    payload: str
    link: str
    tag: str | None = None


@dataclass(frozen=True)
class Head:
    """Where an audit log ends: its number of entries and its last link (the genesis for
    an empty log). Written and read as "COUNT:HASH"."""

    count: int
    link: str

    def __str__(self) -> str:
        return f"{self.count}:{self.link}"

    @classmethod
    def parse(cls, text: str | Head) -> Head:
        if isinstance(text, Head):
            return text
        count, sep, link = str(text).strip().partition(":")
        if not sep or not count.isdigit() or len(link) != HASH_LENGTH or link.strip("0123456789abcdef"):
            raise UsageError(f"{text!r} is not a head; a head is COUNT:HASH (entries, then the last link in hex)")
        return cls(int(count), link)


class AuditKey:
    """The secret of a keyed store. Tags are HMAC-SHA256 under it, in lower-case hex."""

    def __init__(self, secret: bytes | str) -> None:
        data = secret.encode("utf-8") if isinstance(secret, str) else bytes(secret)
        if not data:
            raise UsageError("an audit key must not be empty")
        self._secret = data

    def _tag(self, *parts: str) -> str:
        return hmac.new(self._secret, "\x1f".join(parts).encode("utf-8"), hashlib.sha256).hexdigest()

    def entry_tag(self, link: str) -> str:
        return self._tag("entry", link)

    def head_tag(self, head: Head) -> str:
        return self._tag("head", str(head.count), head.link)

    def check(self) -> str:
        """A value that tells the right key from a wrong one and reveals nothing of it."""
        return self._tag("key-check")

    def __repr__(self) -> str:
        return "AuditKey(<hidden>)"


def audit_key(given: bytes | str | AuditKey | None) -> AuditKey | None:
    """The key to use: the one given, else the environment's ZELK_AUDIT_KEY, else None."""
    if isinstance(given, AuditKey):
        return given
    if given is None:
        given = os.environ.get(KEY_VARIABLE) or None
    return None if given is None else AuditKey(given)


def genesis(manifest_text: str) -> str:
    return zelk_core.hash_event("", manifest_text)


def link(previous: str, payload: str) -> str:
    return zelk_core.hash_event(previous, payload)


def head_of(genesis_link: str, entries: Sequence[Entry]) -> Head:
    return Head(len(entries), entries[-1].link if entries else genesis_link)


def check_chain(location: str, genesis_link: str, entries: Sequence[Entry]) -> None:
    """Raise AuditError at the first entry whose link does not follow from the ones before."""
    broken = zelk_core.verify_chain(genesis_link, [(entry.payload, entry.link) for entry in entries])
    if broken is not None:  # 0 is a broken first entry, not "intact"
        raise AuditError(
            f"audit entry {broken} of store {location} does not match the hash chain: it, or the "
            "manifest or an entry before it, was changed, removed or reordered; refusing to go on",
            broken,
        )


def check_tags(location: str, key: AuditKey, entries: Sequence[Entry], head: tuple[Head, str] | None) -> None:
    """Check every entry's tag and the tagged head record against the chain's own end."""
    for index, entry in enumerate(entries):
        if entry.tag is None or not hmac.compare_digest(entry.tag, key.entry_tag(entry.link)):
            raise AuditError(
                f"audit entry {index} of store {location} has no valid tag under the audit key: it was "
                "changed or added without the key (or the key is not this store's); refusing to go on",
                index,
            )
    if head is None:
        raise AuditError(
            f"store {location} is keyed but has no head record: it was removed; refusing to go on", len(entries)
        )
    recorded, tag = head
    if not hmac.compare_digest(tag, key.head_tag(recorded)):
        raise AuditError(
            f"the head record of store {location} has no valid tag under the audit key: it was changed "
            "without the key; refusing to go on",
            None,
        )
    if recorded.count > len(entries):
        raise AuditError(
            f"the audit log of store {location} was truncated: its head record counts {recorded.count} "
            f"entries but the log holds {len(entries)}; refusing to go on",
            len(entries),
        )
    if recorded.count > 0 and entries[recorded.count - 1].link != recorded.link:
        raise AuditError(
            f"the audit log of store {location} does not pass through its head record {recorded}; refusing to go on",
            recorded.count - 1,
        )


def check_head(location: str, actual: Head, expected: Head | str) -> None:
    """Refuse a log that does not end at the head recorded elsewhere."""
    wanted = Head.parse(expected)
    if actual == wanted:
        return
    if actual.count < wanted.count:
        what = f"it holds {actual.count} entries, {wanted.count - actual.count} fewer than the head: truncated or rolled back"
    elif actual.count > wanted.count:
        what = f"it holds {actual.count} entries, {actual.count - wanted.count} more than the head"
    else:
        what = "its last link differs: it was rewritten"
    raise AuditError(
        f"the audit log of store {location} does not end at the expected head {wanted}: {what} (it ends at {actual})",
        min(actual.count, wanted.count),
    )
