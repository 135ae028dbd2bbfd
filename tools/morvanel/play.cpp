// `morvanel play`: a script on the sound card in real time. The audio callback only pulls samples;
// this control thread starts voices, reloads the script when it is saved, plays the computer
// keyboard, watches the MIDI port and the device, shows the status line and stops cleanly.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <thread>

#include "audio_output.h"
#include "commands.h"
#include "explain.h"
#include "file_watch.h"
#include "key_piano.h"
#include "lint.h"
#include "midi_input.h"
#include "morvanel.h"
#include "session.h"

extern char** environ;

namespace morvanel::tool {

namespace {

using Clock = std::chrono::steady_clock;

constexpr auto kDrainTime = std::chrono::seconds(1);
constexpr auto kFadeWait = std::chrono::milliseconds(300);
constexpr auto kStalledAfter = std::chrono::seconds(3);
constexpr auto kPortCheckEvery = std::chrono::milliseconds(250);
constexpr auto kStatusEvery = std::chrono::milliseconds(100);
constexpr auto kCheckTimeLimit = std::chrono::seconds(30);
constexpr auto kParseAnswerTime = std::chrono::seconds(3);

std::atomic<int> gStopSignals{0};
int gWakeUp = -1;  // the write end of a pipe that wakes the control loop

void OnStopSignal(int) {
    gStopSignals.fetch_add(1);
    if (gWakeUp >= 0) {
        const char byte = 0;
        [[maybe_unused]] const ssize_t written = write(gWakeUp, &byte, 1);
    }
}

// Ctrl-C, a terminal closing and kill stop the player cleanly; the old handlers come back after.
class CStopSignals {
public:
    CStopSignals() {
        if (pipe2(wake, O_CLOEXEC | O_NONBLOCK) == 0) gWakeUp = wake[1];
        gStopSignals.store(0);
        struct sigaction action {};
        action.sa_handler = OnStopSignal;
        sigemptyset(&action.sa_mask);
        for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &action, &previous[i]);
    }
    ~CStopSignals() {
        for (size_t i = 0; i < std::size(kSignals); ++i) sigaction(kSignals[i], &previous[i], nullptr);
        gWakeUp = -1;
        if (wake[0] >= 0) close(wake[0]);
        if (wake[1] >= 0) close(wake[1]);
    }
    CStopSignals(const CStopSignals&) = delete;
    CStopSignals& operator=(const CStopSignals&) = delete;

    int Descriptor() const { return wake[0]; }
    void Drain() const {
        char bytes[64];
        while (wake[0] >= 0 && read(wake[0], bytes, sizeof bytes) > 0) {
        }
    }
    int Count() const { return gStopSignals.load(); }

private:
    static constexpr int kSignals[] = {SIGINT, SIGTERM, SIGHUP};
    int wake[2] = {-1, -1};
    struct sigaction previous[3] {};
};

// The one-line status on a terminal; nothing when standard error is not one.
class CStatusLine {
public:
    CStatusLine() : enabled(isatty(STDERR_FILENO) == 1) {}
    ~CStatusLine() { Clear(); }
    CStatusLine(const CStatusLine&) = delete;
    CStatusLine& operator=(const CStatusLine&) = delete;

    bool Enabled() const { return enabled; }
    void Draw(const std::string& text) {
        if (!enabled) return;
        std::fprintf(stderr, "\r%s\033[K", text.c_str());
        std::fflush(stderr);
        shown = true;
    }
    // Call before anything else writes to standard error.
    void Clear() {
        if (!shown) return;
        std::fprintf(stderr, "\r\033[K");
        std::fflush(stderr);
        shown = false;
    }

private:
    bool enabled;
    bool shown = false;
};

std::string Decibels(float peak) {
    if (!(peak > 0.0f)) return "  silent";
    char text[32];
    std::snprintf(text, sizeof text, "%+6.1f dBFS", 20.0 * std::log10(static_cast<double>(peak)));
    return text;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "morvanel: %s\n", message.c_str());
    return 1;
}

void Warn(const std::string& message) { std::fprintf(stderr, "morvanel: warning: %s\n", message.c_str()); }

void Say(const std::string& message) { std::fprintf(stderr, "morvanel: %s\n", message.c_str()); }

