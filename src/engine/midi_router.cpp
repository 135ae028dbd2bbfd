// Note-on and note-off routing through the command ring.
#include "engine/midi_router.h"

#include <string>

#include "engine/engine.h"

namespace morvanel {

void MidiRouter::NoteOn(int32_t note, int32_t velocity) {
    // The key map as the audio thread last published it: reading it never makes the audio thread
    // wait, and a note that races a parse plays the map from before or after that parse.
    const PUBLISHED_KEY key = engine->published.ReadKey(note);
    if (key.state == KEY_UNMAPPED) return;
    const float scaled = static_cast<float>(velocity / 127.0);
    // A name too long for a start text cannot be posted: the note records serial 0, as a start
    // dropped by a full ring does.
    const int64_t serial =
        key.state == KEY_MAPPED ? engine->commands.Post(CMD_START_VOICE, key.boxName, 0, note, scaled) : 0;
    std::lock_guard<std::mutex> guard(notesLock);
    activeNotes[note].push_back(serial);
}

void MidiRouter::NoteOff(int32_t note) {
    std::vector<int64_t> serials;
    {
        std::lock_guard<std::mutex> guard(notesLock);
        serials.swap(activeNotes[note]);
    }
    for (int64_t serial : serials) engine->commands.Post(CMD_RELEASE_VOICE, nullptr, serial, 0, 0.0f);
}

}  // namespace morvanel
