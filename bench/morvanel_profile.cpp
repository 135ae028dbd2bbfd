// A fixed amount of rendering for instruction counting: `valgrind --tool=callgrind
// --toggle-collect=RenderBlocks` over this program counts only the instructions of the measured
// blocks (not parsing or starting voices), so dividing by the voice-samples rendered gives
// instructions per voice-sample that do not depend on the machine's load.
//   morvanel_profile <square|faded|melody> <voices> <blocks> [--sample-path]
//   morvanel_profile compile <bytes> <repeats>      (collect with --toggle-collect=*CompileScripts*)
//   morvanel_profile sound <workload> <voices> [--sample-path | --loop] [--voice-samples V]
//       a game-sound workload's timeline; only its measured stretch is collected
//       (ProfiledSoundStretch), and the pass is compared with the workload's hand-written loop
//       afterwards. With --loop, the hand-written loop alone plays it (ProfiledLoopStretch). V
//       shortens the measured stretch to about V voice-samples (the default is about three million).
//   morvanel_profile check [--voice-samples V] [voices ...]
//       every game-sound workload on both paths, compared with its loop (default: 8 and 64 voices)
//   morvanel_profile list                           (the game-sound workload names)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_workloads.h"
#include "engine_session.h"
#include "morvanel.h"
#include "sound_plan.h"

// Kept out of line so that the instruction counter can be switched on for it alone.
[[gnu::noinline]] double RenderBlocks(int id, int blocks, std::vector<float>& out) {
    double checksum = 0.0;
    for (int block = 0; block < blocks; ++block) {
        GetBuffer(static_cast<int>(out.size()), out.data(), id);
        checksum += static_cast<double>(out[0]);
    }
    return checksum;
}

// Compiles a generated script `repeats` times, each in a fresh instance.
[[gnu::noinline]] void CompileScripts(const std::string& script, int repeats) {
    std::vector<float> out(1);
    for (int i = 0; i < repeats; ++i) {
        const int id = NewInstance(morvanel::bench::kRate);
        ParseString(script.c_str(), id);
        GetBuffer(1, out.data(), id);
        DestroyInstance(id);
    }
}

// The measured stretch of a sound plan, out of line for the instruction counter.
[[gnu::noinline]] void ProfiledSoundStretch(morvanel::bench::CEngineSession& session, int64_t end, float* out) {
    session.PlayTo(end, out);
}

// The measured stretch of a plan played by its reference loop, out of line for the counter.
[[gnu::noinline]] void ProfiledLoopStretch(morvanel::bench::CTimeline& timeline, morvanel::bench::CReferenceLoop& loop,
                                           int64_t end, float* out) {
    timeline.PlayTo(
        end, out, [&loop](const morvanel::bench::SOUND_EVENT& event) { loop.Apply(event); },
        [&loop](float* samples, int count) { loop.Render(samples, count); });
}

