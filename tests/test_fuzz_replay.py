"""Every fuzz target of fuzz/ replayed over its corpus (built by `make test` into
ZELK_DEV_BUILD with the replay main); the parser target also over the conformance corpus
when it is beside the tree (../shared, or ZELK_SHARED). A failed property aborts."""

import os
import pathlib
import subprocess

import pytest

ROOT = pathlib.Path(__file__).resolve().parent.parent
BUILD = pathlib.Path(os.environ.get("ZELK_DEV_BUILD", "/nonexistent"))
TARGETS = sorted(p.stem for p in (ROOT / "fuzz").glob("*.cpp") if p.stem != "replay_main")
SHARED = pathlib.Path(os.environ.get("ZELK_SHARED", ROOT.parent / "shared"))
CONFORMANCE = SHARED / "testdata" / "jsontestsuite" / "parsing"


def corpora(name):
    found = [ROOT / "fuzz" / "corpus" / name]
    if name == "json_parse" and CONFORMANCE.is_dir():
        found.append(CONFORMANCE)
    return found


def test_every_target_has_a_corpus():
    assert TARGETS and all((ROOT / "fuzz" / "corpus" / name).is_dir() for name in TARGETS)


@pytest.mark.parametrize("name", TARGETS)
def test_replay(name):
    program = BUILD / f"fuzz_{name}"
    if not program.exists():
        pytest.skip(f"{program} not built (run through `make test`)")
    done = subprocess.run([program, *corpora(name)], capture_output=True, text=True, timeout=600)
    assert done.returncode == 0, done.stdout[-4000:] + done.stderr[-4000:]
