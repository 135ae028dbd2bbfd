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

// Adds `value` to out[0, length): the volume is steady, so every sample of a half period is one
// and the same float.
void AddRun(float* out, int64_t length, float value) {
    for (int64_t i = 0; i < length; ++i) out[i] += value;
}

// Up to `count` samples of a steady square or saw tone, added to `out`. Returns how many.
int RenderSteadyTone(CVoice& voice, float* out, int count) {
    BOX_INSTANCE_DATA& root = *voice.rootInstance;
    if (root.sequenceInstances.size() != 1) return 0;
    // What the box's sample function does first at every sample.
    if (voice.releaseOwner == nullptr && root.sequenceInstances.front().state->sequence->looping) {
        voice.releaseOwner = voice.rootBox;
    }
    SEQUENCE_INSTANCE_DATA* found = nullptr;
    const SEQUENCE_ITEM* tone = FindSteadyTone(voice, found);
    if (tone == nullptr) return 0;
    SEQUENCE_INSTANCE_DATA& state = *found;
    // A while loop re-reads its condition at every turn; nothing in the stretch can change it.
    if (state.sequence->conditionIsWhile && EvaluateValue(state.sequence->condition, &state) == 0.0f) return 0;
    // Nothing in the stretch writes a variable, so the period read now holds for all of it.
    const int64_t period = ToInt64(EvaluateValue(tone->value, &state));
    if (period <= 0) return 0;
    const int length = state.remaining > 0 ? static_cast<int>(std::min<int64_t>(count, state.remaining)) : count;
    OSCILLATOR_STATE& oscillator = FindOscillator(state);

    if (tone->kind == SI_SQR && state.fadeStep == 0.0f) {
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
                oscillator.phase += run;
            } else {
                // A phase left beyond a shortened period wraps after one sample.
                run = std::min<int64_t>(std::max<int64_t>(period - oscillator.phase, 1), length - done);
                AddRun(out + done, run, low);
                oscillator.phase += run;
            }
            if (oscillator.phase >= period) oscillator.phase = 0;
            done += static_cast<int>(run);
        }
    } else {
        for (int i = 0; i < length; ++i) {
            UpdateFade(state);
            const float value = tone->kind == SI_SQR ? SquareSample(oscillator, period) : SawSample(oscillator, period);
            out[i] += 0.0f + value * state.volume;
        }
    }
    state.current = tone + 1;
    if (state.remaining > 0) state.remaining -= length;
    return length;
}

}  // namespace

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

bool MayHoldSteadyTone(const CBox& box) {
    return box.sequences.size() == 1 && HasSteadyShape(*box.sequences.front());
}

int64_t ConstantPeriodOf(const SEQUENCE_ITEM& tone, const SEQUENCE_INSTANCE_DATA& state) {
    const PARAM_VALUE& value = tone.value;
    const bool constant = (value.kind == VK_INTEGER || value.kind == VK_FLOAT) &&
                          (value.unit == VU_PLAIN || value.unit == VU_NEGATED);
    return constant ? ToInt64(EvaluateValue(value, &state)) : 0;
}

const SEQUENCE_ITEM* FindSteadyTone(CVoice& voice, SEQUENCE_INSTANCE_DATA*& found) {
    found = nullptr;
    if (voice.rootInstance == nullptr || voice.rootInstance->sequenceInstances.size() != 1) return nullptr;
    SEQUENCE_INSTANCE_DATA& state = *voice.rootInstance->sequenceInstances.front().state;
    const CSequence& sequence = *state.sequence;
    const SEQUENCE_ITEM* tone = sequence.loopStart;
    if (tone == nullptr || (tone->kind != SI_SQR && tone->kind != SI_SAW)) return nullptr;
    if (!sequence.looping || !state.started || state.remaining == 0 || sequence.items.size() <= 1) return nullptr;
    if (voice.released && voice.releaseOwner == sequence.box) return nullptr;
    const SEQUENCE_ITEM* after = tone + 1;
    const SEQUENCE_ITEM* end = sequence.items.data() + sequence.items.size();
    if (after != sequence.releaseStart && after < end && after->kind != SI_END) return nullptr;
    if (state.current != tone && state.current != after) return nullptr;
    found = &state;
    return tone;
}

void NoteSteadyToneOf(CVoice& voice) {
    voice.steadyTone = FindSteadyTone(voice, voice.steadyState);
    if (voice.steadyTone == nullptr) return;
    voice.steadyOscillator = &FindOscillator(*voice.steadyState);
    voice.steadyWhile = voice.steadyState->sequence->conditionIsWhile;
    // The box's sample function names the looping box as release owner before every step; the
    // interpreter has just done so, and only a release (which ends the shortcut) changes it.
    if (voice.releaseOwner == nullptr) voice.releaseOwner = voice.rootBox;
    voice.steadyPeriod = ConstantPeriodOf(*voice.steadyTone, *voice.steadyState);
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
                if (!steadyTones) continue;
                NoteSteadyTone(voice);
                if (voice.steadyTone != nullptr) done += RenderSteadyTone(voice, stretch + done, length - done);
            }
        }
        if (keep) {
            if (kept != index) voices[kept] = std::move(voices[index]);
            ++kept;
        } else {
            voices[index].reset();
        }
    }
    voices.resize(kept);
    for (int i = 0; i < length; ++i) stretch[i] = stretch[i] / 10.0f;
    engine.voiceMajorSamples += length;
}

}  // namespace morvanel
