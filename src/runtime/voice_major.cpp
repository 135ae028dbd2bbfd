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

// Whether the voice's root sequence is settled in a one-item loop of a square or saw tone whose
// next samples can be computed without the interpreter.
const SEQUENCE_ITEM* SteadyTone(CVoice& voice, SEQUENCE_INSTANCE_DATA& state) {
    const CSequence& sequence = *state.sequence;
    if (!sequence.looping || !state.started || state.remaining == 0 || sequence.items.size() <= 1) return nullptr;
    if (voice.released && voice.releaseOwner == sequence.box) return nullptr;
    const SEQUENCE_ITEM* tone = sequence.loopStart;
    if (tone->kind != SI_SQR && tone->kind != SI_SAW) return nullptr;
    const SEQUENCE_ITEM* after = tone + 1;
    const SEQUENCE_ITEM* end = sequence.items.data() + sequence.items.size();
    if (after != sequence.releaseStart && after < end && after->kind != SI_END) return nullptr;
    if (state.current != tone && state.current != after) return nullptr;
    // A while loop re-reads its condition at every turn; nothing in the stretch can change it.
    if (sequence.conditionIsWhile && EvaluateValue(sequence.condition, &state) == 0.0f) return nullptr;
    return tone;
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
    SEQUENCE_INSTANCE_DATA& state = *root.sequenceInstances.front().state;
    // What the box's sample function does first at every sample.
    if (voice.releaseOwner == nullptr && state.sequence->looping) voice.releaseOwner = voice.rootBox;
    const SEQUENCE_ITEM* tone = SteadyTone(voice, state);
    if (tone == nullptr) return 0;
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
            int done = RenderSteadyTone(voice, stretch, length);
            for (; done < length; ++done) {
                float sample = 0.0f;
                if (!RenderBoxSample(*voice.rootBox, *voice.rootInstance, 0, sample, voice)) {
                    keep = false;
                    break;
                }
                stretch[done] += sample;
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
