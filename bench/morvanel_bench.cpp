// Benchmarks of the engine through its public API, each beside a tight C++ loop doing the same
// musical work in the same run, so every figure can be read as a ratio that survives a noisy
// machine. Voice-sample rates are reported as items per second (of CPU time).
#include <benchmark/benchmark.h>

#include <malloc.h>
#include <time.h>

#include <cstring>
#include <map>
#include <string>
#include <vector>

#include "bench_workloads.h"
#include "engine_session.h"
#include "morvanel.h"
#include "sound_plan.h"
#include "sounds.h"

namespace {

using morvanel::bench::kBlock;
using morvanel::bench::kRate;
using morvanel::bench::Workload;

const Workload& WorkloadNamed(const char* name) { return *morvanel::bench::FindWorkload(name); }

void RenderVoices(benchmark::State& state, const Workload& workload, bool samplePath) {
    const int voices = static_cast<int>(state.range(0));
    const int id = morvanel::bench::StartInstance(workload, voices, samplePath);
    if (MorvanelActiveVoices(id) != voices) state.SkipWithError("voices did not start");
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        GetBuffer(kBlock, out.data(), id);
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock * voices);
    DestroyInstance(id);
}

// (1) A one-item looping square box. The engine renders these independent voices voice by voice;
// the sample-path figure is the same work with that turned off.
void BM_Engine_Square(benchmark::State& state) { RenderVoices(state, WorkloadNamed("square"), false); }
void BM_EngineSamplePath_Square(benchmark::State& state) { RenderVoices(state, WorkloadNamed("square"), true); }

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

// The first anchor every interpreter is compared with: a naive one that finds each voice's
// state by a std::map lookup per voice per sample.
void BM_NaiveMap_Square(benchmark::State& state) {
    const int voices = static_cast<int>(state.range(0));
    std::map<int, std::map<std::string, int64_t>> states;
    for (int v = 0; v < voices; ++v) states[v] = {{"phase", v % 100}, {"period", 100}};
    std::vector<float> out(kBlock);
    for (auto _ : state) {
        for (int i = 0; i < kBlock; ++i) {
            float sum = 0.0f;
            for (int v = 0; v < voices; ++v) {
                std::map<std::string, int64_t>& voice = states.find(v)->second;
                int64_t& phase = voice["phase"];
                const int64_t period = voice["period"];
                sum += phase < period / 2 ? 1.0f : -1.0f;
                if (++phase >= period) phase = 0;
            }
            out[i] = sum / 10.0f;
        }
        benchmark::DoNotOptimize(out.data());
    }
    state.SetItemsProcessed(state.iterations() * kBlock * voices);
}

// (2) The same voices with a fade and a period written by an assignment every sample.
void BM_Engine_FadedVariable(benchmark::State& state) { RenderVoices(state, WorkloadNamed("faded"), false); }
void BM_EngineSamplePath_FadedVariable(benchmark::State& state) {
    RenderVoices(state, WorkloadNamed("faded"), true);
}

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
// Calls make voices dependent, so this always takes the sample path.
void BM_Engine_Melody(benchmark::State& state) { RenderVoices(state, WorkloadNamed("melody"), false); }

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
using morvanel::bench::GeneratedScript;

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

// (5) Heap bytes per playing voice of a one-sequence box: the growth of the heap in use (mapped
// blocks included) while 4096 voices start. The engine's instance pool takes memory from the
// heap in growing chunks, so the figure includes the unused end of the last chunks.
void BM_Engine_BytesPerVoice(benchmark::State& state) {
    constexpr int kVoices = 4096;
    for (auto _ : state) {
        const int id = morvanel::bench::StartInstance(WorkloadNamed("square"), 0, false);
        std::vector<float> out(64);
        const size_t before = mallinfo2().uordblks + mallinfo2().hblkhd;
        for (int i = 0; i < kVoices; i += 48) {
            for (int j = i; j < i + 48 && j < kVoices; ++j) StartVoice("sq", id);
            GetBuffer(1, out.data(), id);
        }
        const size_t after = mallinfo2().uordblks + mallinfo2().hblkhd;
        if (MorvanelActiveVoices(id) != kVoices) state.SkipWithError("voices did not start");
        state.counters["bytes_per_voice"] = static_cast<double>(after - before) / kVoices;
        DestroyInstance(id);
    }
}

