"""The module object: attributes, the function table, re-import, sub-interpreters, stubs."""

import ast
import importlib
import importlib.metadata
import inspect
import os
import shutil
import subprocess
import sys
import textwrap

import pytest
import zelk_core

FUNCTIONS = [
    ("cosine_similarity", "(a, b)", "Cosine similarity between two equal-length vectors."),
    ("top_k", "(query, matrix, k)", "Indices and scores of the `k` rows most similar to `query`."),
    ("encode_checkpoint", "(json_str)", "Encode a JSON document string into a framed checkpoint blob."),
    ("decode_checkpoint", "(blob)", "Decode a framed checkpoint blob back into a JSON string."),
    (
        "reduce_channel",
        "(reducer, current_json, update_json)",
        "Reduce `current` with `update` under the named channel reducer.",
    ),
    (
        "advance_superstep",
        "(state_json, reducers_json, updates_json)",
        "Apply a whole superstep's node updates to graph state in one call.",
    ),
    ("plan_supersteps", "(nodes, edges)", "Plan BSP supersteps for the given nodes and edges."),
    ("hash_event", "(prev_hash, payload)", "Chained hash for an audit entry: `sha256(prev_hash || payload)`."),
    (
        "verify_chain",
        "(genesis, entries)",
        "Verify a hash chain; returns the index of the first broken link or `None`.",
    ),
    ("aggregate_cost", "(values)", "Sum per-call costs into a single total."),
]


def test_module_attributes():
    assert zelk_core.__version__ == "0.1.0"
    assert zelk_core.RUST is True
    assert zelk_core.__doc__ == ""
    assert zelk_core.__all__ == ["__version__", "RUST"] + [name for name, _, _ in FUNCTIONS]
    assert zelk_core.__file__.endswith(".abi3.so")


@pytest.mark.parametrize("name, signature, doc", FUNCTIONS)
def test_function_table(name, signature, doc):
    function = getattr(zelk_core, name)
    assert function.__name__ == name
    assert function.__text_signature__ == signature
    assert function.__doc__ == doc
    assert str(inspect.signature(function)) == signature
    assert all(p.kind is p.POSITIONAL_OR_KEYWORD for p in inspect.signature(function).parameters.values())
    assert function.__module__ == "zelk_core"
    assert function.__self__ is zelk_core


def test_stub_declares_what_the_module_registers():
    stub = importlib.metadata.distribution("zelk_core").locate_file("zelk_core-stubs/__init__.pyi")
    tree = ast.parse(stub.read_text())
    declared = {node.name: node for node in tree.body if isinstance(node, ast.FunctionDef)}
    (listed,) = [
        ast.literal_eval(node.value)
        for node in tree.body
        if isinstance(node, ast.Assign) and [getattr(t, "id", None) for t in node.targets] == ["__all__"]
    ]
    assert sorted(listed) == sorted(zelk_core.__all__)
    assert sorted(declared) == sorted(name for name in zelk_core.__all__ if callable(getattr(zelk_core, name)))
    for name, node in declared.items():
        function = getattr(zelk_core, name)
        plain = not (
            node.args.posonlyargs or node.args.kwonlyargs or node.args.vararg or node.args.kwarg or node.args.defaults
        )
        params = ", ".join(arg.arg for arg in node.args.args)
        stub = (f"({params})", ast.get_docstring(node, clean=False), plain)
        assert stub == (function.__text_signature__, function.__doc__, True), name


def test_reimport_returns_the_same_module():
    first = sys.modules.pop("zelk_core")
    try:
        again = importlib.import_module("zelk_core")
        assert again is first
        assert again.aggregate_cost([1, 2]) == 3.0
    finally:
        sys.modules["zelk_core"] = first


SUBINTERPRETER = textwrap.dedent(
    """
    import sys
    import zelk_core

    report = sys.argv[1]
    code = (
        "try:\\n"
        "    import zelk_core\\n"
        "except ImportError as error:\\n"
        f"    open({report!r}, 'w').write('ImportError: ' + str(error))\\n"
        "else:\\n"
        f"    open({report!r}, 'w').write('imported')\\n"
    )
    if sys.version_info[:2] == (3, 11):
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create()
        interpreters.run_string(interpreter, code)
    elif sys.version_info[:2] == (3, 12):
        import _xxsubinterpreters as interpreters
        interpreter = interpreters.create(isolated=False)
        interpreters.run_string(interpreter, code)
    else:
        import _interpreters as interpreters
        interpreter = interpreters.create("legacy")
        interpreters.exec(interpreter, code)
    interpreters.destroy(interpreter)
    print(zelk_core.aggregate_cost([1.5, 2.5]))
    """
)


