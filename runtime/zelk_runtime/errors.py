"""The exceptions the runtime raises. Every one derives from `RuntimeFailure`."""

from __future__ import annotations

from dataclasses import dataclass


class RuntimeFailure(Exception):
    """Base of every error the runtime raises on purpose."""


class UsageError(RuntimeFailure, ValueError):
    """An argument of a runtime function is refused before anything runs."""


class GraphError(RuntimeFailure, ValueError):
    """The graph definition is refused before anything runs."""


@dataclass(frozen=True)
class NodeFailure:
    """One node that failed: its exception and the traceback text from where it ran (None
    when the node returned something the runtime refuses rather than raising)."""

    node: str
    superstep: int
    message: str
    error: BaseException | None = None
    traceback: str | None = None


class NodeError(RuntimeFailure):
    """Nodes of a superstep failed (raised, or returned something that is not an update);
    the superstep was not committed.

    `failures` lists every failing node of the superstep; `node` and `superstep` are the
    first, and the first exception is `__cause__`. The store keeps the last committed
    superstep and the results of the nodes that finished.
    """

    def __init__(self, message: str, node: str, superstep: int, failures: list[NodeFailure] | None = None) -> None:
        super().__init__(message)
        self.node = node
        self.superstep = superstep
        self.failures = failures if failures is not None else [NodeFailure(node, superstep, message)]

    @classmethod
    def of(cls, failures: list[NodeFailure]) -> NodeError:
        first = failures[0]
        if len(failures) == 1:
            message = first.message
        else:
            listed = "; ".join(failure.message for failure in failures)
            message = f"{len(failures)} nodes failed in superstep {first.superstep}: {listed}"
        error = cls(message, first.node, first.superstep, failures)
        error.__cause__ = first.error
        return error

    def tracebacks(self) -> str:
        """Every failure with the traceback of where it ran, as text."""
        parts = []
        for failure in self.failures:
            parts.append(f"--- node {failure.node!r}, superstep {failure.superstep}: {failure.message}")
            if failure.traceback:
                parts.append(failure.traceback.rstrip())
        return "\n".join(parts)


class StepLimitError(RuntimeFailure):
    """The run would start superstep `step_limit`; everything done so far is stored."""

    def __init__(self, message: str, superstep: int) -> None:
        super().__init__(message)
        self.superstep = superstep


class StoreError(RuntimeFailure):
    """A store is unreadable, damaged, full, or belongs to another graph."""


class StoreUnavailable(StoreError):
    """The store's server could not be reached again within the time allowed; what was not
    committed was rolled back whole."""


class LeaseLost(StoreError):
    """A run's lease passed to another worker (its own expired): a write under the old lease
    is refused, nothing of it written, so no superstep is committed twice."""

    def __init__(self, message: str, run: str, holder: str | None, fence: int, current: int) -> None:
        super().__init__(message)
        self.run = run
        self.holder = holder
        self.fence = fence
        self.current = current


class ChangedCodeError(StoreError):
    """The code of nodes that already ran in a store changed; `nodes` names them."""

    def __init__(self, message: str, nodes: list[str]) -> None:
        super().__init__(message)
        self.nodes = nodes


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
