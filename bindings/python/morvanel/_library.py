"""Finds and loads the Morvanel shared library and declares the C signatures of its functions."""
from __future__ import annotations

import ctypes
import ctypes.util
import os
import sys
import threading
from pathlib import Path


class MorvanelError(Exception):
    """Morvanel could not do what was asked: no library, a closed engine, a full queue..."""


def _file_names() -> list[str]:
    """The library's file names on this platform, the one with this binding's ABI version first."""
    if sys.platform == "win32":
        return ["morvanel.dll"]
    if sys.platform == "darwin":
        return ["libmorvanel.1.dylib", "libmorvanel.dylib"]
    return ["libmorvanel.so.1", "libmorvanel.so"]


_lock = threading.Lock()
_library: ctypes.CDLL | None = None


def load_library() -> ctypes.CDLL:
    """The loaded library, loading it on first use from, in order: the file MORVANEL_LIBRARY names
    (and nothing else when it is set), a library file next to this package, or the system loader's
    search path. Raises MorvanelError, naming the places it tried, when none loads."""
    global _library
    with _lock:
        if _library is None:
            _library = _declare(_open())
        return _library


def _open() -> ctypes.CDLL:
    explicit = os.environ.get("MORVANEL_LIBRARY")
    if explicit:
        try:
            return _checked(ctypes.CDLL(explicit), explicit)
        except OSError as error:
            raise MorvanelError(f"MORVANEL_LIBRARY={explicit} could not be loaded: {error}") from None

    tried: list[str] = []
    here = Path(__file__).resolve().parent
    for name in _file_names():
        path = here / name
        if path.exists():
            try:
                return _checked(ctypes.CDLL(str(path)), str(path))
            except OSError as error:
                tried.append(f"{path} ({error})")
    candidates = _file_names()
    found = ctypes.util.find_library("morvanel")
    if found and found not in candidates:
        candidates.append(found)
    for name in candidates:
        try:
            return _checked(ctypes.CDLL(name), name)
        except OSError:
            tried.append(name)
    raise MorvanelError(
        "the Morvanel library was not found (tried " + ", ".join(tried) + "): set MORVANEL_LIBRARY to "
        "its path, put it next to the morvanel package, or install it where the system loader looks")


def _checked(library: ctypes.CDLL, where: str) -> ctypes.CDLL:
    try:
        alive = library.AmIAlive
    except AttributeError:
        raise MorvanelError(f"{where} is not the Morvanel library: it has no AmIAlive function") from None
    alive.restype = ctypes.c_int
    alive.argtypes = []
    if alive() != 42:
        raise MorvanelError(f"{where} is not the Morvanel library: AmIAlive did not answer 42")
    return library


def _declare(library: ctypes.CDLL) -> ctypes.CDLL:
    c_int, c_float, c_char_p, c_void_p = ctypes.c_int, ctypes.c_float, ctypes.c_char_p, ctypes.c_void_p
    signatures: dict[str, tuple[object, list[object]]] = {
        "Initialize": (c_int, [c_int]),
        "NewInstance": (c_int, [c_int]),
        "DestroyInstance": (None, [c_int]),
        "GetBuffer": (c_int, [c_int, c_void_p, c_int]),
        "ParseString": (c_int, [c_char_p, c_int]),
        "StartVoice": (c_int, [c_char_p, c_int]),
        "ReleaseVoice": (None, [c_int, c_int]),
        "StopVoice": (None, [c_int, c_int]),
        "StopAllVoices": (None, [c_int]),
        # c_char_p results are copied into bytes at once: the library's buffers are reused later.
        "GetResponseString": (c_char_p, [c_int, c_int]),
        "MidiNoteOn": (None, [c_int, c_int, c_int]),
        "MidiNoteOff": (None, [c_int, c_int]),
        "SetVariable": (None, [c_char_p, c_float, c_int]),
        "ReportBoxesAsJson": (c_char_p, [c_int]),
        "ResetEngine": (None, [c_int]),
        "AmIAlive": (c_int, []),
        "MorvanelActiveVoices": (c_int, [c_int]),
    }
    for name, (result, arguments) in signatures.items():
        try:
            function = getattr(library, name)
        except AttributeError:
            raise MorvanelError(f"the Morvanel library lacks {name}: it is older than this binding") from None
        function.restype = result
        function.argtypes = arguments
    return library
