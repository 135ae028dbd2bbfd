"""The Python binding against the library built in the same run: renders equal to the C API's,
diagnostics with their positions, instances that do not outlive their engines, and one clear
exception wherever the binding cannot do what was asked."""
from __future__ import annotations

import ctypes
import ctypes.util
import gc
import os
import re
import shutil
import subprocess
import sys
import threading
import time
import wave
from array import array
from pathlib import Path

import numpy
import pytest

import morvanel
import morvanel.engine
from conftest import LIBRARY, SOURCE, read_cases

CASES = read_cases()


def play(engine: morvanel.Engine, actions: list[str]) -> list[float]:
    """Does a case's actions through the binding and returns every rendered sample, in order."""
    voices: list[int] = []
    out: list[float] = []
    for action in actions:
        verb, _, value = action.partition("=")
        if verb == "parse":
            engine.parse((SOURCE / value).read_text(), check=True)
        elif verb == "start":
            voices.append(engine.start(value))
        elif verb == "release":
            engine.release(voices[int(value) - 1])
        elif verb == "stop":
            engine.stop(voices[int(value) - 1])
        elif verb == "stopall":
            engine.stop()
        elif verb == "reset":
            engine.reset()
        elif verb == "note_on":
            note, velocity = value.split(",")
            engine.note_on(int(note), int(velocity))
        elif verb == "note_off":
            engine.note_off(int(value))
        elif verb == "set":
            name, number = value.split(",")
            engine.set_variable(name, float(number))
        elif verb == "render":
            samples = engine.render(int(value))
            assert len(samples) == int(value)
            out.extend(samples.tolist())
        else:
            raise AssertionError(f"unknown action {action}")
    return out


def assert_same_samples(actual: list[float], expected: array) -> None:
    assert len(actual) == len(expected)
    for index, (a, e) in enumerate(zip(actual, expected)):
        if a != e:
            pytest.fail(f"first differing sample {index}: binding {a!r}, C API {e!r}")
    assert any(expected), "the reference is silent; the case tests nothing"


@pytest.mark.parametrize("name,rate,actions", CASES, ids=[case[0] for case in CASES])
def test_renders_equal_the_c_api(name, rate, actions, reference_render):
    with morvanel.Engine(rate) as engine:
        assert_same_samples(play(engine, actions), reference_render(rate, actions))


def test_renders_equal_the_c_api_without_numpy(monkeypatch, reference_render):
    monkeypatch.setattr(morvanel.engine, "_numpy", None)
    name, rate, actions = CASES[0]
    with morvanel.Engine(rate) as engine:
        probe = engine.render(3)
        assert isinstance(probe, array) and probe.typecode == "f"
    with morvanel.Engine(rate) as engine:
        assert_same_samples(play(engine, actions), reference_render(rate, actions))


def expected_log(path: Path) -> str:
    """The log a corpus script states in its '// expect:' lines."""
    log = ""
    for line in path.read_text().splitlines():
        if line.startswith("// expect: "):
            log += line[len("// expect: "):] + "\n"
        elif line.startswith("// expect-unterminated: "):
            log += line[len("// expect-unterminated: "):]
    return log


ERROR_SCRIPTS = sorted((SOURCE / "tests" / "scripts" / "errors").glob("*.mv"))


@pytest.mark.parametrize("path", ERROR_SCRIPTS, ids=[p.stem for p in ERROR_SCRIPTS])
def test_diagnostics_carry_the_compilers_positions(path):
    expected = expected_log(path)
    stated = [(int(m.group(1)), int(m.group(2)), m.group(3))
              for m in re.finditer(r"LINE (\d+) COLUMN (\d+): ([^\n]*)", expected)]
    stated_diagnostics = [s for s in stated if not s[2].startswith("Compilation successful")]
    with morvanel.Engine(48000) as engine:
        result = engine.parse(path.read_text())
    assert result.log == expected
    assert [(d.line, d.column) for d in result.diagnostics] == [(s[0], s[1]) for s in stated_diagnostics]
    for diagnostic, (_, _, text) in zip(result.diagnostics, stated_diagnostics):
        assert text.endswith(diagnostic.message)
        assert diagnostic.severity == ("warning" if text.startswith("WARNING") else "error")
    compiled_to_end = len(stated) > len(stated_diagnostics)
    assert result.ok == (compiled_to_end and all(s[2].startswith("WARNING") for s in stated_diagnostics))