// Checks a new version of the script in a child process (`morvanel check`), which prints its
// diagnostics as check does. The engine's instance registry must not change while the audio
// thread runs, and the check compiles in instances of its own: in a process of its own it cannot
// touch the playing one. Returns the check's exit status, or -1 with `error`.
int CheckInChild(const std::string& text, int rate, const std::string& shown, std::string& error) {
    int ends[2];
    if (pipe2(ends, O_CLOEXEC) != 0) {
        error = std::string("cannot check it: ") + std::strerror(errno);
        return -1;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, ends[0], STDIN_FILENO);
    const std::string rateText = std::to_string(rate);
    const char* arguments[] = {"morvanel", "check", "--rate", rateText.c_str(), "--stdin-name", shown.c_str(), "-", nullptr};
    pid_t child = -1;
    const int spawned = posix_spawn(&child, "/proc/self/exe", &actions, nullptr, const_cast<char* const*>(arguments), environ);
    posix_spawn_file_actions_destroy(&actions);
    close(ends[0]);
    if (spawned != 0) {
        close(ends[1]);
        error = std::string("cannot check it: ") + std::strerror(spawned);
        return -1;
    }
    const char* bytes = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t count = write(ends[1], bytes, left);
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        bytes += count;
        left -= static_cast<size_t>(count);
    }
    close(ends[1]);
    const auto started = Clock::now();
    int status = 0;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) break;
        if (done < 0 && errno != EINTR) {
            error = std::string("cannot check it: ") + std::strerror(errno);
            return -1;
        }
        if (Clock::now() - started > kCheckTimeLimit) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            error = "checking it took longer than 30 s";
            return -1;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    if (!WIFEXITED(status)) {
        error = "its check stopped on signal " + std::to_string(WTERMSIG(status));
        return -1;
    }
    return WEXITSTATUS(status);
}

class CPlayer {
public:
    CPlayer(const PlayOptions& options, OutputRouting& routing)
        : options(options), routing(routing), shown(options.script == "-" ? "<stdin>" : options.script) {}
    ~CPlayer() {
        keys.Stop();
        midi.Close();
        stream.Stop();
        routing.Silence();
        // A device that went away may have left its audio thread anywhere: the instance stays.
        if (instance >= 0 && !deviceLost) DestroyInstance(instance);
    }
    CPlayer(const CPlayer&) = delete;
    CPlayer& operator=(const CPlayer&) = delete;

    int Run();

private:
    enum class Ending { Finished, Interrupted, Failed, DeviceLost };

    bool Prepare(const SCRIPT_ANALYSIS& analysis, std::string& error);
    bool LoadInto(const std::string& text, const SCRIPT_OUTLINE& outline, bool first, std::string& error);
    void StartVoices();
    void Reload();
    Ending Loop(int& status);
    void Finish(Ending ending);
    std::string StatusText(float peak, bool clipping) const;
    bool InputsOpen() const { return options.watch || options.midiIn || options.keys; }

    const PlayOptions& options;
    OutputRouting& routing;
    const std::string shown;
    CAudioSystem audio;
    COutputStream stream;
    CMidiInput midi;
    CKeyPiano keys;
    CFileWatch watch;
    CStatusLine status;
    CStopSignals signals;
    int instance = -1;
    int rate = 0;
    bool haveGood = false;            // a version of the script compiled and plays
    std::string lastTried;            // the text last read, good or not
    std::vector<std::string> starts;  // what the script's run commands and --voice start
    std::vector<int> voices;          // the voices the last StartVoices started
    int64_t startsPostedAt = -1;      // the callback count when they were posted
    int refusedStarts = 0;
    bool deviceLost = false;
};

// The run commands' start texts that can start a voice, then each --voice; false when a --voice
// names no box of the script.
bool CollectStarts(const SCRIPT_OUTLINE& outline, const std::vector<std::string>& boxNames,
                   const std::vector<std::string>& extra, std::vector<std::string>& starts, std::string& prepared,
                   std::string& error) {
    starts.clear();
    prepared = WithoutRunCommands(outline, starts);
    std::erase_if(starts, [&](const std::string& text) {
        return text.size() > kMaxStartText || outline.named.count(ReadStartText(text).name) == 0;
    });
    for (const std::string& voice : extra) {
        const START_TEXT start = ReadStartText(voice);
        const auto box = outline.named.find(start.name);
        if (box == outline.named.end() && std::find(boxNames.begin(), boxNames.end(), start.name) == boxNames.end()) {
            std::string names;
            for (const auto& [name, index] : outline.named) names += (names.empty() ? "" : ", ") + name;
            error = "--voice '" + voice + "' names no box of the script; its boxes are: " + (names.empty() ? "(none)" : names);
            return false;
        }
        if (box != outline.named.end()) {
            const std::string problem =
                ArgumentCountProblem(outline.boxes[static_cast<size_t>(box->second)], start.pushed, ("--voice '" + voice + "'").c_str());
            if (!problem.empty()) Warn(problem);
        }
        starts.push_back(voice);
    }
    return true;
}

