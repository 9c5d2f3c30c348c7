"""zelk_runtime: define a graph of Python callables and run it through zelk_core.

from zelk_runtime import Graph, run

graph = Graph({"fetch": fetch, "rank": rank}, [("fetch", "rank")], reducers={"log": "append"})
result = run(graph, "runs/first")        # run it, or resume the run the store holds
print(result.state)
"""

from .errors import AuditError, CheckpointError, CycleError, GraphError, NodeError, RuntimeFailure, StoreError, UsageError
from .executors import RayExecutor, SequentialExecutor, ThreadExecutor
from .graph import Graph, Output
from .progress import SuperstepReport
from .runner import RunResult, StoredRun, load_checkpoint, read_run, run, verify
from .stores import DirStore, SqliteStore, open_store

__version__ = "0.1.0"
__all__ = [
    "AuditError",
    "CheckpointError",
    "CycleError",
    "DirStore",
    "Graph",
    "GraphError",
    "NodeError",
    "Output",
    "RayExecutor",
    "RunResult",
    "RuntimeFailure",
    "SequentialExecutor",
    "SqliteStore",
    "StoreError",
    "StoredRun",
    "SuperstepReport",
    "ThreadExecutor",
    "UsageError",
    "load_checkpoint",
    "open_store",
    "read_run",
    "run",
    "verify",
]
