// Engine construction, the shared tables, and what one tick does with queued commands.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "engine/engine.h"
#include "program/tables.h"
#include "morvanel.h"
#include "runtime/voice.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::CEngine;
using morvanel::testing::Instance;


TEST(Tables, NoteFrequenciesFollowEqualTemperamentFromNoteNine) {
    CEngine engine(48000);
    struct Case {
        int note;
        double hertz;
    };
    const Case cases[] = {{0, 0.0}, {1, 13.75 * std::pow(2.0, -8.0 / 12.0)}, {9, 13.75},
                          {57, 220.0}, {69, 440.0}, {81, 880.0}};
    for (const Case& c : cases) EXPECT_DOUBLE_EQ(morvanel::NoteFrequencyTable[c.note], c.hertz) << c.note;
    // Indices beyond the table read as entry 0, so their period is 0.
    EXPECT_EQ(morvanel::NoteFrequency(256), 0.0);
    EXPECT_EQ(morvanel::NoteFrequency(-1), 0.0);
}

// The table uses the ten-digit constant 6.283185307, not 2*pi: half a turn lands just short of
// pi, so entry 32768 is sin(3.1415926535), about 8.98e-11 and positive.
TEST(Tables, SineTableUsesTheTenDigitTurnConstant) {
    CEngine engine(48000);
    EXPECT_EQ(morvanel::SineTable[0], 0.0);
    EXPECT_NEAR(morvanel::SineTable[16384], 1.0, 1e-12);
    EXPECT_GT(morvanel::SineTable[32768], 0.0);
    EXPECT_NEAR(morvanel::SineTable[32768], 8.9793e-11, 1e-14);
    EXPECT_NEAR(morvanel::SineTable[49152], -1.0, 1e-12);
}

TEST(Engine, ConstructionLeavesAnEmptyEngineAtTheGivenRate) {
    CEngine engine(44100);
    EXPECT_EQ(engine.program.clock.sampleRate, 44100);
    EXPECT_EQ(engine.program.clock.bpm, 120.0f);
    EXPECT_FALSE(engine.player.halted);
    EXPECT_FALSE(engine.program.boxes.AnyExported());
    for (const auto* counter : {&engine.commands.write, &engine.commands.read, &engine.commands.count,
                                &engine.responses.write, &engine.responses.read, &engine.responses.count}) {
        EXPECT_EQ(counter->load(), 0);
    }
    EXPECT_TRUE(engine.player.voices.empty() && engine.program.boxes.Named().empty() && !engine.program.boxes.AnyPendingBox() &&
                engine.program.boxes.Anonymous().empty() && engine.midiKeys.empty() && engine.declarations.empty());
    EXPECT_EQ(engine.scopeKind, morvanel::SCOPE_ENGINE);

    const morvanel::CVoiceDescription& voiceScope = engine.program.voiceScope;
    ASSERT_EQ(voiceScope.declarations.size(), 2u);
    EXPECT_EQ(morvanel::FindOwnVariable(voiceScope, 'v'), 0);
    EXPECT_EQ(morvanel::FindOwnVariable(voiceScope, 'n'), 1);
    EXPECT_EQ(voiceScope.scopeKind, morvanel::SCOPE_VOICE);
    EXPECT_EQ(voiceScope.GetParentOwner(), &engine);
}

TEST(Engine, IsNamedEngineOnBothBasesAndHasNothingAboveIt) {
    CEngine engine(48000);
    const morvanel::CNumericVariablesOwner& owner = engine;
    morvanel::CNumericVariablesState& state = engine;
    EXPECT_EQ(owner.GetName(), "engine");
    EXPECT_EQ(state.GetName(), "engine");
    EXPECT_EQ(owner.GetParentOwner(), nullptr);
    for (int kind = morvanel::SCOPE_SEQUENCE; kind <= morvanel::SCOPE_ENGINE; ++kind) {
        EXPECT_EQ(state.GetScopeState(kind, 0), nullptr);
    }
    EXPECT_EQ(state.slots, engine.globalSlots);  // its values are the engine's own table
    EXPECT_EQ(state.owner, &owner);
}

TEST(Engine, StartedVoiceExistsAfterOneSampleUnderItsSerial) {
    Instance instance;
    instance.Parse("lead = { @loop sqr(@440) }");
    const int voiceId = instance.Start("lead");
    CEngine& engine = EngineOf(instance.id());
    EXPECT_TRUE(engine.player.voices.empty());
    instance.Render(1);
    ASSERT_EQ(engine.player.voices.size(), 1u);
    EXPECT_EQ(engine.player.voices[0]->voiceId, voiceId);
}

