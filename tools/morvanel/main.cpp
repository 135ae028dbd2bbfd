// The morvanel command: render scripts to audio files, play them live and check them, as any host
// would, through the public C API only. Usage errors exit with status 2, failures with 1.
#include <csignal>
#include <cmath>
#include <cstdlib>

#include <CLI/CLI.hpp>

#include "commands.h"
#include "lint.h"
#include "morvanel.h"
#include "script_lexer.h"

namespace {

using namespace morvanel::tool;

constexpr double kLongestRender = 86400.0;  // one day

const char kRenderExamples[] = R"(Examples:
  morvanel render examples/coin.mv                      writes coin.wav here
  morvanel render song.mv -o song.flac --bits 16        WAV, FLAC, OGG or AIFF, from the extension
  morvanel render pad.mv --voice pad:a3 --release-after 1.5 --normalize
  morvanel render examples/keyboard.mv --note key:C4:100 --release-after 1
  morvanel render keys.mv --midi song.mid -o song.wav   a MIDI file through the script's midikey maps
  morvanel render siren.mv --set %d=20 --seconds 2      write a global before rendering
  morvanel render *.mv -o renders/                      one file per script in a directory
  cat beep.mv | morvanel render - -o - > beep.wav       standard input and output

Exit status: 0 when the file was written, 1 when it was not (script errors, a silent render,
an unreadable or unwritable file), 2 for a usage error.)";

const char kPlayExamples[] = R"(Examples:
  morvanel play examples/coin.mv                       play what the script runs, then stop
  morvanel play pad.mv --voice pad:a3 --seconds 4      start a box yourself; stop after 4 s
  morvanel play coin.mv --watch                        play again on every save; errors as check shows them
  morvanel play examples/keyboard.mv --keys            the computer keyboard as a piano (Z S X ... Q 2 W ...)
  morvanel play examples/keyboard.mv --midi-in         the first MIDI keyboard; --midi-in 1 or --midi-in=Name
  morvanel play song.mv --watch --midi-in --keys       all at once, until Ctrl-C
  morvanel play --list-devices --list-midi             what can play and what can be played from
  morvanel play kit.mv --device system --buffer 256    a JACK server's outputs, 256 frames per buffer

Without --voice, play starts the voices the script starts with run. With --watch, --keys or
--midi-in it then waits for input until Ctrl-C (or --seconds); otherwise it stops when the last
voice ends. Ctrl-C releases the voices and fades out what still sounds. On a terminal a status
line shows the voices playing, the peak level (CLIP past full scale) and underruns.

Exit status: 0 when playing ended or was stopped with Ctrl-C, 1 when it could not start or go on
(script errors, no or busy audio device, a MIDI port or watched file that went away), 2 for a
usage error.)";

const char kCheckExamples[] = R"(Examples:
  morvanel check *.mv                  errors and warnings in compiler form
  morvanel check --werror kit.mv       warnings fail the check too
  morvanel check --json kit.mv         diagnostics, boxes, groups and MIDI keys as JSON
  morvanel check - < kit.mv            a script from standard input

Exit status: 0 when every script compiles (and, with --werror, has no warning), 1 otherwise,
2 for a usage error.)";

// Parses the whole of `text` as a finite number.
bool ParseNumber(const std::string& text, double& value) {
    if (text.empty()) return false;
    char* end = nullptr;
    value = std::strtod(text.c_str(), &end);
    return end == text.c_str() + text.size() && std::isfinite(value);
}

CLI::Validator SecondsValidator(bool zeroAllowed) {
    return CLI::Validator(
        [zeroAllowed](std::string& text) -> std::string {
            double value = 0.0;
            if (ParseNumber(text, value) && (zeroAllowed ? value >= 0.0 : value > 0.0) && value <= kLongestRender) return "";
            return std::string("takes a number of seconds ") + (zeroAllowed ? "from 0" : "above 0") +
                   " up to 86400 (one day), not '" + text + "'";
        },
        "");
}

