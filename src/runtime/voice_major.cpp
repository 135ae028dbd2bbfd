// Voice-by-voice rendering. Voices whose play stays within themselves (see play_facts.h) run over
// a stretch of samples one after another, which keeps each voice's state in cache and lets steady
// parts run as tight loops; the others run sample by sample among themselves first, into rows of
// their own, so that they draw random numbers and post commands in the order the sample-by-sample
// path would. The mix then adds every voice into each output sample in start order, so the result
// is the sample-by-sample path's, bit for bit.
//
// Chain runs: a voice whose sound comes down a chain of calls, one body per box, each sitting on a
// call item, to a sequence looping on a steady square or saw, produces its next samples by the
// same operations the interpreter would do, in the same order: the leaf's fade moves and its tone
// is scaled by its volume, then each calling level's fade moves and its volume scales the value,
// from the leaf up. Nothing can change the chain until a duration runs out or the stretch ends.
#include <algorithm>

#include "runtime/loop_run.h"
#include "runtime/play_facts.h"
#include "runtime/player.h"
#include "runtime/steady_tone.h"

namespace morvanel {

namespace {

// The instances a chain run reads, from the root sequence (0) to the leaf, which either sits on a
// steady tone or goes round a loop that a loop program can run.
struct CHAIN {
    SEQUENCE_INSTANCE_DATA* levels[kMaxPlayHeight];
    int count = 0;
    int64_t period = 0;
    bool loop = false;
    LOOP_PROGRAM program;
};

// Whether the item loop of a calling level would run its call item at the next sample: a call
// that is the release point plays only while the sequence is being released.
bool RunsItsCall(const SEQUENCE_INSTANCE_DATA& level, const CVoice& voice) {
    const CSequence& sequence = *level.sequence;
    const SEQUENCE_ITEM* end = sequence.items.data() + sequence.items.size();
    if (level.current >= end || level.current->kind != SI_CALL) return false;
    const bool releasing = voice.released && voice.releaseOwner == sequence.box;
    return releasing || level.current != sequence.releaseStart;
}

// Finds the voice's chain when its next samples can run without the interpreter.
bool FindChain(CVoice& voice, CHAIN& chain) {
    BOX_INSTANCE_DATA* instance = voice.rootInstance;
    while (instance != nullptr) {
        if (instance->sequenceInstances.size() != 1 || chain.count == kMaxPlayHeight) return false;
        SEQUENCE_INSTANCE_DATA* level = instance->sequenceInstances.front().state;
        chain.levels[chain.count++] = level;
        if (level->steadyTone != nullptr) return SteadyToneReady(*level, voice, chain.period);
        if (level->childInstance == nullptr) {
            chain.loop = BuildLoopProgram(*level, voice, chain.program);
            return chain.loop;
        }
        if (!level->started || level->remaining == 0 || !RunsItsCall(*level, voice)) return false;
        instance = level->childInstance;
    }
    return false;
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
    constexpr int kPiece = 64;
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
    FinishLoopRun(leaf, chain.program);
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

// Up to `count` samples of the voice from its chain, added to `out`; how many (0: the interpreter
// must run the next sample).
int RenderChainRun(CVoice& voice, float* out, int count, bool steadyTones) {
    if (!steadyTones) return 0;
    CHAIN chain;
    if (!FindChain(voice, chain)) return 0;
    int64_t length = count;
    for (int level = 0; level < chain.count; ++level) {
        const int64_t remaining = chain.levels[level]->remaining;
        if (remaining > 0) length = std::min(length, remaining);
    }
    // The box sample functions mark the first looping box from the root down as the one a release
    // acts on; the first sample of the run would do it.
    for (int level = 0; level < chain.count && voice.releaseOwner == nullptr; ++level) {
        if (chain.levels[level]->sequence->looping) voice.releaseOwner = chain.levels[level]->box;
    }
    const int samples = static_cast<int>(length);
    // A loop's leaf counts its own samples as it produces them; everything else counts them here.
    const int counted = chain.loop ? chain.count - 1 : chain.count;
    const bool fading = std::any_of(chain.levels, chain.levels + chain.count,
                                    [](const SEQUENCE_INSTANCE_DATA* level) { return level->fadeStep != 0.0f; });
    if (chain.loop) {
        RenderLoop(chain, voice, out, samples);
    } else if (chain.levels[chain.count - 1]->steadyTone->kind == SI_SQR && !fading) {
        RenderSquareRuns(chain, out, samples);
    } else {
        RenderSampleBySample(chain, out, samples);
    }
    for (int level = 0; level < counted; ++level) {
        if (chain.levels[level]->remaining > 0) chain.levels[level]->remaining -= length;
    }
    return samples;
}

}  // namespace

void CPlayer::ClassifyVoice(CVoice& voice) {
    const uint32_t generation = program.boxes.Generation();
    if (voice.classGeneration == generation) return;
    const PLAY_FACTS facts = FactsOfBox(*voice.rootBox, program.boxes);
    voice.classGeneration = generation;
    voice.playsAlone = facts.independent;
    voice.disturbsOthers = facts.writesGlobals || facts.height > kMaxPlayHeight;
}

bool CPlayer::CanRenderVoiceByVoice() {
    // A redefinition waiting for its box would take over in the middle of a stretch, at a moment
    // that depends on the order voices are rendered in.
    if (program.boxes.PendingCount() > 0) return false;
    for (CVoice* voice : voices) {
        if (voice->stopped) continue;
        ClassifyVoice(*voice);
        if (!voice->playsAlone && voice->disturbsOthers) return false;
    }
    return true;
}

void CPlayer::RenderDependentRows(int length) {
    size_t rows = 0;
    for (CVoice* voice : voices) {
        if (!voice->stopped && !voice->playsAlone) voice->row = static_cast<int32_t>(rows++);
    }
    if (rows == 0) return;
    const size_t needed = rows * static_cast<size_t>(length);
    if (dependentRows.size() < needed) dependentRows.resize(needed);  // past the most seen so far
    std::fill(dependentRows.begin(), dependentRows.begin() + static_cast<std::ptrdiff_t>(needed), 0.0f);
    for (CVoice* voice : voices) {
        if (!voice->stopped && !voice->playsAlone) voice->rowEnd = length;
    }
    for (int i = 0; i < length; ++i) {
        for (CVoice* voice : voices) {
            if (voice->stopped || voice->playsAlone || voice->rowEnd < length) continue;
            float sample = 0.0f;
            if (RenderVoiceSample(*voice, sample)) {
                dependentRows[static_cast<size_t>(voice->row) * static_cast<size_t>(length) + static_cast<size_t>(i)] =
                    sample;
            } else {
                voice->rowEnd = i;
            }
        }
    }
}

void CPlayer::RenderStretch(float* out, int length) {
    RenderDependentRows(length);
    std::fill(out, out + length, 0.0f);
    size_t kept = 0;
    for (size_t index = 0; index < voices.size(); ++index) {
        CVoice* voice = voices[index];
        bool keep = !voice->stopped;
        if (keep && voice->playsAlone) {
            int done = RenderChainRun(*voice, out, length, steadyTones);
            while (done < length) {
                float sample = 0.0f;
                if (!RenderVoiceSample(*voice, sample)) {
                    keep = false;
                    break;
                }
                out[done++] += sample;
                // A call, an attack part or a fade may have just led into a run.
                done += RenderChainRun(*voice, out + done, length - done, steadyTones);
            }
        } else if (keep) {
            const float* row = dependentRows.data() + static_cast<size_t>(voice->row) * static_cast<size_t>(length);
            for (int i = 0; i < voice->rowEnd; ++i) out[i] += row[i];
            keep = voice->rowEnd == length;
        }
        if (keep) {
            voices[kept++] = voice;
        } else {
            DropVoice(voice);
        }
    }
    voices.resize(kept);
    for (int i = 0; i < length; ++i) out[i] = MixDown(out[i]);
    voiceMajorSamples += length;
}

}  // namespace morvanel
