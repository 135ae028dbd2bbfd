"""Helpers for the end-to-end tests of the morvanel tool: running it, and reading renders back with
other software than the one that wrote them (Python's wave module, sox's soxi)."""
import io
import os
import struct
import subprocess
import tempfile
import unittest
import wave

TOOL = os.environ.get("MORVANEL_TOOL", "morvanel")
SOURCE = os.environ.get("MORVANEL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))


def run_tool(*args, cwd=None, input=None):
    return subprocess.run([TOOL, *args], capture_output=True, text=True, cwd=cwd, timeout=120, input=input)


def run_tool_bytes(*args, input=None):
    """Runs the tool with bytes for standard input and output (audio on standard output)."""
    return subprocess.run([TOOL, *args], capture_output=True, timeout=120, input=input)


def soxi(path, flag):
    return subprocess.run(["soxi", flag, path], capture_output=True, text=True, check=True).stdout.strip()


def read_pcm16(path):
    """The samples of a 16-bit mono WAV as floats in -1..1, and its rate."""
    with wave.open(path if isinstance(path, str) else io.BytesIO(path)) as file:
        assert file.getsampwidth() == 2 and file.getnchannels() == 1
        frames = file.readframes(file.getnframes())
        values = struct.unpack("<%dh" % (len(frames) // 2), frames)
        return [v / 32768.0 for v in values], file.getframerate()


def read_float_wav(path):
    """The samples of a 32-bit float mono WAV (which the wave module cannot read), and its rate."""
    with open(path, "rb") as file:
        data = file.read()
    assert data[:4] == b"RIFF" and data[8:12] == b"WAVE"
    position, rate, samples = 12, None, None
    while position + 8 <= len(data):
        tag, size = data[position:position + 4], struct.unpack("<I", data[position + 4:position + 8])[0]
        body = data[position + 8:position + 8 + size]
        if tag == b"fmt ":
            encoding, channels, rate = struct.unpack("<HHI", body[:8])
            bits = struct.unpack("<H", body[14:16])[0]
            assert channels == 1 and bits == 32 and encoding in (3, 0xFFFE)
        elif tag == b"data":
            samples = list(struct.unpack("<%df" % (size // 4), body))
        position += 8 + size + (size & 1)
    return samples, rate


def zero_crossing_frequency(samples, rate):
    """The frequency of a periodic stretch, by crossings of its mean (a saw ramp never goes below 0)."""
    mean = sum(samples) / len(samples)
    centred = [s - mean for s in samples]
    crossings = sum(1 for a, b in zip(centred, centred[1:]) if (a < 0) != (b < 0))
    return crossings / 2.0 / (len(samples) / rate)


def sounding_spans(samples):
    """The [start, end) index ranges of `samples` where the value is not 0.0."""
    spans, start = [], None
    for index, value in enumerate(samples + [0.0]):
        if value != 0.0 and start is None:
            start = index
        elif value == 0.0 and start is not None:
            spans.append((start, index))
            start = None
    return spans


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

    def audio_files(self):
        """Rendered files and leftovers of unfinished ones."""
        return [f for f in self.files() if f.endswith((".wav", ".flac", ".ogg", ".aiff")) or ".partial" in f]

    def assert_fails(self, args, status, message, cwd=None, input=None):
        """The tool exits with `status`, says `message` on standard error and leaves no audio file."""
        result = run_tool(*args, cwd=cwd, input=input)
        self.assertEqual(result.returncode, status, result.stderr)
        self.assertIn(message, result.stderr)
        self.assertEqual(self.audio_files(), [])
        return result


def main():
    unittest.main(verbosity=2)
