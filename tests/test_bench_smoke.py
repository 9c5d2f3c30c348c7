"""The benchmark runs end to end on small cases, and its equality checks against the peers hold.

The bench compares results with its Python peers once per case (plans with graphlib's, folded
states with a Python fold, checkpoint bodies with orjson's print); a difference becomes a
note. Here a few small cases run in a separate process (the bench adjusts its own environment)
with one round and a tiny budget: no timing is judged, only that the run completes, writes its
three outputs and records no difference; the runtime cases, whose check is that the runtime
and the hand-written loop end in the same state after as many supersteps, report wall-clock
time as well. Every selected function must have its rows with or
without the optional peer orjson (hidden from the child in the second run): a missing peer
changes the comparison, never drops a function's cases.
"""

import json
import os
import pathlib
import subprocess
import sys

import pytest

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench.py"


@pytest.mark.parametrize("hide_orjson", [False, True])
def test_quick_run_writes_results_and_finds_no_difference(tmp_path, hide_orjson):
    environment = dict(os.environ)
    if hide_orjson:
        (tmp_path / "hidden").mkdir()
        (tmp_path / "hidden" / "orjson.py").write_text("raise ImportError('hidden by the test')\n")
        environment["PYTHONPATH"] = os.pathsep.join(
            filter(None, [str(tmp_path / "hidden"), environment.get("PYTHONPATH")])
        )
    selected = ["200 nodes", "1 KB mixed", "1,000 channels", "aggregate_cost([])", "top_k([], [], 0)", "runtime"]
    out = tmp_path / "out"
    command = [sys.executable, str(BENCH), "--quick", "--rounds", "1", "--budget", "0.0005", "--out", str(out)]
    for pattern in selected:
        command += ["-k", pattern]
    # The limit only ends a hung run: an emulated run on a loaded machine takes a minute.
    run = subprocess.run(command, capture_output=True, text=True, timeout=600, env=environment)
    assert run.returncode == 0, run.stderr
    results = json.loads((out / "results.json").read_text())
    rows = results["cases"]
    functions = {row["function"] for row in rows}
    assert {
        "plan_supersteps",
        "encode_checkpoint",
        "decode_checkpoint",
        "advance_superstep",
        "aggregate_cost",
        "top_k",
        "runtime sequential",
        "runtime threads",
    } <= functions
    runtime = [row for row in rows if row["function"].startswith("runtime")]
    assert len(runtime) == 4 and all(row["checked_equal"] for row in runtime)
    assert all(row["wall_ratio"] > 0 and len(row["wall_round_ratios"]) == 1 for row in runtime)
    assert [row for row in rows if row["note"]] == []
    assert all(row["ratio"] > 0 and len(row["round_ratios"]) == 1 for row in rows)
    assert all(
        row["met"] is None if row["target"] is None else row["met"] == (row["ratio"] <= row["target"]) for row in rows
    )
    assert results["machine"]["cores"] and results["machine"]["python"]
    assert any("orjson" in note for note in results["notes"]) == hide_orjson
    page = (out / "RESULTS.md").read_text()
    assert all(f"| {row['function']} | {row['input']} |" in page for row in rows)
