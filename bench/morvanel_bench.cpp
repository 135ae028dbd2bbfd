// Benchmarks of the engine through its public API, each beside a tight C++ loop doing the same
// musical work in the same run, so every figure can be read as a ratio that survives a noisy
// machine. Voice-sample rates are reported as items per second.
#include <benchmark/benchmark.h>

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <map>
#include <new>
#include <string>
#include <vector>

#include "morvanel.h"

namespace {

constexpr int kRate = 48000;
constexpr int kBlock = 256;

// Counts heap bytes while `counting` is set (memory per voice).
std::atomic<bool> counting{false};
std::atomic<size_t> countedBytes{0};

// An instance with `voices` voices of `box` started, past their first samples.
int StartInstance(const std::string& script, const std::string& box, int voices) {
    const int id = NewInstance(kRate);
    std::vector<float> out(kBlock);
    ParseString(script.c_str(), id);
    GetBuffer(1, out.data(), id);
    while (GetResponseString(0, id)[0] != '\0') {
    }
    for (int started = 0; started < voices; started += 48) {
        for (int i = started; i < voices && i < started + 48; ++i) StartVoice(box.c_str(), id);
        GetBuffer(1, out.data(), id);
    }
    GetBuffer(kBlock, out.data(), id);
    return id;
}

void RenderVoices(benchmark::State& state, const char* script, const char* box) {
    const int voices = static_cast<int>(state.range(0));
    const int id = StartInstance(script, box, voices);
    if (MorvanelActiveVoices(id) != voices) state.SkipWithError("voices did not start");
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        GetBuffer(kBlock, out.data(), id);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock * voices);
    DestroyInstance(id);
}

// (1) A one-item looping square box.
const char kSquare[] = "sq = { @loop sqr(100) }";

void BM_Engine_Square(benchmark::State& state) { RenderVoices(state, kSquare, "sq"); }

void BM_TightLoop_Square(benchmark::State& state) {
    const int voices = static_cast<int>(state.range(0));
    std::vector<int64_t> phases(voices);
    for (int v = 0; v < voices; ++v) phases[v] = v % 100;
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            float sum = 0.0f;
            for (int v = 0; v < voices; ++v) {
                sum += phases[v] < 50 ? 1.0f : -1.0f;
                if (++phases[v] >= 100) phases[v] = 0;
            }
            out[i] = sum / 10.0f;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock * voices);
}

// (2) The same voices with a fade and a period written by an assignment every sample.
const char kFaded[] = "fv = { vol(0) fadein(480000) %p = 90 @loop %p = 190 - %p sqr(%p) }";

void BM_Engine_FadedVariable(benchmark::State& state) { RenderVoices(state, kFaded, "fv"); }

void BM_TightLoop_FadedVariable(benchmark::State& state) {
    const int voices = static_cast<int>(state.range(0));
    struct Voice {
        int64_t phase = 0;
        float volume = 0.0f;
        float period = 90.0f;
    };
    std::vector<Voice> state_(voices);
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            float sum = 0.0f;
            for (Voice& voice : state_) {
                if (voice.volume < 1.0f) voice.volume += 1.0f / 480000.0f;
                voice.period = 190.0f - voice.period;
                const int64_t period = static_cast<int64_t>(voice.period);
                sum += (voice.phase < (period >> 1) ? 1.0f : -1.0f) * voice.volume;
                if (++voice.phase >= period) voice.phase = 0;
            }
            out[i] = sum / 10.0f;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock * voices);
}

// (3) A melody: a song box calls a note box with two arguments every 100 samples, so instances
// are created and destroyed on the audio path.
const char kMelody[] =
    "note:%p:%v = dur(100) { vol(%v) @loop sqr(%p) }\n"
    "song = { @loop note:100:0.5 note:90:0.6 note:80:0.7 note:75:0.8 }";

void BM_Engine_Melody(benchmark::State& state) { RenderVoices(state, kMelody, "song"); }

void BM_TightLoop_Melody(benchmark::State& state) {
    const int voices = static_cast<int>(state.range(0));
    static const int64_t kPeriods[4] = {100, 90, 80, 75};
    static const float kVolumes[4] = {0.5f, 0.6f, 0.7f, 0.8f};
    struct Voice {
        int64_t phase = 0;
        int note = 0;
        int left = 100;
    };
    std::vector<Voice> voices_(voices);
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            float sum = 0.0f;
            for (Voice& voice : voices_) {
                const int64_t period = kPeriods[voice.note];
                sum += (voice.phase < (period >> 1) ? 1.0f : -1.0f) * kVolumes[voice.note];
                if (++voice.phase >= period) voice.phase = 0;
                if (--voice.left == 0) {
                    voice.left = 100;
                    voice.note = (voice.note + 1) & 3;
                }
            }
            out[i] = sum / 10.0f;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock * voices);
}

