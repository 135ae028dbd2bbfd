// Whole instance lifecycles, over and over: create, parse (calls, spawns, redefinitions, broken
// scripts), start, MIDI, render, reset, render, destroy, with several instances alive at once.
// Under the asan preset LeakSanitizer fails the process on anything left unfreed at exit; these
// tests also check what it cannot see: instance records live in the engine's pool, which frees
// them wholesale, so a record that outlives its voice shows only in the boxes' instance maps.
#include <gtest/gtest.h>

#include <algorithm>
#include <deque>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "program/model.h"
#include "engine/engine.h"
#include "morvanel.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::CBox;
using morvanel::CEngine;


struct Scenario {
    const char* name;
    const char* script;
    std::vector<std::string> starts;  // StartVoice texts, besides the script's own runs
    std::vector<int> notes;           // MIDI keys pressed, then released
    bool compiles;
    bool sounds;  // a start or key names a box that compiled
    bool halts;  // calls nest too deep: the engine falls silent until the next compile or reset
};

// Example-like scripts, short enough that every voice ends within a few thousand samples once
// released.
const std::vector<Scenario>& Scenarios() {
    static const std::vector<Scenario> scenarios = {
        {"NestedCalls",
         "tone:%p = dur(300) { @loop sqr(%p) }\n"
         "chord:%a:%b:%c = { tone:%a tone:%b tone:%c }\n"
         "arp = dur(3000) { fadeout(3000) @loop chord:c4:e4:g4 chord:a3:c4:e4 }\n"
         "run(arp)\n",
         {"chord:c4:e4:g4", "tone:a3"}, {}, true, true, false},
        {"GroupsAndKeys",
         "[kick group(drums) maxinst(2, 1)] = dur(900) { fadeout(900) %p = 60 @loop sqr(%p) %p = %p + 0.03 }\n"
         "[snare group(drums) maxinst(2, 1)] = dur(700) { @loop ? }\n"
         "[hat group(drums) maxinst(2)] = dur(200) { @loop noise5(2) }\n"
         "rest:%l = { dur(%l) {} }\n"
         "beat = { kick rest:300 hat rest:300 snare rest:400 kick }\n"
         "midikey(36, kick)\nmidikey(38, snare)\nmidikey(42, hat)\n"
         "run(beat)\n",
         {"kick", "kick", "snare", "hat", "hat", "hat"}, {36, 36, 38, 42, 42}, true, true, false},
        {"KeyboardWithRelease",
         "global(%g, 0.5)\nccvar(74, f)\n"
         "key = { vol(%v) @loop sqr(#%n) @release fadeout(200) dur(200) { @loop sqr(#%n) } }\n"
         "midikey(C3, C6, key)\n",
         {"key"}, {48, 60, 60, 72, 84}, true, true, false},
        {"SpawnsAndStack",
         "s = dur(600) { spawn @loop push(2) push(3) pop(%a) pop(%b) %c = %a * %b out(%c) }\n"
         "run(s)\n",
         {"s", "s"}, {}, true, true, false},
        {"DrawnWavesCallingLetters",
         "v = { `95159515` }\ntwice = { `vv?` }\npluck = { `9753111357 97531113579` ? ? ? }\n"
         "run(twice)\n",
         {"pluck", "v"}, {}, true, true, false},
        {"GlobalsAndConditions",
         "global(%m, 1)\nhum = while(%m) { @loop saw(@110) }\nshort = dur(400) if(%m) { @loop sqr(@660) }\n"
         "run(short)\n",
         {"hum", "short"}, {}, true, true, false},
        {"TooDeep", "deep = { deep }\nrun(deep)\n", {"deep"}, {}, true, true, true},
        {"BrokenAfterABox", "ok = dur(500) { @loop sqr(@440) }\nbad = { sqr( }\n", {"ok"}, {}, false, true, false},
        {"UnknownCall", "lone = { nosuchbox }\n", {"lone"}, {}, false, false, false},
        {"Unbalanced", "broken = { sqr(4) ]", {"broken"}, {}, false, true, false},
    };
    return scenarios;
}

// Records the engine's pool still hands out: box and sequence instances, their slots and stacks,
// and voices. LeakSanitizer cannot see these, since the pool keeps its blocks.
size_t InstanceRecords(const CEngine& engine) { return static_cast<size_t>(engine.player.pool.BlocksInUse()); }

// Posts the scenario's parse and applies it with one sample (key presses need the key map),
// then posts its starts; returns the parse serial, adds the start serials to `serials`.
int Play(const Scenario& scenario, int id, std::vector<int>& serials) {
    const int parse = ParseString(scenario.script, id);
    float sample = 0.0f;
    GetBuffer(1, &sample, id);
    for (const std::string& start : scenario.starts) serials.push_back(StartVoice(start.c_str(), id));
    return parse;
}

void PressKeys(const Scenario& scenario, int id) {
    for (const int note : scenario.notes) MidiNoteOn(note, 100, id);
}

