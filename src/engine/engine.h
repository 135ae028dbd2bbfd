// CEngine: one instance of the synthesiser, made of named parts: its globals (the engine is the
// outermost variable scope), the compiled program, the player with its voices, the two rings, the
// MIDI key map and what control threads may read. The tick applies queued commands; the output
// loop renders.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "compile/parser.h"
#include "engine/published_state.h"
#include "engine/rings.h"
#include "program/program.h"
#include "runtime/player.h"
#include "vars/variables.h"

namespace morvanel {

constexpr int kReportBufferSize = 32768;

class CEngine final : public CNumericVariablesOwner,
                      public CNumericVariablesState,
                      private CScriptEvents,
                      private CPlayerEvents {
public:
    explicit CEngine(int32_t sampleRate);
    ~CEngine() override;

    // The globals' scope: the outermost owner and state, with nothing above them.
    CNumericVariablesOwner* GetParentOwner() const override { return nullptr; }
    CNumericVariablesState* GetScopeState(int32_t, int32_t) override { return nullptr; }
    std::string GetName() const override { return "engine"; }

    // Audio thread. Applies every queued command, in posting order; true when there was one.
    bool Tick();
    // Audio thread. Renders `count` samples into `out`, ticking before each one.
    void Render(int count, float* out);
    // Audio thread. The reset command: stops voices, drops boxes, key maps, groups and queues.
    void Reset();

    // The globals' values: a fixed table, because scripts keep declaring globals while voices
    // hold references into it. Written by the audio thread and (one atomic store) SetVariable.
    VariableSlot globalSlots[kMaxVariableSlots];
    // The compiled script: boxes, groups, tempo and rate. Audio thread.
    CProgram program;
    // The playing voices and their records. Audio thread.
    CPlayer player;
    // Commands from any thread to the tick, and responses from the tick to control threads.
    CommandQueue commands;
    ResponseQueue responses;
    // The midikey map: key to box name. Audio thread (parses, resets); control threads read the
    // copy in `published`.
    std::map<int32_t, std::string> midiKeys;
    // What control threads read without a lock: the box report, the key map, the global slots.
    CPublishedState published;
    // Voices in the list after the last GetBuffer; any thread may read it.
    std::atomic<int32_t> activeVoices{0};

private:
    void ApplyParse(const char* script, int64_t serial);
    // Audio thread. Rewrites what control threads read. Allocates nothing.
    void PublishBoxReport();
    void PublishKeyMap();
    void PublishGlobals();

    // What a parse does beyond compiling: `run` posts a start, `midikey` maps keys.
    void RunBox(const char* boxName) override;
    bool MapMidiKeys(int32_t low, int32_t high, const std::string& boxName) override;
    // What playing asks: a spawn posts a start; the boxes or the globals changed.
    void Spawn(const char* text) override;
    void BoxesReplaced() override;
    void GlobalDeclared() override;

    // The box report after a parse, at the response's capacity; reused when publishing.
    std::unique_ptr<char[]> reportBuffer;
};

}  // namespace morvanel
