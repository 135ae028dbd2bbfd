"""Engine: one Morvanel instance with its scripts, voices and rendered samples; the parse log split
into diagnostics; the box report."""
from __future__ import annotations

import array
import ctypes
import json
import re
import threading
import time
from dataclasses import dataclass
from typing import TYPE_CHECKING, Literal, Optional, Sequence, Union

from ._library import MorvanelError, load_library
from .wav import write_wav

try:
    import numpy as _numpy
except ImportError:  # the binding works without NumPy: render() then returns array('f')
    _numpy = None  # type: ignore[assignment]

if TYPE_CHECKING:
    import os
    from types import TracebackType

    import numpy.typing

    Samples = Union["numpy.typing.NDArray[numpy.float32]", "array.array[float]"]

Severity = Literal["error", "warning", "note"]

MAX_SAMPLE_RATE = 1_000_000
MAX_START_TEXT = 31  # bytes of a start text the engine's command slot holds
PARSE_TIMEOUT = 2.0  # seconds parse() waits for another rendering thread to compile its script

_DIAGNOSTIC = re.compile(r"^LINE (\d+) COLUMN (\d+): ", re.MULTILINE)
_SUCCESS = "Compilation successful."
_VARIABLE = re.compile(r"%?[A-Za-z0-9_]")


@dataclass(frozen=True)
class Diagnostic:
    """One line of a parse log: a 1-based position and the compiler's message."""

    line: int
    column: int
    message: str
    severity: Severity

    def __str__(self) -> str:
        return f"{self.line}:{self.column}: {self.severity}: {self.message}"


@dataclass(frozen=True)
class ParseResult:
    """What the compiler said about a script.

    ``log`` is the whole log as the engine wrote it; ``diagnostics`` are its lines other than the
    success line; ``ok`` is true when the script compiled to its end without an error."""

    log: str
    diagnostics: tuple[Diagnostic, ...]
    ok: bool

    @property
    def errors(self) -> tuple[Diagnostic, ...]:
        return tuple(d for d in self.diagnostics if d.severity == "error")


def parse_log(log: str) -> ParseResult:
    """Splits a parse log ("LINE 3 COLUMN 7: message" lines) into diagnostics.

    Messages starting "WARNING: " are warnings, "... is not simulated" notices are notes, every
    other message is an error. The success line ends a log that compiled to the end."""
    matches = list(_DIAGNOSTIC.finditer(log))
    diagnostics = []
    reached_end = False
    for index, match in enumerate(matches):
        stop = matches[index + 1].start() if index + 1 < len(matches) else len(log)
        message = log[match.end():stop].rstrip("\r\n ")
        if message.startswith(_SUCCESS):
            reached_end = True
            continue
        severity: Severity = "error"
        if message.startswith("WARNING: "):
            severity, message = "warning", message[len("WARNING: "):]
        elif message.startswith("ERROR: "):
            message = message[len("ERROR: "):]
        elif "is not simulated" in message:
            severity = "note"
        diagnostics.append(Diagnostic(int(match.group(1)), int(match.group(2)), message, severity))
    ok = reached_end and all(d.severity != "error" for d in diagnostics)
    return ParseResult(log, tuple(diagnostics), ok)


class ScriptError(MorvanelError):
    """A script did not compile. ``line``, ``column`` and ``message`` are those of its first error;
    ``result`` holds the whole log and every diagnostic."""

    def __init__(self, result: ParseResult) -> None:
        self.result = result
        first = result.errors[0] if result.errors else None
        self.line = first.line if first else 0
        self.column = first.column if first else 0
        self.message = first.message if first else "the script did not compile to its end"
        super().__init__(f"line {self.line}, column {self.column}: {self.message}" if first else self.message)

    @property
    def diagnostics(self) -> tuple[Diagnostic, ...]:
        return self.result.diagnostics


@dataclass(frozen=True)
class Box:
    """A compiled box as the box report lists it: its name and its parameter letters."""

    name: str
    parameters: tuple[str, ...]


# Engines the garbage collector dropped without close(). The library forbids destroying an
# instance while any other call runs, and a collection can happen on any thread at any moment, so
# their instances are destroyed by the next Engine() or close(), which are set-up calls anyway.
_dropped: list[int] = []
_dropped_lock = threading.Lock()


def _destroy_dropped(library: ctypes.CDLL) -> None:
    with _dropped_lock:
        ids = _dropped[:]
        _dropped.clear()
    for instance in ids:
        library.DestroyInstance(instance)


