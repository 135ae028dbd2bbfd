// Voices and the trees of box and sequence instances under them: starting, rendering one sample,
// destroying, releasing and stopping.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "runtime/instance_data.h"
#include "script/start_text.h"
#include "vars/variables.h"

namespace morvanel {

class CBox;
class CEngine;
class CSequence;

constexpr int kArgumentStackSize = 256;
constexpr int kMaxCallDepth = 12;
// Work units one voice may spend on one sample, over its whole call tree (see the interpreter).
constexpr int32_t kMaxVoiceWorkPerSample = 4096;

extern std::atomic<int64_t> nextInstanceId;

// Draws the next id for a box instance, sequence instance or group.
int64_t DrawInstanceId();

class CVoice final : public CNumericVariablesState {
public:
    CVoice(CEngine* engine, CBox* rootBox, int64_t voiceId);
    ~CVoice() override;

    CNumericVariablesState* GetScopeState(int32_t kind, int32_t levels) override;
    std::string GetName() const override { return "voice_" + std::to_string(voiceId); }
    CEngine* GetEngine() const { return engine; }

    CBox* rootBox;
    int64_t rootInstanceId = -1;
    BOX_INSTANCE_DATA* rootInstance = nullptr;  // the record behind rootInstanceId
    CBox* releaseOwner = nullptr;
    bool stopped = false;
    int32_t released = 0;
    int64_t voiceId;
    // Entries 1..256 of the argument stack, taken from the engine's pool at the first push: most
    // voices never push, and a voice without it stays small enough for thousands to fit in cache.
    float* stack = nullptr;
    int32_t stackIndex = kArgumentStackSize;
    int32_t workLeft = kMaxVoiceWorkPerSample;  // what the voice may still do for this sample
    // The root sequence instance when the box is one sequence looping over one tone item: its
    // steady samples then skip even the box's sample function.
    SEQUENCE_INSTANCE_DATA* steadyRoot = nullptr;
    CVoice* nextInBucket = nullptr;  // the next live voice in the engine's bucket of this id
    bool warnedStackFull = false;    // a voice says once that its argument stack is full
};

// Audio thread. Starts a voice from a start request read on the posting thread; null when no box
// has the name. Allocates nothing while the record pool has room, unless an argument names a
// global the engine has never declared (it is declared then, once).
CVoice* StartVoiceFromRequest(CEngine& engine, const START_REQUEST& request, int64_t voiceId, int32_t note, float velocity);

// Audio thread, parse time; allocates. Makes room in the record pool for the instances of every
// box not seen before and for voices, so that starts and calls in steady play reuse blocks.
void PrepareRecordsForBoxes(CEngine& engine);

// Reads the start text ("name:arg:arg") and starts it: for tests and tools on the audio thread.
// `quiet` silences the header parser's diagnostics.
CVoice* StartVoiceFromText(CEngine& engine, const char* text, int64_t voiceId, int32_t note,
                           float velocity, bool quiet = false);

// Audio thread; allocates the instance records. Returns the new box instance.
BOX_INSTANCE_DATA* CreateBoxInstance(CBox& box, CVoice& voice, SEQUENCE_INSTANCE_DATA* parent);

// Audio thread. Produces one sample of `instance`; never locks, never allocates unless a call
// item starts a child instance. WARNING: returns false only after the instance and everything
// under it has been destroyed (and possibly `box` itself, when a redefinition was waiting for
// it), so callers must not touch either afterwards.
bool RenderBoxSample(CBox& box, BOX_INSTANCE_DATA& instance, int depth, float& sample, CVoice& voice);

// Audio thread. Destroys the instance and everything under it; an unknown id changes nothing.
// WARNING: may free `box` when it was the last instance and a redefinition waits for it.
void DestroyBoxInstance(CBox& box, int64_t instanceId);

// Audio thread. Runs one sequence instance for one sample (the sequence interpreter).
bool StepSequence(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, int depth, float& sample,
                  CVoice& voice);

// Audio thread. Unlists and frees a voice whose instances are gone (ended or stopped).
void DropVoice(CEngine& engine, CVoice* voice);

// Keeps the voice at `index` (moved down to `kept`, which then counts it) or drops it; the
// caller shrinks the list to `kept` once every voice has been seen.
inline void KeepOrDropVoice(CEngine& engine, std::vector<CVoice*>& voices, size_t index, bool keep, size_t& kept) {
    if (keep) {
        voices[kept++] = voices[index];
    } else {
        DropVoice(engine, voices[index]);
    }
}

// The live voice with `voiceId`, or null: one bucket of the engine's voice index.
CVoice* FindVoice(const CEngine& engine, int64_t voiceId);

void ReleaseVoiceById(CEngine& engine, int64_t voiceId);
void StopVoiceById(CEngine& engine, int64_t voiceId);
void StopEveryVoice(CEngine& engine);

// Destroys the voice's instances (once) and marks it stopped; the voice stays in the list.
void StopVoice(CVoice& voice);

void PushArgument(CVoice& voice, float value);
float PopArgument(CVoice& voice);

// Instances of `box`, or of its whole group when `wholeGroup` and the box is in one.
int32_t CountInstances(const CBox& box, bool wholeGroup);
// Releases or stops the oldest instances so that one more instance of `box` fits its limit.
void EnforceMaxInstances(CEngine& engine, CBox& box);
// Points every call item of `box` that calls `oldBox` at `newBox`.
void RedirectBoxReferences(CBox& box, const CBox* oldBox, CBox* newBox);

}  // namespace morvanel
