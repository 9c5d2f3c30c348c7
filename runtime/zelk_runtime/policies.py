"""How a node is run: how many attempts it gets, how long to wait between them, how long
one attempt may take, and which failures are worth another attempt.

    Graph(..., policies={"fetch": Policy(retries=3, backoff=0.5, timeout=30, retry_on=(OSError,))})

A policy says how to run a node, not what the graph is: changing one does not make a
stored run belong to another graph.
"""

from __future__ import annotations

import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass
from typing import Any

from .errors import GraphError


class NodeTimeout(TimeoutError):
    """An attempt of a node did not finish within its policy's timeout."""


@dataclass(frozen=True)
class Policy:
    """retries: attempts after the first (0: one attempt); backoff: seconds before the first
    retry, doubled before each one after it (attempt k waits backoff * 2**(k-2)); timeout:
    seconds one attempt may take, or None; retry_on: the exception types worth another
    attempt (a timed-out attempt raises NodeTimeout, a TimeoutError). An interrupt() is
    never retried."""

    retries: int = 0
    backoff: float = 0.0
    timeout: float | None = None
    retry_on: tuple[type[Exception], ...] = (Exception,)

    def __post_init__(self) -> None:
        checked = _checked(self.retries, self.backoff, self.timeout, self.retry_on)
        if isinstance(checked, str):
            raise GraphError(f"Policy: {checked}")
        object.__setattr__(self, "retry_on", checked)

    @property
    def attempts(self) -> int:
        """How many attempts a node gets at most."""
        return self.retries + 1

    def delay(self, attempt: int) -> float:
        """Seconds to wait before attempt `attempt` (from 2)."""
        return float(self.backoff * 2 ** (attempt - 2))

    def retries_after(self, error: BaseException, attempt: int) -> bool:
        """Whether a failed attempt `attempt` is followed by another."""
        return attempt <= self.retries and isinstance(error, self.retry_on)


def _checked(retries: object, backoff: object, timeout: object, retry_on: object) -> tuple[type[Exception], ...] | str:
    """The retry_on types as a tuple, or what is wrong with the fields (naming the field)."""
    if isinstance(retries, bool) or not isinstance(retries, int) or retries < 0:
        return f"retries must be a whole number, 0 or more (attempts after the first), not {retries!r}"
    if not _seconds(backoff) or backoff < 0:  # type: ignore[operator]
        return f"backoff must be a finite number of seconds, 0 or more, not {backoff!r}"
    if timeout is not None and (not _seconds(timeout) or timeout <= 0):  # type: ignore[operator]
        return f"timeout must be a finite number of seconds above 0, or None, not {timeout!r}"
    types: list[object] = [retry_on] if isinstance(retry_on, type) else []
    if not types:
        if isinstance(retry_on, (str, bytes, Mapping)) or not isinstance(retry_on, Iterable):
            return f"retry_on must be an exception type or a tuple of them, not {retry_on!r}"
        types = list(retry_on)
    for kind in types:
        if not (isinstance(kind, type) and issubclass(kind, Exception)):
            return f"retry_on must name exception types (subclasses of Exception), not {kind!r}"
    return tuple(types)  # type: ignore[arg-type]


def _seconds(value: object) -> bool:
    return not isinstance(value, bool) and isinstance(value, (int, float)) and math.isfinite(value)


def check_policies(policies: object, nodes: Iterable[str], suggest: Any) -> dict[str, Policy]:
    """Graph's `policies=`: node name -> Policy (or a dict of Policy's fields)."""
    if not isinstance(policies, Mapping):
        raise GraphError(f"policies must be a mapping from node to Policy, not {type(policies).__name__}")
    known = list(nodes)
    checked: dict[str, Policy] = {}
    for name, policy in policies.items():
        if not isinstance(name, str):
            raise GraphError(f"policies names {name!r}, which is not a string")
        if name not in known:
            raise GraphError(f"policies names unknown node {name!r}{suggest(name, known)}")
        if isinstance(policy, Mapping):
            fields = set(Policy.__dataclass_fields__)
            unknown = sorted(str(key) for key in policy if key not in fields)
            if unknown:
                raise GraphError(
                    f"the policy of node {name!r} has no field {unknown[0]!r}{suggest(unknown[0], fields)}; "
                    f"its fields are {', '.join(sorted(fields))}"
                )
            values = {"retries": 0, "backoff": 0.0, "timeout": None, "retry_on": (Exception,), **policy}
        elif isinstance(policy, Policy):
            values = {field: getattr(policy, field) for field in Policy.__dataclass_fields__}
        else:
            raise GraphError(f"the policy of node {name!r} is {policy!r}, not a Policy")
        problem = _checked(values["retries"], values["backoff"], values["timeout"], values["retry_on"])
        if isinstance(problem, str):
            raise GraphError(f"the policy of node {name!r}: {problem}")
        if not isinstance(policy, Policy):
            policy = Policy(**values)
        checked[name] = policy
    return checked
