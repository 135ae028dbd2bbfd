// The exported functions as a host sees them: ids, serials, missing instances, buffers.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "morvanel.h"
#include "runtime/voice.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::testing::Instance;


int QueuedCommands(int id) { return EngineOf(id).commands.count.load(); }

TEST(Exports, AmIAliveAnswersBeforeAnythingElse) { EXPECT_EQ(AmIAlive(), 42); }

TEST(Exports, DefaultInstanceIsMissingUntilInitialized) {
    float out[4] = {7.0f, 7.0f, 7.0f, 7.0f};
    EXPECT_EQ(GetBuffer(4, out, 0), 0);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_STREQ(ReportBoxesAsJson(0), "");
    EXPECT_EQ(Initialize(48000), 0);
    EXPECT_EQ(GetBuffer(4, out, 0), 4);
    EXPECT_EQ(out[0], 0.0f);
}

// Every instance-taking export on an id that names no instance: the documented neutral result,
// and no serial is consumed (the first real post still gets the first serial).
TEST(Exports, MissingInstancesGiveNeutralResultsAndChangeNothing) {
    const int destroyed = NewInstance(48000);
    DestroyInstance(destroyed);
    for (const int missing : {0, -1, 999, destroyed}) {
        SCOPED_TRACE(missing);
        float out[3] = {7.0f, 7.0f, 7.0f};
        EXPECT_EQ(GetBuffer(3, out, missing), 0);
        EXPECT_EQ(GetBuffer(-5, out, missing), 0);
        EXPECT_EQ(out[0], 7.0f);
        EXPECT_EQ(ParseString("a = { `5` }", missing), 0);
        EXPECT_EQ(StartVoice("a", missing), 0);
        EXPECT_STREQ(GetResponseString(0, missing), "");
        EXPECT_STREQ(ReportBoxesAsJson(missing), "");
        ReleaseVoice(16384, missing);
        StopVoice(16384, missing);
        StopAllVoices(missing);
        MidiNoteOn(60, 100, missing);
        MidiNoteOff(60, missing);
        SetVariable("%a", 1.0f, missing);
        ResetEngine(missing);
        DestroyInstance(missing);
    }
    Instance live;
    EXPECT_EQ(live.Start("a"), 16384);
}

TEST(Exports, InstanceIdsCountFromSixteenAndAreNeverReused) {
    EXPECT_EQ(NewInstance(48000), 16);
    EXPECT_EQ(NewInstance(48000), 17);
    EXPECT_EQ(NewInstance(44100), 18);
    DestroyInstance(17);
    float out = 7.0f;
    EXPECT_EQ(GetBuffer(1, &out, 17), 0);
    EXPECT_EQ(StartVoice("a", 17), 0);
    EXPECT_EQ(NewInstance(48000), 19);
    EXPECT_EQ(GetBuffer(1, &out, 16), 1);
    EXPECT_EQ(GetBuffer(1, &out, 18), 1);
    EXPECT_EQ(morvanel::InstanceRegistry::Get().Find(17), nullptr);
}

// Early ids are found by indexing, later ones through the map: an instance must be found, and a
// destroyed one missing, on both sides of that boundary, and ids not handed out yet are missing.
TEST(Exports, InstancesAreFoundOnEitherSideOfTheIndexedIds) {
    std::vector<int> kept;
    for (int i = 0; i < 4200; ++i) {
        const int id = NewInstance(8000);
        ASSERT_EQ(id, 16 + i);
        // Keep a few around the boundary and at both ends; destroy the rest at once.
        if (i < 2 || (i >= 4090 && i < 4102) || i >= 4198) {
            kept.push_back(id);
        } else {
            DestroyInstance(id);
        }
    }
    float out = 7.0f;
    for (int id : kept) {
        SCOPED_TRACE(id);
        EXPECT_EQ(GetBuffer(1, &out, id), 1);
        EXPECT_NE(morvanel::InstanceRegistry::Get().Find(id), nullptr);
    }
    for (int id : {18, 4100, 4105, 4118, 4213}) {
        SCOPED_TRACE(id);
        EXPECT_EQ(GetBuffer(1, &out, id), 0);
    }
    for (int id : kept) DestroyInstance(id);
    for (int id : kept) EXPECT_EQ(GetBuffer(1, &out, id), 0);
    EXPECT_EQ(GetBuffer(1, &out, 4216), 0);  // not handed out yet
}

