"""Writing samples to a WAV file with the standard library's wave module."""
from __future__ import annotations

import array
import os
import sys
import wave
from typing import Any, Iterable


def write_wav(path: str | os.PathLike[str], samples: Iterable[float] | Any, sample_rate: int) -> None:
    """Writes mono `samples` (floats, full scale 1.0; louder values are clipped) to `path` as a
    16-bit PCM WAV file at `sample_rate`."""
    if isinstance(sample_rate, bool) or not isinstance(sample_rate, int) or sample_rate <= 0:
        raise ValueError(f"sample_rate must be a positive int, not {sample_rate!r}")
    try:
        import numpy
    except ImportError:
        numpy = None  # type: ignore[assignment]
    if numpy is not None and isinstance(samples, numpy.ndarray):
        frames = (numpy.clip(samples, -1.0, 1.0) * 32767.0).round().astype("<i2").tobytes()
    else:
        pcm = array.array("h", (round(max(-1.0, min(1.0, float(x))) * 32767.0) for x in samples))
        if sys.byteorder == "big":
            pcm.byteswap()
        frames = pcm.tobytes()
    with wave.open(os.fspath(path), "wb") as file:
        file.setnchannels(1)
        file.setsampwidth(2)
        file.setframerate(sample_rate)
        file.writeframes(frames)
