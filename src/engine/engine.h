// CEngine: the whole state of one instance (variables, boxes, voices, rings, tempo, key map)
// and the per-sample tick that applies queued commands.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <memory_resource>
#include <mutex>
#include <string>
#include <vector>

#include "api/queues.h"
#include "compile/model.h"
#include "vars/variables.h"

namespace morvanel {

class CVoice;

constexpr int kReportBufferSize = 32768;

// The engine's lock: a recursive mutex that counts, per thread, how often it was taken, so that
// tests can prove the audio thread never takes it while rendering steadily.
class CEngineLock {
public:
    void lock() {
        mutex.lock();
        ++acquisitions;
    }
    void unlock() { mutex.unlock(); }
    static uint64_t AcquisitionsOnThisThread() { return acquisitions; }

private:
    std::recursive_mutex mutex;
    static thread_local uint64_t acquisitions;
};

using EngineGuard = std::lock_guard<CEngineLock>;

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

    // Box registry. Audio thread only; the writers take sharedStateLock.
    CBox* FindBox(const std::string& name) const;
    CBox* CreateBox(const std::string& name, bool redefine, bool exported, CSequence* parentSequence);
    void UnregisterBox(CBox* box);
    void ReplacePendingBox(CBox* oldBox);
    // Unregisters and frees a box with its sequences and nested boxes.
    void DestroyBox(CBox* box);
    // Frees every registered, pending and anonymous box.
    void DropAllBoxes();

    // The key-map side of the midikey command; posts a RESP_MIDIKEY notice per key.
    bool MapMidiKeys(int32_t low, int32_t high, const std::string& boxName);

    // Samples per beat at the current tempo, computed in single precision as scripts expect.
    int64_t SamplesPerBeat() const;

    // The globals' slots: a fixed table, because scripts keep declaring globals while voices
    // hold references into it.
    VariableSlot globalSlots[kMaxVariableSlots];
    // Instance records and their slots are pooled: once a script has played for a while, calls
    // that start and end reuse memory instead of asking the heap. Audio thread only.
    std::pmr::unsynchronized_pool_resource instancePool;

    std::vector<std::unique_ptr<CVoice>> voices;
    std::map<std::string, CBox*> boxes;
    std::vector<CBox*> anonymousBoxes;
    std::map<std::string, CBox*> pendingBoxes;
    bool anyExported = false;

    Command commands[kCommandSlots];
    Response responses[kResponseSlots];
    alignas(64) std::atomic<int32_t> commandWrite{0};
    alignas(64) std::atomic<int32_t> commandRead{0};
    alignas(64) std::atomic<int32_t> commandCount{0};
    alignas(64) std::atomic<int32_t> responseWrite{0};
    alignas(64) std::atomic<int32_t> responseRead{0};
    alignas(64) std::atomic<int32_t> responseCount{0};

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
    CBoxGroups groups;

    // Each engine reports into its own buffer, so instances pulled on different threads can
    // parse at the same moment.
    std::unique_ptr<char[]> reportBuffer;

    // Guards what control threads read directly (box registry, key map, engine declarations)
    // against the audio thread's parses, resets and box replacements. The audio thread takes it
    // only while applying such a command, never while rendering steadily.
    mutable CEngineLock sharedStateLock;
    // Serialises the consumers of the response ring (GetResponseString and reset).
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
