"""`render` never fails silently: renders that would be silent or cut short are refused with a
reason, clipping and limits are reported, long renders stream to disk, and voices can be started
as MIDI keys, with globals set, from standard input, into a directory."""
import os
import subprocess
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import TOOL, ToolTestCase, main, read_pcm16, run_tool, run_tool_bytes, zero_crossing_frequency  # noqa: E402

BEEP = "beep = dur(~0.5) { @loop sqr(@1000) }\nrun(beep)\n"
KEY = "key = { vol(%v) @loop sqr(#%n) @release dur(480) { @loop sqr(#%n) } }\n"
PAD = "pad:%p = { @loop saw(%p) @release dur(480) { @loop saw(%p) } }\n"
SAWS = "saws = dur(4800) {" + "".join(" { @loop saw(@%d) }" % (100 + i) for i in range(8))[2:] + "\nrun(saws)\n"


def chain(levels):
    lines = ["lv0 = dur(100) { @loop sqr(40) }"] + ["lv%d = { lv%d }" % (i, i - 1) for i in range(1, levels + 1)]
    return "\n".join(lines) + "\nrun(lv%d)\n" % levels


def max_rss_kib(*args):
    """The peak resident memory of one run of the tool, measured in a process of its own."""
    probe = ("import resource, subprocess, sys\n"
             "subprocess.run(sys.argv[1:], check=True, capture_output=True)\n"
             "print(resource.getrusage(resource.RUSAGE_CHILDREN).ru_maxrss)\n")
    return int(subprocess.run([sys.executable, "-c", probe, TOOL, *args], capture_output=True, text=True,
                              check=True, timeout=300).stdout)


class SilentFailures(ToolTestCase):
    def test_renders_that_would_be_silent_or_empty_are_refused_with_the_reason(self):
        out = os.path.join(self.dir, "out.wav")
        long_name = "a" * 32
        cases = [  # (script, extra options, message)
            (f"{long_name} = dur(100) {{ @loop sqr(40) }}\nrun({long_name})\n", [], "starts no voice"),
            ("tone = dur(100) { @loop sqr(40) }\nrun(nosuch)\n", [], "starts no voice"),
            ("b = dur(4800) { @loop sqr(h4) }\nrun(b)\n", [], "rendered 0.100 s of silence; nothing was written"),
            ("p:%a:%b = dur(4800) { @loop sqr(%a) }\nb = { p:40 }\nrun(b)\n", [], "rendered 0.100 s of silence"),
            ("b = dur(4800) { @loop sqr(40) }\n", ["--seconds", "1"], "rendered 1.000 s of silence"),
            (chain(20), [], "calls nested deeper than 11 levels stopped the engine"),
            (KEY, ["--voice", "key", "--release-after", "0.1"], "rendered 0.110 s of silence"),
        ]
        for script, extra, message in cases:
            with self.subTest(script=script, extra=extra):
                path = self.script("s.mv", script)
                result = self.assert_fails(["render", path, "-o", out, *extra], 1, message)
                self.assertEqual(result.stdout, "")

    def test_a_loop_that_makes_no_samples_is_stopped_after_a_second(self):
        path = self.script("spin.mv", "spin = { %a = 0 @loop %a = %a + 1 }\nrun(spin)\n")
        started = time.monotonic()
        result = self.assert_fails(["render", path, "-o", os.path.join(self.dir, "x.wav")], 1,
                                   "stopped after 1.024 s of silence: a loop makes no samples")
        self.assertIn("warning: this loop makes no samples", result.stderr)
        # Not the 600 s of --max-seconds (minutes of work).
        self.assertLess(time.monotonic() - started, 60)


