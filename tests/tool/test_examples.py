"""Every example renders, has the length its script gives, is not silent, ends by itself, and the
pitched ones sound at the pitch they are written for."""
import math
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


    def test_the_drum_kit_plays_on_an_even_grid(self):
        samples = self.render("drums", [])
        self.assertEqual(len(samples), 2 * RATE)  # one bar at 120 bpm
        step = RATE // 4  # an eighth note
        for index in range(8):
            with self.subTest(step=index):
                start = index * step
                onset = max(abs(s) for s in samples[start:start + 240])
                before = max(abs(s) for s in samples[start - 240:start]) if index else 0.0
                self.assertGreater(onset, 0.04)
                self.assertLess(before, onset / 4)

    def test_the_kick_is_a_falling_sine_and_snare_and_hat_are_noise(self):
        with open(os.path.join(SOURCE, "examples", "drums.mv")) as kit:
            path = self.script("kit.mv", kit.read().replace("run(beat)", ""))
        drums = {}
        for drum in ("kick", "snare", "hat"):
            out = os.path.join(self.dir, drum + ".wav")
            result = run_tool("render", path, "--voice", drum, "-o", out, "--bits", "16", "--seed", "1", "--quiet")
            self.assertEqual(result.returncode, 0, result.stderr)
            drums[drum] = read_pcm16(out)[0]
        kick = drums["kick"]
        # The pitch falls from above 90 Hz in the first 20 ms to about 45 Hz after 100 ms.
        self.assertGreater(zero_crossing_frequency(kick[:960], RATE), 90)
        self.assertAlmostEqual(zero_crossing_frequency(kick[4800:9600], RATE), 45, delta=5)
        # A sine's peak is 1.41 times its RMS (a square's 1.0, a saw's 1.73): one 45 Hz cycle.
        cycle = kick[4800:4800 + RATE // 45]
        crest = max(abs(s) for s in cycle) / math.sqrt(sum(s * s for s in cycle) / len(cycle))
        self.assertAlmostEqual(crest, math.sqrt(2), delta=0.15)
        # Noise changes sign thousands of times a second; the hat, high-passed, more than the snare.
        snare, hat = zero_crossing_frequency(drums["snare"][:1000], RATE), zero_crossing_frequency(drums["hat"][:1000], RATE)
        self.assertGreater(snare, 5000)
        self.assertGreater(hat, snare)


if __name__ == "__main__":
    main()
