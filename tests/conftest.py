"""Shared fixtures: the host's own error messages, the test-only probe module, one local Ray
cluster and a PostgreSQL server for the runtime tests. (One conftest for the whole suite:
tests import helpers from it as `conftest`, which a second conftest.py in a subfolder would
shadow.)"""

import ctypes
import importlib.machinery
import importlib.util
import os
import pathlib
import sys

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


# The heavy parts of the runtime's tests (a Ray cluster, a PostgreSQL server, a browser) run on
# one interpreter: `make test` sets ZELK_LIGHT=1 for the others, and the sanitizer, clang and
# wheel runs set it too (those check the module, which these parts do not reach).
LIGHT = os.environ.get("ZELK_LIGHT") == "1"
LIGHT_REASON = "Ray, PostgreSQL and browser tests run on one interpreter only (ZELK_LIGHT=1)"


def skip_when_light():
    if LIGHT:
        pytest.skip(LIGHT_REASON)


@pytest.fixture(scope="session")
def ray_cluster():
    """A local two-CPU Ray cluster, started once; skipped without Ray or under the sanitizer
    preload (Ray's own programs do not run there)."""
    skip_when_light()
    ray = pytest.importorskip("ray", reason="Ray is not installed for this interpreter")
    if "asan" in os.environ.get("LD_PRELOAD", ""):
        pytest.skip("Ray's own programs do not run under the sanitizer preload")
    started = not ray.is_initialized()
    if started:
        ray.init(num_cpus=2, include_dashboard=False, log_to_driver=False)
    yield ray
    if started:
        ray.shutdown()


@pytest.fixture(scope="session")
def pg_server():
    """A throwaway PostgreSQL server (runtime/pg_server.py), started once for the session.

    It lives here rather than in a conftest.py of runtime/: a second module named conftest
    would take the place of this one, which the tests import their helpers from.
    """
    skip_when_light()
    pytest.importorskip("psycopg", reason="psycopg is not installed (pip install 'psycopg[binary]')")
    runtime_tests = str(pathlib.Path(__file__).parent / "runtime")
    if runtime_tests not in sys.path:
        sys.path.insert(0, runtime_tests)
    from pg_server import PgServer, PgServerError

    try:
        server = PgServer()
    except PgServerError as error:
        pytest.skip(f"no PostgreSQL server: {error}")
    try:
        server.start()
    except PgServerError as error:
        server.close()
        pytest.skip(f"PostgreSQL did not start: {error}")
    try:
        yield server
    finally:
        server.close()


@pytest.fixture
def place(request):
    """Where a test keeps a run of a store kind (runtime/store_kinds.py): a path, or a run of
    its own in the session's PostgreSQL database."""
    pytest.importorskip("zelk_runtime")
    runtime_tests = str(pathlib.Path(__file__).parent / "runtime")
    if runtime_tests not in sys.path:
        sys.path.insert(0, runtime_tests)
    from store_kinds import Places

    return Places(request)
