"""Ray across nodes: a local cluster of three Ray nodes (the head and two more, each started
by `ray start` as a node of its own with a resource of its own), driven by
ray_nodes_driver.py in a process of its own (this process may hold the suite's
single-process cluster). Work spreads over the nodes and gives the state a thread run
gives; a Ray node killed mid-superstep loses nothing and folds nothing twice; a node
pinned to a dead Ray node fails by name instead of waiting forever.

The cluster takes some 20 s and both cores; like the suite's other Ray tests the module runs
on one interpreter of `make test` (skipped with ZELK_LIGHT=1).
"""

from __future__ import annotations

import json
import os
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import time
from pathlib import Path
from typing import Any

import pytest
from conftest import LIGHT, LIGHT_REASON

if LIGHT:
    pytest.skip(LIGHT_REASON, allow_module_level=True)
zelk_runtime = pytest.importorskip("zelk_runtime")
pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
if "asan" in os.environ.get("LD_PRELOAD", ""):
    pytest.skip("Ray's own programs do not run under the sanitizer preload", allow_module_level=True)

import ray_nodes_driver  # noqa: E402
from zelk_runtime import run  # noqa: E402

RAY = Path(sys.executable).parent / "ray"
HERE = Path(__file__).parent
STARTUP = 45.0  # seconds the head may take to say it started


def free_ports(count: int) -> list[int]:
    """`count` distinct ports free at the moment (held open together, so none comes twice)."""
    probes = [socket.socket() for _ in range(count)]
    try:
        for probe in probes:
            probe.bind(("127.0.0.1", 0))
        return [int(probe.getsockname()[1]) for probe in probes]
    finally:
        for probe in probes:
            probe.close()


class LocalCluster:
    """Three Ray nodes on this machine, each a `ray start --block` in a process group of its
    own with its own temporary directory and ports, so that one can be killed whole and
    the others stopped without touching any other Ray on the machine."""

    def __init__(self, root: Path) -> None:
        self.root = root
        # Every port of every node chosen at once: the GCS, the head's dashboard, and per node
        # its node manager, object manager, agents and metrics.
        self.ports = free_ports(2 + 6 * 3)
        self.port = self.ports.pop()
        self.address = f"127.0.0.1:{self.port}"
        self.nodes: dict[str, subprocess.Popen[bytes]] = {}
        self.temps: list[str] = []
        runtime = Path(zelk_runtime.__file__).parent.parent  # the workers import the runtime under test
        path = [str(runtime), str(HERE), *filter(None, os.environ.get("PYTHONPATH", "").split(os.pathsep))]
        self.env = {
            **os.environ,
            "PYTHONPATH": os.pathsep.join(path),
            "RAY_AUTH_MODE": "disabled",  # a throwaway cluster on the loopback address
            "RAY_USAGE_STATS_ENABLED": "0",
            # A killed node is noticed within a couple of seconds rather than half a minute.
            "RAY_health_check_initial_delay_ms": "0",
            "RAY_health_check_period_ms": "500",
            "RAY_health_check_timeout_ms": "500",
            "RAY_health_check_failure_threshold": "3",
        }
        self.env.pop("RAY_ADDRESS", None)

    def _start(self, name: str, *arguments: str) -> None:
        temp = tempfile.mkdtemp(prefix=f"zr-{name}-", dir="/tmp")  # short: Ray's socket paths are limited
        self.temps.append(temp)
        options = ("node-manager", "object-manager", "dashboard-agent-listen", "dashboard-agent-grpc")
        options += ("runtime-env-agent", "metrics-export")
        ports = {f"--{option}-port": self.ports.pop() for option in options}
        command = [
            str(RAY),
            "start",
            "--block",
            "--num-cpus=1",
            f"--resources={json.dumps({name: 1})}",
            f"--temp-dir={temp}",
            "--node-ip-address=127.0.0.1",
            f"--object-store-memory={100 * 2**20}",
            "--disable-usage-stats",
            *(f"{option}={port}" for option, port in ports.items()),
            *arguments,
        ]
        log = open(self.root / f"{name}.log", "wb")  # the node writes to it; closed here once handed over
        process = subprocess.Popen(
            command, env=self.env, stdout=log, stderr=subprocess.STDOUT, start_new_session=True, cwd=self.root
        )
        log.close()
        self.nodes[name] = process

    def start(self) -> None:
        self._start(
            "head_node",
            "--head",
            f"--port={self.port}",
            "--include-dashboard=false",
            f"--dashboard-port={self.ports.pop()}",
        )
        self._started("head_node")
        for name in ("node_a", "node_b"):
            self._start(name, f"--address={self.address}")
        for name in ("node_a", "node_b"):
            self._started(name)

    def _started(self, name: str) -> None:
        """Wait until the node says it started; RuntimeError with its log if it ends or takes too long."""
        deadline = time.monotonic() + STARTUP
        while b"Ray runtime started" not in self.log(name):
            if self.nodes[name].poll() is not None or time.monotonic() > deadline:
                raise RuntimeError(f"Ray node {name} did not start: {self.log(name)[-1500:].decode(errors='replace')}")
            time.sleep(0.2)

    def log(self, name: str) -> bytes:
        return (self.root / f"{name}.log").read_bytes()

    def stop(self) -> None:
        """Kill every process group started here (each node's raylet, workers and agents)."""
        for process in self.nodes.values():
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for process in self.nodes.values():
            process.wait(timeout=30)
        time.sleep(0.5)
        for process in self.nodes.values():  # anything a node started outside its group by then
            try:
                os.killpg(process.pid, signal.SIGKILL)
            except ProcessLookupError:
                pass
        for temp in self.temps:
            shutil.rmtree(temp, ignore_errors=True)