def test_second_interpreter_is_refused(tmp_path):
    report = tmp_path / "report.txt"
    done = subprocess.run(
        [sys.executable, "-c", SUBINTERPRETER, str(report)],
        capture_output=True,
        text=True,
        timeout=120,
    )
    assert done.returncode == 0, done.stderr
    assert report.read_text().startswith("ImportError: zelk_core does not support sub-interpreters")
    assert done.stdout.strip() == "4.0"  # the first interpreter keeps working


TYPED_CALLER = """
import zelk_core

plan: list[list[str]] = zelk_core.plan_supersteps(["a", "b"], [("a", "b")])
best: list[tuple[int, float]] = zelk_core.top_k([1.0], [[1.0], [2.0]], 1)
blob: bytes = zelk_core.encode_checkpoint("{}")
text: str = zelk_core.decode_checkpoint(blob)
broken: int | None = zelk_core.verify_chain("", [("p", "h")])
total: float = zelk_core.aggregate_cost(range(3)) + zelk_core.cosine_similarity([1], [1])
state: str = zelk_core.advance_superstep("{}", "{}", "[]") + zelk_core.reduce_channel("add", "1", "2")
link: str = zelk_core.hash_event("", "")
version: str = zelk_core.__version__
"""


def test_stubs_type_check(tmp_path):
    pytest.importorskip("mypy")
    good = tmp_path / "good.py"
    good.write_text(TYPED_CALLER)
    bad = tmp_path / "bad.py"
    bad.write_text("import zelk_core\nn: int = zelk_core.hash_event('', 1)\n")
    command = [sys.executable, "-m", "mypy", "--strict", "--no-incremental", "--cache-dir", str(tmp_path / "cache")]
    done = subprocess.run(command + [str(good)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 0, done.stdout + done.stderr
    done = subprocess.run(command + [str(bad)], capture_output=True, text=True, timeout=300)
    assert done.returncode == 1
    assert 'Argument 2 to "hash_event" has incompatible type "int"' in done.stdout
    assert 'Incompatible types in assignment (expression has type "str"' in done.stdout


BUFFER_CALLER = """
import array

import numpy as np

import zelk_core

vector = np.zeros(3, dtype=np.float32)
matrix = np.zeros((2, 3), dtype=np.float32)
score: float = zelk_core.cosine_similarity(vector, memoryview(b"abc")) + zelk_core.aggregate_cost(array.array("d"))
best: list[tuple[int, float]] = zelk_core.top_k(vector, matrix, 1) + zelk_core.top_k([1.0], [vector, [2.0]], 1)
text: str = zelk_core.decode_checkpoint(np.frombuffer(b"ZELK\\x010", dtype=np.uint8))
"""

# Neither a mapping nor a set is a sequence or a buffer (lines 4 and 5).
BUFFER_MISUSE = """import numpy as np
import zelk_core

total: float = zelk_core.aggregate_cost({1.0: 2.0})
other: float = zelk_core.cosine_similarity({1.0}, np.zeros(1))
"""


@pytest.mark.parametrize("checker", ["mypy", "basedpyright"])
@pytest.mark.parametrize("version", ["3.11", "3.12"])
def test_stubs_accept_numeric_buffers(tmp_path, checker, version):
    if checker == "mypy":
        pytest.importorskip("mypy")
        command = [
            sys.executable,
            "-m",
            "mypy",
            "--strict",
            "--no-incremental",
            "--python-version",
            version,
            "--cache-dir",
            str(tmp_path / "cache"),
        ]
    else:
        found = shutil.which("basedpyright", path=os.path.dirname(sys.executable))
        if found is None:
            pytest.skip("basedpyright is not installed")
        command = [found, "--pythonpath", sys.executable, "--pythonversion", version]
    (tmp_path / "good.py").write_text(BUFFER_CALLER)
    (tmp_path / "bad.py").write_text(BUFFER_MISUSE)
    done = subprocess.run(command + ["good.py", "bad.py"], capture_output=True, text=True, timeout=600, cwd=tmp_path)
    errors = [line for line in done.stdout.splitlines() if "error" in line]
    where = sorted({line.split("bad.py:")[1].split(":")[0] for line in errors if "bad.py:" in line})
    assert done.returncode == 1 and where == ["4", "5"], done.stdout + done.stderr
    assert not [line for line in errors if "good.py" in line], done.stdout


def test_wheel_contents():
    installed = sorted(str(f) for f in importlib.metadata.files("zelk_core") if not str(f).startswith("zelk_core-0"))
    assert installed == ["zelk_core-stubs/__init__.pyi", "zelk_core.abi3.so"]