void BM_TightLoop_BytesPerVoice(benchmark::State& state) {
    for (auto _ : state) state.counters["bytes_per_voice"] = static_cast<double>(sizeof(int64_t) * 2);
}

// (6) Heap bytes per melody voice inside a note: the growth of the heap while 4096 voices of the
// 2400-sample melody start, each then playing its first note (a call of the note box, which
// calls its timed body).
void BM_Engine_BytesPerMelodyVoice(benchmark::State& state) {
    constexpr int kVoices = 4096;
    const morvanel::bench::SOUND_PLAN plan = morvanel::bench::FindSoundWorkload("Melody2400")->plan(1);
    for (auto _ : state) {
        morvanel::bench::CEngineSession session(plan, false);
        if (!session.Error().empty()) {
            state.SkipWithError(session.Error().c_str());
            break;
        }
        std::vector<float> out(64);
        const size_t before = mallinfo2().uordblks + mallinfo2().hblkhd;
        for (int i = 0; i < kVoices; i += 48) {
            for (int j = i; j < i + 48 && j < kVoices; ++j) StartVoice(plan.events[0].text.c_str(), session.Id());
            GetBuffer(1, out.data(), session.Id());
        }
        const size_t after = mallinfo2().uordblks + mallinfo2().hblkhd;
        if (MorvanelActiveVoices(session.Id()) != kVoices) state.SkipWithError("voices did not start");
        state.counters["bytes_per_voice"] = static_cast<double>(after - before) / kVoices;
    }
}

// The melody voice of the hand-written loop: its phase, period, note, samples left and fade.
void BM_TightLoop_BytesPerMelodyVoice(benchmark::State& state) {
    for (auto _ : state) state.counters["bytes_per_voice"] = static_cast<double>(morvanel::bench::kMelodyLoopVoiceBytes);
}

// (7) The game-sound workloads (sound_plan.h): each plays its timeline on the engine, and every
// timed pass is compared sample for sample with the workload's hand-written loop before its time
// counts; a difference stops the benchmark with the first differing sample. Only the measured
// stretch is timed: creating the instance, compiling, the warm-up in which the voices start, and
// the checks are not. Items are the voice-samples that sound in the measured stretch.
//
// Each engine pass is followed by a pass of the loop over the same stretch, timed on the thread's
// CPU clock, so that the two alternate through the run and a change in the machine's load meets
// both alike: `ours_per_loop` is the ratio of the two rates, `loop_per_second` the loop's rate.

double ThreadSeconds() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// One pass of the workload's loop; returns the CPU seconds of its measured stretch.
double TimeLoopPass(const morvanel::bench::SOUND_WORKLOAD& workload, const morvanel::bench::SOUND_PLAN& plan,
                    std::vector<float>& out, int64_t& voiceSamples) {
    using namespace morvanel::bench;
    std::unique_ptr<CReferenceLoop> loop = workload.loop(0xB0);
    CTimeline timeline(plan);
    auto apply = [&loop](const SOUND_EVENT& event) { loop->Apply(event); };
    auto render = [&loop](float* samples, int count) { loop->Render(samples, count); };
    std::srand(kSoundSeed);
    timeline.PlayTo(plan.warmup, out.data(), apply, render);
    const int64_t before = loop->voiceSamples;
    const double start = ThreadSeconds();
    timeline.PlayTo(plan.End(), out.data(), apply, render);
    benchmark::DoNotOptimize(out.data());
    const double seconds = ThreadSeconds() - start;
    voiceSamples = loop->voiceSamples - before;
    return seconds;
}

