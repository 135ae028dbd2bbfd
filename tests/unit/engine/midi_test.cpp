// MIDI routing: key maps from the midikey command, note-ons as voice starts, note-offs as
// releases of every voice the key started.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "engine/rings.h"
#include "engine/engine.h"
#include "morvanel.h"
#include "runtime/voice.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::CEngine;
using morvanel::TakenCommand;
using morvanel::testing::Instance;


// Takes every queued command off the ring, as the tick would, without executing any.
std::vector<TakenCommand> TakeAll(CEngine& engine) {
    std::vector<TakenCommand> taken;
    TakenCommand command;
    while (engine.commands.Take(command)) taken.push_back(std::move(command));
    return taken;
}

// Keys mapped so far, with the box each plays.
std::vector<std::pair<int, std::string>> KeyMap(CEngine& engine) {
    return {engine.midiKeys.begin(), engine.midiKeys.end()};
}

TEST(Midi, UnmappedKeysPostNothing) {
    Instance instance;
    instance.Parse("lead = { @loop `9` } midikey(60, 61, lead)");
    MidiNoteOn(62, 100, instance.id());
    MidiNoteOff(62, instance.id());
    MidiNoteOff(60, instance.id());  // no note-on before it
    EXPECT_EQ(EngineOf(instance.id()).commands.count.load(), 0);
    // No serial was consumed: the parse took the first, this start takes the second.
    EXPECT_EQ(instance.Start("lead"), 16385);
}

TEST(Midi, NoteOffPostsOneReleaseForEveryVoiceTheKeyStarted) {
    Instance instance;
    instance.Parse("lead = { @loop `9` } midikey(60, 60, lead)");
    CEngine& engine = EngineOf(instance.id());
    MidiNoteOn(60, 100, instance.id());
    MidiNoteOn(60, 90, instance.id());
    MidiNoteOff(60, instance.id());
    const std::vector<TakenCommand> taken = TakeAll(engine);
    ASSERT_EQ(taken.size(), 3u);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(taken[i].kind, morvanel::CMD_START_KEY);
        EXPECT_STREQ(taken[i].name, "lead");
        EXPECT_EQ(taken[i].note, 60);
    }
    EXPECT_LT(taken[0].serial, taken[1].serial);
    EXPECT_EQ(taken[2].kind, morvanel::CMD_RELEASE_KEY);
    EXPECT_EQ(taken[2].note, 60);
    // The key forgot its voices: a second note-off posts nothing.
    MidiNoteOff(60, instance.id());
    EXPECT_EQ(engine.commands.count.load(), 0);
}

// Played through the engine: a key struck far more often than the command ring holds is let go
// by one note-off, every voice it started ends, and voices of other keys and of StartVoice (whose
// note reads 0) play on; a note-on after the note-off is not released by it.
TEST(Midi, OneNoteOffReleasesAHundredVoicesOfItsKeyAndNoOthers) {
    Instance instance;
    instance.Parse("pad = { @loop sqr(40) @release dur(5) { @loop sqr(40) } } midikey(0, 127, pad)");
    for (int i = 0; i < 100; ++i) {
        MidiNoteOn(60, 100, instance.id());
        instance.Render(1);
    }
    MidiNoteOn(61, 100, instance.id());
    instance.Start("pad");
    MidiNoteOff(0, instance.id());
    instance.Render(1);
    EXPECT_EQ(MorvanelActiveVoices(instance.id()), 102);
    MidiNoteOff(60, instance.id());
    MidiNoteOn(60, 100, instance.id());
    instance.Render(20);
    EXPECT_EQ(MorvanelActiveVoices(instance.id()), 3);
    MidiNoteOff(60, instance.id());
    MidiNoteOff(61, instance.id());
    instance.Render(20);
    EXPECT_EQ(MorvanelActiveVoices(instance.id()), 1);
}