@pytest.fixture(scope="module")
def cluster_run(tmp_path_factory: pytest.TempPathFactory) -> dict[str, Any]:
    """The driver's report of the three scenarios on a fresh three-node cluster."""
    root = tmp_path_factory.mktemp("ray-nodes")
    cluster = LocalCluster(root)
    began = time.perf_counter()
    try:
        try:
            cluster.start()
        except (OSError, RuntimeError) as error:
            pytest.skip(f"the local Ray cluster did not start: {error}")
        command = [
            sys.executable,
            str(HERE / "ray_nodes_driver.py"),
            "--work",
            str(root),
            "--kill-group",
            str(cluster.nodes["node_a"].pid),
        ]
        env = {**cluster.env, "RAY_ADDRESS": cluster.address}
        done = subprocess.run(command, env=env, cwd=root, capture_output=True, timeout=150)
        if done.returncode == ray_nodes_driver.INCOMPLETE:
            pytest.skip(f"the local Ray cluster did not start: {done.stderr.decode(errors='replace').strip()[-500:]}")
        if done.returncode != 0:
            logs = "\n".join(
                f"== {name}\n{cluster.log(name)[-1500:].decode(errors='replace')}" for name in cluster.nodes
            )
            raise AssertionError(
                f"the driver failed ({done.returncode}):\n{done.stderr.decode(errors='replace')[-4000:]}\n{logs}"
            )
        report: dict[str, Any] = json.loads(done.stdout.decode().strip().splitlines()[-1])
    finally:
        cluster.stop()
    report["total"] = round(time.perf_counter() - began, 2)
    report["port"] = cluster.port
    print("timings:", {key: report[key]["seconds"] for key in ("spread", "kill", "stranded")}, report["total"])
    return report


def on_threads(tmp_path: Path, **options: Any) -> dict[str, Any]:
    """The state a thread run of the driver's graph ends with (no Ray involved)."""
    result = run(ray_nodes_driver.build_graph(**options), tmp_path / "threads", executor="threads", progress=None)
    return result.state


def without_places(state: dict[str, Any]) -> dict[str, Any]:
    return {channel: value for channel, value in state.items() if channel != "ran_on"}


def places(state: dict[str, Any]) -> dict[str, str]:
    return dict(state["ran_on"])


def test_work_spreads_over_the_nodes_and_ends_as_on_threads(cluster_run, tmp_path):
    spread, nodes = cluster_run["spread"], cluster_run["nodes"]
    assert cluster_run["address"].endswith(f":{cluster_run['port']}")  # RAY_ADDRESS was followed
    assert without_places(spread["state"]) == without_places(on_threads(tmp_path))
    ran = places(spread["state"])
    work = {place for name, place in ran.items() if name.startswith("work")}
    assert work <= set(nodes.values()) and len(work) >= 2, ran
    assert ran["join"] == nodes["node_b"]  # its policy pins it there
    assert set(spread["finished"].values()) == {1} and len(spread["finished"]) == 8


def test_a_ray_node_killed_mid_superstep_loses_and_repeats_nothing(cluster_run, tmp_path):
    kill, nodes = cluster_run["kill"], cluster_run["nodes"]
    assert kill["killed_after"] is not None, "no work started on node_a"
    assert kill["alive"] == ["head_node", "node_b"]
    assert without_places(kill["state"]) == without_places(on_threads(tmp_path))
    assert kill["state"]["count"] == 6  # each instance folded once
    # The instance node_a was running when it died ran again elsewhere; its result came back once.
    starts: dict[str, list[str]] = {}
    for line in kill["marks"]:
        index, node = line.split()
        starts.setdefault(f"work {index}", []).append(node)
    lost = [name for name, where in starts.items() if where[0] == nodes["node_a"]]
    assert lost, starts
    ran = places(kill["state"])
    for name in lost:
        assert len(starts[name]) == 2 and ran[name] == starts[name][1] != nodes["node_a"], (name, starts, ran)
    assert set(kill["finished"].values()) == {1} and len(kill["finished"]) == 8


def test_a_node_pinned_to_a_dead_ray_node_fails_by_name(cluster_run):
    stranded = cluster_run["stranded"]
    assert (stranded["node"], stranded["superstep"]) == ("lonely", 0)
    assert "no live Ray node could run it for 2 s" in stranded["error"]
    assert "'node_a': 1.0" in stranded["error"]
    assert stranded["seconds"] < 10