TEST(Engine, ReleaseMarksOnlyTheVoiceItNames) {
    Instance instance;
    // The release part keeps a released voice sounding for a while.
    instance.Parse("lead = { @loop `9` @release `1111` }");
    const int first = instance.Start("lead");
    const int second = instance.Start("lead");
    instance.Render(1);
    ReleaseVoice(second, instance.id());
    instance.Render(1);
    const auto& voices = EngineOf(instance.id()).player.voices;
    ASSERT_EQ(voices.size(), 2u);
    EXPECT_EQ(voices[0]->voiceId, first);
    EXPECT_EQ(voices[0]->released, 0);
    EXPECT_EQ(voices[1]->voiceId, second);
    EXPECT_EQ(voices[1]->released, 1);
}

TEST(Engine, StoppedVoiceIsGoneAfterOneSample) {
    Instance instance;
    instance.Parse("lead = { @loop `9` }");
    const int first = instance.Start("lead");
    const int second = instance.Start("lead");
    instance.Render(1);
    StopVoice(first, instance.id());
    StopVoice(12345, instance.id());  // matches no voice: ignored
    const std::vector<float> out = instance.Render(1);
    const auto& voices = EngineOf(instance.id()).player.voices;
    ASSERT_EQ(voices.size(), 1u);
    EXPECT_EQ(voices[0]->voiceId, second);
    EXPECT_FLOAT_EQ(out[0], 0.1f);
}

// Releases and stops find their voice among thousands, where many ids share a bucket of the voice
// lookup (ids 1024 apart), and voices that ended leave no trace in it.
TEST(Engine, ReleasesAndStopsFindTheirVoiceAmongThousands) {
    Instance instance;
    instance.Parse("lead = { @loop `9` @release `1111` } short = { `9` }");
    std::vector<int> ids;
    for (int batch = 0; batch < 80; ++batch) {
        for (int i = 0; i < 40; ++i) ids.push_back(instance.Start(batch % 2 == 0 ? "lead" : "short"));
        instance.Render(1);  // the short voices of the batch before end, freeing their entries
    }
    instance.Render(1);
    const auto& voices = EngineOf(instance.id()).player.voices;
    ASSERT_EQ(voices.size(), 1600u);
    std::vector<int> released;
    std::vector<int> stopped;
    size_t stoppedLeads = 0;
    for (size_t i = 0; i < ids.size(); i += 1024 / 8) {
        (i % 3 == 0 ? stopped : released).push_back(ids[i]);
        ReleaseVoice(ids[i], instance.id());
        if (i % 3 == 0) {
            StopVoice(ids[i], instance.id());
            if (i / 40 % 2 == 0) ++stoppedLeads;
        }
    }
    instance.Render(1);
    for (const morvanel::CVoice* voice : voices) {
        const bool wasStopped = std::find(stopped.begin(), stopped.end(), voice->voiceId) != stopped.end();
        const bool wasReleased = std::find(released.begin(), released.end(), voice->voiceId) != released.end();
        EXPECT_FALSE(wasStopped) << voice->voiceId;
        EXPECT_EQ(voice->released, wasReleased ? 1 : 0) << voice->voiceId;
    }
    EXPECT_GT(stoppedLeads, 0u);
    EXPECT_EQ(voices.size(), 1600u - stoppedLeads);
}

// A halted engine renders silence; a parse lifts the halt and the voice sounds again, a reset
// lifts it with the voices gone.
TEST(Engine, HaltIsClearedByParseAndByReset) {
    struct Case {
        const char* name;
        void (*clear)(int);
        float after;
    };
    const Case cases[] = {{"parse", [](int id) { ParseString("", id); }, 0.1f},
                          {"reset", [](int id) { ResetEngine(id); }, 0.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Instance instance;
        instance.Parse("lead = { @loop `9` }");
        instance.Start("lead");
        CEngine& engine = EngineOf(instance.id());
        EXPECT_FLOAT_EQ(instance.Render(1)[0], 0.1f);
        engine.player.halted = true;
        EXPECT_EQ(instance.Render(1)[0], 0.0f);
        c.clear(instance.id());
        EXPECT_FLOAT_EQ(instance.Render(1)[0], c.after);
        EXPECT_FALSE(engine.player.halted);
    }
}

}  // namespace
