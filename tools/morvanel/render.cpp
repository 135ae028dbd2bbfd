// `morvanel render`: compile a script, start its voices, render until they end (or for a fixed
// length) straight into the output file, and report what was written.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <random>
#include <set>

#include "audio_file.h"
#include "commands.h"
#include "explain.h"
#include "lint.h"
#include "midi_file.h"
#include "morvanel.h"
#include "render_loop.h"
#include "session.h"

namespace morvanel::tool {

namespace {

constexpr double kNormalizedPeak = 0.8912509381337456;  // -1 dBFS
constexpr const char* kSilentLoop = "this loop makes no samples";
constexpr double kLongestSong = 86400.0;  // one day, the longest render

std::string DefaultOutput(const std::string& script) {
    const size_t slash = script.find_last_of('/');
    const std::string name = slash == std::string::npos ? script : script.substr(slash + 1);
    const size_t dot = name.find_last_of('.');
    return (dot == std::string::npos || dot == 0 ? name : name.substr(0, dot)) + ".wav";
}

std::string JoinNames(const std::vector<std::string>& names) {
    if (names.empty()) return "(none)";
    std::string joined;
    for (const std::string& name : names) joined += (joined.empty() ? "" : ", ") + name;
    return joined;
}

std::string Level(float peak) {
    if (!(peak > 0.0f)) return "silent";
    char text[32];
    std::snprintf(text, sizeof text, peak > 1.0f ? "%+.1f dBFS" : "%.1f dBFS", 20.0 * std::log10(static_cast<double>(peak)));
    return text;
}

void Warn(const std::string& message) { std::fprintf(stderr, "morvanel: warning: %s\n", message.c_str()); }

int Fail(const std::string& message) {
    std::fprintf(stderr, "morvanel: %s\n", message.c_str());
    return 1;
}

// A progress line on standard error for renders that take longer than a second.
class Progress {
public:
    Progress(bool enabled, double totalSeconds) : enabled(enabled), total(totalSeconds) {}
    ~Progress() { Finish(); }

    void Update(double renderedSeconds) {
        if (!enabled) return;
        const auto now = Clock::now();
        if (now - started < std::chrono::seconds(1) || now - lastDrawn < std::chrono::milliseconds(100)) return;
        lastDrawn = now;
        shown = true;
        if (total > 0.0) {
            const int width = 30;
            const double fraction = std::min(renderedSeconds / total, 1.0);
            const int filled = static_cast<int>(fraction * width);
            std::fprintf(stderr, "\r[%.*s%*s] %3d%%  %.1f s", filled, "==============================",
                         width - filled, "", static_cast<int>(fraction * 100.0), renderedSeconds);
        } else {
            std::fprintf(stderr, "\rrendered %.1f s of audio", renderedSeconds);
        }
        std::fflush(stderr);
    }

    void Finish() {
        if (shown) std::fprintf(stderr, "\r\033[K");
        shown = false;
    }

private:
    using Clock = std::chrono::steady_clock;
    bool enabled;
    double total;
    bool shown = false;
    Clock::time_point started = Clock::now();
    Clock::time_point lastDrawn = started;
};

// Scales samples by a gain and writes them on; counts what goes past full scale.
class CFileSink : public CSampleSink {
public:
    explicit CFileSink(CAudioWriter& writer) : writer(writer) {}

    bool Write(const float* samples, int64_t count) override {
        scaled.resize(static_cast<size_t>(count));
        for (int64_t i = 0; i < count; ++i) {
            const float value = samples[i] * gain;
            scaled[static_cast<size_t>(i)] = value;
            peak = std::max(peak, std::fabs(value));
            if (std::fabs(value) > 1.0f) ++clipped;
        }
        return writer.Write(scaled.data(), count, error);
    }

    float gain = 1.0f;
    float peak = 0.0f;
    int64_t clipped = 0;
    std::string error;

private:
    CAudioWriter& writer;
    std::vector<float> scaled;
};

// Keeps the raw render in a temporary file, for a second pass once the peak is known.
class CSpoolSink : public CSampleSink {
public:
    CSpoolSink() : spool(std::tmpfile()) {}
    ~CSpoolSink() override {
        if (spool != nullptr) std::fclose(spool);
    }
    CSpoolSink(const CSpoolSink&) = delete;
    CSpoolSink& operator=(const CSpoolSink&) = delete;

