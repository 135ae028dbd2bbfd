// Units: the sample rate and tempo that turn seconds, beats, frequencies and MIDI notes into sample
// counts, and the one conversion that both the compiler's constants and run-time reads use.
#pragma once

#include <cstdint>

namespace morvanel {

// Scripts change both with the samplerate() and bpm() commands; the host gives the first rate.
struct CLOCK {
    int32_t sampleRate = 48000;
    float bpm = 120.0f;

    // Samples per beat: 60 / bpm x rate in single precision, truncated (NaN gives 0).
    int64_t SamplesPerBeat() const;
};

// The period in samples of `frequency` at `sampleRate`; 0 below 0.1 Hz (and for NaN).
int64_t PeriodOfFrequency(double frequency, int32_t sampleRate);

// The sample count `base` stands for in `unit` (a ValueUnit), before any rounding: plain and
// negated values as they are, seconds and beats as single-precision products, frequencies and
// notes as whole periods. Unknown units give 0. The compiler rounds this into its constants; the
// runtime reads it as a float, with the clock as it is at that moment.
double ApplyUnit(int32_t unit, float base, const CLOCK& clock);

}  // namespace morvanel
