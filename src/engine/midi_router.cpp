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
        key.state == KEY_MAPPED ? engine->commands.Post(CMD_START_KEY, key.boxName, 0, note, scaled) : 0;
    if (serial == 0) return;
    std::lock_guard<std::mutex> guard(notesLock);
    heldKeys.insert(note);
}

void MidiRouter::NoteOff(int32_t note) {
    {
        std::lock_guard<std::mutex> guard(notesLock);
        if (heldKeys.erase(note) == 0) return;
    }
    // One command for however many voices the key started: a note struck again and again cannot
    // overflow the ring with its releases and leave voices hanging. When the ring is full the key
    // stays held, so that the next note-off of the key releases them.
    if (engine->commands.Post(CMD_RELEASE_KEY, nullptr, 0, note, 0.0f) == 0) {
        std::lock_guard<std::mutex> guard(notesLock);
        heldKeys.insert(note);
    }
}

}  // namespace morvanel
