// Table construction. The sine factor is the ten-digit constant the language has always used,
// so sin2pi values match existing scripts bit for bit.
#include "program/tables.h"

#include <cmath>
#include <mutex>

namespace morvanel {

double SineTable[kSineTableSize];
double NoteFrequencyTable[kNoteTableSize];

void FillTables() {
    // Filled once: engines on other threads may already be reading them.
    static std::once_flag filled;
    std::call_once(filled, [] {
        NoteFrequencyTable[0] = 0.0;
        for (int n = 1; n < kNoteTableSize; ++n) {
            NoteFrequencyTable[n] = 13.75 * std::pow(2.0, (n - 9) / 12.0);
        }
        for (int j = 0; j < kSineTableSize; ++j) {
            const float turns = static_cast<float>(j) / 65536.0f;
            SineTable[j] = std::sin(6.283185307 * static_cast<double>(turns));
        }
    });
}

}  // namespace morvanel
