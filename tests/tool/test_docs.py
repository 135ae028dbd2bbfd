"""The language guide cannot rot: every morvanel block in it compiles cleanly."""
import os
import re
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import SOURCE, ToolTestCase, main, run_tool  # noqa: E402


class LanguageGuide(ToolTestCase):
    def test_every_example_in_the_guide_compiles(self):
        with open(os.path.join(SOURCE, "docs", "language.md")) as guide:
            blocks = re.findall(r"```morvanel\n(.*?)```", guide.read(), re.S)
        self.assertGreater(len(blocks), 10)
        for index, block in enumerate(blocks):
            with self.subTest(block=index, text=block.splitlines()[0]):
                path = self.script("block%d.mv" % index, block)
                result = run_tool("check", path)
                self.assertEqual(result.returncode, 0, result.stderr)
                self.assertEqual(result.stderr, "")

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
