"""`morvanel play` in real time through a JACK server: the test client morvanel_jack_probe records
what the tool plays (PortAudio connects the tool's output to it when --device names it) and sends
it MIDI. Needs a running JACK server (`jackd -d dummy -r 48000 -p 256`, as `.ci/run live` starts);
without one the tests report themselves skipped."""
import os
import pty
import select
import signal
import struct
import subprocess
import sys
import tempfile
import time

sys.path.insert(0, os.path.join(os.path.dirname(__file__), "..", "tool"))
from tool_support import (SOURCE, TOOL, ToolTestCase, read_float_wav, run_tool, sounding_spans,  # noqa: E402
                          zero_crossing_frequency)

PROBE = os.environ.get("MORVANEL_JACK_PROBE", "morvanel_jack_probe")
NAME = "morvanel_probe"
PERIOD = 256  # the server's frames per period

KEYS = "key = { vol(%v) @loop sqr(#%n) }\nmidikey(0, 127, key)\n"
# A tune that plays `tone` over and over: saving a new `tone` changes the next note.
TUNE = "tone = dur(~0.3) { @loop sqr(@%d) }\ntune = { @loop tone }\nrun(tune)\n"
NOTE = 14400  # one tone, 0.3 s


def jack_rate():
    """The running server's sample rate, or None when no server runs."""
    with tempfile.TemporaryDirectory() as scratch:
        result = subprocess.run([PROBE, "--name", "morvanel_check", "--seconds", "0.05", "--out",
                                 os.path.join(scratch, "x")], capture_output=True, text=True, timeout=30)
        if result.returncode == 3 and "no JACK server" in result.stderr:
            return None
        if result.returncode != 0:
            raise RuntimeError(result.stderr)
        return 48000


