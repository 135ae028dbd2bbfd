// The command and response rings: capacity, wrapping, order, response lookup by id, and reset.
#include <gtest/gtest.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "api/instance_registry.h"
#include "engine/rings.h"
#include "morvanel.h"
#include "runtime/voice.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::testing::CaptureStdout;
using morvanel::testing::Instance;


constexpr char kSuccessTail[] = "Compilation successful. Parsed 1 boxes and 0 commands.\n";
constexpr char kLeadReport[] = "[\n  { \"Name\": \"lead\" }\n]\n";

bool EndsWith(const std::string& text, const std::string& tail) {
    return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

TEST(Queues, FullCommandRingDropsTheSixtyFifthAndRecoversAfterOneTick) {
    Instance instance;
    instance.Parse("lead = { @loop `9` }");
    std::vector<int> serials;
    for (int i = 0; i < 64; ++i) serials.push_back(instance.Start("lead"));
    for (int serial : serials) ASSERT_NE(serial, 0);
    EXPECT_EQ(instance.Start("lead"), 0);

    instance.Render(1);
    const auto& voices = EngineOf(instance.id()).player.voices;
    ASSERT_EQ(voices.size(), 64u);
    for (size_t i = 0; i < voices.size(); ++i) EXPECT_EQ(voices[i]->voiceId, serials[i]);
    // The dropped start took no serial: posting resumes right after the last accepted one.
    EXPECT_EQ(instance.Start("lead"), serials.back() + 1);
}

TEST(Queues, CommandRingWrapsAndKeepsOrder) {
    Instance instance;
    morvanel::CEngine& engine = EngineOf(instance.id());
    for (int i = 0; i < 200; ++i) {
        const std::string name = "box" + std::to_string(i);
        const int64_t serial = engine.commands.Post(morvanel::CMD_START_VOICE, name.c_str(), 0, i, 0.5f);
        morvanel::TakenCommand taken;
        ASSERT_TRUE(engine.commands.Take(taken));
        ASSERT_EQ(taken.serial, serial);
        ASSERT_STREQ(taken.name, name.c_str());
        ASSERT_EQ(taken.note, i);
    }
    EXPECT_EQ(engine.commands.write.load(), 200 % 64);
    EXPECT_EQ(engine.commands.read.load(), 200 % 64);
}

TEST(Queues, ResponseRingWrapsAndKeepsOrder) {
    Instance instance;
    morvanel::CEngine& engine = EngineOf(instance.id());
    for (int i = 0; i < 200; ++i) {
        const std::string text = "response " + std::to_string(i);
        engine.responses.Post(morvanel::RESP_MIDIKEY, text.c_str(), i, i + 1);
        ASSERT_EQ(std::string(engine.responses.TakeText(i + 1)), text);
    }
    EXPECT_EQ(engine.responses.write.load(), 200 % 192);
    EXPECT_EQ(engine.responses.read.load(), 200 % 192);
    EXPECT_EQ(engine.responses.count.load(), 0);
}

TEST(Queues, ResponseLookupDiscardsWhatLiesBeforeAndKeepsWhatLiesBehind) {
    Instance instance;
    morvanel::CEngine& engine = EngineOf(instance.id());
    const char* texts[] = {"one", "two", "three", "four"};
    for (int i = 0; i < 4; ++i) engine.responses.Post(morvanel::RESP_PARSE_LOG, texts[i], 0, i + 1);

    EXPECT_STREQ(GetResponseString(3, instance.id()), "three");
    EXPECT_EQ(engine.responses.count.load(), 1);
    EXPECT_STREQ(GetResponseString(4, instance.id()), "four");
    EXPECT_STREQ(GetResponseString(1, instance.id()), "");
}

TEST(Queues, ParseLogArrivesAtTheFirstSampleAndTheReportFollowsIt) {
    Instance instance;
    const int serial = ParseString("lead = { sqr(@440) }", instance.id());
    EXPECT_STREQ(GetResponseString(serial, instance.id()), "");
    instance.Render(1);
    EXPECT_TRUE(EndsWith(GetResponseString(serial, instance.id()), kSuccessTail));
    EXPECT_STREQ(GetResponseString(0, instance.id()), kLeadReport);
}

TEST(Queues, AskingForIdZeroAfterAParseSkipsTheLogAndGivesTheReport) {
    Instance instance;
    const int serial = ParseString("lead = { sqr(@440) }", instance.id());
    instance.Render(1);
    EXPECT_STREQ(GetResponseString(0, instance.id()), kLeadReport);
    EXPECT_STREQ(GetResponseString(serial, instance.id()), "");
}

TEST(Queues, EmptyScriptStillYieldsLogAndReport) {
    Instance instance;
    const int serial = ParseString("", instance.id());
    instance.Render(1);
    EXPECT_TRUE(EndsWith(GetResponseString(serial, instance.id()),
                         "Compilation successful. Parsed 0 boxes and 0 commands.\n"));
    EXPECT_STREQ(GetResponseString(0, instance.id()), "[\n]\n");
}

// Everything behind a reset is dropped unexecuted: even a second reset does not print again.
TEST(Queues, ResetDropsEveryCommandQueuedBehindIt) {
    Instance instance;
    instance.Parse("bpm(90) lead = { @loop `9` }");
    const int playing = instance.Start("lead");
    instance.Render(1);
    morvanel::CEngine& engine = EngineOf(instance.id());
    ASSERT_EQ(engine.program.clock.bpm, 90.0f);
    ASSERT_EQ(engine.player.voices.size(), 1u);

    ResetEngine(instance.id());
    ParseString("other = { @loop `9` }", instance.id());
    for (int i = 0; i < 5; ++i) instance.Start("lead");
    ReleaseVoice(playing, instance.id());
    StopAllVoices(instance.id());
    ResetEngine(instance.id());
    ParseString("bpm(60)", instance.id());
    ASSERT_EQ(engine.commands.count.load(), 11);

    std::vector<float> out;
    const std::string printed = CaptureStdout([&] { out = instance.Render(1); });
    EXPECT_EQ(printed, "Engine reset\n");
    EXPECT_EQ(engine.commands.count.load(), 0);
    EXPECT_EQ(engine.program.clock.bpm, 120.0f);
    EXPECT_TRUE(engine.program.boxes.Named().empty());
    EXPECT_TRUE(engine.player.voices.empty());
    EXPECT_EQ(engine.responses.count.load(), 0);
    EXPECT_EQ(out[0], 0.0f);
}

// A reset never waits for a response taker. When one holds the takers' lock at that moment, the
// responses from before the reset are left in the ring and every taker drops them; what is posted
// after the reset is found as usual.
TEST(Queues, ResetBesideABusyTakerLeavesOldResponsesForTakersToDrop) {
    Instance instance;
    morvanel::CEngine& engine = EngineOf(instance.id());
    instance.Parse("lead = { @loop `9` }");  // leaves its box report queued
    std::atomic<bool> holding{false};
    std::atomic<bool> release{false};
    std::thread taker([&] {
        std::lock_guard<std::mutex> busy(engine.responses.takers);
        holding = true;
        while (!release) std::this_thread::yield();
    });
    while (!holding) std::this_thread::yield();
    ResetEngine(instance.id());
    const std::string printed = CaptureStdout([&] { instance.Render(1); });
    release = true;
    taker.join();
    EXPECT_EQ(printed, "Engine reset\n");
    EXPECT_GT(engine.responses.count.load(), 0);  // the reset could not drain the ring itself
    EXPECT_STREQ(GetResponseString(0, instance.id()), "");
    EXPECT_EQ(engine.responses.count.load(), 0);
    const int serial = ParseString("lead = { @loop `9` }", instance.id());
    instance.Render(1);
    EXPECT_TRUE(EndsWith(GetResponseString(serial, instance.id()), kSuccessTail));
    EXPECT_STREQ(GetResponseString(0, instance.id()), kLeadReport);
}

}  // namespace
