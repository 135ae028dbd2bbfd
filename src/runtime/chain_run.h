// Chain runs: a voice whose sound comes down chains of calls, one body per box below its root,
// each level sitting on a call item, to a steady square or saw, a loop a loop program can run or
// a silent rest, produces its next samples by the same operations the interpreter would do, in
// the same order: the leaf's fade moves and its value is scaled by its volume, then each calling
// level's fade moves and its volume scales the value, from the leaf up; the root's bodies add
// their values in body order. Nothing can change a chain until a duration runs out or the run's
// end comes, so a run is planned once and rendered in tight loops.
#pragma once

#include <cstdint>

#include "runtime/instance_data.h"
#include "runtime/loop_run.h"
#include "runtime/play_facts.h"
#include "runtime/voice.h"

namespace morvanel {

// The root bodies a run takes; a voice with more runs through the interpreter.
constexpr int kMaxRunBranches = 4;
// The random numbers one sample of a run may draw.
constexpr int kMaxRunDraws = 8;

enum class CHAIN_LEAF : uint8_t {
    kSteady,  // a steady square or saw
    kLoop,    // a loop program
    kRest,    // a body that has played its items, or an empty one, filling its duration with silence
    kEnded,   // a later root body that has ended: it adds nothing while the first plays on
};

// The instances one root body's chain reads, from the root's sequence (0) to the leaf.
struct CHAIN {
    CHAIN() = default;
    CHAIN(const CHAIN&) = delete;
    CHAIN& operator=(const CHAIN&) = delete;

    SEQUENCE_INSTANCE_DATA* levels[kMaxPlayHeight];
    int count = 0;
    CHAIN_LEAF leaf = CHAIN_LEAF::kSteady;
    int64_t period = 0;
    LOOP_PROGRAM program;
};

// A planned run of a voice: one chain per root body, from `firstBranch` on.
struct VOICE_RUN {
    CHAIN branches[kMaxRunBranches];
    int firstBranch = 0;
    int branchCount = 0;
    int32_t draws = 0;     // random numbers each sample of the run draws, over the planned bodies
    int firstDrawing = 0;  // the first body that draws (branchCount when none does)
};

// A quick look before planning: false when the voice's first root body cannot run now, because a
// level's duration has run out (the interpreter ends it first) or a level has several bodies.
// Planning would say the same, at several times the cost, after every call's first sample.
inline bool MayRun(const CVoice& voice) {
    const BOX_INSTANCE_DATA* instance = voice.rootInstance;
    if (instance == nullptr || instance->sequenceInstances.count == 0) return false;
    const SEQUENCE_INSTANCE_DATA* level = instance->sequenceInstances.items[0].state;
    for (int height = 1; height <= kMaxPlayHeight; ++height) {
        if (level->remaining == 0) return false;
        const BOX_INSTANCE_DATA* child = level->childInstance;
        if (child == nullptr) return true;
        if (child->sequenceInstances.count != 1) return false;
        level = child->sequenceInstances.items[0].state;
    }
    return false;
}

// Plans the voice's next run, of at most `count` samples, for its root bodies from `firstBranch`
// on: how long it is (0: the interpreter must play the next sample). A run that draws random
// numbers is planned only when `drawing`; its draws per sample are then in run.draws. Planning
// changes nothing the interpreter reads.
int PlanVoiceRun(CVoice& voice, int count, bool drawing, VOICE_RUN& run, int firstBranch = 0);

// Renders `length` samples of the planned bodies [run.firstBranch, end) and adds them to `out`.
// `draws` holds their random numbers, run.draws per sample, in the order the interpreter would
// draw them. `ownSum`: `out` holds this voice's sum alone so far (a row of its own, starting at
// 0.0), so each body adds straight into it, in body order, as the box's sample function sums
// them; otherwise the bodies are summed apart from 0.0 and the sum is added.
void RenderVoiceRun(CVoice& voice, VOICE_RUN& run, float* out, int length, const int32_t* draws, int end,
                    bool ownSum);

}  // namespace morvanel
