// The two process-wide lookup tables: sine by 1/65536 turns, and MIDI note to frequency.
#pragma once

#include <cstdint>

namespace morvanel {

constexpr int kSineTableSize = 65536;
constexpr int kNoteTableSize = 256;

extern double SineTable[kSineTableSize];
extern double NoteFrequencyTable[kNoteTableSize];

// Fills both tables; every engine construction calls it and the values never change.
void FillTables();

// The frequency of a MIDI note; notes outside 0..255 read as entry 0 (0 Hz).
inline double NoteFrequency(int64_t note) {
    if (note < 0 || note >= kNoteTableSize) return NoteFrequencyTable[0];
    return NoteFrequencyTable[note];
}

}  // namespace morvanel
