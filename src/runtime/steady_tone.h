// Steady tones: a sequence settled in a one-item loop of a square or saw tone produces its next
// samples without the item loop. The interpreter notes the tone on the sequence instance when it
// produces a sample with it; every shortcut checks, per sample, that nothing else has to run, and
// then does exactly what the item loop would do, in the same order, so that the samples are the
// same bit for bit.
#pragma once

#include "program/model.h"
#include "program/values.h"
#include "runtime/generators.h"
#include "runtime/voice.h"
#include "vars/numeric_cast.h"

namespace morvanel {

// Whether `sequence` loops over exactly one square or saw item (worked out once).
bool HasSteadyShape(CSequence& sequence);

// The root sequence instance of a voice whose box is one steady-shaped sequence, else null.
SEQUENCE_INSTANCE_DATA* SteadyRootOf(const CBox& box, BOX_INSTANCE_DATA& root);

// After the item loop has produced a sample with `item`: notes it when it is the sequence's
// one-item tone loop.
void NoteSteadyItem(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, const SEQUENCE_ITEM& item);

// Whether the noted tone of `instance` may produce the next sample without the item loop (the
// period is then in `period`): the voice's release does not end this loop (it acts on another
// box, which plays on until its own loop ends), the duration has not run out, the
// while condition (if any) still holds and the period is a positive count. Period and condition
// are read at every call, since other voices and the host may write the variables they read.
inline bool SteadyToneReady(const SEQUENCE_INSTANCE_DATA& instance, const CVoice& voice, int64_t& period) {
    const SEQUENCE_ITEM& tone = *instance.steadyTone;
    const CSequence& sequence = *instance.sequence;
    if (instance.remaining == 0 || instance.current != &tone + 1) return false;
    if (voice.released && (voice.releaseOwner == nullptr || voice.releaseOwner == sequence.box)) return false;
    if (sequence.conditionIsWhile && EvaluateValue(sequence.condition, &instance, voice.clock) == 0.0f) return false;
    period = instance.steadyPeriod != 0 ? instance.steadyPeriod : ToInt64(EvaluateValue(tone.value, &instance, voice.clock));
    return period > 0;
}

// The next sample of a sequence whose noted tone is ready, as the item loop produces it: the fade
// moves first, the generator runs at the period, the count goes down, and the volume scales the
// generator's value last (the item loop's order; another order rounds differently).
inline float SteadyToneSample(SEQUENCE_INSTANCE_DATA& instance, int64_t period) {
    UpdateFade(instance);
    OSCILLATOR_STATE& oscillator = *instance.steadyOscillator;
    const float value =
        instance.steadyTone->kind == SI_SQR ? SquareSample(oscillator, period) : SawSample(oscillator, period);
    if (instance.remaining > 0) --instance.remaining;
    return value * instance.volume;
}

// A voice's sample from its ready steady root: what the box's sample function returns for its
// only sequence, 0.0 plus the tone's sample (that sum starts at 0.0, which turns -0.0 into +0.0).
inline float SteadyVoiceSample(SEQUENCE_INSTANCE_DATA& root, int64_t period) {
    return 0.0f + SteadyToneSample(root, period);
}

// The voice's next sample straight from its steady root when it has one that is ready; false when
// the interpreter must run.
inline bool TrySteadyVoiceSample(CVoice& voice, float& sample) {
    SEQUENCE_INSTANCE_DATA* root = voice.steadyRoot;
    int64_t period = 0;
    if (root == nullptr || root->steadyTone == nullptr || !SteadyToneReady(*root, voice, period)) return false;
    sample = SteadyVoiceSample(*root, period);
    return true;
}

}  // namespace morvanel