    bool Write(const float* samples, int64_t count) override {
        if (spool == nullptr || std::fwrite(samples, sizeof(float), static_cast<size_t>(count), spool) != static_cast<size_t>(count)) {
            error = std::string("cannot keep the render in a temporary file: ") + std::strerror(errno);
            return false;
        }
        return true;
    }

    bool Replay(CSampleSink& to) {
        if (std::fflush(spool) != 0 || std::fseek(spool, 0, SEEK_SET) != 0) return false;
        std::vector<float> block(4096);
        for (;;) {
            const size_t count = std::fread(block.data(), sizeof(float), block.size(), spool);
            if (count == 0) return std::ferror(spool) == 0;
            if (!to.Write(block.data(), static_cast<int64_t>(count))) return false;
        }
    }

    std::string error;

private:
    FILE* spool;
};

const OUTLINE_BOX* BoxNamed(const SCRIPT_OUTLINE& outline, const std::string& name) {
    const auto found = outline.named.find(name);
    return found == outline.named.end() ? nullptr : &outline.boxes[static_cast<size_t>(found->second)];
}

std::vector<std::string> ScriptBoxNames(const SCRIPT_ANALYSIS& analysis) {
    std::vector<std::string> names;
    for (const auto& [name, box] : analysis.outline.named) names.push_back(name);
    return names.empty() ? analysis.compiled.boxNames : names;
}

std::string Globals(const std::string& letters) {
    std::string list;
    for (char letter : letters) list += std::string(list.empty() ? "%" : ", %") + letter;
    return list.empty() ? "none" : list;
}

// Refuses a song none of whose notes the script maps, and warns of the notes it leaves silent.
bool CheckSongKeys(const RenderOptions& options, const MIDI_SONG& song, const SCRIPT_OUTLINE& outline,
                   const std::string& shown, std::string& error) {
    bool mapped[128] = {};
    for (const KEY_RANGE& range : outline.keys) {
        for (int key = std::max(0, range.low); key <= std::min(127, range.high); ++key) mapped[key] = true;
    }
    int64_t played = 0;
    int64_t silent = 0;
    int low = 128;
    int high = -1;
    for (const MIDI_NOTE& note : song.notes) {
        if (!note.on) continue;
        ++played;
        if (mapped[note.key]) continue;
        ++silent;
        low = std::min(low, note.key);
        high = std::max(high, note.key);
    }
    const std::string channel = options.channel == 0 ? "" : " on channel " + std::to_string(options.channel);
    if (played == 0) {
        error = "'" + options.midiFile + "' has no notes" + channel + "; nothing was rendered";
        return false;
    }
    const std::string range = silent == 0    ? ""
                              : low == high ? MidiKeyName(low)
                                            : MidiKeyName(low) + " to " + MidiKeyName(high);
    if (silent == played) {
        error = "'" + shown + "' maps none of the keys '" + options.midiFile + "' plays" + channel + " (" + range +
                "); map them with midikey(LOW, HIGH, BOX); nothing was rendered";
        return false;
    }
    if (silent > 0) {
        Warn(std::to_string(silent) + " of the " + std::to_string(played) + " notes of '" + options.midiFile +
             "' play keys that '" + shown + "' does not map (" + range + "); they are silent");
    }
    if (song.unreleased > 0) {
        Warn(std::to_string(song.unreleased) + " notes of '" + options.midiFile +
             "' never end; they are released at the end of the song");
    }
    return true;
}

int RenderScript(const RenderOptions& options, const std::string& scriptPath, const std::string& output,
                 OutputRouting& routing, const MIDI_SONG* song) {
    const std::string shown = scriptPath == "-" ? "<stdin>" : scriptPath;
    std::string script;
    std::string error;
    if (!ReadScript(scriptPath, script, error)) return Fail("cannot read '" + shown + "': " + error);
    AudioFormat format;
    if (!ChooseFormat(output, options.bits, format, error)) return Fail(error);

    const SCRIPT_ANALYSIS analysis = AnalyseScript(script, options.rate, routing, true);
    const SCRIPT_OUTLINE& outline = analysis.outline;
    for (const Diagnostic& diagnostic : analysis.diagnostics) PrintDiagnostic(stderr, shown, outline.source, diagnostic);
    if (!analysis.compiled.succeeded) return Fail("'" + shown + "' has errors; nothing was rendered");
    const std::string boxList = JoinNames(ScriptBoxNames(analysis));

    std::vector<std::string> startTexts;
    std::string prepared = WithoutRunCommands(outline, startTexts);
    // The engine starts nothing from a longer text or an unknown name; the linter has said so above.
    std::erase_if(startTexts, [&](const std::string& text) {
        return text.size() > kMaxStartText || outline.named.count(ReadStartText(text).name) == 0;
    });
    std::vector<std::string> startedBoxes;
    for (const std::string& text : startTexts) startedBoxes.push_back(ReadStartText(text).name);
    for (const std::string& voice : options.voices) {
        const START_TEXT start = ReadStartText(voice);
        const OUTLINE_BOX* box = BoxNamed(outline, start.name);
        const auto& reported = analysis.compiled.boxNames;
        if (box == nullptr && std::find(reported.begin(), reported.end(), start.name) == reported.end()) {
            return Fail("--voice '" + voice + "' names no box of '" + shown + "'; its boxes are: " + boxList);
        }
        if (box != nullptr) {
            const std::string problem = ArgumentCountProblem(*box, start.pushed, ("--voice '" + voice + "'").c_str());
            if (!problem.empty()) Warn(problem);
        }
        startTexts.push_back(voice);
        startedBoxes.push_back(start.name);
    }
    for (const NOTE_START& note : options.notes) {
        const OUTLINE_BOX* box = BoxNamed(outline, note.box);
        if (box == nullptr || note.box.size() > kMaxStartText) {
            return Fail("--note '" + note.box + ":" + std::to_string(note.key) + "' names no box of '" + shown +
                        "' that a key can start; its boxes are: " + boxList);
        }
        const std::string problem = ArgumentCountProblem(*box, 0, ("--note '" + note.box + "'").c_str());
        if (!problem.empty()) Warn(problem + " (a voice started by a key has the note in %n and the velocity in %v)");
        // The key map is read when the note is played, so the mapping goes into the script.
        prepared += "\nmidikey(" + std::to_string(note.key) + ", " + note.box + ")";
        startedBoxes.push_back(note.box);
    }
    if (song != nullptr && !CheckSongKeys(options, *song, outline, shown, error)) return Fail(error);
    for (const VARIABLE_SETTING& setting : options.settings) {
        if (outline.globals.find(setting.letter) == std::string::npos) {
            return Fail(std::string("--set %") + setting.letter + ": '" + shown + "' declares no global %" + setting.letter +
                        " (its globals: " + Globals(outline.globals) + "); declare it with global(%" + setting.letter + ")");
        }
    }
    if (!options.releaseAfter && !options.seconds) {
        std::set<std::string> warned;
        for (const std::string& name : startedBoxes) {
            const auto found = outline.named.find(name);
            if (found == outline.named.end() || !LoopsUntilReleased(outline, found->second) || !warned.insert(name).second) continue;
            char limit[64];
            std::snprintf(limit, sizeof limit, "%g s", options.maxSeconds);
            Warn("'" + name + "' loops until it is released and nothing releases it: the render goes on to --max-seconds (" +
                 limit + "); give --release-after SECONDS or --seconds SECONDS");
        }
    }

    CAudioWriter writer;
    if (!writer.Open(output, format, options.rate, fileno(routing.Results()), error)) return Fail(error);

    const int instance = NewInstance(options.rate);
    const unsigned seed = options.seed ? *options.seed : static_cast<unsigned>(std::random_device{}() & 0x7FFFFFFF);
    std::srand(seed);
    // The script compiles at a sample of its own, before any voice starts: every voice (the
    // script's runs, --voice, --note) then starts at the first rendered sample, after the key map
    // and the --set values are in place.
    const int serial = ParseString(prepared.c_str(), instance);
    routing.ForwardToStderr();
    float preroll = 0.0f;
    GetBuffer(1, &preroll, instance);
    const std::string log = GetResponseString(serial, instance);
    if (log.find("Compilation successful") == std::string::npos || MorvanelActiveVoices(instance) != 0) {
        routing.Silence();
        DestroyInstance(instance);
        return Fail("internal error: '" + shown + "' compiled differently once its voices were taken out");
    }
    for (const VARIABLE_SETTING& setting : options.settings) {
        const char name[3] = {'%', setting.letter, '\0'};
        SetVariable(name, setting.value, instance);
    }

    const double rate = options.rate;
    std::vector<RENDER_EVENT> events;
    for (const std::string& text : startTexts) events.push_back({0, EventKind::StartVoice, text, 0, 0});
    for (const NOTE_START& note : options.notes) events.push_back({0, EventKind::NoteOn, "", note.key, note.velocity});
    if (options.releaseAfter) {
        const int64_t at = std::llround(*options.releaseAfter * rate);
        events.push_back({at, EventKind::ReleaseVoices, "", 0, 0});
        for (const NOTE_START& note : options.notes) events.push_back({at, EventKind::NoteOff, "", note.key, 0});
    }
    if (song != nullptr) {
        for (const MIDI_NOTE& note : song->notes) {
            events.push_back({note.at, note.on ? EventKind::NoteOn : EventKind::NoteOff, "", note.key, note.velocity});
        }
    }
    RENDER_LIMITS limits;
    if (options.seconds) limits.length = std::llround(*options.seconds * rate);
    // A song's voices have --max-seconds to end after its last event.
    limits.maxLength = std::llround(options.maxSeconds * rate) + (song != nullptr ? song->end : 0);
    for (const Diagnostic& diagnostic : analysis.diagnostics) {
        if (diagnostic.message.rfind(kSilentLoop, 0) == 0) limits.silentCutoff = options.rate;
    }
    if (limits.silentCutoff >= 0 && song != nullptr) {
        const auto first = std::find_if(song->notes.begin(), song->notes.end(), [](const MIDI_NOTE& note) { return note.on; });
        if (first != song->notes.end()) limits.silentCutoff += first->at;
    }

    CFileSink file(writer);
    CSpoolSink spool;
    if (options.gainDb) file.gain = static_cast<float>(std::pow(10.0, *options.gainDb / 20.0));
    Progress progress(!options.quiet && isatty(STDERR_FILENO), options.seconds ? *options.seconds : 0.0);
    const RENDER_OUTCOME outcome =
        RenderEvents(instance, events, limits, options.normalize ? static_cast<CSampleSink&>(spool) : file, [&](int64_t done) {
            progress.Update(static_cast<double>(done) / rate);
            return !routing.SawDepthWarning();
        });
    routing.Silence();
    progress.Finish();
    DestroyInstance(instance);
    const double seconds = static_cast<double>(outcome.samples) / rate;
    char length[64];
    std::snprintf(length, sizeof length, "%.3f s", seconds);

    if (outcome.sinkFailed) return Fail(options.normalize ? spool.error : file.error);
    if (outcome.refusedStarts > 0) {
        return Fail("the engine refused " + std::to_string(outcome.refusedStarts) +
                    " voice starts: it takes at most 64 commands at once; nothing was written");
    }
    if (routing.SawDepthWarning()) {
        return Fail("calls nested deeper than " + std::to_string(kDeepestCall) + " levels stopped the engine (" +
                    kDepthWarning + ", above); nothing was written");
    }
    if (!options.seconds && outcome.samples == 0) {
        if (startTexts.empty() && options.notes.empty() && song == nullptr) {
            return Fail("'" + shown + "' starts no voice; give --voice NAME (boxes: " + boxList + ") or --seconds S");
        }
        return Fail("the voices '" + shown + "' starts end before their first sample; nothing was written");
    }
    if (outcome.stoppedSilent) {
        return Fail("stopped after " + std::string(length) + " of silence: a loop makes no samples (see the warning "
                    "above); nothing was written");
    }
    if (!(outcome.peak > 0.0f)) {
        std::string hint = startTexts.empty() && options.notes.empty() && song == nullptr
                               ? " (it starts no voice: give --voice NAME, boxes: " + boxList + ")"
                               : analysis.warnings > 0 ? " (see the warnings above)" : "";
        return Fail("'" + shown + "' rendered " + length + " of silence; nothing was written" + hint);
    }
    if (options.normalize) {
        file.gain = static_cast<float>(kNormalizedPeak / static_cast<double>(outcome.peak));
        if (!spool.Replay(file)) return Fail(file.error.empty() ? "cannot read back the temporary render" : file.error);
    }
    if (!writer.Finish(error)) return Fail(error);

    if (outcome.hitMaxLength) {
        char limit[64];
        std::snprintf(limit, sizeof limit, "%g s", options.maxSeconds);
        Warn(std::string("stopped at --max-seconds (") + limit + (song != nullptr ? " after the song's end" : "") +
             ") with voices still playing: a voice that loops plays until it is released; give --release-after "
             "SECONDS, --seconds SECONDS, or a larger --max-seconds");
    }
    if (file.peak > 1.0f) {
        const int lower = static_cast<int>(std::ceil(20.0 * std::log10(static_cast<double>(file.peak)) + 0.1));
        char peak[32];
        std::snprintf(peak, sizeof peak, "%+.1f dBFS", 20.0 * std::log10(static_cast<double>(file.peak)));
        if (format.clips) {
            Warn(std::string("the peak is ") + peak + ": " + std::to_string(file.clipped) + " samples were clipped to "
                 "full scale in the " + format.name + " file; lower the level with --gain -" + std::to_string(lower) +
                 " or --normalize");
        } else {
            Warn(std::string("the peak is ") + peak + ": " + std::to_string(file.clipped) + " samples lie beyond full "
                 "scale and will clip when played; lower the level with --gain -" + std::to_string(lower) +
                 " or --normalize");
        }
    }
    FILE* summary = output == "-" ? stderr : routing.Results();
    std::fprintf(summary, "%s: %s, %lld samples at %d Hz, %s, peak %s, seed %u\n",
                 output == "-" ? "<stdout>" : output.c_str(), length, static_cast<long long>(outcome.samples),
                 options.rate, format.name.c_str(), Level(file.peak).c_str(), seed);
    std::fflush(summary);
    return 0;
}

}  // namespace

int RunRender(const RenderOptions& options, OutputRouting& routing) {
    struct stat status {};
    const std::string& output = options.output;
    const bool intoDirectory = !output.empty() && output != "-" &&
                               (output.back() == '/' || (stat(output.c_str(), &status) == 0 && S_ISDIR(status.st_mode)));
    if (options.scripts.size() > 1 && !output.empty() && !intoDirectory) {
        std::fprintf(stderr, "morvanel: with several scripts, -o must name a directory (each script renders to NAME.wav in it)\n");
        return 2;
    }
    std::vector<std::string> outputs;
    for (const std::string& script : options.scripts) {
        if (script == "-" && (output.empty() || intoDirectory)) {
            std::fprintf(stderr, "morvanel: give -o FILE (or -o - for standard output) for a script read from standard input\n");
            return 2;
        }
        std::string path = output;
        if (output.empty()) {
            path = DefaultOutput(script);
        } else if (intoDirectory) {
            path = output + (output.back() == '/' ? "" : "/") + DefaultOutput(script);
        }
        if (std::find(outputs.begin(), outputs.end(), path) != outputs.end()) {
            std::fprintf(stderr, "morvanel: two scripts would both render to '%s'\n", path.c_str());
            return 2;
        }
        outputs.push_back(path);
    }
    MIDI_SONG song;
    if (!options.midiFile.empty()) {
        std::string error;
        if (!LoadMidiSong(options.midiFile, options.rate, options.channel, kLongestSong, song, error)) {
            return Fail("cannot read '" + options.midiFile + "': " + error);
        }
    }
    int result = 0;
    for (size_t i = 0; i < options.scripts.size(); ++i) {
        result = std::max(result, RenderScript(options, options.scripts[i], outputs[i], routing,
                                               options.midiFile.empty() ? nullptr : &song));
    }
    return result;
}

}  // namespace morvanel::tool
