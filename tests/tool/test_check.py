"""`check --json`: one shape for one script or many, with diagnostics beside the boxes, their
groups and instance limits, and the MIDI key map; no report is too large to print."""
import json
import os
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import ToolTestCase, main, run_tool  # noqa: E402

KIT = """bpm(120)
[kick* group(drums) maxinst(2, 1)] = dur(100) { @loop sqr(40) }
[snare group(drums) maxinst(3)] = dur(100) { @loop ? }
tom:%p:%l = dur(100) { @loop sqr(%p) }
solo maxinst(1) = dur(100) { @loop saw(40) }
midikey(C3, 36, tom)
midikey(36, kick)
midikey(38, snare)
run(kik)
"""


class JsonReport(ToolTestCase):
    def check_json(self, *paths):
        result = run_tool("check", "--json", *paths)
        return result, json.loads(result.stdout)

    def test_one_script_or_several_give_the_same_shape(self):
        kit = self.script("kit.mv", KIT)
        broken = self.script("broken.mv", "ok = { sqr(4) }\nbad = {\n  sqr(4) ]\n}\n")
        result, single = self.check_json(kit)
        self.assertEqual(result.returncode, 0, result.stderr)
        result, both = self.check_json(kit, broken)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(list(single), ["files"])
        self.assertEqual(both["files"][0], single["files"][0])
        self.assertEqual([entry["path"] for entry in both["files"]], [kit, broken])
        self.assertEqual([entry["compiled"] for entry in both["files"]], [True, False])

    def test_boxes_groups_limits_keys_and_diagnostics(self):
        _, report = self.check_json(self.script("kit.mv", KIT))
        entry = report["files"][0]
        self.assertEqual(entry["boxes"], [
            {"name": "kick", "line": 2, "column": 2, "parameters": [], "exported": True, "group": "drums",
             "maxinst": 2, "stopExcess": True},
            {"name": "snare", "line": 3, "column": 2, "parameters": [], "exported": False, "group": "drums",
             "maxinst": 3, "stopExcess": False},
            {"name": "tom", "line": 4, "column": 1, "parameters": ["p", "l"], "exported": False, "group": None,
             "maxinst": None, "stopExcess": False},
            {"name": "solo", "line": 5, "column": 1, "parameters": [], "exported": False, "group": "_default_",
             "maxinst": 1, "stopExcess": False},
        ])
        self.assertEqual(entry["groups"], [{"name": "_default_", "boxes": ["solo"]},
                                           {"name": "drums", "boxes": ["kick", "snare"]}])
        # Later mappings win, and runs of keys on one box are merged.
        self.assertEqual(entry["midiKeys"], [{"low": 36, "high": 36, "box": "kick"},
                                             {"low": 37, "high": 37, "box": "tom"},
                                             {"low": 38, "high": 38, "box": "snare"},
                                             {"low": 39, "high": 48, "box": "tom"}])
        messages = [(d["severity"], d["line"], d["column"], d["message"][:36]) for d in entry["diagnostics"]]
        self.assertIn(("warning", 6, 17, "'tom' takes 2 arguments (%p:%l) but "), messages)
        self.assertIn(("warning", 9, 5, "run(kik) starts nothing: this script"), messages)
        run_warning = [d for d in entry["diagnostics"] if d["message"].startswith("run(kik)")][0]
        self.assertEqual(run_warning["notes"], [{"message": "did you mean 'kick'?"}])

    def test_errors_carry_their_position_the_token_and_notes(self):
        _, report = self.check_json(self.script("bad.mv", "beep = {\n    sqr(4)\n    sqrr(5)\n}\n"))
        error = report["files"][0]["diagnostics"][0]
        self.assertEqual((error["severity"], error["line"], error["column"], error["message"]),
                         ("error", 3, 9, "Box does not exist"))
        self.assertEqual(error["token"], {"line": 3, "column": 5})
        self.assertEqual(error["notes"], [{"message": "no box named 'sqrr' is defined above this point; did you mean 'sqr'?"}])

    def test_a_report_larger_than_the_librarys_buffer_is_printed_whole(self):
        # Each entry takes about 60 characters: 1000 boxes are far past the 16383 the library holds.
        names = ["box_with_a_long_name_%04d" % i for i in range(1000)]
        script = "".join("%s:%%a:%%b = dur(10) { @loop sqr(%%a) }\n" % name for name in names)
        result, report = self.check_json(self.script("many.mv", script))
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertEqual([box["name"] for box in report["files"][0]["boxes"]], names)

    def test_an_unreadable_script_is_listed_with_its_reason(self):
        missing = os.path.join(self.dir, "missing.mv")
        result, report = self.check_json(missing)
        self.assertEqual(result.returncode, 1)
        self.assertEqual(report["files"][0]["error"], "cannot read: No such file or directory")
        self.assertFalse(report["files"][0]["compiled"])


if __name__ == "__main__":
    main()