def test_check_raises_at_the_first_error():
    script = "beep = { sqr(@440) }\n\nbuzz = {\n    sqr(@220) fadeout(~0.1, 2)\n}\n"
    with morvanel.Engine(48000) as engine:
        with pytest.raises(morvanel.ScriptError) as raised:
            engine.parse(script, check=True)
        error = raised.value
        assert (error.line, error.column) == (error.diagnostics[0].line, error.diagnostics[0].column)
        assert error.line == 4 and error.column > 1
        assert str(error).startswith(f"line 4, column {error.column}: ")
        assert "LINE 4 COLUMN" in error.result.log
        # What compiled before the error stays; the same text without check only reports.
        assert "beep" in [box.name for box in engine.boxes()]
        assert not engine.parse(script).ok
        assert engine.parse("buffer(512)", check=True).diagnostics[0].severity == "note"


def test_boxes_lists_names_and_parameters():
    with morvanel.Engine(48000) as engine:
        assert engine.boxes() == []
        engine.parse((SOURCE / "examples" / "arpeggio.mv").read_text(), check=True)
        boxes = {box.name: box.parameters for box in engine.boxes()}
        assert boxes["tone"] == ("p",) and boxes["chord"] == ("a", "b", "c")
        engine.parse("lead*:%p:%v = { @loop sqr(%p) }", check=True)
        assert engine.boxes() == [morvanel.Box("lead", ("p", "v"))]


def is_missing(instance: int) -> bool:
    """Whether the library treats `instance` as missing (its calls return 0 or "")."""
    library = morvanel.load_library()
    sample = ctypes.c_float(7.0)
    return (library.GetBuffer(1, ctypes.addressof(sample), instance) == 0 and sample.value == 7.0
            and library.ReportBoxesAsJson(instance) == b"")


def test_engines_closed_or_dropped_leave_no_instance():
    closed, dropped = [], []
    for _ in range(400):
        with morvanel.Engine(8000) as engine:
            engine.parse("a = { sqr(@100) }")
            closed.append(engine.instance)
    for _ in range(400):
        engine = morvanel.Engine(8000)
        engine.start("a")
        dropped.append(engine.instance)
        del engine
    gc.collect()
    survivor = morvanel.Engine(8000)  # destroys what the collector handed over
    survivor_id = survivor.instance
    try:
        assert not is_missing(survivor_id)
        assert survivor_id > max(closed + dropped)
        still_there = [i for i in closed + dropped if not is_missing(i)]
        assert still_there == []
    finally:
        survivor.close()
    assert is_missing(survivor_id)


def test_a_closed_engine_refuses_every_call():
    engine = morvanel.Engine(48000)
    engine.close()
    engine.close()
    assert engine.closed and engine.instance == 0
    calls = [lambda: engine.parse(""), lambda: engine.start("a"), lambda: engine.render(1), lambda: engine.boxes(),
             lambda: engine.note_on(60), lambda: engine.set_variable("a", 1.0), lambda: engine.active_voices]
    for call in calls:
        with pytest.raises(morvanel.MorvanelError, match="closed"):
            call()


@pytest.mark.parametrize("call,error", [
    (lambda e: e.start("x" * 32), ValueError),
    (lambda e: e.start("é" * 16), ValueError),  # 32 bytes in UTF-8
    (lambda e: e.start(""), ValueError),
    (lambda e: e.start(b"coin"), TypeError),
    (lambda e: e.parse("a = {}\0"), ValueError),
    (lambda e: e.note_on(128), ValueError),
    (lambda e: e.note_on(60, -1), ValueError),
    (lambda e: e.note_off(True), TypeError),
    (lambda e: e.set_variable("ab", 1.0), ValueError),
    (lambda e: e.set_variable("%", 1.0), ValueError),
    (lambda e: e.render(), TypeError),
    (lambda e: e.render(10, seconds=1.0), TypeError),
    (lambda e: e.render(-1), ValueError),
    (lambda e: e.render(seconds=-0.5), ValueError),
    (lambda e: e.render(seconds=float("nan")), ValueError),
    (lambda e: e.render(2**31), ValueError),
    (lambda e: morvanel.Engine(0), ValueError),
    (lambda e: morvanel.Engine(48000.0), TypeError),
])
def test_bad_arguments_raise(call, error):
    with morvanel.Engine(48000) as engine:
        with pytest.raises(error):
            call(engine)


def test_a_full_command_queue_raises_instead_of_dropping():
    with morvanel.Engine(48000) as engine:
        engine.parse("a = { sqr(@100) }", check=True)
        voices = [engine.start("a") for _ in range(64)]
        assert len(set(voices)) == 64 and 0 not in voices
        with pytest.raises(morvanel.MorvanelError, match="queue is full"):
            engine.start("a")
        with pytest.raises(morvanel.MorvanelError, match="queue is full"):
            engine.parse("b = { sqr(@100) }")
        engine.render(1)
        assert engine.active_voices == 64
        assert engine.start("a") > voices[-1]


