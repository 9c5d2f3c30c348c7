"""How a node is run: how many attempts it gets, how long to wait between them, how long
one attempt may take, and which failures are worth another attempt.

    Graph(..., policies={"fetch": Policy(retries=3, backoff=0.5, timeout=30, retry_on=(OSError,))})

On Ray a policy can also say what the node's task asks the cluster for:

    Graph(..., policies={"embed": Policy(ray={"num_gpus": 1}), "mail": Policy(ray={"max_retries": 0})})

A policy says how to run a node, not what the graph is: changing one does not make a
stored run belong to another graph.
"""

from __future__ import annotations

import difflib
import math
from collections.abc import Iterable, Mapping
from dataclasses import dataclass, field
from typing import Any

from .errors import GraphError

# The options of a Ray task a node may set: what it asks of the node that runs it, where it
# runs, and how often Ray runs it again when the worker or Ray node running it dies.
RAY_OPTIONS = (
    "accelerator_type",
    "label_selector",
    "max_retries",
    "memory",
    "num_cpus",
    "num_gpus",
    "resources",
    "runtime_env",
    "scheduling_strategy",
)


class NodeTimeout(TimeoutError):
    """An attempt of a node did not finish within its policy's timeout."""


@dataclass(frozen=True)
class Policy:
    """retries: attempts after the first (0: one attempt); backoff: seconds before the first
    retry, doubled before each one after it (attempt k waits backoff * 2**(k-2)); timeout:
    seconds one attempt may take, or None; retry_on: the exception types worth another
    attempt (a timed-out attempt raises NodeTimeout, a TimeoutError). An interrupt() is
    never retried.

    ray: options of the Ray task that runs the node, for the Ray executor only (the others
    ignore them): num_cpus, num_gpus, memory, resources (a node's custom resources, e.g.
    {"gpu_box": 1}), accelerator_type, label_selector, scheduling_strategy (the default
    spreads tasks over the cluster's nodes), max_retries (how often Ray runs the task again
    when its worker or Ray node dies; 0 for a node that must not run twice), runtime_env.
    Ray checks their values when the node's first task is made. A node with options runs
    in a task of its own."""

    retries: int = 0
    backoff: float = 0.0
    timeout: float | None = None
    retry_on: tuple[type[Exception], ...] = (Exception,)
    ray: Mapping[str, Any] | None = field(default=None, hash=False)

    def __post_init__(self) -> None:
        checked = _checked(self.retries, self.backoff, self.timeout, self.retry_on)
        if isinstance(checked, str):
            raise GraphError(f"Policy: {checked}")
        object.__setattr__(self, "retry_on", checked)
        options = _ray_options(self.ray)
        if isinstance(options, str):
            raise GraphError(f"Policy: {options}")
        object.__setattr__(self, "ray", options)

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


def _ray_options(options: object) -> dict[str, Any] | None | str:
    """A copy of the Ray options (None for none), or what is wrong with them."""
    if options is None:
        return None
    if not isinstance(options, Mapping):
        return f"ray must be a mapping of Ray task options, not {options!r}"
    for key in options:
        if key not in RAY_OPTIONS:
            close = difflib.get_close_matches(str(key), RAY_OPTIONS, n=1)
            hint = f" (did you mean {close[0]!r}?)" if close else ""
            return f"ray has no option {key!r}{hint}; a node may set {', '.join(RAY_OPTIONS)}"
    return dict(options) or None


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
            values = {"retries": 0, "backoff": 0.0, "timeout": None, "retry_on": (Exception,), "ray": None, **policy}
        elif isinstance(policy, Policy):
            values = {field: getattr(policy, field) for field in Policy.__dataclass_fields__}
        else:
            raise GraphError(f"the policy of node {name!r} is {policy!r}, not a Policy")
        problem = _checked(values["retries"], values["backoff"], values["timeout"], values["retry_on"])
        if not isinstance(problem, str):
            options = _ray_options(values["ray"])
            problem = options if isinstance(options, str) else problem
        if isinstance(problem, str):
            raise GraphError(f"the policy of node {name!r}: {problem}")
        if not isinstance(policy, Policy):
            policy = Policy(**values)
        checked[name] = policy
    return checked
