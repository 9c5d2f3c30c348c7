"""Shared fixtures: the host's own error messages, the test-only probe module, and one local
Ray cluster for the runtime tests. (One conftest for the whole suite: tests import helpers
from it as `conftest`, which a second conftest.py in a subfolder would shadow.)"""

import ctypes
import importlib.machinery
import importlib.util
import os
import pathlib

import pytest


def host_error(function_name, argument, restype=ctypes.c_double):
    """The exception the host's C API function raises for `argument`, computed live."""
    function = getattr(ctypes.pythonapi, function_name)
    function.argtypes = [ctypes.py_object]
    function.restype = restype
    try:
        function(argument)
    except BaseException as error:  # we want whatever the host raises
        return error
    raise AssertionError(f"{function_name}({argument!r}) did not fail")


def host_message(function_name, argument, restype=ctypes.c_double):
    return str(host_error(function_name, argument, restype))


@pytest.fixture(scope="session")
def probe():
    """The companion module built from the same frame, absent from the wheel."""
    build = os.environ.get("ZELK_DEV_BUILD")
    if not build:
        pytest.skip("ZELK_DEV_BUILD is not set (run through `make test`)")
    path = next(pathlib.Path(build).glob("_zelk_probe*.so"), None)
    if path is None:
        pytest.skip(f"no probe module in {build}")
    loader = importlib.machinery.ExtensionFileLoader("_zelk_probe", str(path))
    found = importlib.util.spec_from_file_location("_zelk_probe", str(path), loader=loader)
    module = importlib.util.module_from_spec(found)
    loader.exec_module(module)
    return module


@pytest.fixture(scope="session")
def ray_cluster():
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
