// Note-on and note-off routing through the command ring.
#include "engine/midi_router.h"

#include <string>

#include "api/queues.h"
#include "engine/engine.h"

namespace morvanel {

void MidiRouter::NoteOn(int32_t note, int32_t velocity) {
    std::string boxName;
    {
        EngineGuard guard(engine->sharedStateLock);
        auto mapped = engine->midiKeys.find(note);
        if (mapped == engine->midiKeys.end()) return;
        boxName = mapped->second;
    }
    const float scaled = static_cast<float>(velocity / 127.0);
    const int64_t serial = PostCommand(*engine, CMD_START_VOICE, boxName.c_str(), 0, note, scaled);
    std::lock_guard<std::mutex> guard(notesLock);
    activeNotes[note].push_back(serial);
}

void MidiRouter::NoteOff(int32_t note) {
    std::vector<int64_t> serials;
    {
        std::lock_guard<std::mutex> guard(notesLock);
        serials.swap(activeNotes[note]);
    }
    for (int64_t serial : serials) PostCommand(*engine, CMD_RELEASE_VOICE, nullptr, serial, 0, 0.0f);
}

}  // namespace morvanel
