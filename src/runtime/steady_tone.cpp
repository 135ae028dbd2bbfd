// Recognising steady tones.
#include "runtime/steady_tone.h"

namespace morvanel {

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
    instance.steadyPeriod = constant ? ToInt64(EvaluateValue(value, &instance, instance.voice->clock)) : 0;
}

}  // namespace morvanel