CLI::Validator GainValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            double value = 0.0;
            if (ParseNumber(text, value) && value >= -120.0 && value <= 60.0) return "";
            return "takes decibels from -120 to 60, not '" + text + "'";
        },
        "");
}

CLI::Validator StartTextValidator() {
    return CLI::Validator(
        [](std::string& text) -> std::string {
            if (text.empty()) return "needs a box name";
            if (text.size() > kMaxStartText) {
                return "'" + text + "' has " + std::to_string(text.size()) + " characters; a start text holds at most " +
                       std::to_string(kMaxStartText);
            }
            return "";
        },
        "");
}

// "60", "C4", "c#4", "Bb3" as a MIDI key.
bool ParseKey(const std::string& text, int& key) {
    double number = 0.0;
    if (ParseNumber(text, number) && number == std::floor(number) && number >= 0 && number <= 127) {
        key = static_cast<int>(number);
        return true;
    }
    if (!IsNoteName(text)) return false;
    const LEXED_TOKEN token = ScanToken(text + " ", 0, LexMode::Stmt);
    key = std::atoi(token.text.c_str());
    return key >= 0 && key <= 127;
}

bool ParseNoteStart(const std::string& text, NOTE_START& note, std::string& error) {
    const size_t colon = text.find(':');
    if (colon == std::string::npos || colon == 0) {
        error = "takes BOX:KEY or BOX:KEY:VELOCITY (such as key:C4 or key:60:100), not '" + text + "'";
        return false;
    }
    note.box = text.substr(0, colon);
    const std::string rest = text.substr(colon + 1);
    const size_t second = rest.find(':');
    const std::string key = rest.substr(0, second);
    if (!ParseKey(key, note.key)) {
        error = "takes a key from 0 to 127 or a note name such as C4, not '" + key + "'";
        return false;
    }
    note.velocity = 127;
    if (second != std::string::npos) {
        double velocity = 0.0;
        const std::string written = rest.substr(second + 1);
        if (!ParseNumber(written, velocity) || velocity != std::floor(velocity) || velocity < 0 || velocity > 127) {
            error = "takes a velocity from 0 to 127, not '" + written + "'";
            return false;
        }
        note.velocity = static_cast<int>(velocity);
    }
    return true;
}

bool ParseSetting(const std::string& text, VARIABLE_SETTING& setting, std::string& error) {
    const size_t equals = text.find('=');
    std::string name = text.substr(0, equals);
    if (!name.empty() && name[0] == '%') name.erase(0, 1);
    const bool letter = name.size() == 1 && (std::isalnum(static_cast<unsigned char>(name[0])) || name[0] == '_');
    double value = 0.0;
    if (equals == std::string::npos || !letter || !ParseNumber(text.substr(equals + 1), value) ||
        std::fabs(value) > 3.4e38) {
        error = "takes %LETTER=NUMBER (such as %d=20), not '" + text + "'";
        return false;
    }
    setting.letter = name[0];
    setting.value = static_cast<float>(value);
    return true;
}

template <typename T>
CLI::Validator ParsedValidator(bool (*parse)(const std::string&, T&, std::string&)) {
    return CLI::Validator(
        [parse](std::string& text) -> std::string {
            T parsed;
            std::string error;
            return parse(text, parsed, error) ? "" : error;
        },
        "");
}

}  // namespace

