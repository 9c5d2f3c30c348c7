import sys
from collections.abc import Sequence
from typing import Any, Final, Protocol, SupportsFloat, SupportsIndex

# Numeric buffers: numpy arrays, array.array, memoryview. Type checkers carry the stubs of
# typing_extensions themselves, so nothing is needed at run time. Before 3.12 numpy's own
# stubs give its arrays no __buffer__, so they are known by their array interface.
if sys.version_info >= (3, 12):
    from collections.abc import Buffer as _Buffer
else:
    from typing_extensions import Buffer

    class _NumPyArray(Protocol):
        @property
        def __array_interface__(self) -> dict[str, Any]: ...
        def __len__(self) -> int: ...

    _Buffer = Buffer | _NumPyArray

__version__: Final[str]
RUST: Final[bool]
__all__ = [
    "RUST",
    "__version__",
    "advance_superstep",
    "aggregate_cost",
    "cosine_similarity",
    "decode_checkpoint",
    "encode_checkpoint",
    "hash_event",
    "plan_supersteps",
    "reduce_channel",
    "top_k",
    "verify_chain",
]

_Number = SupportsFloat | SupportsIndex
_Numbers = Sequence[_Number] | _Buffer

def cosine_similarity(a: _Numbers, b: _Numbers) -> float:
    """Cosine similarity between two equal-length vectors."""

def top_k(query: _Numbers, matrix: Sequence[_Numbers] | _Buffer, k: SupportsIndex) -> list[tuple[int, float]]:
    """Indices and scores of the `k` rows most similar to `query`."""

def encode_checkpoint(json_str: str) -> bytes:
    """Encode a JSON document string into a framed checkpoint blob."""

def decode_checkpoint(blob: Sequence[SupportsIndex] | _Buffer) -> str:
    """Decode a framed checkpoint blob back into a JSON string."""

def reduce_channel(reducer: str, current_json: str, update_json: str) -> str:
    """Reduce `current` with `update` under the named channel reducer."""

def advance_superstep(state_json: str, reducers_json: str, updates_json: str) -> str:
    """Apply a whole superstep's node updates to graph state in one call."""

def plan_supersteps(nodes: Sequence[str], edges: Sequence[tuple[str, str]]) -> list[list[str]]:
    """Plan BSP supersteps for the given nodes and edges."""

def hash_event(prev_hash: str, payload: str) -> str:
    """Chained hash for an audit entry: `sha256(prev_hash || payload)`."""

def verify_chain(genesis: str, entries: Sequence[tuple[str, str]]) -> int | None:
    """Verify a hash chain; returns the index of the first broken link or `None`."""

def aggregate_cost(values: _Numbers) -> float:
    """Sum per-call costs into a single total."""