TEST(Exports, DestroyingZeroOrANegativeIdChangesNothing) {
    Initialize(48000);
    const int id = NewInstance(48000);
    DestroyInstance(0);
    DestroyInstance(-1);
    float out = 7.0f;
    EXPECT_EQ(GetBuffer(1, &out, 0), 1);
    EXPECT_EQ(GetBuffer(1, &out, id), 1);
}

// A count of 0 or less, or a null array, must not run the tick: a queued start stays queued.
TEST(Exports, GetBufferWithoutRoomRunsNoTick) {
    struct Case {
        int count;
        bool nullOut;
        int expected;
    };
    for (const Case& c : std::vector<Case>{{0, false, 0}, {-5, false, -5}, {4, true, 0}}) {
        SCOPED_TRACE(c.count);
        Instance instance;
        instance.Parse("lead = { @loop sqr(@440) }");
        ASSERT_NE(instance.Start("lead"), 0);
        float out[4] = {7.0f, 7.0f, 7.0f, 7.0f};
        EXPECT_EQ(GetBuffer(c.count, c.nullOut ? nullptr : out, instance.id()), c.expected);
        EXPECT_EQ(out[0], 7.0f);
        EXPECT_EQ(QueuedCommands(instance.id()), 1);
        EXPECT_TRUE(EngineOf(instance.id()).player.voices.empty());
    }
}

TEST(Exports, NullTextsPostAndWriteNothing) {
    Instance instance;
    instance.Parse("global(%a, 3)");
    EXPECT_EQ(StartVoice(nullptr, instance.id()), 0);
    EXPECT_EQ(ParseString(nullptr, instance.id()), 0);
    SetVariable(nullptr, 9.0f, instance.id());
    EXPECT_EQ(QueuedCommands(instance.id()), 0);
    EXPECT_EQ(morvanel::ReadSlot(*morvanel::GetSlot(EngineOf(instance.id()), 'a')), 3.0f);
}

// A start text that does not fit the 31-character name field is refused, never cut short: a cut
// name could start another box.
TEST(Exports, StartTextsLongerThanThirtyOneCharactersAreRejected) {
    const std::string fits(31, 'k');
    const std::string tooLong(32, 'k');
    Instance instance;
    instance.Parse(fits + " = { @loop `9` } " + tooLong + " = { @loop `9` }");
    EXPECT_EQ(instance.Start(tooLong), 0);
    EXPECT_EQ(QueuedCommands(instance.id()), 0);
    const int voiceId = instance.Start(fits);
    EXPECT_NE(voiceId, 0);
    instance.Render(1);
    const auto& voices = EngineOf(instance.id()).player.voices;
    ASSERT_EQ(voices.size(), 1u);
    EXPECT_EQ(voices[0]->voiceId, voiceId);
    EXPECT_EQ(voices[0]->rootBox->name, fits);
}

TEST(Exports, SerialsInterleavedAcrossInstancesStrictlyIncrease) {
    Instance first;
    Instance second;
    std::vector<int> serials;
    for (int round = 0; round < 3; ++round) {
        serials.push_back(first.Start("a"));
        serials.push_back(ParseString("", second.id()));
        serials.push_back(StartVoice("b", second.id()));
        serials.push_back(ParseString("", first.id()));
    }
    for (size_t i = 0; i < serials.size(); ++i) EXPECT_EQ(serials[i], 16384 + static_cast<int>(i));
}

}  // namespace
