"""Every example renders, has the length its script gives, is not silent, ends by itself, and the
pitched ones sound at the pitch they are written for."""
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import SOURCE, ToolTestCase, main, read_pcm16, run_tool, zero_crossing_frequency  # noqa: E402

RATE = 48000

# name: (extra options, expected length in samples, tolerance in samples)
EXAMPLES = {
    "coin": ([], 0.06 * RATE + 0.35 * RATE, 0),
    "laser": ([], 0.25 * RATE, 0),
    "explosion": ([], 1.2 * RATE, 0),
    "melody": ([], None, 0),
    "drums": ([], None, 0),
    "arpeggio": ([], 2 * RATE, 0),
    "keyboard": ([], 1.25 * RATE, 0),
    "pad": (["--voice", "pad:a3", "--release-after", "1.5"], 2.1 * RATE, 0),
    "siren": ([], 2 * RATE, 0),
}


def period_frequency(period_samples):
    return RATE / period_samples


class Examples(ToolTestCase):
    def render(self, name, extra):
        out = os.path.join(self.dir, name + ".wav")
        script = os.path.join(SOURCE, "examples", name + ".mv")
        result = run_tool("render", script, "-o", out, "--bits", "16", "--quiet", "--max-seconds", "30", "--seed", "1", *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        samples, rate = read_pcm16(out)
        self.assertEqual(rate, RATE)
        return samples

    def test_every_example_renders_to_its_length_and_is_not_silent(self):
        listed = sorted(f[:-3] for f in os.listdir(os.path.join(SOURCE, "examples")) if f.endswith(".mv"))
        self.assertEqual(listed, sorted(EXAMPLES))
        for name, (extra, length, tolerance) in EXAMPLES.items():
            with self.subTest(example=name):
                samples = self.render(name, extra)
                self.assertLess(len(samples), 30 * RATE, "the example never ended")
                if length is not None:
                    self.assertAlmostEqual(len(samples), length, delta=tolerance)
                self.assertGreater(max(abs(s) for s in samples), 0.05)

    def test_pitches(self):
        # (example, options, first and last sample of a stretch holding one note, its period)
        cases = [
            ("coin", [], 0, 2880, 48),  # b5: 48000 / 987.77 Hz, truncated
            ("coin", [], 2880, 8000, 36),  # e6
            ("arpeggio", [], 0, 3360, 183),  # c4
            ("pad", ["--voice", "pad:a3", "--release-after", "1.5"], 24000, 48000, 218),  # a3
        ]
        for name, extra, start, end, period in cases:
            with self.subTest(example=name, start=start):
                samples = self.render(name, extra)[start:end]
                self.assertAlmostEqual(zero_crossing_frequency(samples, RATE), period_frequency(period),
                                       delta=period_frequency(period) * 0.03)

    def test_melody_plays_its_notes_in_order(self):
        samples = self.render("melody", [])
        # The first phrase: e5 d5 c5 d5, a quarter second each.
        for index, period in enumerate([72, 81, 91, 81]):
            with self.subTest(note=index):
                stretch = samples[index * 12000 + 200:index * 12000 + 6000]
                self.assertAlmostEqual(zero_crossing_frequency(stretch, RATE), period_frequency(period),
                                       delta=period_frequency(period) * 0.03)


if __name__ == "__main__":
    main()
