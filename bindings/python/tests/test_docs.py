"""The Python examples of docs/python.md and of the README run as printed, and print what their
comments say."""
from __future__ import annotations

import contextlib
import io
import re
import sys
import types

import pytest

from conftest import SOURCE


def python_blocks(path, section=None):
    text = path.read_text()
    if section is not None:
        text = text.split(section, 1)[1].split("\n## ", 1)[0]
    return re.findall(r"```python\n(.*?)```", text, re.S)


@pytest.mark.parametrize("path,section,count", [
    ("docs/python.md", None, 4),
    ("README.md", "## Use it from ...", 1),
])
def test_examples_run_and_print_what_they_say(path, section, count, tmp_path, monkeypatch):
    blocks = python_blocks(SOURCE / path, section)
    assert len(blocks) == count
    played = []
    display = types.ModuleType("IPython.display")
    display.Audio = lambda data, rate: played.append((data, rate))  # type: ignore[attr-defined]
    ipython = types.ModuleType("IPython")
    ipython.display = display  # type: ignore[attr-defined]
    monkeypatch.setitem(sys.modules, "IPython", ipython)
    monkeypatch.setitem(sys.modules, "IPython.display", display)
    monkeypatch.chdir(tmp_path)

    namespace: dict[str, object] = {}
    for block in blocks:
        printed = io.StringIO()
        with contextlib.redirect_stdout(printed):
            exec(compile(block, f"{path} block", "exec"), namespace)
        said = [line.split("#", 1)[1].strip() for line in block.splitlines() if line.lstrip().startswith("print(") and "#" in line]
        assert [line.strip() for line in printed.getvalue().splitlines()] == said
        if "IPython" in block:
            assert len(played) == 1 and played[0][1] == 48000 and played[0][0] is namespace["samples"]
    for wav in ("coin.wav",) if section is None else ("zap.wav",):
        assert (tmp_path / wav).stat().st_size > 1000
