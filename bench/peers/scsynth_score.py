#!/usr/bin/env python3
"""Writes what SuperCollider's server needs to render the benchmark's workload without sclang: a
compiled SynthDef (binary format version 2) holding one naive square voice, and a non-realtime
command file (OSC bundles, each preceded by its big-endian length) that loads it, starts N voices
at time 0 and ends the render at the requested length.

Usage: scsynth_score.py VOICES SECONDS OUT.osc   (then: scsynth -N OUT.osc _ out.wav 48000 WAV float)"""

import struct
import sys

SYNTH_NAME = "mvsq"

_RATE_AUDIO = 2


def _pstring(text):
    raw = text.encode("ascii")
    return struct.pack(">B", len(raw)) + raw


def square_synthdef(hz=480.0, level=0.1):
    """One voice: LFPulse (not band-limited) at `hz` with half duty, moved from 0..1 to
    -level..+level by one MulAdd, added to output bus 0. Out sums, so N voices give the mix."""
    constants = [hz, 0.0, 0.5, 2.0 * level, -level]
    const = {value: index for index, value in enumerate(constants)}
    # (class, inputs as (ugen index or -1 for a constant, output or constant index), outputs)
    ugens = [
        ("LFPulse", [(-1, const[hz]), (-1, const[0.0]), (-1, const[0.5])], 1),
        ("MulAdd", [(0, 0), (-1, const[2.0 * level]), (-1, const[-level])], 1),
        ("Out", [(-1, const[0.0]), (1, 0)], 0),
    ]
    out = b"SCgf" + struct.pack(">ih", 2, 1) + _pstring(SYNTH_NAME)
    out += struct.pack(">i", len(constants)) + b"".join(struct.pack(">f", c) for c in constants)
    out += struct.pack(">i", 0)  # parameters
    out += struct.pack(">i", 0)  # parameter names
    out += struct.pack(">i", len(ugens))
    for name, inputs, outputs in ugens:
        out += _pstring(name) + struct.pack(">biih", _RATE_AUDIO, len(inputs), outputs, 0)
        out += b"".join(struct.pack(">ii", ugen, index) for ugen, index in inputs)
        out += bytes([_RATE_AUDIO]) * outputs
    out += struct.pack(">h", 0)  # variants
    return out


def _osc_string(text):
    raw = text.encode("ascii") + b"\0"
    return raw + b"\0" * (-len(raw) % 4)


def osc_message(address, *args):
    """An OSC message with int32, float32, string and blob arguments."""
    tags = ","
    data = b""
    for arg in args:
        if isinstance(arg, int):
            tags += "i"
            data += struct.pack(">i", arg)
        elif isinstance(arg, float):
            tags += "f"
            data += struct.pack(">f", arg)
        elif isinstance(arg, str):
            tags += "s"
            data += _osc_string(arg)
        else:
            tags += "b"
            data += struct.pack(">i", len(arg)) + arg + b"\0" * (-len(arg) % 4)
    return _osc_string(address) + _osc_string(tags) + data


def nrt_bundle(seconds, messages):
    """One entry of a non-realtime command file: length, then a bundle timed in seconds from the
    start of the render (32.32 fixed point)."""
    bundle = b"#bundle\0" + struct.pack(">Q", int(round(seconds * 2**32)))
    for message in messages:
        bundle += struct.pack(">i", len(message)) + message
    return struct.pack(">i", len(bundle)) + bundle


def nrt_score(voices, seconds):
    """Loads the voice, starts `voices` copies of it under the root node at time 0 and ends the
    render at `seconds`: a non-realtime render stops at its last command, so a harmless one sits
    there."""
    score = nrt_bundle(0.0, [osc_message("/d_recv", square_synthdef())])
    score += nrt_bundle(0.0, [osc_message("/s_new", SYNTH_NAME, -1, 0, 0) for _ in range(voices)])
    score += nrt_bundle(seconds, [osc_message("/c_set", 0, 0)])
    return score


def main(argv):
    if len(argv) != 4:
        print(__doc__.strip().splitlines()[-1], file=sys.stderr)
        return 2
    with open(argv[3], "wb") as f:
        f.write(nrt_score(int(argv[1]), float(argv[2])))
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