int CPlayer::Run() {
    std::string text;
    std::string error;
    if (options.keys && isatty(STDIN_FILENO) != 1) {
        return Fail("--keys needs a terminal on standard input, to read the keys as they are pressed");
    }
    if (options.watch && options.script == "-") return Fail("--watch needs a script file, not standard input");
    if (!ReadScript(options.script, text, error)) return Fail("cannot read '" + shown + "': " + error);
    AUDIO_DEVICE device;
    if (!audio.FindDevice(options.device, device, error)) return Fail(error);
    STREAM_SETUP setup;
    setup.rate = options.rate;
    setup.bufferFrames = options.bufferFrames;
    if (options.gainDb) setup.gain = static_cast<float>(std::pow(10.0, *options.gainDb / 20.0));
    if (!stream.Open(device, setup, error)) return Fail(error);
    rate = stream.Rate();

    // Every scratch instance the analysis needs is made and gone before the stream starts.
    const SCRIPT_ANALYSIS analysis = AnalyseScript(text, rate, routing, true);
    for (const Diagnostic& diagnostic : analysis.diagnostics) PrintDiagnostic(stderr, shown, analysis.outline.source, diagnostic);
    lastTried = text;
    if (!analysis.compiled.succeeded) {
        if (!options.watch) return Fail("'" + shown + "' has errors; nothing was played");
        Say("'" + shown + "' has errors; playing starts once a saved version compiles");
    }
    if (!Prepare(analysis, error)) return Fail(error);
    if (options.midiIn && !midi.Open(options.midiPort, instance, error)) return Fail(error);
    if (options.keys && !keys.Start(instance, error)) return Fail(error);
    if (options.watch) {
        if (!watch.Start(options.script, options.watchPolling, error)) return Fail("cannot watch '" + shown + "': " + error);
    }
    StartVoices();
    routing.ForwardToStderr();
    if (!stream.Start(error)) return Fail(error);

    int exitStatus = 0;
    const Ending ending = Loop(exitStatus);
    Finish(ending);
    if (deviceLost) {
        // PortAudio's JACK side tears itself down on a thread of its own once the server is gone,
        // and may assert on the way; the message above has said what happened.
        std::fflush(nullptr);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDERR_FILENO);
        std::_Exit(1);
    }
    if (refusedStarts > 0) {
        Warn("the engine refused " + std::to_string(refusedStarts) + " voice starts: it takes at most 64 commands at once");
    }
    if (stream.Underruns() > 0) {
        Warn("the audio device reported " + std::to_string(stream.Underruns()) +
             " underruns, where the sound may have broken up; a larger --buffer may help");
    }
    return exitStatus;
}

bool CPlayer::Prepare(const SCRIPT_ANALYSIS& analysis, std::string& error) {
    std::string prepared;
    if (analysis.compiled.succeeded) {
        if (!CollectStarts(analysis.outline, analysis.compiled.boxNames, options.voices, starts, prepared, error)) return false;
        if (starts.empty() && !InputsOpen()) {
            std::string names;
            for (const auto& [name, box] : analysis.outline.named) names += (names.empty() ? "" : ", ") + name;
            error = "'" + shown + "' starts no voice; give --voice BOX (boxes: " + (names.empty() ? "none" : names) +
                    "), or play it with --keys or --midi-in";
            return false;
        }
        if ((options.keys || options.midiIn) && analysis.outline.keys.empty()) {
            Warn("'" + shown + "' maps no MIDI key, so the keys play nothing; map them with midikey(LOW, HIGH, BOX)");
        }
    }
    instance = NewInstance(rate);
    std::srand(static_cast<unsigned>(std::random_device{}() & 0x7FFFFFFF));
    stream.SetInstance(instance);
    if (!analysis.compiled.succeeded) return true;
    // The script compiles at a sample of its own before the stream starts, so that every voice
    // starts at the stream's first sample, after the key map is in place.
    const int serial = ParseString(prepared.c_str(), instance);
    float preroll = 0.0f;
    GetBuffer(1, &preroll, instance);
    const std::string log = GetResponseString(serial, instance);
    if (log.find("Compilation successful") == std::string::npos || MorvanelActiveVoices(instance) != 0) {
        error = "internal error: '" + shown + "' compiled differently once its voices were taken out";
        return false;
    }
    haveGood = true;
    return true;
}

