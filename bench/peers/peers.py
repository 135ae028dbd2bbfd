#!/usr/bin/env python3
"""Renders the square-voice workload with Csound, ChucK and SuperCollider's server, and the melody
and long-fade workloads with ChucK, checks each render, and prints Markdown tables of voice-sample
rates beside Morvanel's own benchmark figures.

The square workload: N voices of a naive square of period 100 samples (480 Hz at 48 kHz, +1 then
-1), summed to mono and divided by 10, rendered non-realtime to a file. The melodies: N voices
each playing c5 e5 g5 c6 g5 e5 round and round as naive squares at half volume, a note every 100
or 2400 samples (Morvanel's Melody100 and Melody2400). The fades: N voices of a 480 Hz naive
square fading in over 10 s, or of a naive saw fading out over 10 s (FadeInSquare, FadeOutSaw).
Every voice starts in phase, so the mix is one wave whose level counts the voices, and a render is
checked for its length, level and pitch (wavcheck.py) before its figure counts. Morvanel's own
voices are staggered (start offsets, eight keys, periods of 50 to 149 samples) so that no voice
repeats another; the work per voice-sample is the same.

Figures are voice-samples per CPU-second (user + sys) of the peer's process, taken from wait4.
Start-up costs (loading the program, parsing, building N voices, opening the file) are cancelled
by rendering each case twice, a short and a long render, and dividing the extra voice-samples of
the long one by its extra CPU time. The long render is sized from a first estimate so that the
difference is worth about --seconds of CPU; every render must pass the check.

Usage: peers.py --ours BENCH.json --scratch DIR [--seconds CPU] [--voices 64,1024]
                [--workloads square,melody100,melody2400,fadein,fadeout]"""

import argparse
import json
import os
import shutil
import subprocess
import sys

# The helpers beside this script are imported without leaving bytecode in the source tree.
sys.dont_write_bytecode = True
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import scsynth_score  # noqa: E402
import wavcheck  # noqa: E402

RATE = 48000
LEVEL = 0.1  # each voice's level in the mix: the sum is divided by 10
# Render lengths are whole 64-sample blocks: Csound stops at a whole k-period and scsynth at a
# whole block, so any other length would come out short or long.
BLOCK = 64
SHORT_SECONDS = 192 * BLOCK / RATE  # length of the render that measures start-up (0.256 s)
MAX_SECONDS = 120.0  # longest render (23 MB of float samples)
CHUCK_FILE_PEAK = 0.8  # level of ChucK's 16-bit file
RUN_LIMIT = 300  # seconds of wall time before a peer is taken to hang
SONG_VOLUME = 0.5  # the melody's volume, as Morvanel's song box sets it
MELODY_NOTES = [72, 76, 79, 84, 79, 76]  # c5 e5 g5 c6 g5 e5
FADE_SECONDS = 10.0


def note_period(note):
    """A MIDI note's period in whole samples, as Morvanel's note names give it."""
    return int(RATE / (13.75 * 2 ** ((note - 9) / 12.0)))


class Workload:
    """What every voice plays: `key` names it on the command line, `ours` is the part of
    Morvanel's benchmark name that measures it, `volume` the voice's level before the mix's 0.1."""

    key = ""
    ours = ""
    label = ""
    volume = 1.0

    def check(self, wav, seconds, peak):
        raise NotImplementedError


class SquareWorkload(Workload):
    key = "square"
    ours = "Square"
    label = "480 Hz squares"

    def check(self, wav, seconds, peak):
        return wavcheck.check(wav, RATE, seconds, peak)


class MelodyWorkload(Workload):
    volume = SONG_VOLUME

    def __init__(self, note_length):
        self.note_length = note_length
        self.key = "melody%d" % note_length
        self.ours = "Melody%d" % note_length
        self.label = "melody, %d-sample notes" % note_length
        self.notes = [(note_period(n), note_length) for n in MELODY_NOTES]

    def check(self, wav, seconds, peak):
        return wavcheck.check_melody(wav, RATE, seconds, peak, self.notes)


class FadeWorkload(Workload):
    def __init__(self, fade_in):
        self.fade_in = fade_in
        self.key = "fadein" if fade_in else "fadeout"
        self.ours = "FadeInSquare" if fade_in else "FadeOutSaw"
        self.label = "10 s fade-in on a square" if fade_in else "10 s fade-out on a saw"

    def check(self, wav, seconds, peak):
        return wavcheck.check_fade(wav, RATE, seconds, peak, FADE_SECONDS, self.fade_in)


