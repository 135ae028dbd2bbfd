"""`check` as a linter: each warning has a script that triggers it and a clean script that does
not; warnings do not fail a check unless --werror is given."""
import glob
import os
import random
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import SOURCE, ToolTestCase, main, run_tool  # noqa: E402

TONE = "tone = dur(100) { @loop sqr(40) }\n"
PAIR = "pair:%a:%b = dur(100) { @loop sqr(%a) }\n"


def chain(levels):
    """A box calling a box ... `levels` calls deep, started by run."""
    lines = ["lv0 = dur(100) { @loop sqr(40) }"]
    lines += ["lv%d = { lv%d }" % (i, i - 1) for i in range(1, levels + 1)]
    return "\n".join(lines) + "\nrun(lv%d)\n" % levels


# (case, script with the fault, the warning it gets, the same script without the fault)
WARNINGS = [
    ("run of an unknown box", TONE + "run(tonee)\n",
     ":2:5: warning: run(tonee) starts nothing: this script defines no box named 'tonee'",
     "run(tone)\n" + TONE),
    ("run of a name too long to start", "a" * 32 + " = dur(100) { @loop sqr(40) }\nrun(" + "a" * 32 + ")\n",
     "starts nothing: a start text holds at most 31 characters and this one has 32",
     "a" * 31 + " = dur(100) { @loop sqr(40) }\nrun(" + "a" * 31 + ")\n"),
    ("call of an undefined box in a drawn waveform", "w = { `19b91` }\nb = { `9` }\n",
     ":1:10: warning: 'b' in a drawn waveform names no box defined above it, so it plays nothing",
     "b = { `9` }\nw = { `19b91` }\n"),
    ("call with fewer arguments than declared", PAIR + "b = { pair:40 }\n",
     ":2:7: warning: 'pair' takes 2 arguments (%a:%b) but this call gives 1, so %a reads 0",
     PAIR + "b = { pair:40:2 }\n"),
    ("call with more arguments than declared", PAIR + "b = { pair:40:2:3 }\n",
     "'pair' takes 2 arguments (%a:%b) but this call gives 3: the extra values are left on the voice's stack",
     PAIR + "b = { pair:40:2 }\n"),
    ("run with fewer arguments", PAIR + 'run("pair:40")\n', 'but run("pair:40") gives 1, so %a reads 0',
     PAIR + 'run("pair:40:1")\n'),
    ("MIDI key on a box that takes arguments", PAIR + "midikey(60, pair)\n",
     "'pair' takes 2 arguments (%a:%b) but a MIDI key gives 0",
     "key = dur(100) { @loop sqr(#%n) }\nmidikey(60, key)\n"),
    ("a note name that is not a note", "b = dur(100) { @loop sqr(h4) }\n",
     ":1:26: warning: 'h4' is not a number, a note or a variable, so sqr(h4) reads it as 0: a period of 0 plays silence",
     "b = dur(100) { @loop sqr(a4) }\n"),
    ("a name where a number belongs", "b = dur(100) { vol(loud) @loop sqr(40) }\n",
     "'loud' is not a number, a note or a variable, so vol(loud) reads it as 0: the volume becomes 0",
     "b = dur(100) { vol(0.5) @loop sqr(40) }\n"),
    ("a loop that makes no samples", "b = dur(100) { %a = 0 @loop %a = %a + 1 }\n",
     ":1:23: warning: this loop makes no samples",
     "b = dur(100) { %a = 0 @loop %a = %a + 1 sqr(40) }\n"),
    ("a loop whose call plays nothing", "z = { %q = 1 }\nb = dur(100) { @loop z }\n",
     ":2:16: warning: this loop makes no samples",
     "z = { sqr(40) }\nb = dur(100) { @loop z }\n"),
    ("calls nested past the engine's limit", chain(12),
     ":13:1: warning: playing 'lv12' stops the engine: its calls nest 12 levels deep",
     chain(11)),
    ("a box that calls itself", "x = { sqr(40) x }\nrun(x)\n",
     "playing 'x' stops the engine: it calls itself",
     "x = { sqr(40) }\nrun(x)\n"),
    ("a NUL byte", TONE + "\0run(tone)\n", ":2:1: warning: the script holds a NUL byte here",
     TONE + "run(tone)\n"),
]


