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
from store_kinds import named  # noqa: E402
from zelk_runtime import resume, run, verify  # noqa: E402
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


@pytest.mark.parametrize("store", ["run-dir", "run.db", "postgres"])
def test_run_verify_show(tmp_path, place, capsys, store):
    location, run_name = named(place(tmp_path, store))  # a PostgreSQL run named with --run
    options = ["--executor", "sequential", "--max-supersteps", "2", "--quiet"]
    assert main(["run", GRAPH, "--store", location, *run_name, *options]) == 0
    assert "stopped: 2 supersteps in the store" in capsys.readouterr().out
    assert main(["run", GRAPH, "--store", location, *run_name, "--workers", "2", "--quiet"]) == 0
    out = capsys.readouterr().out
    assert "continued after superstep 1" in out and '"total":111' in out and "finished: 3 supersteps" in out
    assert main(["verify", location, *run_name]) == 0
    assert "audit chain of 3 entries intact" in capsys.readouterr().out
    assert main(["show", location, *run_name]) == 0
    out = capsys.readouterr().out
    assert "3 supersteps" in out and "[middle]" in out and "finished: nothing is signalled" in out
    assert main(["show", location, *run_name, "--superstep", "1"]) == 0
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


@pytest.fixture(scope="module")
def demo():
    found = importlib.util.spec_from_file_location("zelk_demo", ROOT / "demo" / "demo.py")
    assert found is not None and found.loader is not None
    module = importlib.util.module_from_spec(found)
    sys.modules["zelk_demo"] = module
    found.loader.exec_module(module)
    return module


def test_demo_runs_and_then_resumes(demo, tmp_path, capsys):
    store = str(tmp_path / "demo-run")
    assert demo.main(["--store", store, "--max-supersteps", "3"]) == 0
    out = capsys.readouterr().out
    assert "stopped after superstep 2" in out and "waits for a person" not in out
    assert demo.main(["--store", store]) == 0
    out = capsys.readouterr().out
    assert "supersteps 0-2 come from its checkpoints" in out
    assert "approve waits for a person" in out and "answering as a person would" in out
    assert "[1] subprocess.run" in out and "answered true by 'make demo'" in out and "verified:" in out
    assert demo.main(["--store", store]) == 0
    out = capsys.readouterr().out
    assert "nothing ran again" in out and "0 supersteps ran now" in out and "[1] subprocess.run" in out

    payloads = verify(store).payloads
    answered = [(p["nodes"], p["answers"]) for p in payloads if "answers" in p]
    assert len(answered) == 1 and answered[0][0] == ["approve"]
    ((answer,),) = answered[0][1].values()
    assert (answer["answer"], answer["author"]) == (True, "make demo") and "publish" in answer["question"]["ask"]
    assert {p["kind"] for p in payloads} == {"nodes"}
    state = run(demo.build_graph(), store, progress="none").state  # finished: nothing runs
    rounds = [answer["rounds"] for answer in state["published"]]
    assert len(rounds) == len(demo.QUESTIONS) and max(rounds) > 1 and max(rounds) <= demo.MAX_ROUNDS
    # The supersteps show the fan-out (every question at once) and the loop (the unsure again).
    fanned = [p["nodes"].count("answer_question") for p in payloads if "answer_question" in p["nodes"]]
    assert fanned == [sum(taken >= n for taken in rounds) for n in range(1, max(rounds) + 1)]
    checks = [p["routes"]["check"] for p in payloads if "check" in p.get("routes", {})]
    assert checks == [["refine"]] * (max(rounds) - 1) + [["approve"]] and state["rounds"] == max(rounds)


def test_demo_through_the_command_line(demo, tmp_path, capsys):
    """The CLI stops at the approval and answers it; the demo then shows that author's answer."""
    graph, store = str(ROOT / "demo" / "demo.py"), str(tmp_path / "cli-run")
    assert main(["run", graph, "--store", store, "--quiet"]) == 0
    assert "node 'approve', it asks" in capsys.readouterr().out
    assert main(["resume", graph, "--store", store, "--answer", "approve=true", "--author", "you", "--quiet"]) == 0
    assert "finished: " in capsys.readouterr().out
    assert demo.main(["--store", store]) == 0
    out = capsys.readouterr().out
    assert "nothing ran again" in out and "'you' answered true" in out and "answering as a person" not in out


def test_demo_gives_up_after_three_rounds_and_asks_again_until_answered(demo, tmp_path, monkeypatch, capsys):
    """With a bar no answer reaches, every question takes the most rounds; an answer that is
    not true or false is asked again, and false withholds the answers (the route ends)."""
    monkeypatch.setattr(demo, "CONFIDENT", 2.0)
    graph, store = demo.build_graph(), tmp_path / "demo-run"
    assert run(graph, store, progress="none").status == "interrupted"
    waiting = resume(graph, store, answers={"approve": "yes"}, author="alice", progress="none")
    assert waiting.status == "interrupted" and 'true or false, not "yes"' in waiting.interrupts[0].value["ask"]
    result = resume(graph, store, answers={"approve": False}, author="bob", progress="none")
    assert result.finished and "published" not in result.state
    assert result.state["approval"]["approved"] is False and result.state["unsure"] == list(range(len(demo.QUESTIONS)))
    payloads = verify(store).payloads
    fanned = [p["nodes"].count("answer_question") for p in payloads if "answer_question" in p["nodes"]]
    assert fanned == [len(demo.QUESTIONS)] * demo.MAX_ROUNDS
    assert payloads[-1]["nodes"] == ["approve"] and payloads[-1]["routes"] == {"approve": []}
    assert [a["answer"] for a in payloads[-1]["answers"]["approve"]] == ["yes", False]
    assert demo.main(["--store", str(store)]) == 0
    out = capsys.readouterr().out
    assert "nothing was published" in out and "3 rounds, confidence" in out and "'bob' answered false" in out


@pytest.mark.parametrize("kind, words", [("lines", "superstep 2: "), ("tqdm", "3superstep"), ("rich", "supersteps")])
def test_progress_reports_every_superstep(tmp_path, kind, words):
    if kind != "lines":
        pytest.importorskip(kind)
    stream = io.StringIO()
    run(runtime_graphs.build_graph(), tmp_path / "run", progress=make_progress(kind, stream), max_supersteps=1)
    run(runtime_graphs.build_graph(), tmp_path / "run", progress=make_progress(kind, stream))
    assert words in stream.getvalue()
