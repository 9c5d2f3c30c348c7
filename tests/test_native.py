"""The native test programs of the pure cores (built by `make test` into ZELK_DEV_BUILD).

Each prints its own tally; a line starting with SKIP (for instance the SHA-extensions path
on a CPU without them) becomes a visible pytest skip.
"""

import os
import pathlib
import subprocess

import pytest

BUILD = pathlib.Path(os.environ.get("ZELK_DEV_BUILD", "/nonexistent"))
# Every native test source has its program in the build.
PROGRAMS = sorted(p.stem for p in (pathlib.Path(__file__).parent / "native").glob("test_*.cpp"))


@pytest.mark.parametrize("name", PROGRAMS)
def test_native_program(name):
    program = BUILD / name
    if not program.exists():
        pytest.skip(f"{program} not built (run through `make test`)")
    done = subprocess.run([program], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
    skipped = [line for line in done.stdout.splitlines() if line.startswith("SKIP")]
    if skipped:
        pytest.skip("; ".join(skipped))