WORKLOADS = [SquareWorkload(), MelodyWorkload(100), MelodyWorkload(2400), FadeWorkload(True), FadeWorkload(False)]


class Peer:
    """One way to render workloads: a program name to look for, the workloads it can render, and
    a method that writes the input files for (workload, voices, seconds) into a folder and returns
    the command line, the WAV it writes and the level its peaks must have."""

    program = ""
    name = ""  # of its scratch folders
    label = ""
    workloads = ("square",)

    def installed(self):
        return shutil.which(self.program) is not None

    def prepare(self, workload, voices, seconds, folder):
        raise NotImplementedError


class Csound(Peer):
    program = "csound"

    def __init__(self, ksmps):
        self.ksmps = ksmps
        self.name = "csound-ksmps%d" % ksmps
        self.label = "Csound ksmps=%d" % ksmps

    def prepare(self, workload, voices, seconds, folder):
        # One instrument instance per voice. lfo type 2 is a bipolar square computed from a
        # phase without band-limiting, the same sound as the workload; out adds to the mix.
        orchestra = (
            "sr = %d\nksmps = %d\nnchnls = 1\n0dbfs = 1\n"
            "instr 1\n  asq lfo %g, 480, 2\n  out asq\nendin\n" % (RATE, self.ksmps, LEVEL)
        )
        score = "".join("i 1 0 %.6f\n" % seconds for _ in range(voices))
        csd = os.path.join(folder, "square.csd")
        with open(csd, "w") as f:
            f.write("<CsoundSynthesizer>\n<CsInstruments>\n%s</CsInstruments>\n"
                    "<CsScore>\n%s</CsScore>\n</CsoundSynthesizer>\n" % (orchestra, score))
        wav = os.path.join(folder, "csound.wav")
        # -W -f: float WAV, so the mix of 1024 voices (level 102.4) is written unclipped.
        return ["csound", "-d", "-m0", "-W", "-f", "-o", wav, csd], wav, voices * LEVEL


class ChucK(Peer):
    program = "chuck"
    name = "chuck"
    label = "ChucK SqrOsc"
    workloads = ("square", "melody100", "melody2400", "fadein", "fadeout")

    def prepare(self, workload, voices, seconds, folder):
        wav = os.path.join(folder, "chuck.wav")
        frames = int(round(seconds * RATE))
        # WvOut writes 16-bit samples: fileGain scales the mix into range on the way out, near
        # full scale so that the level still tells whether every voice sounded.
        head = (
            "Gain mix => dac;\n%g => mix.gain;\n"
            "dac => WvOut out => blackhole;\n%.9g => out.fileGain;\n\"%s\" => out.wavFilename;\n"
            % (LEVEL, CHUCK_FILE_PEAK / (voices * LEVEL * workload.volume), wav)
        )
        if workload.key == "square":
            body = (
                "SqrOsc voices[%d];\n"
                "for (0 => int i; i < voices.size(); i++) { voices[i] => mix; 480 => voices[i].freq; }\n"
                % voices
            )
        elif workload.key.startswith("melody"):
            # One shred per voice, as each Morvanel voice runs its own song: it sets the next
            # note's frequency (the sample rate over the note's whole-sample period) and waits
            # for the note's length.
            periods = ", ".join("%d.0" % period for period, _ in workload.notes)
            body = (
                "[%s] @=> float periods[];\n"
                "fun void play(SqrOsc osc) {\n"
                "    0 => int i;\n"
                "    while (true) {\n"
                "        %d.0 / periods[i] => osc.freq;\n"
                "        %d::samp => now;\n"
                "        (i + 1) %% periods.size() => i;\n"
                "    }\n"
                "}\n"
                "SqrOsc voices[%d];\n"
                "for (0 => int i; i < voices.size(); i++) {\n"
                "    voices[i] => mix; %g => voices[i].gain; spork ~ play(voices[i]);\n"
                "}\n" % (periods, RATE, workload.note_length, voices, workload.volume)
            )
        else:
            # An Envelope per voice ramps linearly over the fade, from 0 up or from 1 down.
            oscillator = "SqrOsc" if workload.fade_in else "SawOsc"
            start = "envelopes[i].keyOn();" if workload.fade_in else "1.0 => envelopes[i].value; envelopes[i].keyOff();"
            body = (
                "%s voices[%d];\nEnvelope envelopes[%d];\n"
                "for (0 => int i; i < voices.size(); i++) {\n"
                "    voices[i] => envelopes[i] => mix; 480 => voices[i].freq;\n"
                "    %g::second => envelopes[i].duration; %s\n"
                "}\n" % (oscillator, voices, voices, FADE_SECONDS, start)
            )
        script = head + body + "%d::samp => now;\nout.closeFile();\n" % frames
        path = os.path.join(folder, "%s.ck" % workload.key)
        with open(path, "w") as f:
            f.write(script)
        # --silent: no audio device, time runs as fast as the machine goes.
        return ["chuck", "--silent", "--srate:%d" % RATE, "--out:1", path], wav, CHUCK_FILE_PEAK


