// Voice-by-voice rendering of independent voices, with tight loops for steady square and saw
// tones. The arithmetic is the sample-by-sample path's, operation for operation and in the same
// order per output sample, so the two agree bit for bit.
#include "runtime/voice_major.h"

#include <algorithm>

#include "compile/expression.h"
#include "compile/model.h"
#include "engine/engine.h"
#include "runtime/generators.h"
#include "runtime/voice.h"
#include "script/constants.h"
#include "vars/numeric_cast.h"

namespace morvanel {

namespace {

bool WritesEngineVariable(const CSequence& sequence, int32_t slot) {
    for (const auto& [letter, declaration] : sequence.declarations) {
        if (declaration.slot == slot) return declaration.scopeKind == SCOPE_ENGINE;
    }
    return false;
}

bool DrawsRandom(const EXPRESSION* expression) {
    if (expression == nullptr) return false;
    return std::any_of(expression->ops.begin(), expression->ops.end(),
                       [](const EXPRESSION_OP& op) { return op.kind == EN_RANDOM; });
}

bool ItemIsIndependent(const CSequence& sequence, const SEQUENCE_ITEM& item) {
    switch (item.kind) {
        case SI_SAMPLE:
        case SI_OUT:
        case SI_SAW:
        case SI_SQR:
        case SI_FADEOUT:
        case SI_FADEIN:
        case SI_VOL:
        case SI_OWN:
        case SI_END:
            return true;
        case SI_LET:
            return !DrawsRandom(item.target.expression) && !WritesEngineVariable(sequence, item.value.number.slot);
        case SI_POP:
            return !WritesEngineVariable(sequence, item.value.number.slot);
        default:
            // Noise (shared generators), calls (instances starting and ending, the call depth
            // limit), spawns (commands), prints (output order) and pushes (a printed warning).
            return false;
    }
}

// Whether `sequence` loops over exactly one square or saw item (computed once).
bool HasSteadyShape(CSequence& sequence) {
    if (sequence.steadyShape < 0) {
        const SEQUENCE_ITEM* tone = sequence.loopStart;
        bool steady = sequence.looping && tone != nullptr && sequence.items.size() > 1 &&
                      (tone->kind == SI_SQR || tone->kind == SI_SAW);
        if (steady) {
            const SEQUENCE_ITEM* after = tone + 1;
            const SEQUENCE_ITEM* end = sequence.items.data() + sequence.items.size();
            steady = after == sequence.releaseStart || after >= end || after->kind == SI_END;
        }
        sequence.steadyShape = steady ? 1 : 0;
    }
    return sequence.steadyShape == 1;
}

// Adds `value` to out[0, length): the volume is steady, so every sample of a half period is one
// and the same float.
void AddRun(float* out, int64_t length, float value) {
    for (int64_t i = 0; i < length; ++i) out[i] += value;
}

// Up to `count` samples of the voice's steady tone, added to `out`; how many. Nothing in a
// voice-by-voice stretch writes a variable, so the period and condition read now hold for all of
// it, and a steady volume makes every sample of a half period one and the same float.
int RenderSteadyTone(CVoice& voice, float* out, int count) {
    SEQUENCE_INSTANCE_DATA* root = voice.steadyRoot;
    int64_t period = 0;
    if (root == nullptr || root->steadyTone == nullptr || !SteadyToneReady(*root, voice, period)) return 0;
    SEQUENCE_INSTANCE_DATA& state = *root;
    const int length = state.remaining > 0 ? static_cast<int>(std::min<int64_t>(count, state.remaining)) : count;
    if (state.steadyTone->kind != SI_SQR || state.fadeStep != 0.0f) {
        for (int i = 0; i < length; ++i) out[i] += 0.0f + SteadyToneSample(state, period);
        return length;
    }
    OSCILLATOR_STATE& oscillator = *state.steadyOscillator;
    oscillator.period = period;
    oscillator.halfPeriod = period >> 1;
    const float high = 0.0f + 1.0f * state.volume;
    const float low = 0.0f + -1.0f * state.volume;
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
    if (state.remaining > 0) state.remaining -= length;
    return length;
}

}  // namespace

SEQUENCE_INSTANCE_DATA* SteadyRootOf(const CBox& box, BOX_INSTANCE_DATA& root) {
    if (box.sequences.size() != 1 || root.sequenceInstances.size() != 1) return nullptr;
    return HasSteadyShape(*box.sequences.front()) ? root.sequenceInstances.front().state : nullptr;
}

void NoteSteadyItem(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, const SEQUENCE_ITEM& item) {
    if (&item != sequence.loopStart || !HasSteadyShape(sequence)) return;
    instance.steadyTone = &item;
    instance.steadyOscillator = &FindOscillator(instance);
    // A plain number cannot change; variables and units (tempo) are read at every sample.
    const PARAM_VALUE& value = item.value;
    const bool constant = (value.kind == VK_INTEGER || value.kind == VK_FLOAT) &&
                          (value.unit == VU_PLAIN || value.unit == VU_NEGATED);
    instance.steadyPeriod = constant ? ToInt64(EvaluateValue(value, &instance)) : 0;
}

bool SequenceIsIndependent(CSequence& sequence) {
    if (sequence.independence < 0) {
        const bool independent = std::all_of(sequence.items.begin(), sequence.items.end(),
                                             [&](const SEQUENCE_ITEM& item) { return ItemIsIndependent(sequence, item); });
        sequence.independence = independent ? 1 : 0;
    }
    return sequence.independence == 1;
}

bool VoiceIsIndependent(const CVoice& voice) {
    if (voice.rootBox == nullptr) return false;
    return std::all_of(voice.rootBox->sequences.begin(), voice.rootBox->sequences.end(),
                       [](const std::unique_ptr<CSequence>& sequence) { return SequenceIsIndependent(*sequence); });
}

void RenderVoiceMajor(CEngine& engine, int first, int count, float* out) {
    float* const stretch = out + first;
    const int length = count - first;
    std::fill(stretch, stretch + length, 0.0f);
    auto& voices = engine.voices;
    size_t kept = 0;
    for (size_t index = 0; index < voices.size(); ++index) {
        CVoice& voice = *voices[index];
        bool keep = !voice.stopped;
        if (keep) {
            const bool steadyTones = engine.steadyTones;
            int done = steadyTones ? RenderSteadyTone(voice, stretch, length) : 0;
            while (done < length) {
                float sample = 0.0f;
                if (!RenderBoxSample(*voice.rootBox, *voice.rootInstance, 0, sample, voice)) {
                    keep = false;
                    break;
                }
                stretch[done++] += sample;
                // An attack part or a fade may have just led into a steady tone.
                if (steadyTones && voice.steadyRoot != nullptr && voice.steadyRoot->steadyTone != nullptr) {
                    done += RenderSteadyTone(voice, stretch + done, length - done);
                }
            }
        }
        KeepOrDropVoice(engine, voices, index, keep, kept);
    }
    voices.resize(kept);
    for (int i = 0; i < length; ++i) stretch[i] = stretch[i] / 10.0f;
    engine.voiceMajorSamples += length;
}

}  // namespace morvanel
