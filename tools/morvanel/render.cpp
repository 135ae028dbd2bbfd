// `morvanel render`: compile a script, start its voices, render until they end, write the file.
#include <unistd.h>

#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>

#include "audio_file.h"
#include "commands.h"
#include "morvanel.h"
#include "session.h"

namespace morvanel::tool {

namespace {

constexpr double kNormalizedPeak = 0.8912509381337456;  // -1 dBFS

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

// A progress line on standard error for renders that take longer than a second.
class Progress {
public:
    Progress(bool enabled, double totalSeconds) : enabled(enabled), total(totalSeconds) {}

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

    ~Progress() {
        if (shown) std::fprintf(stderr, "\r\033[K");
    }

private:
    using Clock = std::chrono::steady_clock;
    bool enabled;
    double total;
    bool shown = false;
    Clock::time_point started = Clock::now();
    Clock::time_point lastDrawn = started;
};

}  // namespace

int RunRender(const RenderOptions& options, OutputRouting& routing) {
    routing.Silence();
    std::string script;
    if (!ReadTextFile(options.script, script)) {
        std::fprintf(stderr, "morvanel: cannot read '%s'\n", options.script.c_str());
        return 1;
    }
    if (options.rate <= 0) {
        std::fprintf(stderr, "morvanel: --rate must be positive\n");
        return 1;
    }
    const std::string output = options.output.empty() ? DefaultOutput(options.script) : options.output;
    AudioFormat format;
    std::string error;
    if (!ChooseFormat(output, options.bits, format, error)) {
        std::fprintf(stderr, "morvanel: %s\n", error.c_str());
        return 1;
    }

    const CompileResult compiled = CompileScript(script, options.rate);
    for (const Diagnostic& diagnostic : compiled.diagnostics) {
        std::fprintf(stderr, "%s\n", FormatDiagnostic(options.script, diagnostic).c_str());
    }
    if (!compiled.succeeded) {
        std::fprintf(stderr, "morvanel: '%s' has errors; nothing was rendered\n", options.script.c_str());
        return 1;
    }
    for (const std::string& voice : options.voices) {
        if (!StartTextNamesBox(script, options.rate, voice, compiled.boxNames)) {
            std::fprintf(stderr, "morvanel: --voice '%s' names no box of '%s'; its boxes are: %s\n", voice.c_str(),
                         options.script.c_str(), JoinNames(compiled.boxNames).c_str());
            return 1;
        }
    }

    const int instance = NewInstance(options.rate);
    const unsigned seed = options.seed ? *options.seed : static_cast<unsigned>(std::random_device{}() & 0x7FFFFFFF);
    std::srand(seed);
    ParseString(script.c_str(), instance);
    std::vector<int> voiceIds;
    for (const std::string& voice : options.voices) voiceIds.push_back(StartVoice(voice.c_str(), instance));
    const int64_t releaseAt =
        options.releaseAfter ? static_cast<int64_t>(std::llround(*options.releaseAfter * options.rate)) : -1;
    auto releaseVoices = [&] {
        for (int id : voiceIds) ReleaseVoice(id, instance);
    };

    const int64_t limit = static_cast<int64_t>(std::llround((options.seconds ? *options.seconds : options.maxSeconds) * options.rate));
    std::vector<float> samples;
    Progress progress(!options.quiet && isatty(STDERR_FILENO), options.seconds ? *options.seconds : 0.0);
    routing.ForwardToStderr();
    if (options.seconds) {
        // A fixed length: render in blocks.
        samples.resize(static_cast<size_t>(std::max<int64_t>(limit, 0)));
        constexpr int64_t kBlock = 4096;
        int64_t done = 0;
        while (done < limit) {
            if (done == releaseAt) releaseVoices();
            int64_t blockEnd = std::min(done + kBlock, limit);
            if (releaseAt > done && releaseAt < blockEnd) blockEnd = releaseAt;
            GetBuffer(static_cast<int>(blockEnd - done), samples.data() + done, instance);
            done = blockEnd;
            progress.Update(static_cast<double>(done) / options.rate);
        }
    } else {
        // Until every voice has ended: sample by sample, so the file ends exactly with the sound.
        float sample = 0.0f;
        while (static_cast<int64_t>(samples.size()) < limit) {
            if (static_cast<int64_t>(samples.size()) == releaseAt) releaseVoices();
            GetBuffer(1, &sample, instance);
            samples.push_back(sample);
            if (MorvanelActiveVoices(instance) == 0) {
                // No voice contributed to the sample in which the last one ended: it is not part
                // of the sound.
                samples.pop_back();
                break;
            }
            if ((samples.size() & 4095) == 0) progress.Update(static_cast<double>(samples.size()) / options.rate);
        }
    }
    routing.Silence();
    DestroyInstance(instance);

    if (!options.seconds && samples.empty() && options.voices.empty()) {
        std::fprintf(stderr, "morvanel: '%s' starts no voice; give --voice NAME (boxes: %s) or --seconds S\n",
                     options.script.c_str(), JoinNames(compiled.boxNames).c_str());
        return 1;
    }

    float peak = 0.0f;
    for (float value : samples) peak = std::max(peak, std::fabs(value));
    if (options.normalize && peak > 0.0f) {
        const float gain = static_cast<float>(kNormalizedPeak / static_cast<double>(peak));
        for (float& value : samples) value *= gain;
        peak = static_cast<float>(kNormalizedPeak);
    }
    if (!WriteAudioFile(output, format, options.rate, samples, error)) {
        std::fprintf(stderr, "morvanel: %s\n", error.c_str());
        return 1;
    }
    const double seconds = static_cast<double>(samples.size()) / options.rate;
    char level[32];
    if (peak > 0.0f) {
        std::snprintf(level, sizeof level, "%.1f dBFS", 20.0 * std::log10(static_cast<double>(peak)));
    } else {
        std::snprintf(level, sizeof level, "silent");
    }
    std::fprintf(routing.Results(), "%s: %.3f s, %zu samples at %d Hz, %s, peak %s, seed %u\n", output.c_str(),
                 seconds, samples.size(), options.rate, format.name.c_str(), level, seed);
    std::fflush(routing.Results());
    return 0;
}

}  // namespace morvanel::tool
