// Planning and rendering chain runs.
#include "runtime/chain_run.h"

#include <algorithm>

#include "runtime/generators.h"
#include "runtime/player.h"
#include "runtime/steady_tone.h"

namespace morvanel {

namespace {

// Samples rendered at a time where a run needs room of its own.
constexpr int kPiece = 64;

// Whether the item loop of a calling level would run its call item at the next sample: a call
// that is the release point plays only while the sequence is being released.
bool RunsItsCall(const SEQUENCE_INSTANCE_DATA& level, const CVoice& voice) {
    const CSequence& sequence = *level.sequence;
    const SEQUENCE_ITEM* end = sequence.items.data() + sequence.items.size();
    if (level.current >= end || level.current->kind != SI_CALL) return false;
    const bool releasing = voice.released && voice.releaseOwner == sequence.box;
    return releasing || level.current != sequence.releaseStart;
}

// Whether the sequence fills what is left of its duration with silence: an empty body, or one
// whose sustain part has played through without a loop to go round.
bool Rests(const SEQUENCE_INSTANCE_DATA& level, const CVoice& voice) {
    const CSequence& sequence = *level.sequence;
    if (level.remaining <= 0) return false;
    if (sequence.items.size() <= 1) return true;
    if (!level.started || sequence.looping) return false;
    if (voice.released && voice.releaseOwner == sequence.box) return false;
    const SEQUENCE_ITEM* end = sequence.items.data() + sequence.items.size();
    return level.current == sequence.releaseStart || level.current >= end || level.current->kind == SI_END;
}

// Finds the chain from the root body `level` down, when its next samples can run without the
// interpreter.
bool FindChain(SEQUENCE_INSTANCE_DATA* level, CVoice& voice, bool drawing, CHAIN& chain) {
    chain.count = 0;
    for (;;) {
        if (chain.count == kMaxPlayHeight) return false;
        chain.levels[chain.count++] = level;
        if (level->steadyTone != nullptr) {
            chain.leaf = CHAIN_LEAF::kSteady;
            return SteadyToneReady(*level, voice, chain.period);
        }
        if (level->childInstance == nullptr) {
            if (Rests(*level, voice)) {
                chain.leaf = CHAIN_LEAF::kRest;
                return true;
            }
            chain.leaf = CHAIN_LEAF::kLoop;
            return BuildLoopProgram(*level, voice, drawing, chain.program);
        }
        if (!level->started || level->remaining == 0 || !RunsItsCall(*level, voice)) return false;
        const BOX_INSTANCE_DATA& child = *level->childInstance;
        if (child.sequenceInstances.size() != 1) return false;
        level = child.sequenceInstances.front().state;
    }
}

// Adds `value` to out[0, length).
void AddRun(float* out, int64_t length, float value) {
    for (int64_t i = 0; i < length; ++i) out[i] += value;
}

// A square under volumes that do not move: every sample of a half period is one and the same float.
void RenderSquareRuns(const CHAIN& chain, float* out, int length) {
    SEQUENCE_INSTANCE_DATA& leaf = *chain.levels[chain.count - 1];
    const int64_t period = chain.period;
    float high = 1.0f * leaf.volume;
    float low = -1.0f * leaf.volume;
    for (int level = chain.count - 2; level >= 0; --level) {
        high = high * chain.levels[level]->volume;
        low = low * chain.levels[level]->volume;
    }
    OSCILLATOR_STATE& oscillator = *leaf.steadyOscillator;
    oscillator.period = period;
    oscillator.halfPeriod = period >> 1;
    int done = 0;
    while (done < length) {
        int64_t run;
        if (oscillator.phase < oscillator.halfPeriod) {
            run = std::min<int64_t>(oscillator.halfPeriod - oscillator.phase, length - done);
            AddRun(out + done, run, high);
        } else {
            // A phase left beyond a shortened period wraps after one sample.
            run = std::min<int64_t>(std::max<int64_t>(period - oscillator.phase, 1), length - done);
            AddRun(out + done, run, low);
        }
        oscillator.phase += run;
        if (oscillator.phase >= period) oscillator.phase = 0;
        done += static_cast<int>(run);
    }
}

// The calling levels over one sample of the leaf: each level's fade moves and its volume scales
// the value, from the leaf up.
float ThroughCallers(const CHAIN& chain, float value) {
    for (int level = chain.count - 2; level >= 0; --level) {
        SEQUENCE_INSTANCE_DATA& calling = *chain.levels[level];
        UpdateFade(calling);
        value = value * calling.volume;
    }
    return value;
}

// A loop under any fades.
void RenderLoop(CHAIN& chain, CVoice& voice, float* out, int length) {
    SEQUENCE_INSTANCE_DATA& leaf = *chain.levels[chain.count - 1];
    float values[kPiece];
    for (int done = 0; done < length; done += kPiece) {
        const int piece = std::min(kPiece, length - done);
        RunLoopSamples(leaf, chain.program, voice, values, piece);
        if (chain.count == 1) {
            for (int i = 0; i < piece; ++i) out[done + i] += values[i];
        } else {
            for (int i = 0; i < piece; ++i) out[done + i] += ThroughCallers(chain, values[i]);
        }
    }
}

// Any tone under any fades: the interpreter's operations, sample by sample.
void RenderSampleBySample(const CHAIN& chain, float* out, int length) {
    SEQUENCE_INSTANCE_DATA& leaf = *chain.levels[chain.count - 1];
    OSCILLATOR_STATE& oscillator = *leaf.steadyOscillator;
    const bool square = leaf.steadyTone->kind == SI_SQR;
    const int64_t period = chain.period;
    for (int i = 0; i < length; ++i) {
        UpdateFade(leaf);
        const float value = (square ? SquareSample(oscillator, period) : SawSample(oscillator, period)) * leaf.volume;
        out[i] += ThroughCallers(chain, value);
    }
}

// Silence from the leaf, through the callers' fades and volumes.
void RenderRest(const CHAIN& chain, float* out, int length) {
    for (int i = 0; i < length; ++i) out[i] += ThroughCallers(chain, 0.0f);
}

bool Fading(const CHAIN& chain) {
    return std::any_of(chain.levels, chain.levels + chain.count,
                       [](const SEQUENCE_INSTANCE_DATA* level) { return level->fadeStep != 0.0f; });
}

// `length` samples of one chain, added to `out`, continuing where the last piece stopped.
void RenderChain(CHAIN& chain, CVoice& voice, float* out, int length) {
    switch (chain.leaf) {
        case CHAIN_LEAF::kLoop: RenderLoop(chain, voice, out, length); return;
        case CHAIN_LEAF::kRest: RenderRest(chain, out, length); return;
        case CHAIN_LEAF::kEnded: return;
        case CHAIN_LEAF::kSteady: break;
    }
    if (chain.levels[chain.count - 1]->steadyTone->kind == SI_SQR && !Fading(chain)) {
        RenderSquareRuns(chain, out, length);
    } else {
        RenderSampleBySample(chain, out, length);
    }
}

// The counts of a chain after `length` samples; a loop's leaf has counted its own.
void FinishChain(CHAIN& chain, int64_t length) {
    if (chain.leaf == CHAIN_LEAF::kEnded) return;
    const int counted = chain.leaf == CHAIN_LEAF::kLoop ? chain.count - 1 : chain.count;
    for (int level = 0; level < counted; ++level) {
        if (chain.levels[level]->remaining > 0) chain.levels[level]->remaining -= length;
    }
    if (chain.leaf == CHAIN_LEAF::kLoop) FinishLoopRun(*chain.levels[chain.count - 1], chain.program);
}

}  // namespace

int PlanVoiceRun(CVoice& voice, int count, bool drawing, VOICE_RUN& run, int firstBranch) {
    // Whose loop a release ends is settled by the interpreter while no box holds it.
    if (!voice.player->steadyTones || (voice.released && voice.releaseOwner == nullptr)) return 0;
    const BOX_INSTANCE_DATA* root = voice.rootInstance;
    if (root == nullptr) return 0;
    const int branches = static_cast<int>(root->sequenceInstances.size());
    if (branches == 0 || branches > kMaxRunBranches || firstBranch >= branches) return 0;
    int64_t length = count;
    run.draws = 0;
    run.firstDrawing = branches;
    for (int branch = firstBranch; branch < branches; ++branch) {
        CHAIN& chain = run.branches[branch];
        SEQUENCE_INSTANCE_DATA* body = root->sequenceInstances[static_cast<size_t>(branch)].state;
        if (branch > 0 && HasPlayedOut(*body)) {
            chain.count = 1;
            chain.levels[0] = body;
            chain.leaf = CHAIN_LEAF::kEnded;
            continue;
        }
        if (!FindChain(body, voice, drawing, chain)) return 0;
        for (int level = 0; level < chain.count; ++level) {
            const int64_t remaining = chain.levels[level]->remaining;
            if (remaining > 0) length = std::min(length, remaining);
        }
        if (chain.leaf == CHAIN_LEAF::kLoop && chain.program.drawsPerSample > 0) {
            run.draws += chain.program.drawsPerSample;
            run.firstDrawing = std::min(run.firstDrawing, branch);
        }
        // Bodies render one after another over the run, not sample by sample: one that writes a
        // variable the others may read (a box parameter, a voice variable) must not run ahead.
        if (branches > 1 && chain.leaf == CHAIN_LEAF::kLoop && chain.program.writesBeyondLeaf) return 0;
    }
    if (run.draws > kMaxRunDraws) return 0;
    run.firstBranch = firstBranch;
    run.branchCount = branches;
    return static_cast<int>(length);
}

void RenderVoiceRun(CVoice& voice, VOICE_RUN& run, float* out, int length, const int32_t* draws, int end,
                    bool ownSum) {
    // The box sample functions mark the first looping box from the root down, body by body, as
    // the one a release acts on; the first sample of the run would do it.
    int32_t drawn = 0;
    for (int branch = run.firstBranch; branch < end; ++branch) {
        CHAIN& chain = run.branches[branch];
        for (int level = 0; level < chain.count && voice.releaseOwner == nullptr; ++level) {
            if (chain.levels[level]->sequence->looping) voice.releaseOwner = chain.levels[level]->box;
        }
        if (chain.leaf == CHAIN_LEAF::kLoop && chain.program.drawsPerSample > 0) {
            chain.program.draws = draws + drawn;
            chain.program.drawSkip = run.draws - chain.program.drawsPerSample;
            drawn += chain.program.drawsPerSample;
        }
    }
    if (ownSum || end - run.firstBranch == 1) {
        for (int branch = run.firstBranch; branch < end; ++branch) RenderChain(run.branches[branch], voice, out, length);
    } else {
        // The root's sample function sums its bodies from 0.0 in body order.
        float sum[kPiece];
        for (int done = 0; done < length; done += kPiece) {
            const int piece = std::min(kPiece, length - done);
            std::fill(sum, sum + piece, 0.0f);
            for (int branch = run.firstBranch; branch < end; ++branch) RenderChain(run.branches[branch], voice, sum, piece);
            for (int i = 0; i < piece; ++i) out[done + i] += sum[i];
        }
    }
    for (int branch = run.firstBranch; branch < end; ++branch) FinishChain(run.branches[branch], length);
}

}  // namespace morvanel
