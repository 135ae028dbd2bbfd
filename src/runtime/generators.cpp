// The generators that are not small enough to inline, and the volume items.
#include "runtime/generators.h"

#include <cstdlib>

namespace morvanel {

std::atomic<uint8_t> lastNoiseRegister{0xB0};

void SetVolume(SEQUENCE_INSTANCE_DATA& instance, float level) {
    instance.fadeTarget = level;
    instance.volume = level;
    instance.fadeStep = 0.0f;
}

void StartFadeIn(SEQUENCE_INSTANCE_DATA& instance, int64_t length) {
    instance.fadeTarget = 1.0f;
    if (length <= 0) {
        SetVolume(instance, 1.0f);
        return;
    }
    instance.fadeStep = 1.0f / static_cast<float>(length);
}

void StartFadeOut(SEQUENCE_INSTANCE_DATA& instance, int64_t length) {
    instance.fadeTarget = 0.0f;
    if (length <= -1) {
        SetVolume(instance, 0.0f);
        return;
    }
    instance.fadeStep = -1.0f / (static_cast<float>(length) + 1.0f);
}

float Noise5Sample(OSCILLATOR_STATE& oscillator, int64_t period) {
    if (period == 0) return 0.0f;
    oscillator.period = period;
    const uint8_t r = oscillator.shiftRegister;
    const uint8_t next = static_cast<uint8_t>((((~(r ^ (r >> 2))) & 1) << 4) | (r >> 1));
    oscillator.shiftRegister = next;
    lastNoiseRegister.store(next, std::memory_order_relaxed);
    oscillator.halfPeriod = period >> 1;
    if (oscillator.phase >= oscillator.halfPeriod) {
        oscillator.latched = 0;
    } else if (!oscillator.latched) {
        oscillator.latched = 1;
        oscillator.level = next & 1;
    }
    const float value = oscillator.level ? 1.0f : -1.0f;
    AdvancePhase(oscillator);
    return value;
}

float Noise17eSample(OSCILLATOR_STATE& oscillator, int64_t period) {
    if (period == 0) return 0.0f;
    oscillator.period = period;
    oscillator.halfPeriod = period >> 1;
    const uint8_t b = static_cast<uint8_t>(std::rand() % 256);
    oscillator.shiftRegister = b;
    if (oscillator.phase >= oscillator.halfPeriod) {
        oscillator.latched = 0;
    } else if (!oscillator.latched) {
        oscillator.latched = 1;
        oscillator.level = b & 1;
    }
    const float value = oscillator.level ? 1.0f : -1.0f;
    AdvancePhase(oscillator);
    return value;
}

float NoiseSample() {
    const int r = std::rand();
    return static_cast<float>((r & 1023) - 512) * 0.001953125f;
}

}  // namespace morvanel
