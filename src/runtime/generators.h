// Sound generation: the volume and fades of a sequence instance, and the square, saw and noise
// generators driven by integer phase counters.
#pragma once

#include <atomic>
#include <cstdint>

#include "runtime/instance_data.h"

namespace morvanel {

extern std::atomic<uint8_t> lastNoiseRegister;

// One step of the running fade of `instance`.
inline void UpdateFade(SEQUENCE_INSTANCE_DATA& instance) {
    const float step = instance.fadeStep;
    if (step == 0.0f) return;
    if (step < 0.0f) {
        if (instance.volume > instance.fadeTarget) {
            instance.volume += step;
            return;
        }
    } else if (instance.fadeTarget > instance.volume) {
        instance.volume += step;
        return;
    }
    instance.volume = instance.fadeTarget;
    instance.fadeStep = 0.0f;
}

void SetVolume(SEQUENCE_INSTANCE_DATA& instance, float level);
// A fade of `length` samples toward 1.0 (fade-in) or 0.0 (fade-out). Lengths that would divide
// by zero or step away from the target jump to the target at once.
void StartFadeIn(SEQUENCE_INSTANCE_DATA& instance, int64_t length);
void StartFadeOut(SEQUENCE_INSTANCE_DATA& instance, int64_t length);

// The oscillator a tone item of `instance` drives: its own when marked, else the nearest marked
// caller's, else the top of its call chain.
inline OSCILLATOR_STATE& FindOscillator(SEQUENCE_INSTANCE_DATA& instance) {
    SEQUENCE_INSTANCE_DATA* current = &instance;
    for (;;) {
        if (current->own || current->parent == nullptr) return current->oscillator;
        current = current->parent;
    }
}

inline void AdvancePhase(OSCILLATOR_STATE& oscillator) {
    ++oscillator.phase;
    if (oscillator.phase >= oscillator.period) oscillator.phase = 0;
}

inline float SquareSample(OSCILLATOR_STATE& oscillator, int64_t period) {
    float value = 0.0f;
    if (period != 0) {
        oscillator.period = period;
        oscillator.halfPeriod = period >> 1;
        value = oscillator.phase < oscillator.halfPeriod ? 1.0f : -1.0f;
    }
    AdvancePhase(oscillator);
    return value;
}

inline float SawSample(OSCILLATOR_STATE& oscillator, int64_t period) {
    float value = 0.0f;
    if (period != 0) {
        oscillator.period = period;
        oscillator.halfPeriod = period >> 1;
        // A one-sample period has no half period to ramp over: it is silent.
        if (oscillator.halfPeriod != 0) {
            value = static_cast<float>(oscillator.phase) / static_cast<float>(oscillator.halfPeriod);
        }
    }
    AdvancePhase(oscillator);
    return value;
}

float Noise5Sample(OSCILLATOR_STATE& oscillator, int64_t period);
float Noise17eSample(OSCILLATOR_STATE& oscillator, int64_t period);
// ((r AND 1023) - 512) / 512 from the C library generator: -1.0 to 0.998046875.
float NoiseSample();

}  // namespace morvanel
