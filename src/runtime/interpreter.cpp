// The sequence interpreter: one sequence instance, one sample; and one sample of a box instance.
// A step checks the call depth and the shortcuts, lets a sequence that has not started pop its
// parameters and check its condition, then runs items until one produces the sample: tones,
// drawn levels, noise and calls produce; volume, fades, variables, the stack, prints and spawns
// take no time and the next item runs in the same sample.
#include <cstdio>

#include "program/model.h"
#include "program/values.h"
#include "runtime/always_inline.h"
#include "runtime/evaluate.h"
#include "runtime/generators.h"
#include "runtime/player.h"
#include "runtime/steady_tone.h"
#include "runtime/voice.h"
#include "vars/numeric_cast.h"

namespace morvanel {

namespace {

// Zero-time items one sequence may execute for one sample before it gives the sample up:
// generous for real scripts, small enough that a body that never produces a sample cannot stall
// the audio thread.
constexpr int kMaxZeroTimeItems = 1024;

// On top of that, the work of a voice for one sample is counted over its whole call tree (each
// zero-time item one unit, each call instance created kCallCost plus one per sequence), so that
// bodies calling one another cannot multiply the per-sequence limit with every level.
constexpr int kCallCost = 16;

int64_t PeriodOf(const SEQUENCE_ITEM& item, const SEQUENCE_INSTANCE_DATA& instance, const CLOCK* clock) {
    return ToInt64(EvaluateValue(item.value, &instance, clock));
}

// Counts one produced sample against the duration. A negative count means no limit and is left
// as it is: a duration read from a variable may saturate to the lowest int64, which must not wrap.
void CountSample(SEQUENCE_INSTANCE_DATA& instance) {
    if (instance.remaining > 0) --instance.remaining;
}

// A produced sample: advance past the item and count it.
bool Produce(SEQUENCE_INSTANCE_DATA& instance, float& sample, float value) {
    sample = value;
    ++instance.current;
    CountSample(instance);
    instance.started = 1;
    return true;
}

// Gives the sample up as silence when the voice's work for it is spent; the body goes on from
// where it stopped at the next sample.
bool GiveUpSample(SEQUENCE_INSTANCE_DATA& instance, float& sample) {
    sample = 0.0f;
    CountSample(instance);
    instance.started = 1;
    return true;
}

// What running one item did.
enum class ItemResult {
    kProduced,     // the sample is written: the step is over
    kGaveUp,       // the voice's work is spent: silence for this sample
    kTookNoTime,   // the next item runs in the same sample
};

// Whether the call's child is one body that has played its duration out: the box's sample function
// would only mark the release owner, as it does here, and end it. Most calls end this way, and
// skipping that walk is a good part of what a call costs.
MORVANEL_ALWAYS_INLINE bool ChildPlayedOut(const BOX_INSTANCE_DATA& child, int depth, CVoice& voice) {
    if (child.sequenceInstances.count != 1 || depth + 1 >= kMaxCallDepth || voice.player->halted) return false;
    const SEQUENCE_INSTANCE_DATA& body = *child.sequenceInstances.items[0].state;
    if (!HasPlayedOut(body)) return false;
    if (voice.releaseOwner == nullptr && body.sequence->looping) voice.releaseOwner = child.box;
    return true;
}

// One sample of the call item's child, starting the child first when the call begins. A child that
// has ended is destroyed, and the item took no time.
ItemResult RunCall(const SEQUENCE_ITEM& item, SEQUENCE_INSTANCE_DATA& instance, int depth, float& sample,
                   CVoice& voice) {
    if (instance.childInstance == nullptr) {
        voice.workLeft -= kCallCost + static_cast<int32_t>(item.callee->sequences.size());
        if (voice.workLeft <= 0) {
            GiveUpSample(instance, sample);
            return ItemResult::kGaveUp;
        }
        instance.childBox = item.callee;
        instance.childInstance = StartCall(*instance.childBox, voice, instance);
        instance.childInstanceId = instance.childInstance->instanceId;
    }
    float value = 0.0f;
    if (ChildPlayedOut(*instance.childInstance, depth, voice)) {
        EndCall(instance.childInstance, instance);
    } else if (RenderBoxSample(*instance.childBox, *instance.childInstance, depth + 1, value, voice)) {
        UpdateFade(instance);
        sample = value * instance.volume;
        CountSample(instance);
        instance.started = 1;
        return ItemResult::kProduced;
    }
    // The child has ended and is destroyed; what follows runs in this same sample.
    instance.childInstanceId = 0;
    instance.childBox = nullptr;
    instance.childInstance = nullptr;
    return ItemResult::kTookNoTime;
}

// A tone item: one generator sample at the item's period, at the sequence's volume. A square or
// saw that is the sequence's one-item loop is noted, so that its next samples skip the item loop.
template <float (*Generate)(OSCILLATOR_STATE&, int64_t)>
MORVANEL_ALWAYS_INLINE bool RunTone(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, const SEQUENCE_ITEM& item, float& sample,
             const CVoice& voice, bool steady) {
    UpdateFade(instance);
    const float value = Generate(FindOscillator(instance), PeriodOf(item, instance, voice.clock));
    if (steady && &item == sequence.loopStart && voice.player->steadyTones) NoteSteadyItem(sequence, instance, item);
    return Produce(instance, sample, value * instance.volume);
}

MORVANEL_ALWAYS_INLINE ItemResult RunItem(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, int depth,
                                          float& sample, CVoice& voice) {
    const SEQUENCE_ITEM& item = *instance.current;
    const CLOCK* clock = voice.clock;
    switch (item.kind) {
        case SI_SAMPLE:
        case SI_OUT:
            UpdateFade(instance);
            Produce(instance, sample, EvaluateValue(item.value, &instance, clock) * instance.volume);
            return ItemResult::kProduced;
        case SI_NOISE_SAMPLE:
            UpdateFade(instance);
            Produce(instance, sample, NoiseSample() * instance.volume);
            return ItemResult::kProduced;
        case SI_SAW:
            RunTone<SawSample>(sequence, instance, item, sample, voice, true);
            return ItemResult::kProduced;
        case SI_SQR:
            RunTone<SquareSample>(sequence, instance, item, sample, voice, true);
            return ItemResult::kProduced;
        case SI_NOISE5:
            RunTone<Noise5Sample>(sequence, instance, item, sample, voice, false);
            return ItemResult::kProduced;
        case SI_NOISE17E:
            RunTone<Noise17eSample>(sequence, instance, item, sample, voice, false);
            return ItemResult::kProduced;
        case SI_CALL:
            return RunCall(item, instance, depth, sample, voice);
        case SI_SPAWN:
            voice.player->events.Spawn(item.value.TextOrNull());
            break;
        case SI_FADEOUT:
            StartFadeOut(instance, PeriodOf(item, instance, clock));
            break;
        case SI_FADEIN:
            StartFadeIn(instance, PeriodOf(item, instance, clock));
            break;
        case SI_VOL:
            SetVolume(instance, EvaluateValue(item.value, &instance, clock));
            break;
        case SI_LET:
            WriteSlotAt(instance, item.value.number.slot, EvaluateExpression(*item.expression, &instance, clock));
            break;
        case SI_PRINT:
            std::printf("%f\n", static_cast<double>(EvaluateExpression(*item.expression, &instance, clock)));
            break;
        case SI_PUSH:
            PushArgument(voice, EvaluateExpression(*item.expression, &instance, clock));
            break;
        case SI_POP:
            WriteSlotAt(instance, item.value.number.slot, PopArgument(voice));
            break;
        case SI_OWN:
            instance.own = 1;
            break;
        default:
            break;
    }
    return ItemResult::kTookNoTime;
}

// Before its first sample a sequence pops its parameters and checks its condition; false when the
// condition does not hold (the sequence then never plays).
bool StartSequence(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, const SEQUENCE_ITEM* end, CVoice& voice) {
    while (instance.current < end && instance.current->kind == SI_POP) {
        WriteSlotAt(instance, instance.current->value.number.slot, PopArgument(voice));
        ++instance.current;
    }
    return EvaluateValue(sequence.condition, &instance, voice.clock) != 0.0f;
}

// Inlined into the box's sample function, where nearly every call comes from: a call per sequence
// per sample costs more than the steady-state work of a tone item.
MORVANEL_ALWAYS_INLINE bool Step(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, int depth, float& sample,
                                 CVoice& voice) {
    CPlayer& player = *voice.player;
    if (depth >= kMaxCallDepth) {
        if (!player.halted) {
            std::printf("WARNING: Max depth reached\n");
            player.halted = true;
        }
        sample = 0.0f;
        return false;
    }
    if (instance.steadyTone != nullptr) {
        int64_t period = 0;
        if (SteadyToneReady(instance, voice, period)) {
            sample = SteadyToneSample(instance, period);
            return true;
        }
        instance.steadyTone = nullptr;
    }

    const SEQUENCE_ITEM* const end = sequence.items.data() + sequence.items.size();
    if (sequence.items.size() <= 1) {
        // An empty body is silence for its duration.
        if (instance.remaining <= 0) return false;
        sample = 0.0f;
        --instance.remaining;
        return true;
    }
    if (!instance.started && !StartSequence(sequence, instance, end, voice)) return false;
    if (instance.remaining == 0) {
        sample = 0.0f;
        return false;
    }

    int budget = kMaxZeroTimeItems;
    for (;;) {
        // The end of the part being played: a released sequence leaves through its release part,
        // a looping one goes round (while its while condition holds), any other stops producing.
        if (voice.released && voice.releaseOwner == sequence.box) {
            if (instance.current >= end || instance.current->kind == SI_END) {
                voice.releaseOwner = instance.parent != nullptr ? instance.parent->box : nullptr;
                return false;
            }
        } else if (instance.current == sequence.releaseStart || instance.current >= end ||
                   instance.current->kind == SI_END) {
            if (!sequence.looping) break;
            if (sequence.conditionIsWhile && EvaluateValue(sequence.condition, &instance, voice.clock) == 0.0f) break;
            instance.current = sequence.loopStart;
        }

        switch (RunItem(sequence, instance, depth, sample, voice)) {
            case ItemResult::kProduced:
            case ItemResult::kGaveUp:
                return true;
            case ItemResult::kTookNoTime:
                break;
        }
        ++instance.current;
        if (instance.remaining == 0) {
            sample = 0.0f;
            return false;
        }
        // A body that loops without producing samples gives this sample up.
        if (--budget == 0 || --voice.workLeft <= 0) return GiveUpSample(instance, sample);
    }

    // End of the sustain part without a loop: silence fills the rest of a duration.
    sample = 0.0f;
    if (instance.remaining < 0) return false;
    --instance.remaining;
    return true;
}

}  // namespace

bool StepSequence(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, int depth, float& sample, CVoice& voice) {
    return Step(sequence, instance, depth, sample, voice);
}

// Kept beside the interpreter so that the compiler can inline one sequence's step into it.
bool RenderBoxSample(CBox& box, BOX_INSTANCE_DATA& instance, int depth, float& sample, CVoice& voice) {
    if (depth == 0) voice.workLeft = kMaxVoiceWorkPerSample;
    if (voice.player->halted) {
        DestroyBoxInstance(&instance);
        return false;
    }
    if (instance.sequenceInstances.count == 1) {
        // One body, the common case: its sample is the box's, summed from 0.0 as below.
        SEQUENCE_INSTANCE_DATA& state = *instance.sequenceInstances.items[0].state;
        CSequence& sequence = *state.sequence;
        if (voice.releaseOwner == nullptr && sequence.looping) voice.releaseOwner = &box;
        float value = 0.0f;
        if (Step(sequence, state, depth, value, voice)) {
            sample = 0.0f + value;
            return true;
        }
        sample = 0.0f;
        DestroyBoxInstance(&instance);
        return false;
    }
    sample = 0.0f;
    bool sounding = false;
    bool first = true;
    for (const SEQUENCE_INSTANCE_REF& reference : instance.sequenceInstances) {
        SEQUENCE_INSTANCE_DATA& state = *reference.state;
        CSequence& sequence = *state.sequence;
        if (voice.releaseOwner == nullptr && sequence.looping) voice.releaseOwner = &box;
        float value = 0.0f;
        if (Step(sequence, state, depth, value, voice)) {
            sample += value;
            sounding = true;
        } else if (first) {
            DestroyBoxInstance(&instance);
            return false;
        }
        first = false;
    }
    if (first) {
        DestroyBoxInstance(&instance);
        return false;
    }
    return sounding;
}

bool RenderVoiceSample(CVoice& voice, float& sample) {
    const bool sounding = RenderBoxSample(*voice.rootBox, *voice.rootInstance, 0, sample, voice);
    if (voice.spareCall != nullptr) FreeSpareCall(voice);
    if (sounding) return true;
    // The root instance destroyed itself with everything under it.
    voice.rootInstance = nullptr;
    voice.steadyRoot = nullptr;
    return false;
}

}  // namespace morvanel
