// Voice-by-voice rendering: when no playing voice can observe another, each voice runs over a
// stretch of samples on its own, which keeps its state in cache and lets steady tones run as tight
// loops. The additions into each output sample happen in the same order as on the
// sample-by-sample path (voices in start order, each sample 0.0 plus the tone's value), so the
// two agree bit for bit.
#include <algorithm>

#include "runtime/player.h"
#include "runtime/steady_tone.h"

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
            return !DrawsRandom(item.expression.get()) && !WritesEngineVariable(sequence, item.value.number.slot);
        case SI_POP:
            return !WritesEngineVariable(sequence, item.value.number.slot);
        default:
            // Noise (shared generators), calls (instances starting and ending, the call depth
            // limit), spawns (commands), prints (output order) and pushes (a printed warning).
            return false;
    }
}

// Whether running `sequence` can neither affect another voice nor be affected by one: no random
// draws, noise registers, prints, spawns, argument pushes or calls, and no writes to engine
// variables. Worked out once: a compiled sequence never changes its items.
bool SequenceIsIndependent(CSequence& sequence) {
    if (sequence.independence < 0) {
        const bool independent = std::all_of(sequence.items.begin(), sequence.items.end(),
                                             [&](const SEQUENCE_ITEM& item) { return ItemIsIndependent(sequence, item); });
        sequence.independence = independent ? 1 : 0;
    }
    return sequence.independence == 1;
}

// Whether every sequence of the voice's root box is independent (the root box makes no calls, so
// these are all the sequences the voice will ever run).
bool VoiceIsIndependent(const CVoice& voice) {
    if (voice.rootBox == nullptr) return false;
    return std::all_of(voice.rootBox->sequences.begin(), voice.rootBox->sequences.end(),
                       [](const std::unique_ptr<CSequence>& sequence) { return SequenceIsIndependent(*sequence); });
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
        for (int i = 0; i < length; ++i) out[i] += SteadyVoiceSample(state, period);
        return length;
    }
    // A square at a steady volume: runs of one float per half period, each the value that
    // SteadyVoiceSample gives for it (0.0 plus the level times the volume).
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

bool CPlayer::VoicesAreIndependent() const {
    return std::all_of(voices.begin(), voices.end(),
                       [](const CVoice* voice) { return voice->stopped || VoiceIsIndependent(*voice); });
}

void CPlayer::RenderStretch(float* out, int length) {
    std::fill(out, out + length, 0.0f);
    size_t kept = 0;
    for (size_t index = 0; index < voices.size(); ++index) {
        CVoice* voice = voices[index];
        bool keep = !voice->stopped;
        if (keep) {
            int done = steadyTones ? RenderSteadyTone(*voice, out, length) : 0;
            while (done < length) {
                float sample = 0.0f;
                if (!RenderVoiceSample(*voice, sample)) {
                    keep = false;
                    break;
                }
                out[done++] += sample;
                // An attack part or a fade may have just led into a steady tone.
                if (steadyTones && voice->steadyRoot != nullptr && voice->steadyRoot->steadyTone != nullptr) {
                    done += RenderSteadyTone(*voice, out + done, length - done);
                }
            }
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
