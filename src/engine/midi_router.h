// The MIDI router of one instance: note-ons of mapped keys become voice starts, note-offs become
// releases of every voice the key started.
#pragma once

#include <cstdint>
#include <map>
#include <mutex>
#include <vector>

namespace morvanel {

class CEngine;

class MidiRouter {
public:
    explicit MidiRouter(CEngine* engine) : engine(engine) {}

    // Control thread. Posts CMD_START_VOICE for a mapped key and remembers its serial (0 when the
    // queue was full). Unmapped keys are ignored.
    void NoteOn(int32_t note, int32_t velocity);
    // Control thread. Posts one CMD_RELEASE_VOICE per serial the key started, then forgets them.
    void NoteOff(int32_t note);

    std::map<int32_t, std::vector<int64_t>> activeNotes;
    CEngine* engine;

private:
    std::mutex notesLock;  // two control threads may play the same instance
};

}  // namespace morvanel
