"""Helpers for the end-to-end tests of the morvanel tool: running it, and reading renders back with
other software than the one that wrote them (Python's wave module, sox's soxi)."""
import os
import struct
import subprocess
import tempfile
import unittest
import wave

TOOL = os.environ.get("MORVANEL_TOOL", "morvanel")
SOURCE = os.environ.get("MORVANEL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))


def run_tool(*args, cwd=None):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=cwd, timeout=120)


def soxi(path, flag):
    return subprocess.run(["soxi", flag, path], capture_output=True, text=True, check=True).stdout.strip()


def read_pcm16(path):
    """The samples of a 16-bit mono WAV as floats in -1..1, and its rate."""
    with wave.open(path) as file:
        assert file.getsampwidth() == 2 and file.getnchannels() == 1
        frames = file.readframes(file.getnframes())
        values = struct.unpack("<%dh" % (len(frames) // 2), frames)
        return [v / 32768.0 for v in values], file.getframerate()


def zero_crossing_frequency(samples, rate):
    """The frequency of a periodic stretch, by crossings of its mean (a saw ramp never goes below 0)."""
    mean = sum(samples) / len(samples)
    centred = [s - mean for s in samples]
    crossings = sum(1 for a, b in zip(centred, centred[1:]) if (a < 0) != (b < 0))
    return crossings / 2.0 / (len(samples) / rate)


class ToolTestCase(unittest.TestCase):
    def setUp(self):
        self.scratch = tempfile.TemporaryDirectory()
        self.dir = self.scratch.name

    def tearDown(self):
        self.scratch.cleanup()

    def script(self, name, text):
        path = os.path.join(self.dir, name)
        with open(path, "w") as file:
            file.write(text)
        return path

    def files(self):
        return sorted(os.listdir(self.dir))


def main():
    unittest.main(verbosity=2)
