// Voice-by-voice rendering: when no playing voice can observe another within a buffer, each voice
// runs over the rest of the buffer on its own, which keeps its state in cache and lets steady
// tones run as tight loops. Every output sample is bit-identical to rendering sample by sample.
#pragma once

#include "compile/model.h"
#include "runtime/generators.h"
#include "runtime/voice.h"
#include "script/constants.h"
#include "vars/numeric_cast.h"

namespace morvanel {

class CEngine;

// Whether running `sequence` can neither affect another voice nor be affected by one: no random
// draws, noise registers, prints, spawns, argument pushes or calls, and no writes to engine
// variables. Computed once: a compiled sequence never changes its items.
bool SequenceIsIndependent(CSequence& sequence);

// Whether every sequence of the voice's root box is independent (the root box makes no calls,
// so these are all the sequences the voice will ever run).
bool VoiceIsIndependent(const CVoice& voice);

// Whether the voice's root sequence has settled into a one-item loop of a square or saw tone:
// the tone item, with the sequence instance in `state`, or null. The voice's release owner must
// already be settled (the box's sample function sets it first).
const SEQUENCE_ITEM* FindSteadyTone(CVoice& voice, SEQUENCE_INSTANCE_DATA*& state);

// Whether `sequence` loops over exactly one square or saw item (computed once).
bool HasSteadyShape(CSequence& sequence);

// Whether `box` has the shape of a steady tone: one sequence, looping over one square or saw item.
bool MayHoldSteadyTone(const CBox& box);

// The constant period of a tone item, or 0 when it must be read at every sample (variables, and
// units that depend on the tempo).
int64_t ConstantPeriodOf(const SEQUENCE_ITEM& tone, const SEQUENCE_INSTANCE_DATA& state);

// Remembers the voice's steady tone, if it has one, after the interpreter has run it.
void NoteSteadyToneOf(CVoice& voice);
inline void NoteSteadyTone(CVoice& voice) {
    if (voice.mayHoldSteadyTone) NoteSteadyToneOf(voice);
}

// One sample of a voice whose steady tone is noted, exactly as the interpreter would produce it;
// false (and nothing changed) when the interpreter must run this sample instead: the duration
// has run out, the voice is released, a while condition no longer holds, or the period is not a
// positive count. The period and condition are read at every sample, since other voices and the
// host may write the variables they read.
inline bool SteadyToneSample(CVoice& voice, float& sample) {
    SEQUENCE_INSTANCE_DATA& state = *voice.steadyState;
    if (state.remaining == 0 || voice.released) return false;
    if (voice.steadyWhile && EvaluateValue(state.sequence->condition, &state) == 0.0f) return false;
    const SEQUENCE_ITEM& tone = *voice.steadyTone;
    const int64_t period = voice.steadyPeriod != 0 ? voice.steadyPeriod : ToInt64(EvaluateValue(tone.value, &state));
    if (period <= 0) return false;
    UpdateFade(state);
    OSCILLATOR_STATE& oscillator = *voice.steadyOscillator;
    const float value = tone.kind == SI_SQR ? SquareSample(oscillator, period) : SawSample(oscillator, period);
    sample = 0.0f + value * state.volume;
    state.current = &tone + 1;
    if (state.remaining > 0) --state.remaining;
    return true;
}

// Audio thread. Renders samples [first, count) of `out` voice by voice. Only valid when every
// voice in the list is independent, the engine is not halted and no command is waiting.
void RenderVoiceMajor(CEngine& engine, int first, int count, float* out);

}  // namespace morvanel
