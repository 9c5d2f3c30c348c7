"""The proof of many workers, short: 30 runs of a graph that loops and fans out, two worker
processes, one killed with SIGKILL every 0.2 to 1 s for 3 s. Every run finishes, every chain
verifies, no superstep is committed twice, every final state is the single-process one
(examples/workers_proof.py; `make proof` runs the long form and measures runs per second)."""

from __future__ import annotations

import importlib.util
import os
from pathlib import Path

import pytest

pytest.importorskip("psycopg")
pytest.importorskip("zelk_runtime")

SCRIPT = Path(__file__).resolve().parents[2] / "examples" / "workers_proof.py"


def test_killed_workers_leave_every_run_finished_once(tmp_path, pg_server, monkeypatch):
    found = importlib.util.spec_from_file_location("workers_proof", SCRIPT)
    assert found is not None and found.loader is not None
    proof = importlib.util.module_from_spec(found)
    found.loader.exec_module(proof)
    monkeypatch.setenv(proof.WORK_SECONDS, "0.01")  # the workers inherit it: runs last long enough to be cut
    url = pg_server.create_database(f"proof_{os.getpid()}")
    figures = proof.prove(url, runs=30, workers=2, kill_for=3.0, lease=1.0, folder=str(tmp_path))
    assert figures["runs"] == 30 and figures["kills"] >= 3
    assert figures["taken_over"] >= 1  # some run was cut mid-way and taken over after its lease
