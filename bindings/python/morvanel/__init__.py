"""Morvanel from Python: procedural sound effects and music from short text scripts.

    import morvanel

    with morvanel.Engine(48000) as engine:
        engine.parse("coin = { dur(~0.06) { @loop sqr(b5) } dur(~0.3) { fadeout(~0.3) @loop sqr(e6) } }",
                     check=True)
        engine.start("coin")
        samples = engine.render(seconds=0.4)      # NumPy float32 array (array('f') without NumPy)
        engine.write_wav("coin.wav", samples)

The binding is pure Python over ctypes: it loads the Morvanel shared library from MORVANEL_LIBRARY,
from next to this package, or from the system loader's path."""
from ._library import MorvanelError, load_library
from .engine import Box, Diagnostic, Engine, ParseResult, ScriptError, parse_log
from .wav import write_wav

__version__ = "1.0.0"

__all__ = ["Box", "Diagnostic", "Engine", "MorvanelError", "ParseResult", "ScriptError", "load_library",
           "parse_log", "write_wav", "__version__"]