class Linter(ToolTestCase):
    def test_each_warning_has_a_trigger_and_a_clean_twin(self):
        for case, faulty, warning, clean in WARNINGS:
            with self.subTest(case=case):
                path = self.script("faulty.mv", faulty)
                result = run_tool("check", path)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertIn(warning, result.stderr)
                self.assertEqual(result.stderr.count(": warning: "), 1, result.stderr)
                self.assertEqual(run_tool("check", "--werror", path).returncode, 1)

                path = self.script("clean.mv", clean)
                result = run_tool("check", "--werror", path)
                self.assertEqual((result.returncode, result.stderr), (0, ""))

    def test_the_depth_warning_names_the_chain_of_calls(self):
        result = run_tool("check", self.script("deep.mv", chain(20)))
        self.assertIn("its calls nest 20 levels deep", result.stderr)
        self.assertIn("note: the deepest calls: lv20 -> lv19 -> lv18", result.stderr)
        # One warning for the box a host starts, not one per box below it.
        self.assertEqual(result.stderr.count("warning:"), 1)
        # The library's own run-time line never leaks into the tool's output.
        self.assertNotIn("Max depth reached", result.stdout + result.stderr)

    def test_long_chains_and_deep_nesting_are_read_without_running_out_of_stack(self):
        result = run_tool("check", self.script("chain.mv", chain(100000)))
        self.assertEqual(result.returncode, 0, result.stderr[-2000:])
        self.assertIn("playing 'lv100000' stops the engine: its calls nest 100000 levels deep", result.stderr)
        depth = 100000
        result = run_tool("check", self.script("parens.mv", "x = { %a = " + "(" * depth + "1" + ")" * depth + " }\n"))
        self.assertEqual(result.returncode, 1)
        self.assertIn("error: Expression nested too deeply", result.stderr)

    def test_the_tool_reads_scripts_where_the_compiler_does(self):
        # The notes and warnings come from the tool's own reading of a script; the tool flags any
        # script where that reading parts from the compiler's. Real scripts and mutants of them
        # (tokens dropped, doubled, swapped for others) must never be flagged.
        sources = sorted(glob.glob(os.path.join(SOURCE, "examples", "*.mv")) +
                         glob.glob(os.path.join(SOURCE, "tests", "scripts", "*", "*.mv")))
        texts = [open(path).read() for path in sources]
        with open(os.path.join(SOURCE, "docs", "language.md")) as guide:
            texts += re.findall(r"```morvanel\n(.*?)```", guide.read(), re.S)
        pieces = ["{", "}", "(", ")", ":", "=", ",", "`", "[", "]", "*", "%a", "%$", "@loop", "@release", "sqr", "dur",
                  "x", "h4", "c4", "C4", "1", "~0.1", "@440", "-", "+", "/", "\n", "// c\n", '"s"', "?", "run", "pop"]
        generator = random.Random(17)
        mutants = []
        for _ in range(300):
            tokens = re.findall(r"//[^\n]*\n|\S+|\n", generator.choice(texts))
            for _ in range(generator.randint(1, 3)):
                at = generator.randrange(len(tokens) + 1)
                action = generator.randrange(3)
                if action == 0 and at < len(tokens):
                    del tokens[at]
                elif action == 1 and at < len(tokens):
                    tokens.insert(at, tokens[at])
                else:
                    tokens.insert(at, generator.choice(pieces))
            mutants.append(" ".join(tokens))
        paths = [self.script("s%03d.mv" % i, text) for i, text in enumerate(texts + mutants)]
        result = run_tool("check", *paths)
        self.assertIn(result.returncode, (0, 1), result.stderr[-3000:])
        flagged = [line for line in result.stderr.splitlines() if "read this script differently" in line]
        self.assertEqual(flagged, [])

    def test_every_example_is_free_of_warnings(self):
        examples = sorted(f for f in os.listdir(os.path.join(SOURCE, "examples")) if f.endswith(".mv"))
        result = run_tool("check", "--werror", *[os.path.join(SOURCE, "examples", f) for f in examples])
        self.assertEqual((result.returncode, result.stderr), (0, ""))


if __name__ == "__main__":
    main()