// A note-off that finds the ring full keeps its key held: the next note-off releases the voices.
TEST(Midi, NoteOffDroppedByAFullRingIsRetriedByTheNextNoteOff) {
    Instance instance;
    instance.Parse("lead = { @loop `9` } midikey(60, 60, lead)");
    CEngine& engine = EngineOf(instance.id());
    MidiNoteOn(60, 100, instance.id());
    TakeAll(engine);
    for (int i = 0; i < 64; ++i) instance.Start("none");
    MidiNoteOff(60, instance.id());
    TakeAll(engine);
    MidiNoteOff(60, instance.id());
    const std::vector<TakenCommand> taken = TakeAll(engine);
    ASSERT_EQ(taken.size(), 1u);
    EXPECT_EQ(taken[0].kind, morvanel::CMD_RELEASE_KEY);
    EXPECT_EQ(taken[0].note, 60);
}

// A start dropped by a full ring starts nothing, so the key has nothing to release.
TEST(Midi, DroppedStartLeavesNothingToRelease) {
    Instance instance;
    instance.Parse("lead = { @loop `9` } midikey(60, 60, lead)");
    CEngine& engine = EngineOf(instance.id());
    for (int i = 0; i < 64; ++i) instance.Start("none");
    MidiNoteOn(60, 100, instance.id());
    TakeAll(engine);
    MidiNoteOff(60, instance.id());
    EXPECT_EQ(engine.commands.count.load(), 0);
}

// The voice sees the velocity scaled to 0..1 in 'v' (slot 0) and the note in 'n' (slot 1).
TEST(Midi, VoiceReceivesScaledVelocityAndNote) {
    struct Case {
        int note;
        int velocity;
        float v;
    };
    for (const Case& c : {Case{64, 127, 1.0f}, Case{60, 0, 0.0f}, Case{72, 100, static_cast<float>(100 / 127.0)}}) {
        SCOPED_TRACE(c.velocity);
        Instance instance;
        instance.Parse("lead = { @loop `9` } midikey(0, 127, lead)");
        MidiNoteOn(c.note, c.velocity, instance.id());
        instance.Render(1);
        const auto& voices = EngineOf(instance.id()).player.voices;
        ASSERT_EQ(voices.size(), 1u);
        EXPECT_EQ(morvanel::ReadSlotAt(*voices[0], 0), c.v);
        EXPECT_EQ(morvanel::ReadSlotAt(*voices[0], 1), static_cast<float>(c.note));
    }
}

// Either order of the range maps keys 60..72 and posts one notice per key, lowest key first.
TEST(Midi, RangeMapsTheSameKeysInEitherOrderWithAscendingNotices) {
    for (const char* script : {"lead = { `5` } midikey(60, 72, lead)", "lead = { `5` } midikey(72, 60, lead)"}) {
        SCOPED_TRACE(script);
        Instance instance;
        const int serial = ParseString(script, instance.id());
        instance.Render(1);
        CEngine& engine = EngineOf(instance.id());
        std::vector<std::pair<int, std::string>> expectedKeys;
        for (int key = 60; key <= 72; ++key) expectedKeys.emplace_back(key, "lead");
        EXPECT_EQ(KeyMap(engine), expectedKeys);

        ASSERT_EQ(engine.responses.count.load(), 13 + 2);  // the notices, then the log and the report
        for (int i = 0; i < 13; ++i) {
            const morvanel::Response& notice = engine.responses.slots[engine.responses.read.load() + i];
            EXPECT_EQ(notice.type, morvanel::RESP_MIDIKEY);
            EXPECT_STREQ(notice.text, "lead");
            EXPECT_EQ(notice.value, 60 + i);
            EXPECT_EQ(notice.id, 0);
        }
        EXPECT_STREQ(GetResponseString(0, instance.id()), "lead");
        EXPECT_NE(std::string(GetResponseString(serial, instance.id())).find("Parsed 1 boxes and 1 commands"),
                  std::string::npos);
    }
}

TEST(Midi, KeyMappedTwiceKeepsTheLaterBox) {
    Instance instance;
    instance.Parse("a = { `5` } b = { `5` } midikey(60, 62, a) midikey(62, 63, b) midikey(64, 64, nobox)");
    const std::vector<std::pair<int, std::string>> expected = {{60, "a"}, {61, "a"}, {62, "b"}, {63, "b"}};
    EXPECT_EQ(KeyMap(EngineOf(instance.id())), expected);
}

}  // namespace
