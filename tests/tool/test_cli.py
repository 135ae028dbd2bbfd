"""The morvanel command line: renders, checks and every bad-input path."""
import json
import os
import sys
import time

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import ToolTestCase, main, read_pcm16, run_tool, soxi, zero_crossing_frequency  # noqa: E402

BEEP = "beep = dur(~0.5) { @loop sqr(@1000) }\nrun(beep)\n"
NOISE = "hiss = dur(4800) { @loop ? }\nrun(hiss)\n"
BROKEN = "ok = { sqr(4) }\nbad = {\n  sqr(4) ]\n}\n"


class RenderFormats(ToolTestCase):
    def test_rate_length_and_format_read_back_by_sox(self):
        cases = [  # (file, extra options, soxi encoding, bits per sample)
            ("a.wav", [], "Floating Point PCM", "32"),
            ("b.wav", ["--bits", "16"], "Signed Integer PCM", "16"),
            ("c.wav", ["--bits", "24"], "Signed Integer PCM", "24"),
            ("d.flac", [], "FLAC", "24"),
            ("e.aiff", ["--bits", "16"], "Signed Integer PCM", "16"),
        ]
        script = self.script("beep.mv", BEEP)
        for name, extra, encoding, bits in cases:
            with self.subTest(name=name):
                out = os.path.join(self.dir, name)
                result = run_tool("render", script, "-o", out, "--rate", "44100", "--quiet", *extra)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(soxi(out, "-r"), "44100")
                self.assertEqual(soxi(out, "-s"), str(44100 // 2))
                self.assertEqual(soxi(out, "-e"), encoding)
                self.assertEqual(soxi(out, "-b"), bits)

    def test_ogg_renders_vorbis(self):
        script = self.script("beep.mv", BEEP)
        out = os.path.join(self.dir, "beep.ogg")
        result = run_tool("render", script, "-o", out, "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual(soxi(out, "-e"), "Vorbis")

    def test_pitch_and_level_of_a_square_beep(self):
        script = self.script("beep.mv", BEEP)
        out = os.path.join(self.dir, "beep.wav")
        result = run_tool("render", script, "-o", out, "--bits", "16", "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        samples, rate = read_pcm16(out)
        self.assertEqual((rate, len(samples)), (48000, 24000))
        self.assertAlmostEqual(zero_crossing_frequency(samples, rate), 1000.0, delta=5.0)
        self.assertAlmostEqual(max(samples), 0.1, delta=0.001)  # one voice peaks at -20 dBFS

    def test_default_output_is_the_script_name_with_wav_and_the_summary_goes_to_stdout(self):
        script = self.script("beep.mv", BEEP)
        result = run_tool("render", script, "--quiet", "--seed", "7", cwd=self.dir)
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("beep.wav", self.files())
        self.assertEqual(len(result.stdout.splitlines()), 1)
        self.assertIn("0.500 s", result.stdout)
        self.assertIn("-20.0 dBFS", result.stdout)
        self.assertIn("seed 7", result.stdout)

    def test_seconds_renders_exactly_that_long_and_normalize_reaches_minus_one_dbfs(self):
        script = self.script("beep.mv", BEEP)
        out = os.path.join(self.dir, "long.wav")
        result = run_tool("render", script, "-o", out, "--seconds", "1.25", "--normalize", "--bits", "16", "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        samples, _ = read_pcm16(out)
        self.assertEqual(len(samples), 60000)
        self.assertAlmostEqual(max(abs(s) for s in samples), 0.891, delta=0.002)
        self.assertTrue(all(s == 0 for s in samples[24001:]))

    def test_voice_option_starts_boxes_with_arguments_and_release_after_ends_a_loop(self):
        script = self.script("pad.mv", "pad:%p = { @loop sqr(%p) @release dur(480) { @loop sqr(%p) } }\n")
        out = os.path.join(self.dir, "pad.wav")
        result = run_tool("render", script, "-o", out, "--voice", "pad:48", "--release-after", "0.5",
                          "--bits", "16", "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        samples, rate = read_pcm16(out)
        self.assertEqual(len(samples), 24000 + 480)
        self.assertAlmostEqual(zero_crossing_frequency(samples, rate), 1000.0, delta=10.0)

    def test_seed_makes_noise_renders_byte_identical(self):
        script = self.script("noise.mv", NOISE)
        paths = [os.path.join(self.dir, n) for n in ("one.wav", "two.wav", "three.wav")]
        for path, seed in zip(paths, ("42", "42", "43")):
            result = run_tool("render", script, "-o", path, "--seed", seed, "--quiet")
            self.assertEqual(result.returncode, 0, result.stderr)
            # Renders a second apart: nothing in the file may depend on when it was written.
            time.sleep(1.1)
        contents = []
        for path in paths:
            with open(path, "rb") as f:
                contents.append(f.read())
        self.assertEqual(contents[0], contents[1])
        self.assertNotEqual(contents[0], contents[2])

    def test_print_output_goes_to_stderr_not_stdout(self):
        script = self.script("talk.mv", "talk = { print(0.5) out(1) }\nrun(talk)\n")
        result = run_tool("render", script, "-o", os.path.join(self.dir, "t.wav"), "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("0.500000", result.stderr)
        self.assertNotIn("0.500000", result.stdout)
        self.assertNotIn("Compilation successful", result.stderr)


class Check(ToolTestCase):
    def test_broken_script_reports_file_line_column_and_exits_1(self):
        script = self.script("broken.mv", BROKEN)
        result = run_tool("check", script)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(result.stderr.splitlines(),
                         [f"{script}:3:9: error: Unexpected token", " 3 |   sqr(4) ]", "   |          ^"])
        self.assertEqual(result.stdout, "")

    def test_clean_scripts_exit_0_and_json_prints_the_box_report(self):
        script = self.script("two.mv", "b:%x = { out(%x) }\na = { sqr(4) }\n")
        result = run_tool("check", "--json", script)
        self.assertEqual(result.returncode, 0, result.stderr)
        boxes = json.loads(result.stdout)["files"][0]["boxes"]
        self.assertEqual([(box["name"], box["parameters"]) for box in boxes], [("b", ["x"]), ("a", [])])

    def test_warnings_do_not_fail_and_one_bad_script_fails_the_run(self):
        warned = self.script("warned.mv", "w = { let %a = 1 sqr(4) }\n")
        broken = self.script("broken.mv", BROKEN)
        result = run_tool("check", warned, broken)
        self.assertEqual(result.returncode, 1)
        self.assertIn(f"{warned}:1:10: warning: Unknown command let ignored", result.stderr)
        self.assertIn(f"{broken}:3:9: error:", result.stderr)
        self.assertEqual(run_tool("check", warned).returncode, 0)


class BadInput(ToolTestCase):
    def test_every_bad_input_exits_non_zero_with_a_message_and_leaves_no_file(self):
        good = self.script("good.mv", BEEP)
        broken = self.script("broken.mv", BROKEN)
        silent = self.script("silent.mv", "quiet = { sqr(4) }\n")
        out = os.path.join(self.dir, "out.wav")
        cases = [  # (arguments, exit status, message)
            (["render", os.path.join(self.dir, "missing.mv"), "-o", out], 1, "cannot read"),
            (["render", good, "-o", out, "--frobnicate"], 2, "frobnicate"),
            (["render", good, "-o", os.path.join(self.dir, "no", "such", "dir.wav")], 1, "cannot write"),
            (["render", good, "-o", out, "--voice", "nosuch"], 1, "boxes are: beep"),
            (["render", broken, "-o", out], 1, "has errors"),
            (["render", silent, "-o", out], 1, "starts no voice"),
            (["render", good, "-o", os.path.join(self.dir, "x.mp3")], 1, "cannot tell the audio format"),
            (["render", good, "-o", os.path.join(self.dir, "x.flac"), "--bits", "32f"], 1, "FLAC"),
            (["render", good, "-o", out, "--bits", "12"], 2, "--bits"),
            (["check", os.path.join(self.dir, "missing.mv")], 1, "cannot read"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                self.assert_fails(args, status, message)


if __name__ == "__main__":
    main()
