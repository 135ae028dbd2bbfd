"""The library's includes point down its layers: the real tree passes the check, and a copy with
one upward include planted in each layer that has something above it fails, naming the file."""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE = os.environ.get("MORVANEL_SOURCE", os.path.join(os.path.dirname(__file__), "..", ".."))
CHECK = os.path.join(SOURCE, "scripts", "check-layers.py")


def run_check(root):
    return subprocess.run([sys.executable, CHECK, root], capture_output=True, text=True, timeout=60)


class Layers(unittest.TestCase):
    def test_the_library_includes_only_what_lies_below(self):
        result = run_check(os.path.join(SOURCE, "src"))
        self.assertEqual(result.returncode, 0, result.stdout + result.stderr)

    def test_an_upward_include_is_caught(self):
        plants = [
            ("vars/variables.h", "program/model.h"),
            ("program/model.h", "runtime/voice.h"),
            ("script/lexer.h", "compile/parser.h"),
            ("compile/parser.h", "engine/engine.h"),
            ("runtime/voice.h", "compile/parser.h"),
            ("engine/engine.h", "api/instance_registry.h"),
            ("runtime/player.cpp", "morvanel.h"),
        ]
        for victim, include in plants:
            with self.subTest(victim=victim, include=include), tempfile.TemporaryDirectory() as scratch:
                root = os.path.join(scratch, "src")
                shutil.copytree(os.path.join(SOURCE, "src"), root)
                with open(os.path.join(root, victim), "a") as source:
                    source.write('\n#include "%s"\n' % include)
                result = run_check(root)
                self.assertEqual(result.returncode, 1, result.stdout)
                self.assertIn(victim, result.stdout)
                self.assertIn(include, result.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
