"""The exceptions the runtime raises. Every one derives from `RuntimeFailure`."""

from __future__ import annotations


class RuntimeFailure(Exception):
    """Base of every error the runtime raises on purpose."""


class UsageError(RuntimeFailure, ValueError):
    """An argument of a runtime function is refused before anything runs."""


class GraphError(RuntimeFailure, ValueError):
    """The graph definition is refused before anything runs."""


class CycleError(GraphError):
    """The graph has a cycle and cycles were not allowed; `cycle` lists one in order."""

    def __init__(self, message: str, cycle: list[str]) -> None:
        super().__init__(message)
        self.cycle = cycle


class NodeError(RuntimeFailure):
    """A node raised or returned something that is not an update; the superstep failed.

    The original exception, if any, is `__cause__`; the store still holds the state of the
    last completed superstep.
    """

    def __init__(self, message: str, node: str, superstep: int) -> None:
        super().__init__(message)
        self.node = node
        self.superstep = superstep


class StoreError(RuntimeFailure):
    """A store is unreadable, damaged, or belongs to another graph."""


class CheckpointError(StoreError):
    """A checkpoint is missing, damaged, truncated or does not match its audit entry."""

    def __init__(self, message: str, superstep: int, where: str) -> None:
        super().__init__(message)
        self.superstep = superstep
        self.where = where


class AuditError(StoreError):
    """The audit log fails verification; `index` is the first entry that does not hold (or
    is missing), None when the fault is not at an entry (a head record, a key)."""

    def __init__(self, message: str, index: int | None) -> None:
        super().__init__(message)
        self.index = index
