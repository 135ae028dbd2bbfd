"""`play` where no sound card is needed: what it refuses before it plays, listing devices and MIDI
ports, and a machine without any audio device. Playing itself is tested against a JACK server in
tests/live."""
import os
import subprocess
import sys

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import TOOL, ToolTestCase, main, run_tool  # noqa: E402

TUNE = "tone = dur(~0.3) { @loop sqr(@400) }\nrun(tone)\n"
BROKEN = "ok = { sqr(4) }\nbad = {\n  sqr(4) ]\n}\n"

# PortAudio finds JACK's default server through this variable: a name no server has hides JACK.
NO_JACK = {"JACK_DEFAULT_SERVER": "morvanel-no-such-server"}


def run_without_jack(*args, input=None, extra=None):
    environment = dict(os.environ, **NO_JACK, **(extra or {}))
    return subprocess.run([TOOL, *args], capture_output=True, text=True, timeout=120, input=input, env=environment)


class PlayRefusals(ToolTestCase):
    def test_usage_errors_exit_2_before_anything_plays(self):
        script = self.script("tune.mv", TUNE)
        cases = [  # (arguments, message)
            (["play"], "give the script to play (morvanel play FILE), or --list-devices or --list-midi"),
            (["play", script, "--watch-poll"], "--watch-poll requires --watch"),
            (["play", script, "--buffer", "8"], "--buffer"),
            (["play", script, "--seconds", "0"], "takes a number of seconds above 0"),
            (["play", script, "--voice", "x" * 40], "a start text holds at most 31"),
            (["play", script, "--gain", "90"], "takes decibels from -120 to 60"),
            (["render", script, "--channel", "2"], "--channel requires --midi"),
            (["render", script, "--midi", "song.mid", "--channel", "17"], "--channel"),
        ]
        for arguments, message in cases:
            with self.subTest(arguments=arguments):
                result = run_tool(*arguments)
                self.assertEqual(result.returncode, 2, result.stderr)
                self.assertIn(message, result.stderr)

    def test_what_cannot_be_played_is_refused_with_the_reason(self):
        script = self.script("tune.mv", TUNE)
        cases = [  # (arguments, standard input, message)
            (["play", script, "--keys"], "", "--keys needs a terminal on standard input"),
            (["play", "-", "--watch"], TUNE, "--watch needs a script file, not standard input"),
            (["play", os.path.join(self.dir, "missing.mv")], None, "cannot read '%s': No such file or directory"
             % os.path.join(self.dir, "missing.mv")),
        ]
        for arguments, stdin, message in cases:
            with self.subTest(arguments=arguments):
                result = run_tool(*arguments, input=stdin)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("morvanel: " + message, result.stderr)

    def test_a_machine_without_an_audio_device_says_so(self):
        listing = run_without_jack("play", "--list-devices")
        self.assertEqual(listing.returncode, 0, listing.stderr)
        self.assertTrue(listing.stdout.startswith("Audio output devices (--device NUMBER or a part of the name):\n"))
        if "(none:" not in listing.stdout:
            self.skipTest("this machine has an audio device besides JACK:\n" + listing.stdout)
        self.assertEqual(listing.stderr, "", "ALSA's and JACK's own complaints stay off the terminal")
        result = run_without_jack("play", self.script("tune.mv", TUNE))
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertEqual(result.stderr, "morvanel: no audio output device: PortAudio finds no sound card, no PulseAudio "
                                        "or PipeWire through ALSA, and no running JACK server (a sound card that "
                                        "another program holds is not listed)\n")

    def test_a_busy_device_is_named_busy_whether_it_was_taken_before_or_after_the_listing(self):
        # The ALSA device "busy" (a null device declared in ~/.asoundrc) answers EBUSY through
        # tests/tool/busy_alsa.c; PortAudio opens it twice to list it, for capture and then for
        # playback, so a device taken after one open is listed without outputs.
        home = os.path.join(self.dir, "home")
        os.mkdir(home)
        with open(os.path.join(home, ".asoundrc"), "w") as file:
            file.write('pcm.busy {\n  type null\n  hint { show on description "held by another program" }\n}\n')
        script = self.script("tune.mv", TUNE)
        preload = {"HOME": home, "LD_PRELOAD": os.environ["MORVANEL_BUSY_ALSA"],
                   "ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS", "") + ":verify_asan_link_order=0"}
        cases = [  # (opens that succeed, message)
            ("2", "morvanel: the audio device 'busy' (ALSA) is busy: another program holds it; close that program, "
                  "or choose another device with --device (morvanel play --list-devices lists them)\n"),
            ("1", "morvanel: the audio device 'busy' offers no output now: another program may hold it (busy); close "
                  "that program, or choose another device with --device (morvanel play --list-devices lists them)\n"),
            ("0", "morvanel: no audio output device: PortAudio finds no sound card, no PulseAudio or PipeWire through "
                  "ALSA, and no running JACK server (a sound card that another program holds is not listed)\n"),
        ]
        for after, message in cases:
            with self.subTest(after=after):
                result = run_without_jack("play", script, "--device", "busy",
                                          extra=dict(preload, MORVANEL_BUSY_AFTER=after))
                self.assertEqual((result.returncode, result.stderr), (1, message))

    def test_midi_ports_are_listed_with_why_a_system_offers_none(self):
        result = run_without_jack("play", "--list-midi")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertTrue(result.stdout.startswith("MIDI input ports (--midi-in NUMBER or a part of the name):\n"))
        self.assertEqual(result.stderr, "")


class CheckFromAnEditor(ToolTestCase):
    def test_stdin_name_names_a_script_read_from_standard_input(self):
        result = run_tool("check", "--stdin-name", "kit.mv", "-", input=BROKEN)
        self.assertEqual(result.returncode, 1)
        self.assertTrue(result.stderr.startswith("kit.mv:3:9: error: "), result.stderr)
        result = run_tool("check", "-", input=BROKEN)
        self.assertTrue(result.stderr.startswith("<stdin>:3:9: error: "), result.stderr)


if __name__ == "__main__":
    main()