void ReleaseEverything(const Scenario& scenario, int id, const std::vector<int>& serials) {
    for (const int note : scenario.notes) MidiNoteOff(note, id);
    for (const int serial : serials) ReleaseVoice(serial, id);
}

// Renders in blocks until no voice is left, or `limit` samples have gone by.
void RenderUntilSilent(int id, int limit) {
    std::vector<float> block(500);
    int rendered = 0;
    do {
        GetBuffer(static_cast<int>(block.size()), block.data(), id);
        rendered += static_cast<int>(block.size());
    } while (MorvanelActiveVoices(id) != 0 && rendered < limit);
}

// Voices that end (by themselves or once released, from starts, runs and keys) take every box and
// sequence instance record with them.
TEST(LifecycleLeak, EndedVoicesLeaveNoInstanceRecords) {
    for (const Scenario& scenario : Scenarios()) {
        // A halted engine renders no voice, so nothing ends there until a compile or reset.
        if (scenario.halts) continue;
        SCOPED_TRACE(scenario.name);
        const int id = NewInstance(48000);
        std::vector<int> serials;
        const int parse = Play(scenario, id, serials);
        PressKeys(scenario, id);
        std::vector<float> samples(800);
        GetBuffer(1, samples.data(), id);
        EXPECT_EQ(MorvanelActiveVoices(id) > 0, scenario.sounds);
        GetBuffer(800, samples.data(), id);
        const std::string log = GetResponseString(parse, id);
        EXPECT_EQ(log.find("Compilation successful") != std::string::npos, scenario.compiles) << log;
        ReleaseEverything(scenario, id, serials);
        RenderUntilSilent(id, 20000);
        const CEngine& engine = EngineOf(id);
        EXPECT_EQ(MorvanelActiveVoices(id), 0);
        EXPECT_TRUE(engine.player.voices.empty());
        EXPECT_EQ(InstanceRecords(engine), 0u);
        EXPECT_FALSE(engine.program.boxes.AnyPendingBox());
        DestroyInstance(id);
    }
}

