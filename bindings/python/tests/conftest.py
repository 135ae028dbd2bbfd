"""Finds what the binding's tests run against: the library (MORVANEL_LIBRARY, else the release
build's), and the C reference renderer (MORVANEL_REFERENCE_RENDER, else compiled here from
tests/bindings/reference_render.c against that library)."""
from __future__ import annotations

import os
import shlex
import subprocess
import sys
from array import array
from pathlib import Path

import pytest

SOURCE = Path(__file__).resolve().parents[3]
sys.path.insert(0, str(SOURCE / "bindings" / "python"))

if not os.environ.get("MORVANEL_LIBRARY"):
    built = SOURCE / "build" / "release" / "libmorvanel.so.1"
    if not built.exists():
        pytest.exit("set MORVANEL_LIBRARY to the Morvanel library to test, or build build/release first", 2)
    os.environ["MORVANEL_LIBRARY"] = str(built)
LIBRARY = Path(os.environ["MORVANEL_LIBRARY"]).resolve()


def read_cases() -> list[tuple[str, int, list[str]]]:
    """The cases of tests/bindings/cases.txt as (name, rate, actions)."""
    cases = []
    for line in (SOURCE / "tests" / "bindings" / "cases.txt").read_text().splitlines():
        if line.strip() and not line.startswith("#"):
            name, rate, *actions = line.split()
            cases.append((name, int(rate), actions))
    return cases


@pytest.fixture(scope="session")
def reference_render(tmp_path_factory: pytest.TempPathFactory):
    """A function that renders a case through the C API and returns its samples."""
    program = os.environ.get("MORVANEL_REFERENCE_RENDER")
    if not program:
        program = str(tmp_path_factory.mktemp("reference") / "reference_render")
        command = ["cc", "-std=c11", "-O1", "-I", str(SOURCE / "include"), str(SOURCE / "tests" / "bindings" / "reference_render.c"),
                   str(LIBRARY), f"-Wl,-rpath,{LIBRARY.parent}", "-o", program]
        built = subprocess.run(command, capture_output=True, text=True)
        assert built.returncode == 0, f"{shlex.join(command)} failed:\n{built.stderr}"

    output = tmp_path_factory.mktemp("renders") / "samples.f32"

    def render(rate: int, actions: list[str]) -> array:
        run = subprocess.run([program, str(output), str(rate), *actions], cwd=SOURCE, capture_output=True, timeout=120)
        assert run.returncode == 0, run.stderr.decode()
        samples = array("f")
        samples.frombytes(output.read_bytes())
        return samples

    return render
