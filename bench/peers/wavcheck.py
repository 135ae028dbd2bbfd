#!/usr/bin/env python3
"""Checks that a peer's rendered WAV file really holds the benchmark's workload before its speed
counts: the requested length at the requested rate, a square of the expected level (all voices in
phase, so the level tells how many voices sounded) and a fundamental of 480 Hz.

Standard library only, so the comparison runs on a machine without numpy.
Run with --self-test to see the check accept a right render and refuse wrong ones."""

import array
import math
import os
import struct
import sys
import tempfile

PITCH_HZ = 480.0
PITCH_TOLERANCE = 0.01  # relative
# Relative, on both peaks and on every sample of the square: under half of one voice's share of a
# 1024-voice mix, so a render that dropped a voice fails.
LEVEL_TOLERANCE = 0.0005

_FORMAT_PCM = 1
_FORMAT_FLOAT = 3
_FORMAT_EXTENSIBLE = 0xFFFE


def read_wav(path):
    """Returns (sample rate, channel count, first channel as a list of floats in [-1, 1] for PCM).
    Reads PCM 8/16/24/32 and float 32/64, plain or WAVE_FORMAT_EXTENSIBLE; the wave module of the
    standard library refuses float files, which two of the peers write."""
    with open(path, "rb") as f:
        data = f.read()
    if len(data) < 12 or data[0:4] != b"RIFF" or data[8:12] != b"WAVE":
        raise ValueError("not a RIFF/WAVE file")
    fmt = None
    samples = None
    pos = 12
    while pos + 8 <= len(data):
        chunk_id = data[pos:pos + 4]
        (size,) = struct.unpack_from("<I", data, pos + 4)
        if chunk_id == b"data" and (size == 0 or pos + 8 + size > len(data)):
            # A writer that streams may leave the data size at 0 or too large: take what is there.
            size = len(data) - pos - 8
        body = data[pos + 8:pos + 8 + size]
        if chunk_id == b"fmt ":
            tag, channels, rate = struct.unpack_from("<HHI", body, 0)
            (bits,) = struct.unpack_from("<H", body, 14)
            if tag == _FORMAT_EXTENSIBLE and len(body) >= 26:
                (tag,) = struct.unpack_from("<H", body, 24)
            fmt = (tag, channels, rate, bits)
        elif chunk_id == b"data":
            samples = body
        pos += 8 + size + (size & 1)
    if fmt is None or samples is None:
        raise ValueError("no fmt or data chunk")
    tag, channels, rate, bits = fmt
    width = bits // 8
    usable = len(samples) - len(samples) % (width * channels)
    samples = samples[:usable]
    if tag == _FORMAT_FLOAT and bits in (32, 64):
        values = array.array("f" if bits == 32 else "d")
        values.frombytes(samples)
        scale = 1.0
    elif tag == _FORMAT_PCM and bits in (16, 32):
        values = array.array("h" if bits == 16 else "i")
        values.frombytes(samples)
        scale = 1.0 / (1 << (bits - 1))
    elif tag == _FORMAT_PCM and bits == 24:
        values = [int.from_bytes(samples[i:i + 3], "little", signed=True)
                  for i in range(0, len(samples), 3)]
        scale = 1.0 / (1 << 23)
    elif tag == _FORMAT_PCM and bits == 8:
        values = [b - 128 for b in samples]
        scale = 1.0 / 128
    else:
        raise ValueError("unsupported sample format (tag %d, %d bits)" % (tag, bits))
    if sys.byteorder != "little" and isinstance(values, array.array):
        values.byteswap()
    first = values[0::channels] if channels > 1 else values
    return rate, channels, [v * scale for v in first]


def check(path, rate, seconds, expected_peak, block=4096):
    """Returns None when `path` holds `seconds` of a naive 480 Hz square at `rate` whose two levels
    are +-expected_peak, else a one-line reason. The file may run up to `block`
    frames past the end, since peers write whole blocks."""
    try:
        file_rate, _, x = read_wav(path)
    except (OSError, ValueError, struct.error) as error:
        return "unreadable output (%s)" % error
    if file_rate != rate:
        return "sample rate %d, not %d" % (file_rate, rate)
    wanted = int(round(seconds * rate))
    if not wanted <= len(x) <= wanted + block:
        return "%d frames, expected %d" % (len(x), wanted)
    top = max(x)
    bottom = min(x)
    if top <= 0.0 or abs(top - expected_peak) > LEVEL_TOLERANCE * expected_peak:
        return "peak %.4g, expected %.4g" % (top, expected_peak)
    if abs(-bottom - expected_peak) > LEVEL_TOLERANCE * expected_peak:
        return "trough %.4g, expected %.4g" % (bottom, -expected_peak)
    # A naive square sits on its two levels; a band-limited one rings around them and a sine
    # passes through everything in between.
    off_level = sum(1 for v in x if abs(abs(v) - expected_peak) > LEVEL_TOLERANCE * expected_peak)
    if off_level > 0.01 * len(x):
        return "%.1f%% of samples off the two levels: not a naive square" % (100.0 * off_level / len(x))
    # Rising zero crossings: one per period of a bipolar square, whatever its duty cycle.
    first = last = None
    edges = 0
    previous = x[0]
    for i in range(1, len(x)):
        current = x[i]
        if previous < 0.0 <= current:
            if first is None:
                first = i
            last = i
            edges += 1
        previous = current
    if edges < 3:
        return "%d rising edges, not a periodic wave" % edges
    pitch = (edges - 1) * rate / (last - first)
    if abs(pitch - PITCH_HZ) > PITCH_TOLERANCE * PITCH_HZ:
        return "pitch %.2f Hz, expected %.0f Hz" % (pitch, PITCH_HZ)
    return None