class Probe:
    """The recording client, running while the test plays."""

    def __init__(self, folder, seconds, notes=(), drop_midi_after=None):
        self.out = os.path.join(folder, "recording.f32")
        arguments = [PROBE, "--name", NAME, "--seconds", str(seconds), "--out", self.out]
        for at, key, length in notes:
            arguments += ["--note", "%d:%d:%d" % (at, key, length)]
        if drop_midi_after is not None:
            arguments += ["--drop-midi-after", str(drop_midi_after)]
        self.process = subprocess.Popen(arguments, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
        ready = self.process.stdout.readline().strip()
        if ready != "ready":
            raise RuntimeError("the probe did not start: " + self.process.stderr.read())

    def finish(self):
        """The recorded samples, and the MIDI events as (frame, key, on) in the order sent."""
        _, errors = self.process.communicate(timeout=60)
        if self.process.returncode != 0:
            raise RuntimeError(errors)
        with open(self.out, "rb") as file:
            data = file.read()
        samples = list(struct.unpack("<%df" % (len(data) // 4), data))
        with open(self.out + ".notes") as file:
            events = [tuple(int(field) for field in line.split()) for line in file]
        return samples, events


def quiet(errors):
    """Standard error without the underrun report: a machine shared with other work can wake the
    server's dummy driver late, and JACK then reports an underrun to every client even though no
    sample was lost (the server runs synchronously, so every client finishes every period)."""
    return "".join(line for line in errors.splitlines(keepends=True) if "underruns, where the sound" not in line)


def first_sound(samples):
    return next(index for index, value in enumerate(samples) if value != 0.0)


def first_difference(actual, expected):
    for index, (a, b) in enumerate(zip(actual, expected)):
        if a != b:
            return "sample %d: played %r, rendered %r" % (index, a, b)
    return None


class LiveTestCase(ToolTestCase):
    def play(self, *args, **options):
        return subprocess.Popen([TOOL, "play", *args], stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True,
                                **options)

    def render(self, script, *args):
        out = os.path.join(self.dir, "reference.wav")
        result = run_tool("render", script, "-o", out, "--quiet", *args)
        self.assertEqual(result.returncode, 0, result.stderr)
        return read_float_wav(out)[0]


class PlayThroughJack(LiveTestCase):
    def test_the_recording_is_the_offline_render_and_takes_real_time(self):
        example = os.path.join(SOURCE, "examples", "arpeggio.mv")
        probe = Probe(self.dir, 4.5)
        started = time.monotonic()
        result = run_tool("play", example, "--device", NAME)
        elapsed = time.monotonic() - started
        recording, _ = probe.finish()
        self.assertEqual((result.returncode, result.stdout), (0, ""), result.stderr)
        self.assertEqual(quiet(result.stderr), "")
        reference = self.render(example)
        offset = first_sound(recording) - first_sound(reference)
        played = recording[offset:offset + len(reference)]
        self.assertEqual(len(played), len(reference))
        self.assertIsNone(first_difference(played, reference))
        self.assertFalse(any(recording[offset + len(reference):]), "sound after the render's end")
        # Two seconds of sound took two seconds: not faster, and no more than start-up and the
        # device's latency slower.
        seconds = len(reference) / 48000
        self.assertGreaterEqual(elapsed, seconds)
        self.assertLess(elapsed, seconds + 1.5)

    def test_a_saved_pitch_takes_over_when_the_playing_note_ends(self):
        script = self.script("tune.mv", TUNE % 400)
        probe = Probe(self.dir, 4.5)
        player = self.play(script, "--watch", "--device", NAME, "--seconds", "3")
        # Saved as editors do, a new file renamed over the old one: first with an error, which
        # changes nothing, then the new pitch.
        time.sleep(0.6)
        os.replace(self.script("tune.mv.new", (TUNE % 600).replace("{ @loop sqr", "{ @loop sqrt")), script)
        time.sleep(0.6)
        os.replace(self.script("tune.mv.new", TUNE % 600), script)
        _, errors = player.communicate(timeout=30)
        recording, _ = probe.finish()
        self.assertEqual(player.returncode, 0, errors)
        self.assertEqual(quiet(errors).splitlines()[0], "%s:1:30: error: Box does not exist" % script)
        self.assertIn("morvanel: '%s' has errors; the last version that compiled keeps playing\n"
                      "morvanel: reloaded '%s'\n" % (script, script), errors)
        sound = recording[first_sound(recording):]
        # The notes before the switch are the old script's, sample for sample; the switch falls
        # where a note ended, once the reload had arrived (past a second in).
        old = self.render(self.script("old.mv", TUNE % 400), "--seconds", "2.5")
        switch = next(n for n in range(0, len(old), NOTE) if sound[n:n + NOTE] != old[n:n + NOTE])
        self.assertEqual(switch % NOTE, 0)
        self.assertTrue(48000 <= switch <= 2 * 48000, switch)
        # From there on it plays what a tune of that many old notes and then new ones renders,
        # phase and all: the new note follows on without a jump.
        notes = switch // NOTE
        joined = ("old = dur(~0.3) { @loop sqr(@400) }\nnew = dur(~0.3) { @loop sqr(@600) }\n"
                  "tune = { " + "old " * notes + "@loop new }\nrun(tune)\n")
        expected = self.render(self.script("joined.mv", joined), "--seconds", "2.5")
        end = 2 * 48000 + 24000
        self.assertIsNone(first_difference(sound[:end], expected[:end]))
        self.assertAlmostEqual(zero_crossing_frequency(sound[switch:switch + NOTE], 48000), 600, delta=5)

    def test_midi_notes_from_a_jack_client_sound_within_a_period(self):
        script = self.script("keys.mv", KEYS)
        notes = [(300, 60, 200), (700, 64, 150), (1100, 67, 300), (1600, 72, 100)]
        probe = Probe(self.dir, 3.5, notes=notes)
        result = run_tool("play", script, "--midi-in", NAME, "--device", NAME, "--seconds", "2.5")
        recording, events = probe.finish()
        self.assertEqual(result.returncode, 0, result.stderr)
        spans = sounding_spans(recording)
        self.assertEqual(len(spans), len(notes), spans)
        ons = [frame for frame, _, on in events if on]
        offs = [frame for frame, _, on in events if not on]
        for (start, end), on, off, (_, key, _) in zip(spans, ons, offs, notes):
            with self.subTest(key=key):
                self.assertTrue(0 <= start - on <= PERIOD, (start, on))
                self.assertTrue(0 <= end - off <= PERIOD, (end, off))
                frequency = 440 * 2 ** ((key - 69) / 12)
                self.assertAlmostEqual(zero_crossing_frequency(recording[start:end], 48000), frequency,
                                       delta=frequency * 0.02)

    def test_the_computer_keyboard_plays_keys_in_a_terminal_with_a_status_line(self):
        script = self.script("keys.mv", KEYS)
        probe = Probe(self.dir, 3.5)
        terminal, device = pty.openpty()
        player = subprocess.Popen([TOOL, "play", script, "--keys", "--device", NAME, "--seconds", "2.5"],
                                  stdin=device, stdout=device, stderr=device)
        os.close(device)
        shown = b""
        started = time.monotonic()
        typed = False
        while player.poll() is None:
            if not typed and time.monotonic() - started > 1.0:
                os.write(terminal, b"q")  # the top row's first key: C4 with the bottom row at C3
                typed = True
            readable, _, _ = select.select([terminal], [], [], 0.05)
            if readable:
                try:
                    shown += os.read(terminal, 65536)
                except OSError:  # the player closed the terminal on its way out
                    break
        player.wait(timeout=30)
        os.close(terminal)
        recording, _ = probe.finish()
        self.assertEqual(player.returncode, 0, shown)
        screen = shown.decode(errors="replace")
        self.assertIn("keys: Z S X D C V G B H N J M , L . ; / from C3", screen)
        self.assertIn("voices 1", screen)
        self.assertIn("keys from C3", screen)
        self.assertRegex(screen, r"peak  -2\d\.\d dBFS")
        spans = sounding_spans(recording)
        self.assertEqual(len(spans), 1, spans)
        start, end = spans[0]
        # A tap with no repeat after it sounds until the terminal's first repeat would have come.
        self.assertAlmostEqual((end - start) / 48000, 0.75, delta=0.1)
        self.assertAlmostEqual(zero_crossing_frequency(recording[start:end], 48000), 261.6, delta=5)

    def test_ctrl_c_releases_the_voices_and_ends_without_a_click(self):
        # The pad sustains until released, then fades out over a fifth of a second.
        script = self.script("pad.mv", "pad = { @loop sqr(@300) @release fadeout(~0.2) dur(~0.2) { @loop sqr(@300) } }\n"
                                           "run(pad)\n")
        probe = Probe(self.dir, 3.5)
        player = self.play(script, "--device", NAME)
        time.sleep(1.5)
        stopped = time.monotonic()
        player.send_signal(signal.SIGINT)
        _, errors = player.communicate(timeout=30)
        took = time.monotonic() - stopped
        recording, _ = probe.finish()
        self.assertEqual(player.returncode, 0, errors)
        self.assertEqual(quiet(errors), "")
        self.assertLess(took, 1.5)
        spans = sounding_spans(recording)
        self.assertEqual(len(spans), 1, spans)
        start, end = spans[0]
        # It played until the signal, then its release: the level falls to nothing over 0.2 s.
        self.assertGreater(end - start, 1.2 * 48000)
        levels = [max(abs(value) for value in recording[at - 960:at]) for at in range(end - 9600, end + 1, 960)]
        self.assertAlmostEqual(levels[0], 0.1, delta=0.01)
        self.assertTrue(all(later <= earlier for earlier, later in zip(levels, levels[1:])), levels)
        self.assertLess(abs(recording[end - 1]), 0.001)


class FailuresWhilePlaying(LiveTestCase):
    def test_a_watched_file_that_is_saved_then_deleted_stops_playing(self):
        for mode in (["--watch"], ["--watch", "--watch-poll"]):
            with self.subTest(mode=mode):
                script = self.script("tune.mv", TUNE % 400)
                player = self.play(script, *mode)
                time.sleep(1.0)
                with open(script, "a") as file:  # saved in place, as some editors do
                    file.write("// louder next time\n")
                time.sleep(1.0)
                os.remove(script)
                started = time.monotonic()
                _, errors = player.communicate(timeout=30)
                self.assertEqual(player.returncode, 1, errors)
                self.assertEqual(quiet(errors), "morvanel: reloaded '%s'\nmorvanel: '%s' was deleted while watched; "
                                                "stopping\n" % (script, script))
                # Two seconds' grace for an editor that deletes before it writes, then the stop.
                self.assertLess(time.monotonic() - started, 5)

    def test_a_midi_port_that_goes_away_stops_playing(self):
        script = self.script("keys.mv", KEYS)
        probe = Probe(self.dir, 3.0, drop_midi_after=1.0)
        result = run_tool("play", script, "--midi-in", NAME)
        probe.finish()
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("morvanel: MIDI port '%s:midi_out' went away" % NAME, result.stderr)

    def test_a_jack_server_that_quits_stops_playing_without_a_hang(self):
        # A server of its own, so that the one the other tests use stays.
        environment = dict(os.environ, JACK_DEFAULT_SERVER="morvanel-doomed")
        server = subprocess.Popen(["jackd", "-n", "morvanel-doomed", "-S", "-d", "dummy", "-r", "48000", "-p", "256"],
                                  stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        try:
            deadline = time.monotonic() + 10
            while subprocess.run(["jack_lsp"], env=environment, capture_output=True).returncode != 0:
                self.assertLess(time.monotonic(), deadline, "the second JACK server did not start")
                time.sleep(0.1)
            player = self.play(self.script("hum.mv", "hum = { @loop sqr(@200) }\nrun(hum)\n"), env=environment)
            time.sleep(1.0)
        finally:
            server.terminate()
            server.wait(timeout=30)
        _, errors = player.communicate(timeout=10)
        self.assertEqual(player.returncode, 1, errors)
        self.assertEqual(quiet(errors), "morvanel: the audio device 'system' stopped playing (unplugged, or its JACK "
                                        "server quit)\n")

    def test_a_device_that_cannot_play_the_rate_is_refused(self):
        script = self.script("tune.mv", TUNE % 400)
        result = run_tool("play", script, "--rate", "44100")
        self.assertEqual(result.returncode, 1, result.stderr)
        self.assertIn("cannot play at 44100 Hz; its own rate is 48000 Hz", result.stderr)


if __name__ == "__main__":
    if jack_rate() is None:
        if os.environ.get("MORVANEL_LIVE"):
            print("no JACK server is running, and the live step needs one")
            sys.exit(1)
        print("skipped: no JACK server is running (.ci/run live starts one with the dummy driver)")
        sys.exit(77)
    import unittest
    unittest.main(verbosity=2)
