// Unit conversion.
#include "program/units.h"

#include "program/param_value.h"
#include "program/tables.h"
#include "vars/numeric_cast.h"

namespace morvanel {

int64_t CLOCK::SamplesPerBeat() const {
    const float perBeat = 60.0f / bpm * static_cast<float>(sampleRate);
    return SaturatingTruncate<int64_t>(perBeat);
}

int64_t PeriodOfFrequency(double frequency, int32_t sampleRate) {
    if (!(frequency >= 0.1)) return 0;  // also NaN
    return ToInt64(static_cast<double>(sampleRate) / frequency);
}

double ApplyUnit(int32_t unit, float base, const CLOCK& clock) {
    // Every case is exact in double: single-precision products, and periods far below 2^53.
    switch (unit) {
        case VU_PLAIN: return static_cast<double>(base);
        case VU_NEGATED: return static_cast<double>(-base);
        case VU_SECONDS: return static_cast<double>(static_cast<float>(clock.sampleRate) * base);
        case VU_BEATS: return static_cast<double>(static_cast<float>(clock.SamplesPerBeat()) * base);
        case VU_HERTZ: return static_cast<double>(PeriodOfFrequency(static_cast<double>(base), clock.sampleRate));
        case VU_NOTE:
            return static_cast<double>(PeriodOfFrequency(NoteFrequency(ToInt32(base)), clock.sampleRate));
        default: return 0.0;
    }
}

}  // namespace morvanel
