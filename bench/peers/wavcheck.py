#!/usr/bin/env python3
"""Checks that a peer's rendered WAV file really holds the benchmark's workload before its speed
counts: the requested length at the requested rate, a square of the expected level (all voices in
phase, so the level tells how many voices sounded) and a fundamental of 480 Hz. check_melody and
check_fade do the same for a melody of squares (every rising edge where the notes put it) and for
a long fade-in or fade-out (the level follows the ramp, the pitch is 480 Hz).

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


def _length_verdict(x, rate, file_rate, seconds, block):
    if file_rate != rate:
        return "sample rate %d, not %d" % (file_rate, rate)
    wanted = int(round(seconds * rate))
    if not wanted <= len(x) <= wanted + block:
        return "%d frames, expected %d" % (len(x), wanted)
    return None


def _rising_edges(x):
    """Indices of the samples where the signal rises from below zero to zero or above."""
    return [i for i in range(1, len(x)) if x[i - 1] < 0.0 <= x[i]]


def melody_edges(rate, frames, notes):
    """Where a naive square played from phase 0 by a phase accumulator rises, for the notes
    [(period in samples, length in samples), ...] played round and round: the first sample at or
    after each whole number of cycles."""
    edges = []
    cycles = 0.0  # at the start of the current note
    start = 0
    index = 0
    while start < frames:
        period, length = notes[index]
        end = min(start + length, frames)
        k = math.floor(cycles) + 1
        while True:
            at = start + (k - cycles) * period
            if at >= end:
                break
            edges.append(math.ceil(at - 1e-9))
            k += 1
        cycles += (end - start) / period
        start = end
        index = (index + 1) % len(notes)
    return edges


def check_melody(path, rate, seconds, expected_peak, notes, block=4096, slack=2):
    """Returns None when `path` holds `seconds` of N voices in phase playing the notes
    [(period, length), ...] round and round as a naive square of levels +-expected_peak: the
    length, both levels, and every rising edge within `slack` samples of where the notes put it
    (so each pitch and each note's length are right), else a one-line reason."""
    try:
        file_rate, _, x = read_wav(path)
    except (OSError, ValueError, struct.error) as error:
        return "unreadable output (%s)" % error
    verdict = _length_verdict(x, rate, file_rate, seconds, block)
    if verdict:
        return verdict
    top = max(x)
    bottom = min(x)
    if top <= 0.0 or abs(top - expected_peak) > LEVEL_TOLERANCE * expected_peak:
        return "peak %.4g, expected %.4g" % (top, expected_peak)
    if abs(-bottom - expected_peak) > LEVEL_TOLERANCE * expected_peak:
        return "trough %.4g, expected %.4g" % (bottom, -expected_peak)
    off_level = sum(1 for v in x if abs(abs(v) - expected_peak) > LEVEL_TOLERANCE * expected_peak)
    if off_level > 0.01 * len(x):
        return "%.1f%% of samples off the two levels: not a naive square" % (100.0 * off_level / len(x))
    wanted = int(round(seconds * rate))
    heard = [i for i in _rising_edges(x) if i < wanted]
    expected = melody_edges(rate, wanted, notes)
    if abs(len(heard) - len(expected)) > 1:
        return "%d rising edges, the notes make %d: wrong pitches or note lengths" % (len(heard), len(expected))
    j = 0
    for i in heard:
        while j + 1 < len(expected) and expected[j + 1] <= i:
            j += 1
        nearest = min(abs(i - expected[j]), abs(i - expected[min(j + 1, len(expected) - 1)]))
        if nearest > slack:
            return "a rising edge at sample %d, %d samples from where the notes put one" % (i, nearest)
    return None


def check_fade(path, rate, seconds, full_level, fade_seconds, fade_in, block=4096, window=4800):
    """Returns None when `path` holds `seconds` of N voices in phase at 480 Hz under a linear fade
    of `fade_seconds` from silence (fade_in) or from full_level (not fade_in): the length, the
    pitch, and in every `window` the level the ramp gives within 1% of full_level. A fade-in is
    read from the peaks (largest at a window's end), a fade-out from the troughs (largest at its
    start), so the same check suits a square and a saw that starts each period at its minimum."""
    try:
        file_rate, _, x = read_wav(path)
    except (OSError, ValueError, struct.error) as error:
        return "unreadable output (%s)" % error
    verdict = _length_verdict(x, rate, file_rate, seconds, block)
    if verdict:
        return verdict
    wanted = int(round(seconds * rate))
    tolerance = 0.01 * full_level + 2.0 / 32768
    for start in range(0, wanted - window + 1, window):
        part = x[start:start + window]
        if fade_in:
            level = min(1.0, (start + window - 1) / (fade_seconds * rate))
            heard = max(part)
        else:
            level = max(0.0, 1.0 - start / (fade_seconds * rate))
            heard = -min(part)
        if abs(heard - level * full_level) > tolerance:
            return "level %.4g at %.2f s, the fade gives %.4g" % (heard, start / rate, level * full_level)
    edges = [i for i in _rising_edges(x) if i < wanted]
    if len(edges) < 3:
        return "%d rising edges, not a periodic wave" % len(edges)
    pitch = (len(edges) - 1) * rate / (edges[-1] - edges[0])
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
    more_cases, more_failures = _self_test_melody_and_fades(rate)
    failures += more_failures
    print("wavcheck self-test: %d passed, %d failed" % (len(cases) + 1 + more_cases - failures, failures))
    return failures


def _melody(rate, frames, notes, level):
    """N in-phase voices of a naive square melody from a phase accumulator, as a peer renders it."""
    out = []
    phase = 0.0
    index = 0
    left = notes[0][1]
    for _ in range(frames):
        out.append(level if phase < 0.5 else -level)
        phase += 1.0 / notes[index][0]
        phase -= math.floor(phase)
        left -= 1
        if left == 0:
            index = (index + 1) % len(notes)
            left = notes[index][1]
    return out


def _faded(rate, frames, fade_seconds, fade_in, level, hz=480.0, saw=False):
    out = []
    for i in range(frames):
        ramp = min(1.0, i / (fade_seconds * rate)) if fade_in else max(0.0, 1.0 - i / (fade_seconds * rate))
        phase = (i * hz / rate) % 1.0
        wave = 2.0 * phase - 1.0 if saw else (1.0 if phase < 0.5 else -1.0)
        out.append(level * ramp * wave)
    return out


def _self_test_melody_and_fades(rate):
    """The melody and fade checks on right renders and on renders wrong in one named way each;
    returns (cases, failures)."""
    seconds = 0.5
    frames = int(rate * seconds)
    notes = [(91, 100), (72, 100), (61, 100), (45, 100)]
    long_notes = [(91, 2400), (72, 2400)]
    melody_cases = [
        ("melody, 100-sample notes", _melody(rate, frames, notes, 3.2), notes, 3.2, None),
        ("melody, 2400-sample notes", _melody(rate, frames, long_notes, 3.2), long_notes, 3.2, None),
        ("melody, notes one sample longer", _melody(rate, frames, [(p, 101) for p, _ in notes], 3.2), notes, 3.2,
         "rising edge"),
        ("melody, one pitch a sample off", _melody(rate, frames, [(91, 100), (73, 100), (61, 100), (45, 100)], 3.2),
         notes, 3.2, "rising edge"),
        ("melody, notes in another order", _melody(rate, frames, [notes[1], notes[0], notes[2], notes[3]], 3.2),
         notes, 3.2, "rising edge"),
        ("melody, a voice missing", _melody(rate, frames, notes, 3.15), notes, 3.2, "peak"),
        ("square instead of the melody", _square(rate, seconds, 480, 3.2), notes, 3.2, "rising edge"),
    ]
    fade_cases = [
        ("fade-in over 10 s", _faded(rate, frames, 10.0, True, 6.4), True, 6.4, None),
        ("fade-out of a saw over 10 s", _faded(rate, frames, 10.0, False, 6.4, saw=True), False, 6.4, None),
        ("fade-in over 5 s", _faded(rate, frames, 5.0, True, 6.4), True, 6.4, "level"),
        ("fade-out over 20 s", _faded(rate, frames, 20.0, False, 6.4, saw=True), False, 6.4, "level"),
        ("no fade-in", _square(rate, seconds, 480, 6.4), True, 6.4, "level"),
        ("fade-in at 440 Hz", _faded(rate, frames, 10.0, True, 6.4, hz=440.0), True, 6.4, "pitch"),
    ]
    failures = 0
    with tempfile.TemporaryDirectory() as scratch:
        path = os.path.join(scratch, "case.wav")
        for name, samples, expected_notes, peak, reason in melody_cases:
            write_wav(path, rate, samples, True)
            verdict = check_melody(path, rate, seconds, peak, expected_notes)
            if (verdict is None) != (reason is None) or (reason and reason not in verdict):
                failures += 1
                print("FAIL %s: %s" % (name, verdict or "accepted"))
        for name, samples, fade_in, level, reason in fade_cases:
            write_wav(path, rate, samples, True)
            verdict = check_fade(path, rate, seconds, level, 10.0, fade_in)
            if (verdict is None) != (reason is None) or (reason and reason not in verdict):
                failures += 1
                print("FAIL %s: %s" % (name, verdict or "accepted"))
    return len(melody_cases) + len(fade_cases), failures


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