int main(int argc, char** argv) {
    // A closed pipe on standard output is reported as a write error, not a silent death.
    std::signal(SIGPIPE, SIG_IGN);
    CLI::App app{"Morvanel: render, play and check sound scripts"};
    app.set_version_flag("--version", "morvanel " MORVANEL_VERSION);
    app.require_subcommand(1);

    RenderOptions render;
    std::string seconds;
    std::string maxSeconds;
    std::string releaseAfter;
    std::string gain;
    std::vector<std::string> notes;
    std::vector<std::string> settings;
    long long seed = -1;
    CLI::App* renderCommand = app.add_subcommand("render", "Render scripts to audio files");
    renderCommand->footer(kRenderExamples);
    renderCommand->add_option("scripts", render.scripts, "Script files; - reads standard input")->required();
    renderCommand->add_option("-o,--output", render.output,
                              "Output file (.wav, .flac, .ogg, .aiff), - for standard output (WAV), or a directory; "
                              "default: the script's name with .wav");
    renderCommand->add_option("--rate", render.rate, "Sample rate in Hz")->capture_default_str()->check(CLI::Range(1, 1000000));
    renderCommand->add_option("--voice", render.voices, "Start a voice of a box (repeatable): a start text such as lead:60")
        ->check(StartTextValidator())->type_name("BOX[:ARG...]");
    renderCommand->add_option("--note", notes, "Start a box as a MIDI key would (repeatable): BOX:KEY[:VELOCITY], "
                                               "such as key:C4:100; velocity 127 by default")
        ->check(ParsedValidator<NOTE_START>(ParseNoteStart))->type_name("BOX:KEY[:VELOCITY]");
    renderCommand->add_option("--set", settings, "Write a global variable before rendering (repeatable): %d=20")
        ->check(ParsedValidator<VARIABLE_SETTING>(ParseSetting))->type_name("%LETTER=NUMBER");
    auto* secondsOption = renderCommand->add_option("--seconds", seconds, "Render exactly this many seconds")
                              ->check(SecondsValidator(false))->type_name("SECONDS");
    renderCommand->add_option("--max-seconds", maxSeconds, "Stop after this many seconds when voices never end (default 600)")
        ->check(SecondsValidator(false))->type_name("SECONDS")->excludes(secondsOption);
    renderCommand->add_option("--bits", render.bits, "Sample format: 16, 24 or 32f (default 32f for WAV and AIFF, 24 for FLAC)")
        ->check(CLI::IsMember({"16", "24", "32f"}));
    renderCommand->add_option("--seed", seed, "Seed of the random generator (noise), for repeatable renders")
        ->check(CLI::Range(0LL, 4294967295LL));
    renderCommand->add_option("--release-after", releaseAfter, "Release every voice started (script runs, --voice, "
                                                               "--note) after this many seconds")
        ->check(SecondsValidator(true))->type_name("SECONDS");
    auto* normalizeFlag = renderCommand->add_flag("--normalize", render.normalize, "Scale the peak to -1 dBFS");
    renderCommand->add_option("--gain", gain, "Scale the output by this many decibels (voices are mixed at 1/10, -20 dB)")
        ->check(GainValidator())->type_name("DB")->excludes(normalizeFlag);
    renderCommand->add_flag("-q,--quiet", render.quiet, "No progress bar");
    auto* midiOption = renderCommand->add_option("--midi", render.midiFile, "Play a Standard MIDI File (type 0 or 1) through "
                                                                        "the script's midikey maps")
                           ->type_name("SONG.mid");
    renderCommand->add_option("--channel", render.channel, "Play only this MIDI channel of the song (1 to 16)")
        ->check(CLI::Range(1, 16))->needs(midiOption);

    PlayOptions play;
    std::string playSeconds;
    std::string playGain;
    CLI::App* playCommand = app.add_subcommand("play", "Play a script on the sound card, live: hot reload, MIDI, keys");
    playCommand->footer(kPlayExamples);
    playCommand->add_option("script", play.script, "Script file; - reads standard input");
    playCommand->add_option("--voice", play.voices, "Start a voice of a box (repeatable): a start text such as lead:60")
        ->check(StartTextValidator())->type_name("BOX[:ARG...]");
    playCommand->add_option("--seconds", playSeconds, "Stop after this many seconds")
        ->check(SecondsValidator(false))->type_name("SECONDS");
    playCommand->add_flag("--list-devices", play.listDevices, "List the audio output devices and stop");
    playCommand->add_flag("--list-midi", play.listMidi, "List the MIDI input ports and stop");
    playCommand->add_option("--device", play.device, "Audio output device: its number in --list-devices or a part of "
                                                     "its name (default: the system's)")->type_name("DEVICE");
    playCommand->add_option("--buffer", play.bufferFrames, "Frames per buffer (default: the device's low-latency size)")
        ->check(CLI::Range(16, 16384))->type_name("FRAMES");
    playCommand->add_option("--rate", play.rate, "Sample rate in Hz (default: the device's)")
        ->check(CLI::Range(1, 1000000))->type_name("HZ");
    playCommand->add_option("--gain", playGain, "Scale the output by this many decibels (voices are mixed at 1/10, -20 dB)")
        ->check(GainValidator())->type_name("DB");
    auto* watchFlag = playCommand->add_flag("--watch", play.watch, "Reload the script whenever it is saved");
    playCommand->add_flag("--watch-poll", play.watchPolling, "With --watch: look at the file four times a second "
                                                            "instead of using inotify (network folders)")
        ->needs(watchFlag);
    auto* midiInOption = playCommand->add_option("--midi-in", play.midiPort, "Play notes from a MIDI port: its number in "
                                                                           "--list-midi or a part of its name (default: "
                                                                           "the first keyboard)")
                             ->expected(0, 1)->type_name("[PORT]");
    playCommand->add_flag("--keys", play.keys, "Play the computer keyboard as a piano, tracker style");

    CheckOptions check;
    CLI::App* checkCommand = app.add_subcommand("check", "Compile and lint scripts: errors, warnings, and a JSON report");
    checkCommand->footer(kCheckExamples);
    checkCommand->add_option("scripts", check.scripts, "Script files; - reads standard input")->required();
    checkCommand->add_flag("--json", check.json, "Print a JSON report (diagnostics, boxes, groups, MIDI keys) on standard output");
    checkCommand->add_flag("--werror", check.werror, "Exit with status 1 when there are warnings");
    checkCommand->add_option("--rate", check.rate, "Sample rate in Hz for unit conversions")->capture_default_str()->check(CLI::Range(1, 1000000));
    checkCommand->add_option("--stdin-name", check.stdinName, "The file name diagnostics give a script read from standard "
                                                              "input (for editors)")->type_name("NAME");

    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& error) {
        const int status = app.exit(error);
        return status == 0 ? 0 : 2;
    }
    for (const std::vector<std::string>* scripts : {&render.scripts, &check.scripts}) {
        if (std::count(scripts->begin(), scripts->end(), "-") > 1) {
            std::fprintf(stderr, "morvanel: standard input (-) can be read only once\n");
            return 2;
        }
    }

    OutputRouting routing;
    if (*playCommand) {
        double value = 0.0;
        if (!playSeconds.empty() && ParseNumber(playSeconds, value)) play.seconds = value;
        if (!playGain.empty() && ParseNumber(playGain, value)) play.gainDb = value;
        play.midiIn = midiInOption->count() > 0;
        if (play.script.empty() && !play.listDevices && !play.listMidi) {
            std::fprintf(stderr, "morvanel: give the script to play (morvanel play FILE), or --list-devices or --list-midi\n");
            return 2;
        }
        return RunPlay(play, routing);
    }
    if (*renderCommand) {
        std::string error;
        double value = 0.0;
        if (!seconds.empty() && ParseNumber(seconds, value)) render.seconds = value;
        if (!maxSeconds.empty() && ParseNumber(maxSeconds, value)) render.maxSeconds = value;
        if (!releaseAfter.empty() && ParseNumber(releaseAfter, value)) render.releaseAfter = value;
        if (!gain.empty() && ParseNumber(gain, value)) render.gainDb = value;
        if (seed >= 0) render.seed = static_cast<unsigned>(seed);
        for (const std::string& text : notes) {
            render.notes.emplace_back();
            ParseNoteStart(text, render.notes.back(), error);
        }
        for (const std::string& text : settings) {
            render.settings.emplace_back();
            ParseSetting(text, render.settings.back(), error);
        }
        return RunRender(render, routing);
    }
    return RunCheck(check, routing);
}
