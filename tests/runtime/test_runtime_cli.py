"""The command line and the demo, end to end on temporary stores."""

from __future__ import annotations

import importlib.util
import io
import json
import sys
from pathlib import Path

import pytest

zelk_runtime = pytest.importorskip("zelk_runtime")
import runtime_graphs  # noqa: E402
from zelk_runtime import run  # noqa: E402
from zelk_runtime.cli import main  # noqa: E402
from zelk_runtime.progress import make_progress  # noqa: E402

HERE = Path(__file__).resolve().parent
ROOT = HERE.parent.parent
GRAPH = str(HERE / "runtime_graphs.py")


@pytest.mark.parametrize(
    "command, words",
    [
        ([], "run,resume,verify,show,fork"),
        (["run"], "--executor {sequential,threads,ray}"),
        (["verify"], "Verify the audit chain"),
        (["show"], "--superstep N"),
    ],
)
def test_help(capsys, command, words):
    with pytest.raises(SystemExit) as caught:
        main([*command, "--help"])
    assert caught.value.code == 0
    assert words in capsys.readouterr().out


@pytest.mark.parametrize("store", ["run-dir", "run.db"])
def test_run_verify_show(tmp_path, capsys, store):
    location = str(tmp_path / store)
    assert (
        main(["run", GRAPH, "--store", location, "--executor", "sequential", "--max-supersteps", "2", "--quiet"]) == 0
    )
    assert "stopped: 2 supersteps in the store" in capsys.readouterr().out
    assert main(["run", GRAPH, "--store", location, "--workers", "2", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "continued after superstep 1" in out and '"total":111' in out and "finished: 3 supersteps" in out
    assert main(["verify", location]) == 0
    assert "audit chain of 3 entries intact" in capsys.readouterr().out
    assert main(["show", location]) == 0
    out = capsys.readouterr().out
    assert "3 supersteps" in out and "[middle]" in out and "finished: nothing is signalled" in out
    assert main(["show", location, "--superstep", "1"]) == 0
    assert json.loads(capsys.readouterr().out) == {"steps": ["first", "middle"], "total": 11}


@pytest.mark.parametrize(
    "arguments, words",
    [
        (["run", "missing.py", "--store", "{tmp}/s"], "graph file missing.py does not exist"),
        (["run", __file__, "--store", "{tmp}/s"], "defines neither `graph`"),
        (["run", GRAPH, "--store", "{tmp}/s", "--workers", "0"], "workers must be at least 1"),
        (["verify", "{tmp}/nothing"], "does not exist"),
        (["show", "{tmp}/done", "--superstep", "3"], "superstep 3 is not in"),
    ],
)
def test_errors_are_one_line_and_exit_1(tmp_path, capsys, arguments, words):
    main(["run", GRAPH, "--store", str(tmp_path / "done"), "--quiet"])
    capsys.readouterr()
    assert main([a.replace("{tmp}", str(tmp_path)) for a in arguments]) == 1
    error = capsys.readouterr().err
    assert error.startswith("error: ") and words in error and "Traceback" not in error


def test_demo_runs_and_then_resumes(tmp_path, capsys):
    found = importlib.util.spec_from_file_location("zelk_demo", ROOT / "demo" / "demo.py")
    assert found is not None and found.loader is not None
    demo = importlib.util.module_from_spec(found)
    sys.modules["zelk_demo"] = demo
    found.loader.exec_module(demo)
    store = str(tmp_path / "demo-run")
    assert demo.main(["--store", store, "--max-supersteps", "3"]) == 0
    assert "stopped after 3/5 supersteps" in capsys.readouterr().out
    assert demo.main(["--store", store]) == 0
    out = capsys.readouterr().out
    assert "supersteps 0-2 came from checkpoints, 2 ran now" in out
    assert "[1] subprocess.run" in out and "audit chain verified: 5 entries intact" in out
    assert demo.main(["--store", store]) == 0
    assert "all 5 supersteps were already done" in capsys.readouterr().out


@pytest.mark.parametrize(
    "kind, words", [("lines", "superstep 2: 1 nodes"), ("tqdm", "3superstep"), ("rich", "supersteps")]
)
def test_progress_reports_every_superstep(tmp_path, kind, words):
    if kind != "lines":
        pytest.importorskip(kind)
    stream = io.StringIO()
    run(runtime_graphs.build_graph(), tmp_path / "run", progress=make_progress(kind, stream), max_supersteps=1)
    run(runtime_graphs.build_graph(), tmp_path / "run", progress=make_progress(kind, stream))
    assert words in stream.getvalue()
