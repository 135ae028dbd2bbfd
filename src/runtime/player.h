// CPlayer: the voices of one engine and everything they are made of. The voice list in start
// order, the lookup of voices by id, the record pool, the switches of the rendering paths, and
// the two ways of rendering a sample. Audio thread only.
#pragma once

#include <cstdint>
#include <memory>
#include <utility>
#include <vector>

#include "program/program.h"
#include "program/start_request.h"
#include "runtime/chain_run.h"
#include "runtime/record_pool.h"
#include "runtime/voice.h"

namespace morvanel {

// Voices the player makes room for when it is built; more grow the list at a start.
constexpr int kReservedVoices = 1024;

// Samples rendered voice by voice before commands are looked at again: a command posted while
// GetBuffer runs waits at most this long. Longer stretches plan fewer runs per sample; the rows
// of the voices that do not play alone grow with it.
constexpr int kVoiceMajorStretch = 256;
// Buckets of the voice lookup by id: releases and stops find their voice in one short chain.
constexpr int kVoiceBuckets = 1024;
// Room the record pool keeps for every record size in use, at least, after each parse.
constexpr int64_t kReservedRecords = 64;

// The mix: the voices' sum divided by 10, in single precision, whatever the number of voices.
inline float MixDown(float voiceSum) { return voiceSum / 10.0f; }

// What playing asks of the engine above it. Called on the audio thread; the engine's answers
// neither allocate nor lock.
class CPlayerEvents {
public:
    virtual ~CPlayerEvents() = default;
    // A running spawn item posts a voice start of its literal text.
    virtual void Spawn(const char* text) = 0;
    // A redefinition took over a name: what control threads read of the boxes changed.
    virtual void BoxesReplaced() = 0;
    // A start argument declared a global no script had declared.
    virtual void GlobalDeclared() = 0;
};

class CPlayer {
public:
    CPlayer(CProgram& program, CNumericVariablesOwner& globalScope, CNumericVariablesState& globalValues,
            CPlayerEvents& events);
    ~CPlayer();
    CPlayer(const CPlayer&) = delete;
    CPlayer& operator=(const CPlayer&) = delete;

    // Starts a voice of the requested box; null when no box has the name. Allocates nothing while
    // the pool has room, unless an argument names a global never declared (declared once).
    CVoice* StartVoice(const START_REQUEST& request, int64_t voiceId, int32_t note, float velocity);
    // The live voice with `voiceId`, or null: one bucket of the lookup.
    CVoice* FindVoice(int64_t voiceId) const;
    void ReleaseVoice(int64_t voiceId);
    // Releases every voice that a note-on of `key` started. Commands apply in order, so a note-on
    // posted after the note-off has not started its voice yet.
    void ReleaseKey(int32_t key);
    void StopVoice(int64_t voiceId);
    void StopEveryVoice();

    // One sample of every voice, summed in start order; voices that end are dropped.
    float RenderSample();
    // Whether the next samples may be rendered voice by voice: no redefinition is waiting, and no
    // voice writes globals or nests calls deep enough to halt the engine, unless it plays alone.
    bool CanRenderVoiceByVoice();
    // Renders `length` samples of every voice into `out` (already mixed): voices that play alone
    // voice by voice, the others sample by sample among themselves. Only valid when
    // CanRenderVoiceByVoice said so and no command is applied meanwhile.
    void RenderStretch(float* out, int length);

    // A box has no instance left: a redefinition waiting for it takes over.
    void BoxIdle(CBox& box);

    // Parse time; allocates. Room in the pool for the instances of every box not seen before and
    // for voices, so that starts and calls in steady play reuse blocks.
    void PrepareRecords();
    // The slot of each global letter (-1: none), refreshed after a parse or a new global.
    void RefreshGlobalSlots();

    CProgram& program;
    CNumericVariablesOwner& globalScope;
    CNumericVariablesState& globalValues;
    CPlayerEvents& events;
    CRecordPool pool;
    std::vector<CVoice*> voices;                // in start order; owned, their blocks from `pool`
    std::unique_ptr<CVoice*[]> voiceBuckets;    // live voices by id, chained through nextInBucket
    std::vector<std::pair<int64_t, CVoice*>> limitCandidates;  // room for enforcing a limit
    int16_t globalSlotOfLetter[256];
    // Set when calls nest too deep: no voice renders until the next parse or reset.
    bool halted = false;
    // Voices that cannot observe one another render voice by voice (same samples, bit for bit);
    // off only to measure or check the sample-by-sample path.
    bool voiceMajor = true;
    // Steady square and saw tones skip the interpreter (same samples, bit for bit); off only to
    // check them against it.
    bool steadyTones = true;
    // A call takes up the records of the call of the same box before it (same samples, bit for
    // bit); off only to check it against new records.
    bool reuseCalls = true;
    int64_t voiceMajorSamples = 0;  // samples rendered voice by voice so far
    // The samples of the voices that do not play alone, one row of a stretch each: room kept for
    // the most such voices seen so far.
    std::vector<float> dependentRows;

private:
    // A voice that does not play alone, while a stretch renders: the run it is in (samples
    // [runStart, runEnd) of the stretch), the random numbers each of its samples draws, where
    // they are kept in drawStash, and which of its bodies wait for them.
    struct DEPENDENT_ROW {
        CVoice* voice;
        int32_t runStart;
        int32_t runEnd;
        int32_t draws;
        int32_t lateBranch;  // the first root body that renders when the run's draws are in
        bool ended;
        size_t stashAt;
    };
    std::vector<DEPENDENT_ROW> dependents;  // room kept for the most seen so far
    std::vector<int32_t> drawStash;
    // The run being planned or rendered; its loop programs are large, so it is kept here.
    std::unique_ptr<VOICE_RUN> run;

    // Plans the voice's next run, unless its recent plans failed and it waits; its length or 0.
    int PlanRunOf(CVoice& voice, int count, bool drawing);
    // Renders the run the voice is in, if any, adding it to `out`; how many samples it took.
    int RenderRunOf(CVoice& voice, float* out, int count);
    // Unlists and frees a voice whose instances are gone.
    void DropVoice(CVoice* voice);
    // Works out (again, after the program changed) whether the voice plays alone.
    void ClassifyVoice(CVoice& voice);
    // The voices that do not play alone, sample by sample in start order, into their rows.
    void RenderDependentRows(int length);
    // The value a start argument pushes, read at the moment the start is applied.
    bool ArgumentValue(const START_ARGUMENT& argument, float& value);
};

}  // namespace morvanel