def write_wav(path, rate, samples, float_format):
    """Writes mono samples as float32 or 16-bit PCM (for the self-test)."""
    if float_format:
        payload = array.array("f", samples)
        tag, bits = _FORMAT_FLOAT, 32
    else:
        payload = array.array("h", [max(-32768, min(32767, int(round(v * 32767)))) for v in samples])
        tag, bits = _FORMAT_PCM, 16
    if sys.byteorder != "little":
        payload.byteswap()
    body = payload.tobytes()
    fmt = struct.pack("<HHIIHH", tag, 1, rate, rate * bits // 8, bits // 8, bits)
    with open(path, "wb") as f:
        f.write(b"RIFF" + struct.pack("<I", 4 + 8 + len(fmt) + 8 + len(body)) + b"WAVE")
        f.write(b"fmt " + struct.pack("<I", len(fmt)) + fmt)
        f.write(b"data" + struct.pack("<I", len(body)) + body)


def _square(rate, seconds, hz, level, duty=0.5):
    count = int(round(rate * seconds))
    return [level if (i * hz / rate) % 1.0 < duty else -level for i in range(count)]


def self_test():
    """Each case names the reason the check must give (None: it must accept the file), so every
    test of the check is seen to act on its own; returns the number of failures."""
    rate, seconds = 48000, 0.5
    count = int(rate * seconds)
    cases = [
        ("right square, float", _square(rate, seconds, 480, 6.4), True, 6.4, None),
        ("right square, 16-bit", _square(rate, seconds, 480, 0.1), False, 0.1, None),
        ("right pitch, 30% duty", _square(rate, seconds, 480, 0.1, 0.3), True, 0.1, None),
        ("440 Hz", _square(rate, seconds, 440, 0.1), True, 0.1, "pitch"),
        ("485 Hz (just over 1%)", _square(rate, seconds, 485, 0.1), True, 0.1, "pitch"),
        ("silence", [0.0] * count, True, 0.1, "peak"),
        ("one voice of 64", _square(rate, seconds, 480, 0.1), True, 6.4, "peak"),
        ("1023 voices of 1024", _square(rate, seconds, 480, 102.3), True, 102.4, "peak"),
        ("1023 voices of 1024, 16-bit", _square(rate, seconds, 480, 0.8 * 1023 / 1024), False,
         0.8, "peak"),
        ("right square, 16-bit near full scale", _square(rate, seconds, 480, 0.8), False, 0.8,
         None),
        ("unipolar square", [v + 0.1 for v in _square(rate, seconds, 480, 0.1)], True, 0.2,
         "trough"),
        ("half the length", _square(rate, seconds / 2, 480, 0.1), True, 0.1, "frames"),
        ("480 Hz sine", [0.1 * math.sin(2 * math.pi * 480 * i / rate) for i in range(count)],
         True, 0.1, "naive square"),
        ("square with 3-sample ramps", [0.1 * max(-1.0, min(1.0, (25 - abs(i % 100 - 50)) / 1.5))
                                        for i in range(count)], True, 0.1, "naive square"),
        ("two steps up", [0.1 if (4 * i // count) % 2 else -0.1 for i in range(count)],
         True, 0.1, "rising edges"),
    ]
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "case.wav")
        for name, samples, float_format, peak, reason in cases:
            write_wav(path, rate, samples, float_format)
            verdict = check(path, rate, seconds, peak)
            if (verdict is None) != (reason is None) or (reason and reason not in verdict):
                failures += 1
                print("FAIL %s: %s" % (name, verdict or "accepted"))
        write_wav(path, 44100, _square(44100, seconds, 480, 0.1), True)
        verdict = check(path, rate, seconds, 0.1)
        if verdict is None or "sample rate" not in verdict:
            failures += 1
            print("FAIL 44.1 kHz file: %s" % (verdict or "accepted"))
    print("wavcheck self-test: %d passed, %d failed" % (len(cases) + 1 - failures, failures))
    return failures


def main(argv):
    if argv[1:] == ["--self-test"]:
        return 1 if self_test() else 0
    if len(argv) != 5:
        print("usage: wavcheck.py FILE RATE SECONDS EXPECTED_PEAK | --self-test", file=sys.stderr)
        return 2
    verdict = check(argv[1], int(argv[2]), float(argv[3]), float(argv[4]))
    print(verdict or "ok")
    return 0 if verdict is None else 1


if __name__ == "__main__":
    sys.exit(main(sys.argv))
