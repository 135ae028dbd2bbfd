// The faster ways of rendering. Voice by voice: when no playing voice can observe another, each
// voice runs over a stretch of samples on its own, which keeps its state in cache and lets steady
// tones run as tight loops. Steady tones: a sequence settled in a one-item tone
// loop skips the item loop on any path. Every output sample is bit-identical to the interpreter's.
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

// Steady tones: a sequence settled in a one-item loop of a square or saw tone produces its next
// samples without the item loop. The interpreter notes the tone on the sequence instance when it
// produces a sample with it; every shortcut checks, per sample, that nothing else has to run.

// The root sequence instance of a voice whose box is one steady-shaped sequence, else null.
SEQUENCE_INSTANCE_DATA* SteadyRootOf(const CBox& box, BOX_INSTANCE_DATA& root);

// After the item loop has produced a sample with `item`: notes it when it is the sequence's
// one-item tone loop.
void NoteSteadyItem(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, const SEQUENCE_ITEM& item);

// Whether the noted tone of `instance` may produce the next sample without the item loop (the
// period is then in `period`): the voice is not released, the duration has not run out, the
// while condition (if any) still holds and the period is a positive count. Period and condition
// are read at every call, since other voices and the host may write the variables they read.
inline bool SteadyToneReady(const SEQUENCE_INSTANCE_DATA& instance, const CVoice& voice, int64_t& period) {
    const SEQUENCE_ITEM& tone = *instance.steadyTone;
    if (voice.released || instance.remaining == 0 || instance.current != &tone + 1) return false;
    const CSequence& sequence = *instance.sequence;
    if (sequence.conditionIsWhile && EvaluateValue(sequence.condition, &instance) == 0.0f) return false;
    period = instance.steadyPeriod != 0 ? instance.steadyPeriod : ToInt64(EvaluateValue(tone.value, &instance));
    return period > 0;
}

// The next sample of a sequence whose noted tone is ready, exactly as the item loop would produce
// it (wrap, tone, count).
inline float SteadyToneSample(SEQUENCE_INSTANCE_DATA& instance, int64_t period) {
    UpdateFade(instance);
    OSCILLATOR_STATE& oscillator = *instance.steadyOscillator;
    const float value =
        instance.steadyTone->kind == SI_SQR ? SquareSample(oscillator, period) : SawSample(oscillator, period);
    if (instance.remaining > 0) --instance.remaining;
    return value * instance.volume;
}

// Samples rendered voice by voice before commands are looked at again.
constexpr int kVoiceMajorStretch = 64;

// Audio thread. Renders samples [first, count) of `out` voice by voice. Only valid when every
// voice in the list is independent, the engine is not halted and no command is waiting.
void RenderVoiceMajor(CEngine& engine, int first, int count, float* out);

}  // namespace morvanel
