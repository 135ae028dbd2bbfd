"""`render --midi`: Standard MIDI Files (type 0 and 1, tempo changes) played through the script's
midikey maps, each note starting and ending on the exact sample its time gives; damaged files are
refused with a reason and never crash the tool. The files are written here byte by byte."""
import os
import random
import struct
import sys
from fractions import Fraction

sys.path.insert(0, os.path.dirname(__file__))
from tool_support import ToolTestCase, main, read_float_wav, run_tool, sounding_spans  # noqa: E402

# Every key plays a square at its own pitch for as long as it is held: the sound is non-zero from
# the note-on's sample up to the note-off's, and silent outside.
KEYS = "key = { vol(%v) @loop sqr(#%n) }\nmidikey(0, 127, key)\n"
PPQN = 480
# (tick, microseconds per quarter note): 120 bpm, then 90 bpm (an awkward 666667), then 150 bpm.
TEMPI = [(0, 500000), (960, 666667), (1920, 400000)]
# (tick, length in ticks, key, channel): short and long notes on both sides of each tempo change.
NOTES = [(0, 240, 60, 0), (480, 240, 64, 0), (1000, 100, 67, 1), (1500, 419, 69, 0), (2000, 333, 72, 1),
         (2500, 7, 62, 0), (2600, 1, 65, 1)]


def vlq(value):
    out = [value & 0x7F]
    value >>= 7
    while value:
        out.append(0x80 | (value & 0x7F))
        value >>= 7
    return bytes(reversed(out))


def track(events):
    """An MTrk chunk from (tick, bytes) events, with its end-of-track event."""
    body, now = b"", 0
    for tick, data in sorted(events, key=lambda event: event[0]):
        body += vlq(tick - now) + data
        now = tick
    body += vlq(0) + b"\xff\x2f\x00"
    return b"MTrk" + struct.pack(">I", len(body)) + body


def tempo_events():
    return [(tick, b"\xff\x51\x03" + struct.pack(">I", micros)[1:]) for tick, micros in TEMPI]


def note_events(notes, zero_velocity_off=False):
    events = []
    for tick, length, key, channel in notes:
        events.append((tick, bytes([0x90 | channel, key, 100])))
        off = bytes([0x90 | channel, key, 0]) if zero_velocity_off else bytes([0x80 | channel, key, 64])
        events.append((tick + length, off))
    return events


def midi_file(kind):
    if kind == 0:
        tracks = [track(tempo_events() + note_events(NOTES, zero_velocity_off=True))]
    else:
        tracks = [track(tempo_events()),
                  track(note_events([n for n in NOTES if n[3] == 0])),
                  track(note_events([n for n in NOTES if n[3] == 1]))]
    return b"MThd" + struct.pack(">IHHH", 6, kind, len(tracks), PPQN) + b"".join(tracks)


def sample_at(tick, rate):
    """The exact time of `tick` under the tempo map, rounded half up to a sample."""
    seconds, previous_tick, micros = Fraction(0), 0, 500000
    for change_tick, change_micros in TEMPI:
        if change_tick >= tick:
            break
        seconds += Fraction((change_tick - previous_tick) * micros, PPQN * 1000000)
        previous_tick, micros = change_tick, change_micros
    seconds += Fraction((tick - previous_tick) * micros, PPQN * 1000000)
    exact = seconds * rate
    return int(exact + Fraction(1, 2))


def render_song(case, name, data, *extra):
    """Writes `data` as NAME.mid and renders KEYS to it; the tool's result, the song's and the
    render's paths."""
    script = case.script("keys.mv", KEYS)
    midi = os.path.join(case.dir, name + ".mid")
    with open(midi, "wb") as file:
        file.write(data)
    out = os.path.join(case.dir, name + ".wav")
    return run_tool("render", script, "--midi", midi, "-o", out, "--quiet", *extra), midi, out


