// The pieces hand-written reference loops are made of: integer phase counters for square, saw and
// noise tones, fades that step by a fixed float from the current volume, the C library's
// generator for noise, note periods, a sine table for sin2pi, and the voice list that mixes
// voices in start order. Each does in float exactly what the language guide says, so a loop
// built from them renders a sound's samples bit for bit.
#pragma once

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <vector>

#include "sound_plan.h"

namespace morvanel::bench::reference {

// A period in samples from a frequency: the sample rate over the frequency, truncated.
inline int64_t PeriodOfHertz(double hertz) {
    return hertz >= 0.1 ? static_cast<int64_t>(static_cast<double>(kSoundRate) / hertz) : 0;
}

// The period of MIDI note `note` (c4 is 60): 13.75 Hz times 2^((note - 9) / 12).
inline int64_t NotePeriod(int note) {
    return note <= 0 ? 0 : PeriodOfHertz(13.75 * std::pow(2.0, (note - 9) / 12.0));
}

// Seconds to samples, as a constant with the `~` prefix converts: a float product, truncated.
inline int64_t Seconds(float seconds) {
    return static_cast<int64_t>(static_cast<float>(kSoundRate) * seconds);
}

// +1 for the first half of the period, -1 for the second. Branch-free: voices at different
// pitches would make a branch on the phase a coin toss for the predictor.
inline float Square(int64_t& phase, int64_t period) {
    const uint32_t sign = static_cast<uint32_t>(((period >> 1) - 1 - phase) >> 63) << 31;
    if (++phase >= period) phase = 0;
    return std::bit_cast<float>(0x3f800000u | sign);
}

// A ramp from 0 rising by 1 / (period / 2) per sample.
inline float Saw(int64_t& phase, int64_t period) {
    const int64_t half = period >> 1;
    const float value = half != 0 ? static_cast<float>(phase) / static_cast<float>(half) : 0.0f;
    if (++phase >= period) phase = 0;
    return value;
}

// A volume moving toward a target by a fixed step per sample; the step is tested against the
// volume before it moves, and the volume lands on the target on the sample after it reaches it.
struct FADE {
    float volume = 1.0f;
    float target = 1.0f;
    float step = 0.0f;

    void Advance() {
        if (step == 0.0f) return;
        if (step < 0.0f ? volume > target : target > volume) {
            volume += step;
        } else {
            volume = target;
            step = 0.0f;
        }
    }
};

// fadeout(n) from the volume in force: toward 0 by 1 / (n + 1) per sample.
inline FADE FadeOut(float volume, int64_t length) {
    return {volume, 0.0f, -1.0f / (static_cast<float>(length) + 1.0f)};
}

// fadein(n) from the volume in force: toward 1 by 1 / n per sample.
inline FADE FadeIn(float volume, int64_t length) { return {volume, 1.0f, 1.0f / static_cast<float>(length)}; }

// The noise tones' state: a phase counter, the shift register, and the level latched at the
// start of each period.
struct NOISE_TONE {
    int64_t phase = 0;
    uint8_t shiftRegister = 0;
    uint8_t level = 0;
    uint8_t latched = 0;

    // Latches `bit` as the level at the first sample of a period; the level holds for the rest.
    float Latch(int64_t period, uint8_t bit) {
        if (phase >= (period >> 1)) {
            latched = 0;
        } else if (!latched) {
            latched = 1;
            level = bit;
        }
        const float value = level ? 1.0f : -1.0f;
        if (++phase >= period) phase = 0;
        return value;
    }

    // noise5: a 5-bit shift register stepped every sample (bit 4 becomes the inverse of bit 0
    // exclusive-or bit 2); the register is shared with every voice that starts after this step.
    float Noise5(int64_t period, uint8_t& lastRegister) {
        const uint8_t r = shiftRegister;
        shiftRegister = static_cast<uint8_t>((((~(r ^ (r >> 2))) & 1) << 4) | (r >> 1));
        lastRegister = shiftRegister;
        return Latch(period, shiftRegister & 1);
    }

    // noise17e: a random byte every sample, its low bit latched once per period.
    float Noise17e(int64_t period) {
        shiftRegister = static_cast<uint8_t>(std::rand() % 256);
        return Latch(period, shiftRegister & 1);
    }
};

// `?` as a sample: -1 to 0.998046875 in steps of 1/512.
inline float WhiteNoise() { return static_cast<float>((std::rand() & 1023) - 512) * 0.001953125f; }

// `?` in an expression: 0 to 0.999 in steps of 0.001.
inline float RandomNumber() { return static_cast<float>(std::rand() % 1000) / 1000.0f; }

// sin2pi(x): the sine of x turns from a table of 65536 steps of one turn.
float Sine2Pi(float turns);

// The mix of a list of voices: every sample, each voice in start order adds its sample to a float
// sum that starts at 0, voices that have ended leave the list, and the sum divided by 10 is the
// output. SOUND supplies the per-voice state (VOICE), Start, Next (false once the voice has
// ended) and Release (a start number, or -1 - note for a MIDI note-off).
template <typename SOUND>
class CVoiceList final : public CReferenceLoop {
public:
    explicit CVoiceList(SOUND sound) : sound_(sound) { voices_.reserve(4096); }

    void Apply(const SOUND_EVENT& event) override {
        switch (event.kind) {
            case EVENT_KIND::kStart:
            case EVENT_KIND::kNoteOn:
                voices_.push_back(sound_.Start(event, starts_++));
                break;
            case EVENT_KIND::kNoteOff:
                for (typename SOUND::VOICE& voice : voices_) {
                    if (voice.note == event.note) voice.released = true;
                }
                break;
            case EVENT_KIND::kRelease:
                for (typename SOUND::VOICE& voice : voices_) {
                    if (voice.startNumber == event.target) voice.released = true;
                }
                break;
        }
    }

    void Render(float* out, int count) override {
        for (int i = 0; i < count; ++i) {
            float sum = 0.0f;
            size_t kept = 0;
            for (size_t index = 0; index < voices_.size(); ++index) {
                float sample = 0.0f;
                if (!sound_.Next(voices_[index], sample)) continue;
                sum += sample;
                if (kept != index) voices_[kept] = voices_[index];
                ++kept;
            }
            voices_.resize(kept);
            voiceSamples += static_cast<int64_t>(kept);
            out[i] = sum / 10.0f;
        }
    }

private:
    SOUND sound_;
    std::vector<typename SOUND::VOICE> voices_;
    int32_t starts_ = 0;
};

// Fields every VOICE has, for releases; sounds that are never released leave them alone.
struct RELEASABLE {
    int32_t startNumber = 0;
    int32_t note = -1;
    bool released = false;
};

template <typename SOUND>
std::unique_ptr<CReferenceLoop> MakeLoop(SOUND sound) {
    return std::make_unique<CVoiceList<SOUND>>(sound);
}

}  // namespace morvanel::bench::reference