void EngineSound(benchmark::State& state, const morvanel::bench::SOUND_WORKLOAD& workload, bool samplePath) {
    using namespace morvanel::bench;
    const SOUND_PLAN plan = workload.plan(static_cast<int>(state.range(0)));
    CEngineSession session(plan, samplePath);
    if (!session.Error().empty()) {
        state.SkipWithError(session.Error().c_str());
        return;
    }
    CReferenceRenders references(workload, plan);
    std::vector<float> out(static_cast<size_t>(plan.End()));
    std::vector<float> loopOut(out.size());
    std::string error;
    int64_t voiceSamples = 0;
    double engineSeconds = 0.0;
    double loopSeconds = 0.0;
    for (auto _ : state) {
        state.PauseTiming();
        session.Rewind();
        uint8_t noiseRegister = 0;
        if (!ObserveNoiseRegister(noiseRegister, error)) {
            state.SkipWithError(error.c_str());
            break;
        }
        std::srand(kSoundSeed);
        session.PlayTo(plan.warmup, out.data());
        state.ResumeTiming();
        const double start = ThreadSeconds();
        session.PlayTo(plan.End(), out.data());
        engineSeconds += ThreadSeconds() - start;
        state.PauseTiming();
        int64_t passVoiceSamples = 0;
        error = session.Error();
        if (error.empty()) error = references.Compare(out, noiseRegister, passVoiceSamples);
        int64_t loopVoiceSamples = 0;
        loopSeconds += TimeLoopPass(workload, plan, loopOut, loopVoiceSamples);
        if (error.empty() && loopVoiceSamples != passVoiceSamples) error = "the loop's voice-samples changed";
        if (!error.empty()) {
            error = std::string(workload.name) + ": " + error;
            state.SkipWithError(error.c_str());
            break;
        }
        voiceSamples += passVoiceSamples;
        state.ResumeTiming();
    }
    state.SetItemsProcessed(voiceSamples);
    if (engineSeconds > 0.0 && loopSeconds > 0.0) {
        state.counters["ours_per_loop"] = loopSeconds / engineSeconds;
        state.counters["loop_per_second"] = static_cast<double>(voiceSamples) / loopSeconds;
    }
}

void RegisterSoundBenchmarks() {
    for (const morvanel::bench::SOUND_WORKLOAD& workload : morvanel::bench::SoundWorkloads()) {
        if (!workload.benchmarked) continue;
        const std::string name = workload.name;
        const morvanel::bench::SOUND_WORKLOAD* entry = &workload;
        benchmark::RegisterBenchmark(("BM_Engine_" + name).c_str(),
                                     [entry](benchmark::State& state) { EngineSound(state, *entry, false); })
            ->Arg(64)
            ->Arg(1024)
            ->Unit(benchmark::kMillisecond);
        benchmark::RegisterBenchmark(("BM_EngineSamplePath_" + name).c_str(),
                                     [entry](benchmark::State& state) { EngineSound(state, *entry, true); })
            ->Arg(64)
            ->Arg(1024)
            ->Unit(benchmark::kMillisecond);
    }
}

}  // namespace

BENCHMARK(BM_Engine_Square)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096);
BENCHMARK(BM_EngineSamplePath_Square)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096);
BENCHMARK(BM_TightLoop_Square)->Arg(1)->Arg(64)->Arg(1024)->Arg(4096);
BENCHMARK(BM_NaiveMap_Square)->Arg(64)->Arg(1024);
BENCHMARK(BM_Engine_FadedVariable)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_EngineSamplePath_FadedVariable)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_TightLoop_FadedVariable)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_Engine_Melody)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_TightLoop_Melody)->Arg(1)->Arg(64)->Arg(1024);
BENCHMARK(BM_Engine_Compile1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_Compile10KB)->Unit(benchmark::kMicrosecond);
BENCHMARK(BM_TightLoop_Scan1MB)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Engine_BytesPerVoice)->Iterations(1);
BENCHMARK(BM_TightLoop_BytesPerVoice)->Iterations(1);
BENCHMARK(BM_Engine_BytesPerMelodyVoice)->Iterations(1);
BENCHMARK(BM_TightLoop_BytesPerMelodyVoice)->Iterations(1);

