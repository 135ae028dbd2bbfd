"""The guides cannot rot: every morvanel block in the language guide compiles cleanly (and every
block shown as failing fails), its tables and recipes hold when rendered, and the README's build
commands keep the library build apart from the test build."""
import json
import os
import re
import subprocess
import sys
import tempfile

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import SOURCE, ToolTestCase, main, read_float_wav, run_tool  # noqa: E402

RATE = 48000


def guide():
    with open(os.path.join(SOURCE, "docs", "language.md")) as file:
        return file.read()


class LanguageGuide(ToolTestCase):
    def test_every_example_in_the_guide_compiles(self):
        blocks = re.findall(r"```morvanel\n(.*?)```", guide(), re.S)
        self.assertGreater(len(blocks), 10)
        for index, block in enumerate(blocks):
            with self.subTest(block=index, text=block.splitlines()[0]):
                path = self.script("block%d.mv" % index, block)
                result = run_tool("check", path)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, "")

    def test_every_block_shown_as_failing_fails(self):
        blocks = re.findall(r"```morvanel-fails\n(.*?)```", guide(), re.S)
        self.assertGreaterEqual(len(blocks), 1)
        for index, block in enumerate(blocks):
            with self.subTest(block=block):
                result = run_tool("check", self.script("fails%d.mv" % index, block))
                self.assertEqual(result.returncode, 1)
                self.assertIn("error:", result.stderr)

    def render_float(self, script):
        out = os.path.join(self.dir, "r.wav")
        result = run_tool("render", self.script("r.mv", script), "-o", out, "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        return read_float_wav(out)[0]

    def test_the_fade_table_matches_renders(self):
        rows = re.findall(r"^\| `(vol\([\d.]+\))` \| `(fade\w+\(~1\))` \| ([\d.]+) \| ([\d.]+) s \|$", guide(), re.M)
        self.assertEqual(len(rows), 5)
        for volume, fade, quarter, seconds in rows:
            with self.subTest(volume=volume, fade=fade):
                levels = [10 * s for s in self.render_float("f = dur(~1.5) { %s %s @loop out(1) }\nrun(f)\n" % (volume, fade))]
                self.assertAlmostEqual(levels[RATE // 4], float(quarter), delta=0.001)
                target = 1.0 if fade.startswith("fadein") else 0.0
                reached = next(i for i, level in enumerate(levels) if abs(level - target) < 1e-6)
                # Within a millisecond: float steps add up a few samples' worth of rounding.
                self.assertAlmostEqual(reached, float(seconds) * RATE, delta=RATE / 1000)

    def test_the_centred_saw_recipe_is_centred(self):
        block = next(b for b in re.findall(r"```morvanel\n(.*?)```", guide(), re.S) if b.startswith("centred ="))
        samples = self.render_float(block + "run(centred)\n")
        period = samples[:100]  # @480 at 48 kHz: 100 samples per cycle
        self.assertAlmostEqual(sum(period) / len(period), 0.0, delta=0.002)
        self.assertAlmostEqual(min(samples), -0.1, delta=0.001)
        self.assertAlmostEqual(max(samples), 0.1, delta=0.003)

    def test_the_guides_state_the_mix_level_that_renders_give(self):
        with open(os.path.join(SOURCE, "README.md")) as readme:
            text = readme.read()
        for name, document in (("README", text), ("language guide", guide())):
            with self.subTest(document=name):
                self.assertRegex(document, r"divides the sum[^.]* by 10")
                self.assertIn("-20 dBFS", document)
                self.assertIn("--gain", document)
        samples = self.render_float("v = dur(100) { @loop sqr(40) }\nrun(v)\n")
        self.assertAlmostEqual(max(samples), 0.1, delta=1e-6)  # one voice at full volume: -20 dBFS

    def test_the_library_alone_builds_apart_from_the_tests_without_google_benchmark(self):
        with open(os.path.join(SOURCE, "README.md")) as readme:
            section = readme.read().split("## Building the library alone", 1)[1].split("\n## ", 1)[0]
        configure = re.search(r"^(cmake --preset \S+.*?)(?:\s+#.*)?$", section, re.M).group(1).split()
        with open(os.path.join(SOURCE, "CMakePresets.json")) as presets:
            presets = {p["name"]: p for p in json.load(presets)["configurePresets"]}
        def binary_dir(name):
            preset = presets[name]
            while "binaryDir" not in preset:
                preset = presets[preset["inherits"]]
            return preset["binaryDir"].replace("${presetName}", name)

        self.assertNotEqual(binary_dir(configure[2]), binary_dir("release"))
        with open(os.path.join(SOURCE, "scripts", "test.sh")) as script:
            test_script = script.read()
        self.assertIn("cmake --preset release", test_script)
        self.assertIn("--no-tests=error", test_script)
        with tempfile.TemporaryDirectory() as build:
            result = subprocess.run([*configure, "-B", build], capture_output=True, text=True, timeout=300, cwd=SOURCE)
            self.assertEqual(result.returncode, 0, result.stdout + result.stderr)
            with open(os.path.join(build, "CMakeCache.txt")) as cache:
                settings = dict(re.findall(r"^(MORVANEL_BUILD_\w+):BOOL=(\w+)$", cache.read(), re.M))
            for option in ("MORVANEL_BUILD_BENCH", "MORVANEL_BUILD_TESTS", "MORVANEL_BUILD_TOOLS"):
                self.assertEqual(settings.get(option), "OFF", option)

    def test_the_readme_quick_start_holds_two_commands(self):
        with open(os.path.join(SOURCE, "README.md")) as readme:
            text = readme.read()
        section = text.split("## Quick start", 1)[1].split("\n## ", 1)[0]
        blocks = re.findall(r"```[a-z]*\n(.*?)```", section, re.S)
        self.assertEqual(len(blocks), 1)
        commands = [line for line in blocks[0].splitlines() if line.strip() and not line.strip().startswith("#")]
        self.assertEqual(len(commands), 2)


if __name__ == "__main__":
    main()
