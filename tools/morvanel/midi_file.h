// Standard MIDI Files as note events at exact sample times, for `render --midi`. libsmf reads the
// file; the tempo map is applied here in integer arithmetic, so an event's sample is the exact
// rounding of its time, however many tempo changes come before it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace morvanel::tool {

struct MIDI_NOTE {
    int64_t at = 0;  // the sample the event applies before
    int key = 0;
    int velocity = 0;  // 1 to 127 for a note-on
    bool on = false;
};

struct MIDI_SONG {
    int format = 0;  // 0 or 1
    int tracks = 0;
    std::vector<MIDI_NOTE> notes;  // in time order; events at the same sample keep the file's order
    int64_t end = 0;               // the sample of the file's last event (its end of track)
    int64_t unreleased = 0;        // note-ons never followed by a note-off of their key
};

// Reads a type 0 or type 1 file, keeping the notes of `channel` (1 to 16; 0 for every channel).
// False with the reason when the file cannot be read, is damaged or truncated (libsmf's own word
// when it gave one), has SMPTE timing or format 2, or lasts longer than `longestSeconds`. Notes
// still held at the end of the song get a note-off there (counted in `unreleased`). The file is
// parsed in a child process, so a damaged file costs an error message and never the tool.
bool LoadMidiSong(const std::string& path, int sampleRate, int channel, double longestSeconds, MIDI_SONG& song,
                  std::string& error);

// "C4" for key 60, "F#2" for 42.
std::string MidiKeyName(int key);

}  // namespace morvanel::tool