void CPlayer::StartVoices() {
    voices.clear();
    for (const std::string& text : starts) {
        const int id = StartVoice(text.c_str(), instance);
        if (id == 0) {
            ++refusedStarts;
        } else {
            voices.push_back(id);
        }
    }
    startsPostedAt = stream.Callbacks();
}

void CPlayer::Reload() {
    std::string text;
    std::string error;
    if (!ReadScript(options.script, text, error)) {
        status.Clear();
        Warn("cannot read '" + shown + "': " + error + "; what plays keeps playing");
        return;
    }
    if (text == lastTried) return;
    lastTried = text;
    status.Clear();
    const int checked = CheckInChild(text, rate, shown, error);
    if (checked != 0) {
        if (checked < 0) Warn("'" + shown + "' was not reloaded: " + error);
        Say("'" + shown + "' has errors; " +
            (haveGood ? std::string("the last version that compiled keeps playing") : std::string("nothing plays until it compiles")));
        return;
    }
    const SCRIPT_OUTLINE outline = ReadOutline(text, rate);
    std::vector<std::string> newStarts;
    std::string prepared;
    if (!CollectStarts(outline, {}, options.voices, newStarts, prepared, error)) {
        Say("'" + shown + "' was not reloaded: " + error);
        return;
    }
    const int serial = ParseString(prepared.c_str(), instance);
    std::string log;
    const auto asked = Clock::now();
    while (serial != 0 && log.empty() && Clock::now() - asked < kParseAnswerTime) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        log = GetResponseString(serial, instance);
    }
    bool succeeded = false;
    const std::vector<Diagnostic> diagnostics = SplitLog(log, succeeded);
    for (const Diagnostic& diagnostic : diagnostics) PrintDiagnostic(stderr, shown, text, diagnostic);
    if (!succeeded) {
        Say("the playing engine did not take '" + shown + "'" + (log.empty() ? " (it did not answer in time)" : ""));
        return;
    }
    haveGood = true;
    starts = newStarts;
    Say("reloaded '" + shown + "'");
    // Voices that still play keep their old definitions until they end; when nothing plays, the
    // script's voices start again, so a one-shot sound is heard as saved.
    if (stream.Callbacks() > startsPostedAt + 1 && MorvanelActiveVoices(instance) == 0) StartVoices();
}

std::string CPlayer::StatusText(float peak, bool clipping) const {
    char text[256];
    std::snprintf(text, sizeof text, "playing %.1f s  voices %d  peak %s%s  underruns %lld",
                  static_cast<double>(stream.Frames()) / rate, MorvanelActiveVoices(instance), Decibels(peak).c_str(),
                  clipping ? " CLIP" : "", static_cast<long long>(stream.Underruns()));
    std::string line = text;
    if (options.keys) line += "  keys from " + keys.Octave();
    if (options.midiIn) line += "  MIDI notes " + std::to_string(midi.NotesPlayed());
    return line + "  (Ctrl-C stops)";
}

