"""The README's runtime examples run, and print what their comments say."""

from __future__ import annotations

import contextlib
import io
import re
from pathlib import Path

import pytest

pytest.importorskip("zelk_runtime")

README = Path(__file__).resolve().parents[2] / "README.md"


def test_the_runtime_examples_print_what_they_say(tmp_path, monkeypatch):
    text = README.read_text(encoding="utf-8")
    section = text[text.index("## The runtime in one minute") : text.index("## The module's API")]
    blocks = re.findall(r"```python\n(.*?)```", section, re.S)
    assert len(blocks) >= 5
    expected = [line.split("# ", 1)[1] for block in blocks for line in block.splitlines() if "print(" in line]
    monkeypatch.chdir(tmp_path)  # the examples keep their runs under runs/
    printed = io.StringIO()
    namespace: dict[str, object] = {}
    with contextlib.redirect_stdout(printed), contextlib.redirect_stderr(io.StringIO()):
        for block in blocks:
            exec(compile(block, str(README), "exec"), namespace)
    lines = printed.getvalue().splitlines()
    assert len(lines) == len(expected)
    for line, comment in zip(lines, expected, strict=True):
        assert comment.startswith(line), (line, comment)
