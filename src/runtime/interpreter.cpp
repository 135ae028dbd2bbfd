// The sequence interpreter: one sequence instance, one sample; and one sample of a box instance.
#include <cstdio>

#include "compile/expression.h"
#include "compile/model.h"
#include "engine/engine.h"
#include "runtime/generators.h"
#include "runtime/voice.h"
#include "runtime/voice_major.h"
#include "script/constants.h"
#include "vars/numeric_cast.h"

// Forced inlining where the compiler offers it, a plain inline hint elsewhere.
#if defined(__GNUC__)
#define MORVANEL_ALWAYS_INLINE [[gnu::always_inline]] inline
#elif defined(_MSC_VER)
#define MORVANEL_ALWAYS_INLINE __forceinline
#else
#define MORVANEL_ALWAYS_INLINE inline
#endif

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

int64_t PeriodOf(const SEQUENCE_ITEM& item, const SEQUENCE_INSTANCE_DATA& instance) {
    return ToInt64(EvaluateValue(item.value, &instance));
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

}  // namespace

namespace {

// Inlined into the box's sample function, where nearly every call comes from: a call per sequence
// per sample costs more than the steady-state work of a tone item.
MORVANEL_ALWAYS_INLINE bool Step(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, int depth,
                                        float& sample, CVoice& voice) {
    CEngine& engine = *sequence.engine;
    if (depth >= kMaxCallDepth) {
        if (!engine.halted) {
            std::printf("WARNING: Max depth reached\n");
            engine.halted = true;
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
        if (instance.remaining <= 0) return false;
        sample = 0.0f;
        --instance.remaining;
        return true;
    }

    if (!instance.started) {
        while (instance.current < end && instance.current->kind == SI_POP) {
            WriteSlotAt(instance, instance.current->value.number.slot, PopArgument(voice));
            ++instance.current;
        }
        if (EvaluateValue(sequence.condition, &instance) == 0.0f) return false;
    }
    if (instance.remaining == 0) {
        sample = 0.0f;
        return false;
    }

    int budget = kMaxZeroTimeItems;
    for (;;) {
        const bool releasing = voice.released && voice.releaseOwner == sequence.box;
        if (releasing) {
            if (instance.current >= end || instance.current->kind == SI_END) {
                voice.releaseOwner = instance.parent != nullptr ? instance.parent->box : nullptr;
                return false;
            }
        } else if (instance.current == sequence.releaseStart || instance.current >= end ||
                   instance.current->kind == SI_END) {
            if (!sequence.looping) break;
            if (sequence.conditionIsWhile && EvaluateValue(sequence.condition, &instance) == 0.0f) break;
            instance.current = sequence.loopStart;
        }

        const SEQUENCE_ITEM& item = *instance.current;
        switch (item.kind) {
            case SI_SAMPLE:
            case SI_OUT:
                UpdateFade(instance);
                return Produce(instance, sample, EvaluateValue(item.value, &instance) * instance.volume);
            case SI_NOISE_SAMPLE:
                UpdateFade(instance);
                return Produce(instance, sample, NoiseSample() * instance.volume);
            case SI_SAW: {
                UpdateFade(instance);
                const float value = SawSample(FindOscillator(instance), PeriodOf(item, instance));
                if (&item == sequence.loopStart && engine.steadyTones) NoteSteadyItem(sequence, instance, item);
                return Produce(instance, sample, value * instance.volume);
            }
            case SI_SQR: {
                UpdateFade(instance);
                const float value = SquareSample(FindOscillator(instance), PeriodOf(item, instance));
                if (&item == sequence.loopStart && engine.steadyTones) NoteSteadyItem(sequence, instance, item);
                return Produce(instance, sample, value * instance.volume);
            }
            case SI_NOISE5: {
                UpdateFade(instance);
                const float value = Noise5Sample(FindOscillator(instance), PeriodOf(item, instance));
                return Produce(instance, sample, value * instance.volume);
            }
            case SI_NOISE17E: {
                UpdateFade(instance);
                const float value = Noise17eSample(FindOscillator(instance), PeriodOf(item, instance));
                return Produce(instance, sample, value * instance.volume);
            }
            case SI_CALL: {
                if (instance.childInstanceId == 0) {
                    voice.workLeft -= kCallCost + static_cast<int32_t>(item.target.box->sequences.size());
                    if (voice.workLeft <= 0) return GiveUpSample(instance, sample);
                    instance.childBox = item.target.box;
                    instance.childInstance = CreateBoxInstance(*instance.childBox, voice, &instance);
                    instance.childInstanceId = instance.childInstance->instanceId;
                }
                float value = 0.0f;
                if (RenderBoxSample(*instance.childBox, *instance.childInstance, depth + 1, value, voice)) {
                    UpdateFade(instance);
                    sample = value * instance.volume;
                    CountSample(instance);
                    instance.started = 1;
                    return true;
                }
                // The child has ended and is destroyed; what follows runs in this same sample.
                instance.childInstanceId = 0;
                instance.childBox = nullptr;
                instance.childInstance = nullptr;
                break;
            }
            case SI_SPAWN:
                PostCommand(engine, CMD_SPAWN, item.value.TextOrNull(), 0, 0, 0.0f);
                break;
            case SI_FADEOUT:
                StartFadeOut(instance, PeriodOf(item, instance));
                break;
            case SI_FADEIN:
                StartFadeIn(instance, PeriodOf(item, instance));
                break;
            case SI_VOL:
                SetVolume(instance, EvaluateValue(item.value, &instance));
                break;
            case SI_LET:
                WriteSlotAt(instance, item.value.number.slot, EvaluateExpression(*item.target.expression, &instance));
                break;
            case SI_PRINT:
                std::printf("%f\n", static_cast<double>(EvaluateExpression(*item.target.expression, &instance)));
                break;
            case SI_PUSH:
                PushArgument(voice, EvaluateExpression(*item.target.expression, &instance));
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
        // A zero-time item (or a call that just ended) is done.
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
    if (box.engine->halted) {
        DestroyBoxInstance(box, instance.instanceId);
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
            DestroyBoxInstance(box, instance.instanceId);
            return false;
        }
        first = false;
    }
    if (first) {
        DestroyBoxInstance(box, instance.instanceId);
        return false;
    }
    return sounding;
}

}  // namespace morvanel
