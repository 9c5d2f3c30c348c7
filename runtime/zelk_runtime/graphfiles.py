"""Graph files: a Python file defining a module-level `graph` (a Graph) or `build_graph()`."""

from __future__ import annotations

import importlib.util
import sys
import threading
from pathlib import Path
from types import ModuleType

from .errors import RuntimeFailure
from .graph import Graph

_loaded: dict[str, tuple[tuple[int, int], Graph]] = {}  # path -> (mtime and size, its graph)
_loading = threading.Lock()


def load_graph_file(path: str) -> Graph:
    """The graph a file defines: a module-level `graph` (a Graph) or `build_graph()`."""
    file = Path(path)
    if not file.is_file():
        raise RuntimeFailure(f"graph file {path} does not exist")
    name = "zelk_graph_" + "".join(c if c.isalnum() else "_" for c in file.stem)
    found = importlib.util.spec_from_file_location(name, file)
    if found is None or found.loader is None:
        raise RuntimeFailure(f"cannot load {path} as Python")
    module: ModuleType = importlib.util.module_from_spec(found)
    sys.modules[name] = module  # picklers find the node functions by their module
    folder = str(file.resolve().parent)
    if folder not in sys.path:
        sys.path.insert(0, folder)  # a helper module beside the graph file imports as it would there
    found.loader.exec_module(module)
    graph = getattr(module, "graph", None)
    if graph is None and callable(getattr(module, "build_graph", None)):
        graph = module.build_graph()
    if not isinstance(graph, Graph):
        raise RuntimeFailure(f"{path} defines neither `graph` (a zelk_runtime.Graph) nor `build_graph()` returning one")
    return graph


def cached_graph_file(path: str) -> Graph:
    """The graph of a file, loaded again only when the file changed (a worker takes up many
    runs of one file; its threads load one at a time)."""
    with _loading:
        try:
            stat = Path(path).stat()
        except OSError as error:
            raise RuntimeFailure(f"graph file {path} cannot be read: {error}") from error
        stamp = (stat.st_mtime_ns, stat.st_size)
        kept = _loaded.get(path)
        if kept is not None and kept[0] == stamp:
            return kept[1]
        graph = load_graph_file(path)
        _loaded[path] = (stamp, graph)
        return graph
