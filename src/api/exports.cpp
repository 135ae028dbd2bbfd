// The exported functions, the 16 of the C API and the Morvanel extensions: instance lookup, then
// a queue post or a lock-free read or write.
#include <atomic>
#include <cstring>

#include "api/instance_registry.h"
#include "morvanel.h"

using morvanel::CEngine;
using morvanel::HostInstance;
using morvanel::InstanceRegistry;

namespace {

CEngine* FindEngine(int instance) {
    HostInstance* host = InstanceRegistry::Get().Find(instance);
    return host != nullptr ? host->engine.get() : nullptr;
}

}  // namespace

extern "C" {

MORVANEL_EXPORT int Initialize(int sampleRate) { return InstanceRegistry::Get().Initialize(sampleRate); }

MORVANEL_EXPORT int NewInstance(int sampleRate) { return InstanceRegistry::Get().NewInstance(sampleRate); }

MORVANEL_EXPORT void DestroyInstance(int instance) { InstanceRegistry::Get().Destroy(instance); }

MORVANEL_EXPORT int GetBuffer(int count, float* out, int instance) {
    CEngine* engine = FindEngine(instance);
    if (engine == nullptr) return 0;
    if (count <= 0) return count;
    if (out == nullptr) return 0;
    engine->Render(count, out);
    return count;
}

MORVANEL_EXPORT int ParseString(const char* script, int instance) {
    CEngine* engine = FindEngine(instance);
    if (engine == nullptr || script == nullptr) return 0;
    return static_cast<int>(engine->commands.Post(morvanel::CMD_PARSE, script, 0, 0, 0.0f));
}

MORVANEL_EXPORT int StartVoice(const char* text, int instance) {
    CEngine* engine = FindEngine(instance);
    if (engine == nullptr || text == nullptr) return 0;
    return static_cast<int>(engine->commands.Post(morvanel::CMD_START_VOICE, text, 0, 0, 0.0f));
}

MORVANEL_EXPORT void ReleaseVoice(int voiceId, int instance) {
    if (CEngine* engine = FindEngine(instance)) {
        engine->commands.Post(morvanel::CMD_RELEASE_VOICE, nullptr, voiceId, 0, 0.0f);
    }
}

MORVANEL_EXPORT void StopVoice(int voiceId, int instance) {
    if (CEngine* engine = FindEngine(instance)) {
        engine->commands.Post(morvanel::CMD_STOP_VOICE, nullptr, voiceId, 0, 0.0f);
    }
}

MORVANEL_EXPORT void StopAllVoices(int instance) {
    if (CEngine* engine = FindEngine(instance)) {
        engine->commands.Post(morvanel::CMD_STOP_ALL, "", 0, 0, 0.0f);
    }
}

MORVANEL_EXPORT const char* GetResponseString(int responseId, int instance) {
    CEngine* engine = FindEngine(instance);
    if (engine == nullptr) return "";
    return engine->responses.TakeText(static_cast<int64_t>(responseId));
}

MORVANEL_EXPORT void MidiNoteOn(int note, int velocity, int instance) {
    HostInstance* host = InstanceRegistry::Get().Find(instance);
    if (host != nullptr && host->router) host->router->NoteOn(note, velocity);
}

MORVANEL_EXPORT void MidiNoteOff(int note, int instance) {
    HostInstance* host = InstanceRegistry::Get().Find(instance);
    if (host != nullptr && host->router) host->router->NoteOff(note);
}

MORVANEL_EXPORT void SetVariable(const char* name, float value, int instance) {
    CEngine* engine = FindEngine(instance);
    if (engine == nullptr || name == nullptr) return;
    if (name[0] == '\0' || name[1] == '\0') return;
    // The slot comes from what the audio thread published after binding it; the value is one
    // atomic store, so a concurrent GetBuffer neither waits nor races.
    const int16_t slot = engine->published.ReadGlobalSlot(static_cast<uint8_t>(name[1]));
    if (slot < 0 || slot >= morvanel::kMaxVariableSlots) return;
    std::atomic_ref<float>(engine->globalSlots[slot].value).store(value, std::memory_order_relaxed);
}

MORVANEL_EXPORT const char* ReportBoxesAsJson(int instance) {
    HostInstance* host = InstanceRegistry::Get().Find(instance);
    if (host == nullptr) return "";
    host->engine->published.ReadReport(host->text, morvanel::kHostTextSize);
    return host->text;
}

MORVANEL_EXPORT void ResetEngine(int instance) {
    if (CEngine* engine = FindEngine(instance)) {
        engine->commands.Post(morvanel::CMD_RESET, "", 0, 0, 0.0f);
    }
}

MORVANEL_EXPORT int AmIAlive(void) { return 42; }

MORVANEL_EXPORT int MorvanelActiveVoices(int instance) {
    CEngine* engine = FindEngine(instance);
    return engine != nullptr ? engine->activeVoices.load(std::memory_order_relaxed) : 0;
}

}  // extern "C"