class MidiFileTiming(ToolTestCase):
    def render(self, song, *extra):
        result, _, out = render_song(self, "song", song, *extra)
        self.assertEqual(result.returncode, 0, result.stderr)
        return read_float_wav(out)[0], result

    def test_notes_start_and_end_on_their_exact_samples_in_type_0_and_type_1_files(self):
        for kind in (0, 1):
            for rate in (48000, 44100):
                with self.subTest(kind=kind, rate=rate):
                    samples, result = self.render(midi_file(kind), "--rate", str(rate))
                    self.assertEqual(result.stderr, "")
                    expected = [(sample_at(tick, rate), sample_at(tick + length, rate)) for tick, length, _, _ in NOTES]
                    self.assertEqual(sounding_spans(samples), expected)
                    # The render ends with the last note's voice.
                    self.assertEqual(len(samples), expected[-1][1])

    def test_each_note_plays_its_key_through_the_map_at_its_velocity(self):
        samples, _ = self.render(midi_file(1))
        for (tick, length, key, _), (start, end) in zip(NOTES, sounding_spans(samples)):
            with self.subTest(key=key):
                self.assertAlmostEqual(max(samples[start:end]), 0.1 * 100 / 127, places=6)

    def test_channel_keeps_one_channels_notes(self):
        samples, _ = self.render(midi_file(1), "--channel", "2")
        expected = [(sample_at(tick, 48000), sample_at(tick + length, 48000)) for tick, length, _, channel in NOTES
                    if channel == 1]
        self.assertEqual(sounding_spans(samples), expected)
        os.remove(os.path.join(self.dir, "song.wav"))
        result = self.assert_fails(["render", self.script("keys.mv", KEYS), "--midi", os.path.join(self.dir, "song.mid"),
                                    "--channel", "9", "-o", os.path.join(self.dir, "x.wav")], 1,
                                   "'" + os.path.join(self.dir, "song.mid") + "' has no notes on channel 9")
        self.assertEqual(result.stdout, "")

    def test_unmapped_keys_and_unfinished_notes_are_reported(self):
        midi = os.path.join(self.dir, "song.mid")
        out = os.path.join(self.dir, "song.wav")
        with open(midi, "wb") as file:
            file.write(midi_file(1))
        only_c4 = self.script("c4.mv", "key = { vol(%v) @loop sqr(#%n) }\nmidikey(C4, key)\n")
        result = run_tool("render", only_c4, "--midi", midi, "-o", out, "--quiet")
        self.assertEqual(result.returncode, 0, result.stderr)
        self.assertIn("6 of the 7 notes of '%s' play keys that '%s' does not map (D4 to C5); they are silent"
                      % (midi, only_c4), result.stderr)
        os.remove(out)
        self.assert_fails(["render", self.script("none.mv", "key = { @loop sqr(#%n) }\n"), "--midi", midi, "-o", out],
                          1, "maps none of the keys '%s' plays (C4 to C5); map them with midikey" % midi)
        # A note-on with no note-off is released where the song ends, so the render still ends.
        with open(midi, "wb") as file:
            file.write(b"MThd" + struct.pack(">IHHH", 6, 0, 1, PPQN) +
                       track([(0, b"\x90\x3c\x64"), (960, b"\xff\x01\x03end")]))
        samples, result = self.render(open(midi, "rb").read())
        self.assertIn("1 notes of '%s' never end; they are released at the end of the song" % midi, result.stderr)
        self.assertEqual(sounding_spans(samples), [(0, 48000)])


class DamagedMidiFiles(ToolTestCase):
    def attempt(self, data, *extra):
        result, midi, _ = render_song(self, "bad", data, *extra)
        return result, midi

    def test_truncated_and_foreign_files_are_refused_with_the_reason(self):
        song = midi_file(1)
        cases = [  # (bytes, what the message says)
            (song[:len(song) - 20], "damaged MIDI file: SMF warning: malformed chunk; truncated file?"),
            (song[:30], "damaged MIDI file"),
            (b"RIFF\x00\x00\x00\x00WAVEfmt ", "MThd signature not found, is that a MIDI file?"),
            (b"", "damaged MIDI file"),
            (b"MThd" + struct.pack(">IHHH", 6, 0, 1, 0xE728), "FPS timing"),
            (song.replace(b"MThd\x00\x00\x00\x06\x00\x01", b"MThd\x00\x00\x00\x06\x00\x02"), "format #2"),
            (b"MThd" + struct.pack(">IHHH", 6, 0, 1, 96) + track([(0, b"\xff\x51\x03\x00\x00\x00")]),
             "damaged MIDI file: Ignoring invalid tempo change."),
            (b"MThd" + struct.pack(">IHHH", 6, 0, 1, 1) + track([(0x0FFFFFFF, b"\x90\x3c\x64")]),
             "the song lasts longer than 86400 s"),
        ]
        for data, message in cases:
            with self.subTest(message=message, size=len(data)):
                result, midi = self.attempt(data)
                self.assertEqual(result.returncode, 1, result.stderr)
                self.assertIn("morvanel: cannot read '%s': " % midi, result.stderr)
                self.assertIn(message, result.stderr)
                self.assertEqual(self.audio_files(), [])
        self.assert_fails(["render", self.script("k.mv", KEYS), "--midi", self.dir, "-o", "x.wav"], 1,
                          "cannot read '%s': Is a directory" % self.dir)

    def test_mutated_files_give_a_render_or_an_error_never_a_crash(self):
        song = midi_file(1)
        generator = random.Random(16)
        outcomes = {0: 0, 1: 0}
        for case in range(80):
            data = bytearray(song)
            for _ in range(generator.randint(1, 6)):
                where = generator.randrange(len(data))
                action = generator.choice(("flip", "cut", "insert", "byte"))
                if action == "flip":
                    data[where] ^= 1 << generator.randrange(8)
                elif action == "cut":
                    del data[where:where + generator.randint(1, 16)]
                elif action == "insert":
                    data[where:where] = bytes(generator.randrange(256) for _ in range(generator.randint(1, 8)))
                else:
                    data[where] = generator.choice((0x00, 0x7F, 0x80, 0xF0, 0xF7, 0xFF))
            with self.subTest(case=case):
                # A mutated time can make a song hours long: a fixed length keeps each render short.
                result, _ = self.attempt(bytes(data), "--seconds", "4")
                self.assertIn(result.returncode, (0, 1), result.stderr)
                if result.returncode == 1:
                    self.assertTrue(result.stderr.startswith("morvanel: "), result.stderr)
                outcomes[result.returncode] += 1
        # Both kinds of outcome occur, so the mutations reach past the header.
        self.assertGreater(outcomes[0], 0)
        self.assertGreater(outcomes[1], 0)


if __name__ == "__main__":
    main()
