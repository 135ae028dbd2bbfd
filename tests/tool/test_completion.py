"""The bash completion of the morvanel command, run in bash against the tool under test."""
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import SOURCE, TOOL, ToolTestCase, main, run_tool  # noqa: E402

COMPLETION = os.path.join(SOURCE, "tools", "morvanel", "completion.bash")


def complete(*words, cwd=None):
    """What the completion offers for the command line `morvanel WORDS...`, the cursor at the end of
    the last word."""
    script = 'source "$1"; shift; COMP_WORDS=("$@"); COMP_CWORD=$(($# - 1)); _morvanel; printf "%s\\n" "${COMPREPLY[@]}"'
    result = subprocess.run(["bash", "-c", script, "_", COMPLETION, TOOL, *words], capture_output=True, text=True,
                            cwd=cwd, timeout=60)
    if result.returncode != 0:
        raise AssertionError(result.stderr)
    return sorted(line for line in result.stdout.splitlines() if line)


def help_options(command):
    """The option names `morvanel COMMAND --help` lists (the first word of each option line, such as
    "-o,--output"), read independently of the completion."""
    text = run_tool(command, "--help").stdout
    return sorted(name for line in text.splitlines() if re.match(r"\s+-", line) for name in line.split()[0].split(","))


class Completion(ToolTestCase):
    def test_offers_what_the_tool_accepts(self):
        examples = os.path.join(SOURCE, "examples")
        cases = [  # (words after `morvanel`, expected offers)
            ([""], ["--help", "check", "play", "render"]),
            (["re"], ["render"]),
            (["render", "-"], help_options("render")),
            (["check", "-"], help_options("check")),
            (["play", "-"], help_options("play")),
            (["render", "--bi"], ["--bits"]),
            (["render", "--bits", ""], ["16", "24", "32f"]),
            (["check", "--rate", ""], []),
            (["render", os.path.join(examples, "pad.mv"), "--voice", ""], ["pad"]),
            (["play", "--watch", os.path.join(examples, "pad.mv"), "--voice", ""], ["pad"]),
            (["render", "--rate", "8000", os.path.join(examples, "keyboard.mv"), "-q", "--voice", ""], ["demo", "key"]),
            (["render", "--voice", ""], []),
            (["render", os.path.join(examples, "co")], [os.path.join(examples, "coin.mv")]),
        ]
        for words, expected in cases:
            with self.subTest(words=words):
                self.assertEqual(complete(*words), expected)

    def test_scripts_are_mv_files_and_folders_outputs_any_file(self):
        for name in ("song.mv", "notes.txt"):
            self.script(name, "")
        os.mkdir(os.path.join(self.dir, "kits"))
        self.assertEqual(complete("check", "", cwd=self.dir), ["kits", "song.mv"])
        self.assertEqual(complete("render", "song.mv", "-o", "", cwd=self.dir), ["kits", "notes.txt", "song.mv"])


if __name__ == "__main__":
    main()