// (4) Compile throughput over a generated script that uses every construct.
std::string GeneratedScript(size_t bytes) {
    std::string script = "bpm(132)\nglobal(%g, 0.5)\nccvar(74, f)\npckey(1, box0)\n";
    for (int box = 0; script.size() < bytes; ++box) {
        const std::string name = "box" + std::to_string(box);
        script += "// box " + std::to_string(box) + "\n";
        script += "[" + name + "*:%a:%b group(g" + std::to_string(box % 7) + ") maxinst(4, 1)] = dur(~0.5) if(%g) {\n";
        script += "  vol(0.5) fadein(!0.25) own\n  @loop sqr(@440) saw(#69) noise5(c4) noise17e(%a) out(-0.5) ?\n";
        script += "  %c = (%a + 2 * %b) \\ 7 - sin2pi(%c / 3) + _%f + ~0.001 + !%g + @220 + #60 + ?\n";
        script += "  `_0-5123456789?` push(%c) pop(%d) print(%d)\n";
        script += "  while(%d) { @loop out(%d) %d = %d - 1 }\n  @release fadeout(~0.1)\n}\n";
        if (box > 0) {
            script += "caller" + std::to_string(box) + " = { box" + std::to_string(box - 1) + ":1:2 3 4:5 c5 }\n";
        }
        if (box % 50 == 0) script += "midikey(" + std::to_string(box % 128) + ", " + name + ")\n";
    }
    return script;
}

void CompileBenchmark(benchmark::State& state, size_t bytes) {
    const std::string script = GeneratedScript(bytes);
    std::vector<float> out(1);
    for (auto _ : state) {
        state.PauseTiming();
        const int id = NewInstance(kRate);
        const int serial = ParseString(script.c_str(), id);
        state.ResumeTiming();
        GetBuffer(1, out.data(), id);
        state.PauseTiming();
        const bool compiled = std::strstr(GetResponseString(serial, id), "Compilation successful") != nullptr;
        DestroyInstance(id);
        if (!compiled) {
            state.SkipWithError("the generated script did not compile");
            break;
        }
        state.ResumeTiming();
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size()));
}

void BM_Engine_Compile1MB(benchmark::State& state) { CompileBenchmark(state, 1 << 20); }
void BM_Engine_Compile10KB(benchmark::State& state) { CompileBenchmark(state, 10 << 10); }

// The baseline of compiling: one pass that only classifies characters into words and numbers.
void BM_TightLoop_Scan1MB(benchmark::State& state) {
    const std::string script = GeneratedScript(1 << 20);
    for (auto _ : state) {
        size_t words = 0;
        bool inWord = false;
        for (char c : script) {
            const bool wordChar = (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '%';
            words += wordChar && !inWord;
            inWord = wordChar;
        }
        benchmark::DoNotOptimize(words);
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations() * script.size()));
}

// (5) Heap bytes per started voice of a one-sequence box, counted while starting 1024 voices.
void BM_Engine_BytesPerVoice(benchmark::State& state) {
    for (auto _ : state) {
        const int id = StartInstance(kSquare, "sq", 0);
        std::vector<float> out(64);
        countedBytes = 0;
        counting = true;
        for (int i = 0; i < 1024; i += 48) {
            for (int j = i; j < i + 48 && j < 1024; ++j) StartVoice("sq", id);
            GetBuffer(1, out.data(), id);
        }
        counting = false;
        state.counters["bytes_per_voice"] = static_cast<double>(countedBytes.load()) / 1024.0;
        DestroyInstance(id);
    }
}

void BM_TightLoop_BytesPerVoice(benchmark::State& state) {
    for (auto _ : state) state.counters["bytes_per_voice"] = static_cast<double>(sizeof(int64_t) * 2);
}

}  // namespace

void* operator new(size_t size) {
    if (counting.load(std::memory_order_relaxed)) countedBytes.fetch_add(size, std::memory_order_relaxed);
    if (void* block = std::malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }

BENCHMARK(BM_Engine_Square)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096);
BENCHMARK(BM_TightLoop_Square)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096);
BENCHMARK(BM_Engine_FadedVariable)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_TightLoop_FadedVariable)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_Engine_Melody)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_TightLoop_Melody)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_Engine_Compile1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_Compile10KB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TightLoop_Scan1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_BytesPerVoice)->Iterations(1);
BENCHMARK(BM_TightLoop_BytesPerVoice)->Iterations(1);

// Runs every benchmark, then prints each engine figure as a ratio to its tight loop.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            double rate = 0.0;
            if (run.counters.count("items_per_second")) rate = run.counters.at("items_per_second");
            if (run.counters.count("bytes_per_second")) rate = run.counters.at("bytes_per_second");
            if (run.counters.count("bytes_per_voice")) rate = run.counters.at("bytes_per_voice");
            figures[run.benchmark_name()] = rate;
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nEngine against the tight loop doing the same work (same run):\n");
        for (const auto& [name, rate] : figures) {
            if (name.rfind("BM_Engine_", 0) != 0) continue;
            std::string baseline = "BM_TightLoop_" + name.substr(10);
            if (name.find("Compile") != std::string::npos) baseline = "BM_TightLoop_Scan1MB";
            auto found = figures.find(baseline);
            if (found == figures.end() || found->second == 0.0) continue;
            std::printf("  %-32s %14.4g per second  ratio %.3f\n", name.c_str(), rate, rate / found->second);
        }
    }

private:
    std::map<std::string, double> figures;
};

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return 0;
}
