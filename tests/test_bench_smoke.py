"""The benchmark runs end to end on small cases, and its equality checks against the peers hold.

The bench compares results with its Python peers once per case (plans with graphlib's, folded
states with a Python fold, checkpoint bodies with orjson's print); a difference becomes a
note. Here a few small cases run in a separate process (the bench adjusts its own environment)
with one round and a tiny budget: no timing is judged, only that the run completes, writes its
three outputs and records no difference.
"""

import json
import pathlib
import subprocess
import sys

BENCH = pathlib.Path(__file__).resolve().parent.parent / "bench" / "bench.py"


def test_quick_run_writes_results_and_finds_no_difference(tmp_path):
    selected = ["200 nodes", "1 KB mixed", "1,000 channels", "aggregate_cost([])", "top_k([], [], 0)"]
    command = [sys.executable, str(BENCH), "--quick", "--rounds", "1", "--budget", "0.0005", "--out", str(tmp_path)]
    for pattern in selected:
        command += ["-k", pattern]
    run = subprocess.run(command, capture_output=True, text=True, timeout=120)
    assert run.returncode == 0, run.stderr
    results = json.loads((tmp_path / "results.json").read_text())
    rows = results["cases"]
    functions = {row["function"] for row in rows}
    assert {"plan_supersteps", "encode_checkpoint", "decode_checkpoint", "advance_superstep",
            "aggregate_cost", "top_k"} <= functions
    assert [row for row in rows if row["note"]] == []
    assert all(row["ratio"] > 0 and len(row["round_ratios"]) == 1 for row in rows)
    assert all(row["met"] is None if row["target"] is None else row["met"] == (row["ratio"] <= row["target"])
               for row in rows)
    assert results["machine"]["cores"] and results["machine"]["python"]
    page = (tmp_path / "RESULTS.md").read_text()
    assert all(f"| {row['function']} | {row['input']} |" in page for row in rows)
