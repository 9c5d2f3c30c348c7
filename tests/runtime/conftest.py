"""Fixtures the runtime tests share: one local Ray cluster for the whole session."""

from __future__ import annotations

import os
from collections.abc import Iterator
from typing import Any

import pytest


@pytest.fixture(scope="session")
def ray_cluster() -> Iterator[Any]:
    """A local two-CPU Ray cluster, started once; skipped without Ray or under the sanitizer
    preload (Ray's own programs do not run there)."""
    ray = pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("Ray's own programs do not run under the sanitizer preload")
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    if started:
        ray.shutdown()