// Runs every benchmark, then prints each engine figure as a ratio to its tight loop, and the
// game-sound workloads as one Markdown table of those ratios.
class RatioReporter : public benchmark::ConsoleReporter {
public:
    void ReportRuns(const std::vector<Run>& runs) override {
        ConsoleReporter::ReportRuns(runs);
        for (const Run& run : runs) {
            if (run.error_occurred) {
                failures.push_back(run.benchmark_name() + ": " + run.error_message);
                continue;
            }
            double rate = 0.0;
            if (run.counters.count("items_per_second")) rate = run.counters.at("items_per_second");
            if (run.counters.count("bytes_per_second")) rate = run.counters.at("bytes_per_second");
            if (run.counters.count("bytes_per_voice")) rate = run.counters.at("bytes_per_voice");
            figures[run.benchmark_name()] = rate;
            if (run.counters.count("ours_per_loop")) pairedRatios[run.benchmark_name()] = run.counters.at("ours_per_loop");
        }
    }
    void Finalize() override {
        ConsoleReporter::Finalize();
        std::printf("\nEngine against the tight loop doing the same work (same run):\n");
        for (const auto& [name, rate] : figures) {
            const std::string prefix = name.substr(0, name.find('_', 3) + 1);
            if (prefix != "BM_Engine_" && prefix != "BM_EngineSamplePath_" && prefix != "BM_NaiveMap_") continue;
            auto paired = pairedRatios.find(name);
            if (paired != pairedRatios.end()) {
                std::printf("  %-40s %14.4g %-16s ratio %.3f\n", name.c_str(), rate, "per second", paired->second);
                continue;
            }
            std::string baseline = "BM_TightLoop_" + name.substr(prefix.size());
            if (name.find("Compile") != std::string::npos) baseline = "BM_TightLoop_Scan1MB";
            auto found = figures.find(baseline);
            if (found == figures.end() || found->second == 0.0) continue;
            const char* unit = name.find("BytesPerVoice") != std::string::npos ||
                                       name.find("BytesPerMelodyVoice") != std::string::npos
                                   ? "bytes per voice"
                                   : "per second";
            std::printf("  %-40s %14.4g %-16s ratio %.3f\n", name.c_str(), rate, unit, rate / found->second);
        }
        PrintSoundTable();
        for (const std::string& failure : failures) std::printf("FAILED %s\n", failure.c_str());
    }
    bool Failed() const { return !failures.empty(); }

private:
    // Ours / loop for each game-sound workload that ran, at both sizes, on both paths.
    void PrintSoundTable() const {
        std::string rows;
        for (const morvanel::bench::SOUND_WORKLOAD& workload : morvanel::bench::SoundWorkloads()) {
            std::string row = std::string("| ") + workload.summary + " |";
            bool any = false;
            for (const char* path : {"BM_Engine_", "BM_EngineSamplePath_"}) {
                for (const char* size : {"/64", "/1024"}) {
                    auto ratio = pairedRatios.find(path + std::string(workload.name) + size);
                    char cell[32] = " - |";
                    if (ratio != pairedRatios.end()) {
                        std::snprintf(cell, sizeof cell, " %.3f |", ratio->second);
                        any = true;
                    }
                    row += cell;
                }
            }
            if (any) rows += row + "\n";
        }
        if (rows.empty()) return;
        std::printf("\nGame sounds, ours / hand-written loop (voice-samples per CPU-second, passes alternating):\n\n");
        std::printf("| workload | N = 64 | N = 1024 | sample path, N = 64 | sample path, N = 1024 |\n");
        std::printf("| --- | --- | --- | --- | --- |\n%s", rows.c_str());
    }

    std::map<std::string, double> figures;
    std::map<std::string, double> pairedRatios;  // measured against the loop within one benchmark
    std::vector<std::string> failures;
};

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    RegisterSoundBenchmarks();
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    benchmark::Shutdown();
    return reporter.Failed() ? 1 : 0;
}