class SuperCollider(Peer):
    program = "scsynth"
    name = "scsynth"
    label = "SuperCollider server NRT 64-sample blocks"

    def prepare(self, workload, voices, seconds, folder):
        score = os.path.join(folder, "square.osc")
        with open(score, "wb") as f:
            f.write(scsynth_score.nrt_score(voices, seconds))
        wav = os.path.join(folder, "scsynth.wav")
        # -z 64: block size; -n: room for every voice (the default is 1024 nodes);
        # -i 0 -o 1: no input, one output channel.
        command = ["scsynth", "-N", score, "_", wav, str(RATE), "WAV", "float",
                   "-z", "64", "-n", str(max(1024, 2 * voices)), "-i", "0", "-o", "1"]
        return command, wav, voices * LEVEL


def run(command, log_path, env):
    """Runs `command` under timeout; returns (exit status, CPU seconds of it and its children)."""
    with open(log_path, "wb") as log:
        child = subprocess.Popen(["timeout", str(RUN_LIMIT)] + command, stdin=subprocess.DEVNULL,
                                 stdout=log, stderr=subprocess.STDOUT, env=env)
        # wait4 gives the child's own usage, which counts the peer that timeout waited for.
        _, status, usage = os.wait4(child.pid, 0)
        child.returncode = os.waitstatus_to_exitcode(status)
    return child.returncode, usage.ru_utime + usage.ru_stime


def render(peer, workload, voices, seconds, folder, env):
    """One checked render: returns (CPU seconds, None) or (None, reason)."""
    command, wav, peak = peer.prepare(workload, voices, seconds, folder)
    if os.path.exists(wav):
        os.remove(wav)
    log = os.path.join(folder, "log.txt")
    status, cpu = run(command, log, env)
    if status != 0:
        with open(log, "rb") as f:
            tail = f.read()[-300:].decode("utf-8", "replace").strip().replace("\n", " | ")
        what = "timed out" if status == 124 else "exit status %d" % status
        return None, "%s (%s)" % (what, tail)
    verdict = workload.check(wav, seconds, peak)
    os.remove(wav)
    if verdict:
        return None, "pitch check failed: " + verdict
    return cpu, None


def measure(peer, workload, voices, target_cpu, folder, env):
    """Returns (million voice-samples per CPU-second, None) or (None, reason)."""
    short_cpu, reason = render(peer, workload, voices, SHORT_SECONDS, folder, env)
    if reason:
        return None, reason
    # The short render's rate understates the true one (it carries the start-up), so the first
    # long render comes out at most target_cpu longer; if start-up swamped it, size again.
    rate = voices * RATE * SHORT_SECONDS / max(short_cpu, 1e-3)
    for _ in range(3):
        seconds = min(MAX_SECONDS, SHORT_SECONDS + target_cpu * rate / (voices * RATE))
        seconds = round(seconds * RATE / BLOCK) * BLOCK / RATE
        long_cpu, reason = render(peer, workload, voices, seconds, folder, env)
        if reason:
            return None, reason
        extra = long_cpu - short_cpu
        if extra > 0:
            rate = voices * RATE * (seconds - SHORT_SECONDS) / extra
        else:
            rate *= 4
        if extra >= 0.5 * target_cpu or seconds >= MAX_SECONDS:
            break
    if extra <= 0:
        return None, "no measurable CPU time"
    return rate / 1e6, None


def our_rates(path):
    """Million voice-samples per CPU-second by benchmark name, from Morvanel's benchmark JSON."""
    with open(path) as f:
        results = json.load(f)["benchmarks"]
    rates = {}
    for result in results:
        name = result["name"]
        if "items_per_second" in result and result.get("run_type", "iteration") == "iteration":
            rates[name] = result["items_per_second"] / 1e6
    return rates


