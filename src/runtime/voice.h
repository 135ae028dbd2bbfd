// Voices and the trees of box and sequence instances under them: creating and destroying
// instances, one sample of a box instance, the argument stack, and the instance limits.
#pragma once

#include <cstdint>
#include <string>

#include "program/model.h"
#include "program/units.h"
#include "runtime/instance_data.h"
#include "vars/variables.h"

namespace morvanel {

class CPlayer;

constexpr int kArgumentStackSize = 256;
// The entries of a voice's first argument-stack block.
constexpr int kFirstStackRoom = 16;
constexpr int kMaxCallDepth = 12;
// Work units one voice may spend on one sample, over its whole call tree (see the interpreter).
constexpr int32_t kMaxVoiceWorkPerSample = 4096;

class CVoice final : public CNumericVariablesState {
public:
    CVoice(CPlayer* player, CBox* rootBox, int64_t voiceId);
    ~CVoice() override;

    CNumericVariablesState* GetScopeState(int32_t kind, int32_t levels) override;
    std::string GetName() const override { return "voice_" + std::to_string(voiceId); }

    CPlayer* player;
    const CLOCK* clock;  // the program's rate and tempo, read at every use
    CBox* rootBox;
    int64_t rootInstanceId = -1;
    BOX_INSTANCE_DATA* rootInstance = nullptr;  // the record behind rootInstanceId
    CBox* releaseOwner = nullptr;
    bool stopped = false;
    int32_t released = 0;
    int64_t voiceId;
    int32_t midiKey = -1;  // the key whose note-on started the voice; -1 for other starts
    // The argument stack, entries 1..256, from the record pool at the first push: most voices
    // never push, and a voice without it stays small enough for thousands to fit in cache. Entry
    // i lives at stack[kArgumentStackSize - i]; the block holds `stackRoom` entries, a few at first
    // (calls pass a handful of arguments) and all of them once a body pushes deeper.
    float* stack = nullptr;
    int32_t stackRoom = 0;
    int32_t stackIndex = kArgumentStackSize;
    int32_t workLeft = kMaxVoiceWorkPerSample;  // what the voice may still do for this sample
    // The root sequence instance when the box is one sequence looping over one tone item: its
    // steady samples then skip even the box's sample function.
    SEQUENCE_INSTANCE_DATA* steadyRoot = nullptr;
    CVoice* nextInBucket = nullptr;  // the next live voice in the player's bucket of this id
    bool warnedStackFull = false;    // a voice says once that its argument stack is full
    // Whether nothing the voice plays can be seen by another voice (see play_facts.h), and whether
    // it writes globals, spawns or may halt the engine; worked out for the program's generation.
    uint32_t classGeneration = 0;
    bool playsAlone = false;
    bool disturbsOthers = true;
    // A voice whose runs keep failing to plan (noise registers, bodies a run cannot take) waits
    // longer and longer before it tries again: `planWait` samples now, `planDelay` after the next
    // failure. Any schedule gives the same samples; this one keeps failures cheap.
    uint8_t planWait = 0;
    uint8_t planDelay = 0;
    // A call that played out during the voice's sample, kept off its box's instance list with the
    // caller it had, for the caller's next call of the same box to take up (see StartCall). Given
    // back to the pool when the sample ends: a redefinition may replace the box between samples.
    BOX_INSTANCE_DATA* spareCall = nullptr;
    SEQUENCE_INSTANCE_DATA* spareCaller = nullptr;
    // While a stretch renders: the voice's row of samples, and where the voice ended in it.
    int32_t row = 0;
    int32_t rowEnd = 0;
};

// Audio thread; the records come from the player's pool. Returns the new box instance.
BOX_INSTANCE_DATA* CreateBoxInstance(CBox& box, CVoice& voice, SEQUENCE_INSTANCE_DATA* parent);

// Audio thread. A call's child: `box` instanced under `caller`. When the voice's last ended call was
// of the same box by the same caller, its records are taken up again: the variables are bound to
// the same places, so only the values and the play state start afresh, with new ids, in the same
// order of events as new records.
BOX_INSTANCE_DATA* StartCall(CBox& box, CVoice& voice, SEQUENCE_INSTANCE_DATA& caller);

// Audio thread. Ends a call's child as DestroyBoxInstance does, but keeps its records as the
// voice's spare call until the voice's sample ends.
void EndCall(BOX_INSTANCE_DATA* child, SEQUENCE_INSTANCE_DATA& caller);

// Audio thread. Gives the voice's spare call back to the pool.
void FreeSpareCall(CVoice& voice);

// Audio thread. Produces one sample of `instance`; never locks, never allocates while the pool
// has room. WARNING: returns false only after the instance and everything under it has been
// destroyed, so callers must not touch it afterwards.
bool RenderBoxSample(CBox& box, BOX_INSTANCE_DATA& instance, int depth, float& sample, CVoice& voice);

// Audio thread. One sample of the voice's root instance; false once the voice has ended (its
// instances are then gone).
bool RenderVoiceSample(CVoice& voice, float& sample);

// Audio thread. Destroys the instance and everything under it; when the box has no instance left,
// a redefinition waiting for it takes over.
void DestroyBoxInstance(BOX_INSTANCE_DATA* instance);

// Audio thread. Runs one sequence instance for one sample (the sequence interpreter).
bool StepSequence(CSequence& sequence, SEQUENCE_INSTANCE_DATA& instance, int depth, float& sample,
                  CVoice& voice);

// Destroys the voice's instances (once) and marks it stopped; the voice stays in its list.
void StopVoice(CVoice& voice);

void PushArgument(CVoice& voice, float value);
float PopArgument(CVoice& voice);

// Instances of `box`, or of its whole group when `wholeGroup` and the box is in one.
int32_t CountInstances(const CBox& box, bool wholeGroup);
// Releases or stops the oldest instances so that one more instance of `box` fits its limit.
void EnforceMaxInstances(CPlayer& player, CBox& box);

}  // namespace morvanel
