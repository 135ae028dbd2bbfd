"""Messages that say what to fix: usage errors exit 2 with a short reason, file errors give the
system's reason, and compiler errors get the source line with a caret and notes."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import SOURCE, ToolTestCase, main, run_tool  # noqa: E402

BEEP = "beep = dur(~0.5) { @loop sqr(@1000) }\nrun(beep)\n"
PAD = "pad:%p = { @loop saw(%p) @release dur(480) { @loop saw(%p) } }\n"


class UsageErrors(ToolTestCase):
    def test_every_usage_error_exits_2_with_a_short_reason_and_writes_nothing(self):
        good = self.script("good.mv", BEEP)
        out = os.path.join(self.dir, "out.wav")
        cases = [  # (arguments, message)
            (["render", good, "-o", out, "--seconds", "nan"], "--seconds: takes a number of seconds above 0 up to 86400"),
            (["render", good, "-o", out, "--seconds", "1e30"], "not '1e30'"),
            (["render", good, "-o", out, "--seconds", "0"], "not '0'"),
            (["render", good, "-o", out, "--seconds", "inf"], "not 'inf'"),
            (["render", good, "-o", out, "--max-seconds", "nan"], "--max-seconds: takes a number of seconds"),
            (["render", good, "-o", out, "--release-after", "-1"], "--release-after: takes a number of seconds from 0"),
            (["render", good, "-o", out, "--seconds", "1", "--max-seconds", "2"], "excludes"),
            (["render", good, "-o", out, "--gain", "nan"], "--gain: takes decibels from -120 to 60"),
            (["render", good, "-o", out, "--gain", "3", "--normalize"], "excludes"),
            (["render", good, "-o", out, "--voice", "v" * 32], "has 32 characters; a start text holds at most 31"),
            (["render", good, "-o", out, "--note", "beep"], "--note: takes BOX:KEY or BOX:KEY:VELOCITY"),
            (["render", good, "-o", out, "--note", "beep:H4"], "a key from 0 to 127 or a note name such as C4, not 'H4'"),
            (["render", good, "-o", out, "--note", "beep:C4:200"], "a velocity from 0 to 127, not '200'"),
            (["render", good, "-o", out, "--set", "%d"], "--set: takes %LETTER=NUMBER"),
            (["render", good, "-o", out, "--set", "%dd=1"], "--set: takes %LETTER=NUMBER"),
            (["render", good, "-o", out, "--frobnicate"], "frobnicate"),
            (["render"], "scripts is required"),
            ([], "subcommand"),
            (["render", good, good, "-o", out], "with several scripts, -o must name a directory"),
            (["render", "-"], "give -o FILE (or -o - for standard output)"),
            (["check", "-", "-"], "standard input (-) can be read only once"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                result = self.assert_fails(args, 2, message)
                # One short reason, never a dump of floating-point limits.
                self.assertLess(len(result.stderr), 400, result.stderr)

    def test_version_and_help_with_examples(self):
        with open(os.path.join(SOURCE, "include", "morvanel.h")) as header:
            version = re.search(r'#define MORVANEL_VERSION "([^"]+)"', header.read()).group(1)
        result = run_tool("--version")
        self.assertEqual((result.returncode, result.stdout.strip()), (0, "morvanel " + version))
        for command, example in (("render", "--release-after 1.5"), ("check", "check --json"),
                                 ("play", "--watch --midi-in --keys")):
            with self.subTest(command=command):
                result = run_tool(command, "--help")
                self.assertEqual(result.returncode, 0)
                self.assertIn("Examples:", result.stdout)
                self.assertIn(example, result.stdout)
                self.assertIn("Exit status:", result.stdout)


class FileErrors(ToolTestCase):
    def test_unreadable_and_unwritable_files_give_the_system_reason(self):
        good = self.script("good.mv", BEEP)
        os.mkdir(os.path.join(self.dir, "dir.mv"))
        folder = os.path.join(self.dir, "dir.mv")
        missing = os.path.join(self.dir, "missing.mv")
        cases = [  # (arguments, message)
            (["check", missing], f"morvanel: cannot read '{missing}': No such file or directory"),
            (["render", missing], "No such file or directory"),
            (["check", folder], f"morvanel: cannot read '{folder}': Is a directory"),
            (["render", folder, "-o", os.path.join(self.dir, "x.wav")], "Is a directory"),
            (["render", good, "-o", os.path.join(self.dir, "no", "x.wav")], "cannot write '%s': No such file or directory"
             % os.path.join(self.dir, "no", "x.wav")),
            (["render", good, "-o", os.path.join(good, "x.wav")], "Not a directory"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                self.assert_fails(args, 1, message)


# (script, the error line, the source excerpt under it, the first note)
ERRORS = [
    ("x = { sqrr(b5) }\n", ":1:11: error: Box does not exist",
     [" 1 | x = { sqrr(b5) }", "   |       ^~~~"],
     ":1:11: note: no box named 'sqrr' is defined above this point; did you mean 'sqr'?"),
    ("lead = { sqr(4) }\nbass = { led }\n", ":2:13: error: Box does not exist", None,
     "did you mean 'lead'?"),
    ("x = { tone }\ntone = { sqr(4) }\n", ":1:11: error: Box does not exist", None,
     ":2:1: note: 'tone' is defined below, at line 2 column 1: a box can only be used after its definition"),
    ("x = { h4 }\n", "error: Box does not exist", None,
     "the compiler looked for a box named 'h4': it is not a note name"),
    ("volume(0.5)\n", ":1:7: error: Expected '='", [" 1 | volume(0.5)", "   |       ^"],
     "'volume' starts the definition of a box here, so '=' and a body must follow; did you mean 'vol'?"),
    ("e1 = { sqr(4) }\n", ":1:1: error: Syntax error. A global command or a box identifier expected.",
     [" 1 | e1 = { sqr(4) }", "   | ^~"],
     "'e1' reads as a note name, and box names cannot look like notes"),
    ("sqr(4)\n", "error: Syntax error.", None, "'sqr' is a step: steps go inside the body of a box"),
    ("x:%p = { sqr(%p/2) }\n", ":1:16: error: Expected ')' or ','", [" 1 | x:%p = { sqr(%p/2) }", "   |                ^"],
     "a step's argument is one value, not an expression: compute it in an assignment first, as in %q = %p / 2  sqr(%q)"),
    ("x = { sqr(%$) }\n", ":1:11: error: '%' must be followed by a letter, a digit or '_' that names a variable", None,
     None),
    # An error at the start of a line is reported at the end of the line before; the caret shows
    # the token the compiler stopped at.
    ("beep = {\n    sqr(4)\n    ]\n}\n", ":2:11: error: Unexpected token", [" 3 |     ]", "   |     ^"], None),
    # The text ends inside a body: the note shows which '{' is open.
    ("x = {\n  { sqr(4)\n  }\n  sqr(4)\n", ":4:9: error: Unexpected token", [" 4 |   sqr(4)", "   |         ^"],
     ":1:5: note: the text ends inside the body opened by this '{' at line 1 column 5: it is never closed"),
]


class CompilerErrors(ToolTestCase):
    def test_errors_show_the_source_with_a_caret_and_say_what_to_change(self):
        for script, error, excerpt, note in ERRORS:
            with self.subTest(script=script):
                path = self.script("bad.mv", script)
                result = run_tool("check", path)
                self.assertEqual(result.returncode, 1, result.stderr)
                lines = result.stderr.splitlines()
                self.assertTrue(lines[0].startswith(path + ":"), result.stderr)
                self.assertIn(error, lines[0])
                if excerpt is not None:
                    self.assertEqual(lines[1:3], excerpt, result.stderr)
                if note is not None:
                    self.assertIn(note, result.stderr)

    def test_render_shows_the_same_diagnostics_before_refusing(self):
        path = self.script("bad.mv", "x = { sqrr(b5) }\n")
        result = self.assert_fails(["render", path, "-o", os.path.join(self.dir, "x.wav")], 1, "has errors; nothing was rendered")
        self.assertIn("did you mean 'sqr'?", result.stderr)


if __name__ == "__main__":
    main()