namespace {

using morvanel::bench::SOUND_PLAN;
using morvanel::bench::SOUND_WORKLOAD;

int ProfileSound(const SOUND_WORKLOAD& workload, int voices, bool samplePath) {
    using namespace morvanel::bench;
    const SOUND_PLAN plan = workload.plan(voices);
    CEngineSession session(plan, samplePath);
    uint8_t noiseRegister = 0;
    std::string error = session.Error();
    if (error.empty()) ObserveNoiseRegister(noiseRegister, error);
    std::vector<float> out(static_cast<size_t>(plan.End()));
    if (error.empty()) {
        std::srand(kSoundSeed);
        session.PlayTo(plan.warmup, out.data());
        ProfiledSoundStretch(session, plan.End(), out.data());
        error = session.Error();
    }
    int64_t voiceSamples = 0;
    if (error.empty()) {
        CReferenceRenders references(workload, plan);
        error = references.Compare(out, noiseRegister, voiceSamples);
    }
    if (!error.empty()) {
        std::fprintf(stderr, "%s, %d voices: %s\n", workload.name, voices, error.c_str());
        return 1;
    }
    std::printf("%s: %d voices, %lld samples measured after %lld, %lld voice-samples sounding, identical to the loop\n",
                workload.name, voices, static_cast<long long>(plan.length), static_cast<long long>(plan.warmup),
                static_cast<long long>(voiceSamples));
    return 0;
}

int ProfileLoop(const SOUND_WORKLOAD& workload, int voices) {
    using namespace morvanel::bench;
    const SOUND_PLAN plan = workload.plan(voices);
    std::unique_ptr<CReferenceLoop> loop = workload.loop(0xB0);
    CTimeline timeline(plan);
    std::vector<float> out(static_cast<size_t>(plan.End()));
    std::srand(kSoundSeed);
    timeline.PlayTo(
        plan.warmup, out.data(), [&loop](const SOUND_EVENT& event) { loop->Apply(event); },
        [&loop](float* samples, int count) { loop->Render(samples, count); });
    const int64_t before = loop->voiceSamples;
    ProfiledLoopStretch(timeline, *loop, plan.End(), out.data());
    std::printf("%s loop: %d voices, %lld samples measured after %lld, %lld voice-samples sounding\n", workload.name,
                voices, static_cast<long long>(plan.length), static_cast<long long>(plan.warmup),
                static_cast<long long>(loop->voiceSamples - before));
    return 0;
}

int CheckSounds(const std::vector<int>& sizes) {
    int failures = 0;
    for (const SOUND_WORKLOAD& workload : morvanel::bench::SoundWorkloads()) {
        for (int voices : sizes) {
            for (bool samplePath : {false, true}) {
                int64_t voiceSamples = 0;
                float peak = 0.0f;
                const SOUND_PLAN plan = workload.plan(voices);
                const std::string error =
                    morvanel::bench::CheckEnginePass(workload, plan, samplePath, voiceSamples, peak);
                const char* path = samplePath ? "sample path" : "default path";
                if (error.empty()) {
                    std::printf("ok    %-16s N = %-5d %-12s %10lld voice-samples, peak %.4f\n", workload.name, voices,
                                path, static_cast<long long>(voiceSamples), static_cast<double>(peak));
                } else {
                    std::printf("FAIL  %-16s N = %-5d %-12s %s\n", workload.name, voices, path, error.c_str());
                    ++failures;
                }
                std::fflush(stdout);
            }
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "compile") == 0) {
        const std::string script = morvanel::bench::GeneratedScript(static_cast<size_t>(std::atol(argv[2])));
        CompileScripts(script, std::atoi(argv[3]));
        std::printf("compiled %zu bytes %s times\n", script.size(), argv[3]);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "list") == 0) {
        for (const SOUND_WORKLOAD& workload : morvanel::bench::SoundWorkloads()) std::printf("%s\n", workload.name);
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "check") == 0) {
        std::vector<int> sizes;
        for (int i = 2; i < argc; ++i) {
            if (std::strcmp(argv[i], "--voice-samples") == 0 && i + 1 < argc && std::atol(argv[i + 1]) > 0) {
                morvanel::bench::SetMeasuredVoiceSamples(std::atol(argv[++i]));
            } else if (std::atoi(argv[i]) > 0) {
                sizes.push_back(std::atoi(argv[i]));
            } else {
                std::fprintf(stderr, "bad voice count or option '%s'\n", argv[i]);
                return 2;
            }
        }
        if (sizes.empty()) sizes = {8, 64};
        return CheckSounds(sizes);
    }
    if (argc >= 4 && std::strcmp(argv[1], "sound") == 0) {
        const SOUND_WORKLOAD* workload = morvanel::bench::FindSoundWorkload(argv[2]);
        const int voices = std::atoi(argv[3]);
        if (workload == nullptr || voices <= 0) {
            std::fprintf(stderr, "unknown sound workload '%s' or bad voice count '%s'\n", argv[2], argv[3]);
            return 2;
        }
        bool samplePath = false;
        bool loopOnly = false;
        for (int i = 4; i < argc; ++i) {
            if (std::strcmp(argv[i], "--sample-path") == 0) {
                samplePath = true;
            } else if (std::strcmp(argv[i], "--loop") == 0) {
                loopOnly = true;
            } else if (std::strcmp(argv[i], "--voice-samples") == 0 && i + 1 < argc && std::atol(argv[i + 1]) > 0) {
                morvanel::bench::SetMeasuredVoiceSamples(std::atol(argv[++i]));
            } else {
                std::fprintf(stderr, "unknown option '%s'\n", argv[i]);
                return 2;
            }
        }
        return loopOnly ? ProfileLoop(*workload, voices) : ProfileSound(*workload, voices, samplePath);
    }
    if (argc < 4) {
        std::fprintf(stderr,
                     "usage: %s <square|faded|melody> <voices> <blocks> [--sample-path]\n"
                     "       %s sound <workload> <voices> [--sample-path | --loop] [--voice-samples V]\n"
                     "       %s check [--voice-samples V] [voices ...]\n"
                     "       %s list\n",
                     argv[0], argv[0], argv[0], argv[0]);
        return 2;
    }
    const morvanel::bench::Workload* workload = morvanel::bench::FindWorkload(argv[1]);
    if (workload == nullptr) {
        std::fprintf(stderr, "unknown workload '%s'\n", argv[1]);
        return 2;
    }
    const int voices = std::atoi(argv[2]);
    const int blocks = std::atoi(argv[3]);
    const bool samplePath = argc > 4 && std::strcmp(argv[4], "--sample-path") == 0;
    const int id = morvanel::bench::StartInstance(*workload, voices, samplePath);
    std::vector<float> out(morvanel::bench::kBlock);
    const double checksum = RenderBlocks(id, blocks, out);
    std::printf("%s: %d voices, %d blocks of %d, %lld voice-samples (checksum %g)\n", workload->name, voices,
                blocks, morvanel::bench::kBlock,
                static_cast<long long>(voices) * blocks * morvanel::bench::kBlock, checksum);
    DestroyInstance(id);
    return 0;
}