def _encode(text: str, what: str) -> bytes:
    if not isinstance(text, str):
        raise TypeError(f"{what} must be a str, not {type(text).__name__}")
    data = text.encode("utf-8")
    if b"\0" in data:
        raise ValueError(f"{what} contains a NUL character")
    return data


def _checked_int(value: int, what: str, low: int, high: int) -> int:
    if isinstance(value, bool) or not isinstance(value, int):
        raise TypeError(f"{what} must be an int, not {type(value).__name__}")
    if not low <= value <= high:
        raise ValueError(f"{what} must be from {low} to {high}, not {value}")
    return value


class Engine:
    """One Morvanel engine instance.

    Create it with a sample rate, compile scripts with :meth:`parse`, start voices with
    :meth:`start` or :meth:`note_on`, and pull samples with :meth:`render`. Use it as a context
    manager, or call :meth:`close`, to destroy the instance at a known moment::

        with morvanel.Engine(48000) as engine:
            engine.parse(open("coin.mv").read(), check=True)
            engine.start("coin")
            samples = engine.render(seconds=0.5)

    Threads: one thread may render while one other thread makes the other calls (parse() then
    waits for the rendering thread to compile the script). Create and close engines while no other
    thread is inside a call of the library."""

    def __init__(self, sample_rate: int = 48000) -> None:
        self._id = 0
        self._render_thread: Optional[int] = None  # the thread that rendered last
        self._sample_rate = _checked_int(sample_rate, "sample_rate", 1, MAX_SAMPLE_RATE)
        self._library = load_library()
        _destroy_dropped(self._library)
        self._id = int(self._library.NewInstance(sample_rate))
        if self._id <= 0:
            raise MorvanelError(f"NewInstance returned {self._id}")

    @property
    def sample_rate(self) -> int:
        return self._sample_rate

    @property
    def instance(self) -> int:
        """The library's id of this instance (0 once closed)."""
        return self._id

    @property
    def closed(self) -> bool:
        return self._id == 0

    def close(self) -> None:
        """Destroys the instance. Calling it again does nothing; any other method then raises."""
        if self._id:
            self._library.DestroyInstance(self._id)
            self._id = 0
        _destroy_dropped(self._library)

    def __enter__(self) -> Engine:
        self._live()
        return self

    def __exit__(self, kind: Optional[type[BaseException]], value: Optional[BaseException],
                 traceback: Optional[TracebackType]) -> None:
        self.close()

    def __del__(self) -> None:
        if getattr(self, "_id", 0):
            try:
                with _dropped_lock:
                    _dropped.append(self._id)
            except Exception:  # the module is already torn down at interpreter exit
                pass
            self._id = 0

    def __repr__(self) -> str:
        state = f"instance {self._id}" if self._id else "closed"
        return f"<morvanel.Engine {self._sample_rate} Hz, {state}>"

    def _live(self) -> int:
        if not self._id:
            raise MorvanelError("the engine is closed")
        return self._id

    def parse(self, script: str, *, check: bool = False) -> ParseResult:
        """Compiles `script` and returns what the compiler said; with ``check=True`` raises
        ScriptError when it did not compile cleanly.

        When another thread renders this engine, parse() waits for it to compile the script at its
        next sample (PARSE_TIMEOUT seconds at most). Otherwise it compiles at once by running the
        engine for one sample, which is dropped: silence unless voices were already playing or the
        script starts some with run(). Boxes, variables and key maps of earlier scripts stay; a box
        of the same name is replaced."""
        instance = self._live()
        serial = self._library.ParseString(_encode(script, "script"), instance)
        if serial == 0:
            raise MorvanelError("the engine's command queue is full (64 commands wait for render())")

        def take_log() -> str:
            return (self._library.GetResponseString(serial, instance) or b"").decode("utf-8", "replace")

        renderer = self._render_thread
        if renderer is None or renderer == threading.get_ident():
            sample = ctypes.c_float()
            self._library.GetBuffer(1, ctypes.addressof(sample), instance)
            log = take_log()
            if not log:
                raise MorvanelError(
                    "the script was compiled but its log was dropped: the engine's response queue was full "
                    "(each key a midikey command maps posts a notice; about 190 fit)")
        else:
            deadline = time.monotonic() + PARSE_TIMEOUT
            while not (log := take_log()):
                if time.monotonic() > deadline:
                    raise MorvanelError(f"the thread that renders this engine did not compile the script within "
                                        f"{PARSE_TIMEOUT} s: is it still rendering?")
                time.sleep(0.001)
        result = parse_log(log)
        if check and not result.ok:
            raise ScriptError(result)
        return result

    def boxes(self) -> list[Box]:
        """The boxes the scripts defined, in name order (only the exported ones when the scripts mark
        any box with '*')."""
        report = (self._library.ReportBoxesAsJson(self._live()) or b"").decode("utf-8", "replace")
        if not report:
            raise MorvanelError("the box report does not fit the library's buffer of 16383 characters")
        try:
            entries = json.loads(report)
            return [Box(str(entry["Name"]), tuple(str(p) for p in entry.get("Parameters", ()))) for entry in entries]
        except (ValueError, KeyError, TypeError) as error:
            raise MorvanelError(f"the box report could not be read ({error}): {report!r}") from None

    def start(self, text: str) -> int:
        """Starts a voice at the next rendered sample and returns its id. `text` is a box name,
        optionally with ':' arguments ("lead:60:0.5"), at most 31 bytes. A name that matches no box
        starts nothing; boxes() lists the names there are."""
        data = _encode(text, "start text")
        if not data:
            raise ValueError("the start text is empty")
        if len(data) > MAX_START_TEXT:
            raise ValueError(f"the start text {text!r} is {len(data)} bytes long; the engine takes at most {MAX_START_TEXT}")
        voice = int(self._library.StartVoice(data, self._live()))
        if voice == 0:
            raise MorvanelError("the engine's command queue is full (64 commands wait for render())")
        return voice

    def release(self, voice: int) -> None:
        """Lets the looping parts of a voice leave their loop and play their release."""
        self._library.ReleaseVoice(_checked_int(voice, "voice", -2**31, 2**31 - 1), self._live())

    def stop(self, voice: Optional[int] = None) -> None:
        """Silences a voice at the next sample; every voice when `voice` is None."""
        if voice is None:
            self._library.StopAllVoices(self._live())
        else:
            self._library.StopVoice(_checked_int(voice, "voice", -2**31, 2**31 - 1), self._live())

    def note_on(self, note: int, velocity: int = 127) -> None:
        """Starts the box the scripts mapped to `note` with midikey(); unmapped notes do nothing."""
        self._library.MidiNoteOn(_checked_int(note, "note", 0, 127), _checked_int(velocity, "velocity", 0, 127), self._live())

    def note_off(self, note: int) -> None:
        """Releases the voices note_on started for `note`."""
        self._library.MidiNoteOff(_checked_int(note, "note", 0, 127), self._live())

    def set_variable(self, name: str, value: float) -> None:
        """Writes a global variable a script declared with global() or ccvar(); `name` is its
        letter, with or without the '%' ("d" or "%d"). A letter no script declared does nothing."""
        if not isinstance(name, str) or not _VARIABLE.fullmatch(name):
            raise ValueError(f"a variable name is one letter, digit or '_', optionally after '%', not {name!r}")
        letter = name[-1]
        self._library.SetVariable(("%" + letter).encode("ascii"), float(value), self._live())

    def reset(self) -> None:
        """At the next sample: stops every voice and drops boxes, key maps and queued commands. The
        sample rate and the global variables stay."""
        self._library.ResetEngine(self._live())

    @property
    def active_voices(self) -> int:
        """Voices still playing after the last rendered sample: 0 once a one-shot sound is over."""
        return int(self._library.MorvanelActiveVoices(self._live()))

    def render(self, samples: Optional[int] = None, *, seconds: Optional[float] = None) -> Samples:
        """Renders the next `samples` samples (or `seconds` of sound, rounded to whole samples): a
        NumPy float32 array when NumPy is installed, else an array('f'). Full scale is 1.0; each
        voice's sound is divided by 10, so one voice peaks at 0.1."""
        if (samples is None) == (seconds is None):
            raise TypeError("render() takes either a number of samples or seconds=")
        if seconds is not None:
            if not seconds >= 0:
                raise ValueError(f"seconds must be 0 or more, not {seconds}")
            samples = round(seconds * self._sample_rate)
        count = _checked_int(samples, "samples", 0, 2**31 - 1)  # type: ignore[arg-type]
        instance = self._live()
        self._render_thread = threading.get_ident()
        out: Samples
        if _numpy is not None:
            out = _numpy.empty(count, dtype=_numpy.float32)
            address = out.ctypes.data
        else:
            out = array.array("f", bytes(4 * count))
            address = out.buffer_info()[0]
        if count and self._library.GetBuffer(count, address, instance) != count:
            raise MorvanelError("GetBuffer rendered fewer samples than asked")
        return out

    def write_wav(self, path: str | os.PathLike[str], samples: Sequence[float] | Samples) -> None:
        """Writes `samples` to a 16-bit mono WAV file at this engine's sample rate."""
        write_wav(path, samples, self._sample_rate)