def test_render_by_seconds_and_until_the_voice_ends():
    with morvanel.Engine(44100) as engine:
        engine.parse("blip = dur(~0.01) { @loop sqr(@441) }", check=True)
        assert len(engine.render(seconds=0.5)) == 22050
        assert len(engine.render(seconds=0)) == 0
        engine.start("blip")
        samples = engine.render(441)
        assert samples.dtype == numpy.float32 and numpy.abs(samples).max() == pytest.approx(0.1)
        assert engine.active_voices == 1
        assert not engine.render(2).any() and engine.active_voices == 0


@pytest.mark.parametrize("use_numpy", [True, False])
def test_write_wav_reads_back(tmp_path, monkeypatch, use_numpy):
    if not use_numpy:
        monkeypatch.setattr(morvanel.engine, "_numpy", None)
    with morvanel.Engine(22050) as engine:
        engine.parse("tone = dur(~0.1) { @loop saw(@220) }", check=True)
        engine.start("tone")
        samples = engine.render(seconds=0.1)
        path = tmp_path / "tone.wav"
        engine.write_wav(path, samples)
    morvanel.write_wav(tmp_path / "loud.wav", [2.0, -2.0, 0.5, -0.25], 8000)
    with wave.open(str(path)) as file:
        assert (file.getnchannels(), file.getsampwidth(), file.getframerate(), file.getnframes()) == (1, 2, 22050, 2205)
        written = array("h", file.readframes(2205))
    if sys.byteorder == "big":
        written.byteswap()
    assert list(written) == [round(x * 32767) for x in list(samples)]
    with wave.open(str(tmp_path / "loud.wav")) as file:
        loud = array("h", file.readframes(4))
    if sys.byteorder == "big":
        loud.byteswap()
    assert list(loud) == [32767, -32767, 16384, -8192]


def test_parse_waits_for_the_thread_that_renders(monkeypatch):
    with morvanel.Engine(48000) as engine:
        stop = threading.Event()
        peaks: list[float] = []

        def audio() -> None:
            while not stop.is_set():
                peaks.append(float(numpy.abs(engine.render(64)).max()))
                time.sleep(0.001)

        thread = threading.Thread(target=audio)
        thread.start()
        try:
            while not peaks:
                time.sleep(0.001)
            assert "Parsed 1 boxes" in engine.parse("beep = { @loop sqr(@440) }", check=True).log
            engine.start("beep")
            deadline = time.monotonic() + 5
            while max(peaks) == 0 and time.monotonic() < deadline:
                time.sleep(0.001)
            assert max(peaks) == pytest.approx(0.1)
        finally:
            stop.set()
            thread.join()
        monkeypatch.setattr(morvanel.engine, "PARSE_TIMEOUT", 0.05)
        with pytest.raises(morvanel.MorvanelError, match="is it still rendering"):
            engine.parse("c = { sqr(@1) }")


def run_python(code: str, env: dict[str, str], cwd: Path) -> subprocess.CompletedProcess[str]:
    return subprocess.run([sys.executable, "-c", code], env=env, cwd=cwd, capture_output=True, text=True, timeout=60)


def test_library_is_found_next_to_the_package_or_named_by_the_environment(tmp_path):
    shutil.copytree(SOURCE / "bindings" / "python" / "morvanel", tmp_path / "morvanel",
                    ignore=shutil.ignore_patterns("__pycache__"))
    shutil.copy(LIBRARY, tmp_path / "morvanel" / "libmorvanel.so.1")
    env = {key: value for key, value in os.environ.items() if key not in ("MORVANEL_LIBRARY", "LD_LIBRARY_PATH")}
    code = "import morvanel, morvanel._library as l; morvanel.Engine(8000).close(); print(l._library._name)"
    beside = run_python(code, env, tmp_path)
    assert beside.returncode == 0, beside.stderr
    assert beside.stdout.strip() == str(tmp_path / "morvanel" / "libmorvanel.so.1")

    missing = run_python("import morvanel; morvanel.Engine(8000)", {**env, "MORVANEL_LIBRARY": str(tmp_path / "nowhere.so")}, tmp_path)
    assert missing.returncode != 0
    assert f"MorvanelError: MORVANEL_LIBRARY={tmp_path / 'nowhere.so'} could not be loaded" in missing.stderr

    not_ours = run_python("import morvanel; morvanel.Engine(8000)", {**env, "MORVANEL_LIBRARY": ctypes.util.find_library("m") or "libm.so.6"}, tmp_path)
    assert "is not the Morvanel library" in not_ours.stderr


def test_version_is_the_headers():
    header = (SOURCE / "include" / "morvanel.h").read_text()
    parts = [re.search(rf"#define MORVANEL_VERSION_{part} (\d+)", header).group(1) for part in ("MAJOR", "MINOR", "PATCH")]
    assert morvanel.__version__ == ".".join(parts)
