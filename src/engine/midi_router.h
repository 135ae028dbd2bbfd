// The MIDI router of one instance: note-ons of mapped keys become voice starts, note-offs become
// releases of every voice the key started.
#pragma once

#include <cstdint>
#include <mutex>
#include <set>

namespace morvanel {

class CEngine;

class MidiRouter {
public:
    explicit MidiRouter(CEngine* engine) : engine(engine) {}

    // Control thread. Posts CMD_START_KEY for a mapped key and remembers that the key holds voices
    // (a start dropped by a full ring starts nothing to remember). Unmapped keys are ignored.
    void NoteOn(int32_t note, int32_t velocity);
    // Control thread. Posts one CMD_RELEASE_KEY for every voice the key started up to now, then
    // forgets the key.
    void NoteOff(int32_t note);

    std::set<int32_t> heldKeys;  // keys with note-ons since their last note-off
    CEngine* engine;

private:
    std::mutex notesLock;  // two control threads may play the same instance
};

}  // namespace morvanel
