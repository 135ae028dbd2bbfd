// CEngine: the whole state of one instance (variables, boxes, voices, rings, tempo, key map)
// and the per-sample tick that applies queued commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

#include "api/queues.h"
#include "compile/model.h"
#include "engine/box_index.h"
#include "engine/published_state.h"
#include "runtime/record_pool.h"
#include "vars/variables.h"

namespace morvanel {

class CVoice;

constexpr int kReportBufferSize = 32768;
// Voices the engine makes room for when it is built; more grow the list at a start.
constexpr int kReservedVoices = 1024;
// Buckets of the voice lookup by id: releases and stops find their voice in one short chain.
constexpr int kVoiceBuckets = 1024;
// Room the record pool keeps for every record size in use, at least, after each parse.
constexpr int64_t kReservedRecords = 64;

// The per-voice variables 'v' (velocity, slot 0) and 'n' (note, slot 1), shared by every voice.
class CVoiceDescription final : public CNumericVariablesOwner {
public:
    explicit CVoiceDescription(CEngine* engine);
    CNumericVariablesOwner* GetParentOwner() const override;
    std::string GetName() const override { return "voice_owner"; }

    CEngine* engine;
};

class CEngine final : public CNumericVariablesOwner, public CNumericVariablesState {
public:
    explicit CEngine(int32_t sampleRate);
    ~CEngine() override;

    CNumericVariablesOwner* GetParentOwner() const override { return nullptr; }
    CNumericVariablesState* GetScopeState(int32_t, int32_t) override { return nullptr; }
    std::string GetName() const override { return "engine"; }

    // Box registry. Audio thread only.
    CBox* FindBox(std::string_view name) const;
    CBox* CreateBox(const std::string& name, bool redefine, bool exported, CSequence* parentSequence);
    void UnregisterBox(CBox* box);
    // Swaps in the redefinition waiting for `oldBox`, if any. Allocates nothing: the old box is
    // set aside and freed by the next parse or reset.
    void ReplacePendingBox(CBox* oldBox);
    // The redefinition waiting for the box registered under `name`, or null.
    CBox* PendingBoxFor(std::string_view name) const;
    bool AnyPendingBox() const;
    // Unregisters and frees a box with its sequences, nested boxes and waiting redefinition.
    void DestroyBox(CBox* box);
    // Frees every registered, pending, anonymous and set-aside box.
    void DropAllBoxes();
    // Frees the boxes that replacements set aside (parse and reset time).
    void FreeRetiredBoxes();

    // The key-map side of the midikey command; posts a RESP_MIDIKEY notice per key.
    bool MapMidiKeys(int32_t low, int32_t high, const std::string& boxName);

    // Audio thread. Rewrites what control threads read: the box report, the key map, the slots of
    // the globals. Allocates nothing.
    void PublishBoxReport();
    void PublishKeyMap();
    void PublishGlobals();

    // Samples per beat at the current tempo, computed in single precision as scripts expect.
    int64_t SamplesPerBeat() const;

    // The globals' slots: a fixed table, because scripts keep declaring globals while voices
    // hold references into it.
    VariableSlot globalSlots[kMaxVariableSlots];
    // Instance records, voices and their slots and stacks: reused blocks, room reserved at parses.
    // Audio thread only.
    CRecordPool instancePool;

    // Playing voices in start order, owned (their blocks come from instancePool).
    std::vector<CVoice*> voices;
    // Live voices by id: bucket heads of chains through CVoice::nextInBucket.
    std::unique_ptr<CVoice*[]> voiceBuckets;
    std::map<std::string, CBox*, std::less<>> boxes;  // named boxes by byte order of name
    CNameIndex<CBox> boxIndex;                        // the same boxes by the hash of their name
    std::vector<CBox*> anonymousBoxes;
    CBox* retiredBoxes = nullptr;  // replaced boxes waiting to be freed, through CBox::nextRetired
    bool anyExported = false;
    // The oldest instances that a start retires: kept here so that enforcing a limit reuses room.
    std::vector<std::pair<int64_t, CVoice*>> limitCandidates;

    Command commands[kCommandSlots];
    Response responses[kResponseSlots];
    alignas(64) std::atomic<int32_t> commandWrite{0};
    alignas(64) std::atomic<int32_t> commandRead{0};
    alignas(64) std::atomic<int32_t> commandCount{0};
    alignas(64) std::atomic<int32_t> responseWrite{0};
    alignas(64) std::atomic<int32_t> responseRead{0};
    alignas(64) std::atomic<int32_t> responseCount{0};
    // Responses posted so far, and the first one a reset left for readers to drop because a
    // reader was taking responses at that moment.
    std::atomic<int64_t> responsesPosted{0};
    std::atomic<int64_t> firstResponseKept{0};

    int32_t sampleRate;
    float bpm = 120.0f;
    bool halted = false;
    // Voices that cannot observe one another may be rendered voice by voice over the rest of a
    // buffer (same samples, bit for bit); off only to measure or check the sample-by-sample path.
    bool voiceMajor = true;
    // Steady square and saw tones skip the interpreter (same samples, bit for bit); off only to
    // check them against it.
    bool steadyTones = true;
    // Samples rendered voice by voice so far (how often the faster path applies).
    int64_t voiceMajorSamples = 0;
    std::map<int32_t, std::string> midiKeys;
    std::unique_ptr<CVoiceDescription> voiceDescription;
    int32_t voiceNoteSlot = -1;      // 'n' of every voice
    int32_t voiceVelocitySlot = -1;  // 'v' of every voice
    // The slot of each global letter (-1: none), for starts that read globals as arguments.
    int16_t globalSlotOfLetter[256];
    CBoxGroups groups;

    // Each engine reports into its own buffer, so instances pulled on different threads can
    // parse at the same moment.
    std::unique_ptr<char[]> reportBuffer;

    // What control threads read (box report, key map, global slots) without locking.
    CPublishedState published;
    // Serialises the consumers of the response ring (GetResponseString); the audio thread only
    // ever tries it, at a reset.
    std::mutex responseTakeLock;

    // Voices in the list after the last GetBuffer; any thread may read it.
    std::atomic<int32_t> activeVoices{0};
};

// Audio thread. Applies every queued command, in posting order; true when there was one.
bool EngineTick(CEngine& engine);

// Audio thread. The reset command: stops voices, drops boxes, maps, groups and queues.
void ResetEngineState(CEngine& engine);

// Audio thread. Renders `count` samples into `out` (ticking before each one).
void RenderEngine(CEngine& engine, int count, float* out);

}  // namespace morvanel