class Limits(ToolTestCase):
    def test_hitting_max_seconds_is_reported_and_warned_of_before_rendering(self):
        path = self.script("pad.mv", PAD)
        out = os.path.join(self.dir, "pad.wav")
        result = run_tool("render", path, "--voice", "pad:a3", "--max-seconds", "0.5", "-o", out, "--bits", "16")
        self.assertEqual(result.returncode, 0, result.stderr)
        warnings = result.stderr.splitlines()
        self.assertEqual(len(warnings), 2, result.stderr)
        self.assertIn("'pad' loops until it is released and nothing releases it", warnings[0])
        self.assertIn("stopped at --max-seconds (0.5 s) with voices still playing", warnings[1])
        self.assertEqual(len(read_pcm16(out)[0]), 24000)
        # Released in time, neither warning.
        result = run_tool("render", path, "--voice", "pad:a3", "--release-after", "0.1", "-o", out)
        self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_clipping_is_reported_with_the_gain_that_avoids_it(self):
        path = self.script("saws.mv", SAWS)
        out = os.path.join(self.dir, "saws.wav")
        cases = [  # (options, warning or None, peak in the summary)
            (["--bits", "16"], "samples were clipped to full scale in the WAV file; lower the level with --gain -4", "peak +3.8 dBFS"),
            ([], "samples lie beyond full scale and will clip when played", "peak +3.8 dBFS"),
            (["--bits", "16", "--gain", "-4"], None, "peak -0.2 dBFS"),
            (["--bits", "16", "--normalize"], None, "peak -1.0 dBFS"),
        ]
        for options, warning, peak in cases:
            with self.subTest(options=options):
                result = run_tool("render", path, "-o", out, *options)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(peak, result.stdout)
                if warning is None:
                    self.assertEqual(result.stderr, "")
                else:
                    self.assertIn("morvanel: warning: the peak is +3.8 dBFS", result.stderr)
                    self.assertIn(warning, result.stderr)

    def test_gain_scales_the_mix_in_decibels(self):
        path = self.script("beep.mv", BEEP)
        out = os.path.join(self.dir, "beep.wav")
        result = run_tool("render", path, "-o", out, "--gain", "20", "--bits", "16")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("peak 0.0 dBFS", result.stdout)
        self.assertAlmostEqual(max(read_pcm16(out)[0]), 1.0, delta=0.001)

    def test_a_long_render_streams_to_disk_instead_of_memory(self):
        # 300 s of samples would take 58 MB as floats in memory; streamed, memory stays flat.
        path = self.script("beep.mv", BEEP)
        out = os.path.join(self.dir, "long.wav")
        short = max_rss_kib("render", path, "-o", out, "--seconds", "1", "--bits", "16", "--quiet")
        long = max_rss_kib("render", path, "-o", out, "--seconds", "300", "--bits", "16", "--quiet")
        self.assertLess(long - short, 20 * 1024, (short, long))
        self.assertEqual(len(read_pcm16(out)[0]), 300 * 48000)
        # --normalize needs the peak first: it keeps the first pass on disk too.
        normalized = max_rss_kib("render", path, "-o", out, "--seconds", "300", "--bits", "16", "--quiet", "--normalize")
        self.assertLess(normalized - short, 20 * 1024, (short, normalized))


class Starts(ToolTestCase):
    def test_note_starts_a_box_as_a_midi_key_with_note_and_velocity(self):
        path = self.script("key.mv", KEY)
        out = os.path.join(self.dir, "key.wav")
        for note, level in (("key:A4", 0.1), ("key:69:64", 0.1 * 64 / 127), ("key:a4:127", 0.1)):
            with self.subTest(note=note):
                result = run_tool("render", path, "--note", note, "--release-after", "0.25", "-o", out, "--bits", "16")
                self.assertEqual(result.returncode, 0, result.stderr)
                samples, rate = read_pcm16(out)
                self.assertEqual(len(samples), 12000 + 480)  # released at 0.25 s, then the 480-sample tail
                self.assertAlmostEqual(samples[0], level, delta=0.0005)  # sounding from the first sample
                self.assertAlmostEqual(zero_crossing_frequency(samples[:12000], rate), 440.0, delta=5.0)
        os.remove(out)
        self.assert_fails(["render", path, "--note", "nosuch:60", "-o", out], 1, "names no box of")

    def test_voice_without_the_arguments_its_box_takes_warns(self):
        path = self.script("pad.mv", PAD)
        result = run_tool("render", path, "--voice", "pad", "--release-after", "0.1", "-o", os.path.join(self.dir, "p.wav"))
        self.assertIn("morvanel: warning: 'pad' takes 1 argument (%p) but --voice 'pad' gives 0, so %p reads 0", result.stderr)

    def test_set_writes_a_global_before_the_first_sample(self):
        path = self.script("level.mv", "global(%d, 0)\nx = dur(480) { @loop out(%d) }\nrun(x)\n")
        out = os.path.join(self.dir, "level.wav")
        result = run_tool("render", path, "--set", "%d=0.5", "-o", out, "--bits", "16")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(set(read_pcm16(out)[0]), {round(0.05 * 32768) / 32768})
        os.remove(out)
        self.assert_fails(["render", path, "--set", "q=1", "-o", out], 1, "declares no global %q (its globals: %d)")

    def test_standard_input_and_output(self):
        path = self.script("beep.mv", BEEP)
        file_out = os.path.join(self.dir, "beep.wav")
        self.assertEqual(run_tool("render", path, "-o", file_out, "--bits", "16").returncode, 0)
        result = run_tool_bytes("render", "-", "-o", "-", "--bits", "16", input=BEEP.encode())
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn(b"<stdout>: 0.500 s", result.stderr)
        with open(file_out, "rb") as rendered:
            self.assertEqual(result.stdout, rendered.read())
        checked = run_tool("check", "--json", "-", input="x = { sqrr(4) }\n")
        self.assertEqual(checked.returncode, 1)
        self.assertIn("<stdin>:1:11: error: Box does not exist", checked.stderr)

    def test_several_scripts_render_into_a_directory(self):
        first = self.script("one.mv", BEEP)
        second = self.script("two.mv", BEEP.replace("0.5", "0.25"))
        os.mkdir(os.path.join(self.dir, "out"))
        result = run_tool("render", first, second, "-o", os.path.join(self.dir, "out"), "--bits", "16")
        self.assertEqual(result.returncode, 0, result.stderr)
        lengths = {name: len(read_pcm16(os.path.join(self.dir, "out", name))[0]) for name in os.listdir(os.path.join(self.dir, "out"))}
        self.assertEqual(lengths, {"one.wav": 24000, "two.wav": 12000})


if __name__ == "__main__":
    main()