CPlayer::Ending CPlayer::Loop(int& exitStatus) {
    auto lastPortCheck = Clock::now();
    auto lastStatus = Clock::now();
    auto clipUntil = Clock::now();
    auto lastProgress = Clock::now();
    int64_t lastFrames = -1;
    float peak = 0.0f;
    for (;;) {
        pollfd waits[3];
        nfds_t count = 0;
        waits[count++] = {signals.Descriptor(), POLLIN, 0};
        if (watch.Descriptor() >= 0) waits[count++] = {watch.Descriptor(), POLLIN, 0};
        const int keyboard = keys.Descriptor();
        if (keyboard >= 0) waits[count++] = {keyboard, POLLIN, 0};
        poll(waits, count, 20);
        signals.Drain();
        if (signals.Count() > 0) return Ending::Interrupted;
        const auto now = Clock::now();

        if (keyboard >= 0 && (waits[count - 1].revents & POLLIN) != 0) keys.OnInput();
        keys.Tick();
        if (options.watch) {
            const FileChange change = watch.Check();
            if (change == FileChange::Saved) Reload();
            if (change == FileChange::Deleted) {
                status.Clear();
                Say("'" + shown + "' was deleted while watched; stopping");
                exitStatus = 1;
                return Ending::Failed;
            }
        }
        if (options.midiIn && now - lastPortCheck >= kPortCheckEvery) {
            lastPortCheck = now;
            if (!midi.PortPresent()) {
                status.Clear();
                Say("MIDI port '" + midi.PortName() + "' went away (unplugged, or the program that offered it quit); stopping");
                exitStatus = 1;
                return Ending::Failed;
            }
        }
        const int64_t frames = stream.Frames();
        if (!stream.Running()) {
            status.Clear();
            Say("the audio device '" + stream.DeviceName() + "' stopped playing (unplugged, or its JACK server quit)");
            exitStatus = 1;
            return Ending::DeviceLost;
        }
        if (frames != lastFrames) {
            lastFrames = frames;
            lastProgress = now;
        } else if (now - lastProgress > kStalledAfter) {
            status.Clear();
            Say("the audio device '" + stream.DeviceName() + "' stopped asking for samples");
            exitStatus = 1;
            return Ending::DeviceLost;
        }
        if (options.seconds && static_cast<double>(frames) >= *options.seconds * rate) return Ending::Finished;
        // Without an input, playing ends with the last voice.
        if (!InputsOpen() && stream.Callbacks() > startsPostedAt + 1 && MorvanelActiveVoices(instance) == 0) {
            return Ending::Finished;
        }
        peak = std::max(peak, stream.TakePeak());
        if (status.Enabled() && now - lastStatus >= kStatusEvery) {
            lastStatus = now;
            if (peak > 1.0f) clipUntil = now + std::chrono::seconds(2);
            status.Draw(StatusText(peak, now < clipUntil));
            peak = 0.0f;
        }
    }
}

void CPlayer::Finish(Ending ending) {
    status.Clear();
    keys.Stop();
    midi.Close();
    if (ending == Ending::DeviceLost) {
        deviceLost = true;
        stream.Abandon();
        audio.Abandon();
        return;
    }
    // Released voices play their release; what still sounds after a moment is faded out, so
    // stopping never clicks. Another Ctrl-C skips the wait.
    for (int id : voices) ReleaseVoice(id, instance);
    const int64_t released = stream.Callbacks();
    const int interrupts = signals.Count();
    const auto started = Clock::now();
    while (Clock::now() - started < kDrainTime && signals.Count() == interrupts && stream.Running()) {
        if (stream.Callbacks() > released + 1 && MorvanelActiveVoices(instance) == 0) break;
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    stream.FadeOut();
    const auto fading = Clock::now();
    while (!stream.Faded() && stream.Running() && Clock::now() - fading < kFadeWait) {
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    stream.Stop();
}

}  // namespace

int RunPlay(const PlayOptions& options, OutputRouting& routing) {
    if (options.listDevices || options.listMidi) {
        if (options.listDevices) {
            CAudioSystem audio;
            const std::vector<AUDIO_DEVICE> devices = audio.OutputDevices();
            FILE* out = routing.Results();
            std::fprintf(out, "Audio output devices (--device NUMBER or a part of the name):\n");
            if (!audio.Ready()) std::fprintf(out, "  (none: PortAudio did not start: %s)\n", audio.Problem().c_str());
            if (audio.Ready() && devices.empty()) {
                std::fprintf(out, "  (none: no sound card, no PulseAudio or PipeWire through ALSA, no running JACK server)\n");
            }
            for (const AUDIO_DEVICE& device : devices) {
                std::fprintf(out, "  %2d  %s (%s, %d channels, %ld Hz)%s\n", device.index, device.name.c_str(),
                             device.hostApi.c_str(), device.channels, std::lround(device.defaultRate),
                             device.isDefault ? "  [default]" : "");
            }
            std::fflush(out);
        }
        if (options.listMidi) {
            std::vector<std::string> problems;
            const std::vector<MIDI_PORT> ports = ListMidiPorts(problems);
            FILE* out = routing.Results();
            std::fprintf(out, "MIDI input ports (--midi-in NUMBER or a part of the name):\n");
            if (ports.empty()) std::fprintf(out, "  (none)\n");
            for (size_t i = 0; i < ports.size(); ++i) {
                std::fprintf(out, "  %2zu  %s (%s)\n", i, ports[i].name.c_str(), ports[i].system.c_str());
            }
            for (const std::string& problem : problems) std::fprintf(out, "  %s\n", problem.c_str());
            std::fflush(out);
        }
        return 0;
    }
    CPlayer player(options, routing);
    return player.Run();
}

}  // namespace morvanel::tool
