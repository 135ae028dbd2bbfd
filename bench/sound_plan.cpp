// The list of game-sound workloads, the reference render of a plan, the comparison of two renders,
// and the sine table the reference loops read.
#include "sound_plan.h"

#include <array>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "reference_sound.h"
#include "sounds.h"

namespace morvanel::bench {

namespace {

// About three million voice-samples per measured stretch: long enough to time on a loaded
// machine, short enough that every workload at both sizes runs in a few minutes.
int64_t measuredVoiceSamples = 3 << 20;

// sin2pi's table: entry j is the sine of 6.283185307 times j / 65536 (the language's ten-digit
// turn), rounded to float.
struct SINE_TABLE {
    std::array<float, 65536> entries{};
    SINE_TABLE() {
        for (size_t j = 0; j < entries.size(); ++j) {
            const float turns = static_cast<float>(j) / 65536.0f;
            entries[j] = static_cast<float>(std::sin(6.283185307 * static_cast<double>(turns)));
        }
    }
};

const SINE_TABLE sineTable;

}  // namespace

float reference::Sine2Pi(float turns) {
    const int32_t index = static_cast<int32_t>(static_cast<double>(turns) * 65536.0) & 0xFFFF;
    return sineTable.entries[static_cast<size_t>(index)];
}

const std::vector<SOUND_WORKLOAD>& SoundWorkloads() {
    static const std::vector<SOUND_WORKLOAD> workloads = [] {
        std::vector<SOUND_WORKLOAD> list;
        AddToneWorkloads(list);
        AddExampleWorkloads(list);
        return list;
    }();
    return workloads;
}

const SOUND_WORKLOAD* FindSoundWorkload(std::string_view name) {
    for (const SOUND_WORKLOAD& workload : SoundWorkloads()) {
        if (name == workload.name) return &workload;
    }
    return nullptr;
}

void SetMeasuredVoiceSamples(int64_t voiceSamples) { measuredVoiceSamples = std::max<int64_t>(voiceSamples, 1); }

int64_t MeasuredLength(int voices, int64_t warmup, int64_t end) {
    int64_t length = (measuredVoiceSamples / voices + kSoundBlock - 1) / kSoundBlock * kSoundBlock;
    if (end > 0) length = std::min(length, end - warmup);
    return length;
}

int64_t RenderReference(const SOUND_WORKLOAD& workload, const SOUND_PLAN& plan, uint8_t noiseRegister,
                        std::vector<float>& out) {
    out.assign(static_cast<size_t>(plan.End()), 0.0f);
    std::unique_ptr<CReferenceLoop> loop = workload.loop(noiseRegister);
    CTimeline timeline(plan);
    auto apply = [&loop](const SOUND_EVENT& event) { loop->Apply(event); };
    auto render = [&loop](float* samples, int count) { loop->Render(samples, count); };
    std::srand(kSoundSeed);
    timeline.PlayTo(plan.warmup, out.data(), apply, render);
    const int64_t before = loop->voiceSamples;
    timeline.PlayTo(plan.End(), out.data(), apply, render);
    return loop->voiceSamples - before;
}

std::string FirstDifference(const std::vector<float>& engine, const std::vector<float>& loop) {
    char text[200];
    if (engine.size() != loop.size()) {
        std::snprintf(text, sizeof text, "the engine rendered %zu samples, the loop %zu", engine.size(), loop.size());
        return text;
    }
    for (size_t i = 0; i < engine.size(); ++i) {
        uint32_t engineBits = 0;
        uint32_t loopBits = 0;
        std::memcpy(&engineBits, &engine[i], sizeof engineBits);
        std::memcpy(&loopBits, &loop[i], sizeof loopBits);
        if (engineBits != loopBits) {
            std::snprintf(text, sizeof text, "sample %zu differs: engine %.9g (0x%08" PRIx32 "), loop %.9g (0x%08" PRIx32 ")",
                          i, static_cast<double>(engine[i]), engineBits, static_cast<double>(loop[i]), loopBits);
            return text;
        }
    }
    return "";
}

}  // namespace morvanel::bench