def ours(path, voices):
    """Rows from Morvanel's benchmark JSON: (label, {N: million voice-samples per CPU-second})."""
    rates = our_rates(path)
    rows = {}
    for key, label in (("TightLoop", "tight C++ loop"), ("NaiveMap", "naive std::map interpreter"),
                       ("EngineSamplePath", "Morvanel, sample by sample (voice-by-voice path off)"),
                       ("Engine", "Morvanel (voice by voice: the default for these voices)")):
        figures = {n: rates.get("BM_%s_Square/%d" % (key, n)) for n in voices}
        if any(value is not None for value in figures.values()):
            rows[key] = (label, figures)
    return rows


def cell(value, reason):
    """A figure, or the short form of why there is none (the full reason goes under the table)."""
    if value is not None:
        return "%.1f" % value
    return reason.split(":")[0].split(" (")[0]


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--ours", required=True, help="JSON output of morvanel_bench")
    parser.add_argument("--scratch", required=True, help="folder for the rendered audio")
    parser.add_argument("--seconds", type=float, default=2.0,
                        help="CPU seconds the long render adds over the short one")
    parser.add_argument("--voices", default="64,1024")
    parser.add_argument("--workloads", default=",".join(w.key for w in WORKLOADS),
                        help="comma-separated: " + ", ".join(w.key for w in WORKLOADS))
    args = parser.parse_args(argv[1:])
    voices = [int(n) for n in args.voices.split(",")]
    chosen = [w for w in WORKLOADS if w.key in args.workloads.split(",")]
    unknown = set(args.workloads.split(",")) - set(w.key for w in WORKLOADS)
    if unknown:
        parser.error("unknown workload: " + ", ".join(sorted(unknown)))
    # scsynth lists its default synthdef folder at start-up; point it at an empty one.
    env = dict(os.environ, SC_SYNTHDEF_PATH=os.path.join(args.scratch, "synthdefs"))
    os.makedirs(env["SC_SYNTHDEF_PATH"], exist_ok=True)

    peers = (SuperCollider(), ChucK(), Csound(1), Csound(64))
    notes = []
    figures = {}  # (peer label, workload key, N) -> (value, reason)
    for workload in chosen:
        for peer in peers:
            if workload.key not in peer.workloads:
                continue
            for n in voices:
                if not peer.installed():
                    figures[(peer.label, workload.key, n)] = (None, "not installed")
                    continue
                folder = os.path.join(args.scratch, "%s-%s-%d" % (peer.name, workload.key, n))
                os.makedirs(folder, exist_ok=True)
                print("measuring %s, %s, at N = %d ..." % (peer.label, workload.label, n), file=sys.stderr, flush=True)
                value, reason = measure(peer, workload, n, args.seconds, folder, env)
                figures[(peer.label, workload.key, n)] = (value, reason)
                if reason and reason != "not installed":
                    notes.append("%s, %s, N = %d: %s" % (peer.label, workload.label, n, reason))

    def cells(label, key):
        return [cell(*figures[(label, key, n)]) for n in voices]

    if any(w.key == "square" for w in chosen):
        ours_rows = ours(args.ours, voices)

        def our_row(key):
            label, values = ours_rows[key]
            return label, ["%.1f" % values[n] if values[n] is not None else "not run" for n in voices]

        rows = []
        if "TightLoop" in ours_rows:
            rows.append(our_row("TightLoop"))
        rows += [(peer.label, cells(peer.label, "square")) for peer in peers]
        for key in ("NaiveMap", "EngineSamplePath", "Engine"):
            if key in ours_rows:
                rows.append(our_row(key))
        print("| engine | million voice-samples per CPU-second at N = %s |"
              % " / ".join(str(n) for n in voices))
        print("| --- | --- |")
        for label, row in rows:
            print("| %s | %s |" % (label, " / ".join(row)))

    others = [w for w in chosen if w.key != "square"]
    if others:
        rates = our_rates(args.ours)
        sizes = " / ".join(str(n) for n in voices)
        print()
        print("| workload | ChucK, N = %s | Morvanel, N = %s | Morvanel / ChucK |" % (sizes, sizes))
        print("| --- | --- | --- | --- |")
        for workload in others:
            chuck = [figures[(ChucK.label, workload.key, n)] for n in voices]
            mine = [rates.get("BM_Engine_%s/%d" % (workload.ours, n)) for n in voices]
            ratios = ["%.2f" % (m / c[0]) if m is not None and c[0] else "-" for m, c in zip(mine, chuck)]
            print("| %s | %s | %s | %s |" % (
                workload.label, " / ".join(cell(*c) for c in chuck),
                " / ".join("%.1f" % m if m is not None else "not run" for m in mine), " / ".join(ratios)))
    if notes:
        print()
        for note in notes:
            print("- " + note)
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