// A box redefined while it plays waits; each newer redefinition drops the one waiting before it,
// and one whose body fails is withdrawn. Once the old voice ends the name belongs to whichever
// definition was left waiting (or stays with the old box when none was), nothing waits any more,
// and the box that owns the name plays.
TEST(LifecycleLeak, RedefinitionsWhilePlayingSettleOnceTheOldVoiceEnds) {
    struct Case {
        const char* name;
        std::vector<const char*> redefinitions;  // parsed one by one while the old voice plays
        std::string letters;                     // parameter letters of the box that ends up named
        const char* start;
    };
    const Case cases[] = {
        {"NewestTakesOver", {"pad:%p = dur(50) { @loop sqr(%p) }\n", "pad = dur(50) { @loop out(1) }\n"}, "", "pad"},
        {"FailedNewestIsWithdrawn", {"pad = dur(50) { @loop out(1) }\n", "pad = { sqr( }\n"}, "p", "pad:1"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        const int id = NewInstance(48000);
        ParseString("pad:%p = { @loop saw(%p) @release fadeout(100) dur(100) { @loop saw(%p) } }\n", id);
        const int voice = StartVoice("pad:c4", id);
        std::vector<float> samples(300);
        GetBuffer(300, samples.data(), id);
        const CBox* original = EngineOf(id).program.boxes.FindBox("pad");
        for (const char* script : c.redefinitions) {
            ParseString(script, id);
            GetBuffer(300, samples.data(), id);
            EXPECT_EQ(EngineOf(id).program.boxes.FindBox("pad"), original) << "took over while the old box played";
        }
        ReleaseVoice(voice, id);
        RenderUntilSilent(id, 5000);
        EXPECT_EQ(MorvanelActiveVoices(id), 0);
        EXPECT_FALSE(EngineOf(id).program.boxes.AnyPendingBox());
        const CBox* named = EngineOf(id).program.boxes.FindBox("pad");
        ASSERT_NE(named, nullptr);
        EXPECT_EQ(std::string(named->paramLetters.begin(), named->paramLetters.end()), c.letters);
        EXPECT_EQ(named == original, c.letters == "p");

        const int again = StartVoice(c.start, id);
        GetBuffer(10, samples.data(), id);
        EXPECT_EQ(MorvanelActiveVoices(id), 1) << "the box that owns the name did not start";
        StopVoice(again, id);
        GetBuffer(1, samples.data(), id);
        EXPECT_EQ(MorvanelActiveVoices(id), 0);
        EXPECT_EQ(InstanceRecords(EngineOf(id)), 0u);
        DestroyInstance(id);
    }
}

// A reset in the middle of everything (voices, held keys, waiting redefinitions, queued
// responses) empties the engine; the same script then compiles and plays as it did the first time.
TEST(LifecycleLeak, ResetEmptiesABusyEngineWhichThenPlaysAgain) {
    for (const Scenario& scenario : Scenarios()) {
        SCOPED_TRACE(scenario.name);
        const int id = NewInstance(48000);
        std::vector<int> serials;
        const int firstParse = Play(scenario, id, serials);
        PressKeys(scenario, id);
        std::vector<float> samples(700);
        GetBuffer(700, samples.data(), id);
        const std::string firstLog = GetResponseString(firstParse, id);
        ParseString(scenario.script, id);  // redefines every box that plays
        StartVoice(scenario.starts.front().c_str(), id);
        GetBuffer(100, samples.data(), id);
        ResetEngine(id);
        GetBuffer(1, samples.data(), id);
        const CEngine& engine = EngineOf(id);
        EXPECT_EQ(MorvanelActiveVoices(id), 0);
        EXPECT_TRUE(engine.player.voices.empty());
        EXPECT_TRUE(engine.program.boxes.Named().empty() && !engine.program.boxes.AnyPendingBox() && engine.program.boxes.Anonymous().empty());
        EXPECT_TRUE(engine.midiKeys.empty());
        EXPECT_TRUE(engine.program.groups.members.empty() && engine.program.groups.idsByName.empty());
        EXPECT_EQ(engine.commands.count.load(), 0);
        EXPECT_EQ(engine.responses.count.load(), 0);

        serials.clear();
        const int secondParse = Play(scenario, id, serials);
        PressKeys(scenario, id);
        std::fill(samples.begin(), samples.end(), 0.0f);
        GetBuffer(600, samples.data(), id);
        const std::string secondLog = GetResponseString(secondParse, id);
        EXPECT_EQ(secondLog, firstLog);
        if (scenario.sounds && !scenario.halts) {
            EXPECT_TRUE(std::any_of(samples.begin(), samples.end(), [](float s) { return s != 0.0f; }))
                << "nothing sounded after the reset";
        }
        DestroyInstance(id);
    }
}

// Many instances, up to four alive at once, each driven through a different path (reset, release
// until silent, stop all, responses taken or left) and destroyed in a different state: mid-play
// with responses never taken, with a parse, a start and a reset still queued, or silent. Ids
// grow, destroyed ones answer as missing, and none is left at the end.
TEST(LifecycleLeak, ManyInstancesCycleThroughEveryStateAndNoneIsLeft) {
    constexpr int kCycles = 48;
    const std::vector<Scenario>& scenarios = Scenarios();
    struct Alive {
        int id;
        int cycle;
    };
    std::deque<Alive> alive;
    std::vector<int> destroyed;
    int lastId = 0;
    std::vector<float> samples(1024);
    auto destroyOldest = [&] {
        const Alive oldest = alive.front();
        alive.pop_front();
        const Scenario& scenario = scenarios[static_cast<size_t>(oldest.cycle) % scenarios.size()];
        switch (oldest.cycle % 3) {
            case 0:  // commands still queued: their texts go with the instance
                ParseString(scenario.script, oldest.id);
                StartVoice(scenario.starts.front().c_str(), oldest.id);
                ResetEngine(oldest.id);
                break;
            case 1: break;  // as it is, possibly still playing
            default: StopAllVoices(oldest.id); GetBuffer(16, samples.data(), oldest.id); break;
        }
        DestroyInstance(oldest.id);
        destroyed.push_back(oldest.id);
    };
    for (int cycle = 0; cycle < kCycles; ++cycle) {
        const Scenario& scenario = scenarios[static_cast<size_t>(cycle) % scenarios.size()];
        const int id = NewInstance(cycle % 2 == 0 ? 48000 : 22050);
        EXPECT_GT(id, lastId);
        lastId = id;
        alive.push_back({id, cycle});

        std::vector<int> serials;
        Play(scenario, id, serials);
        PressKeys(scenario, id);
        GetBuffer(1 + cycle * 37 % 700, samples.data(), id);
        ReportBoxesAsJson(id);
        SetVariable("%g", 0.25f, id);
        switch (cycle % 4) {
            case 0: ResetEngine(id); GetBuffer(300, samples.data(), id); break;
            case 1: ReleaseEverything(scenario, id, serials); RenderUntilSilent(id, 20000); break;
            case 2: StopAllVoices(id); GetBuffer(10, samples.data(), id); break;
            default: GetResponseString(0, id); break;
        }
        if (cycle % 4 == 1 && !scenario.halts) {
            EXPECT_EQ(MorvanelActiveVoices(id), 0) << scenario.name;
        }
        for (const Alive& other : alive) GetBuffer(64, samples.data(), other.id);
        if (alive.size() > 3) destroyOldest();
    }
    while (!alive.empty()) destroyOldest();

    ASSERT_EQ(destroyed.size(), static_cast<size_t>(kCycles));
    for (const int id : destroyed) {
        EXPECT_EQ(morvanel::InstanceRegistry::Get().Find(id), nullptr) << id;
        EXPECT_EQ(GetBuffer(8, samples.data(), id), 0) << id;
        EXPECT_EQ(StartVoice("kick", id), 0) << id;
    }
}

}  // namespace
