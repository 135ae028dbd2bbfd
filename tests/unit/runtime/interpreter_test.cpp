// The sequence interpreter rendered through the public API: durations, conditions, loops and
// release, nested calls and the depth limit, the argument stack, prints, runaway bodies, spawn.
#include <gtest/gtest.h>

#include <cmath>
#include <string>
#include <vector>

#include "morvanel.h"
#include "support/render_support.h"
#include "runtime/voice.h"

namespace {

using morvanel::testing::CaptureStdout;
using morvanel::testing::Compiled;
using morvanel::testing::EngineOf;
using morvanel::testing::ExpectRender;
using morvanel::testing::Instance;
using morvanel::testing::Mixed;
using morvanel::testing::RenderCase;
using morvanel::testing::SamplesMatch;
using morvanel::testing::VoiceCount;

// Each case calls the box under test from m and then plays 0.5, so the sample where 0.5 comes
// shows exactly when the called box ended.
TEST(Interpreter, DurationsAndEmptyBodies) {
    const RenderCase cases[] = {
        {"no dur: three items, then the caller", "d = { out(1) out(1) out(1) }  m = { d out(0.5) }", "m",
         {1, 1, 1, 0.5f, 0}},
        {"dur longer than the items fills with silence", "d = dur(5) { out(1) out(1) out(1) }  m = { d out(0.5) }",
         "m", {1, 1, 1, 0, 0, 0.5f, 0}},
        {"dur shorter than the items cuts them", "d = dur(2) { out(1) out(0.25) out(1) }  m = { d out(0.5) }", "m",
         {1, 0.25f, 0.5f, 0}},
        {"dur bounds a looping body", "d = dur(3) { @loop out(1) }  m = { d out(0.5) }", "m", {1, 1, 1, 0.5f, 0}},
        {"dur(0) ends at once", "d = dur(0) { out(1) }  m = { d out(0.5) }", "m", {0.5f, 0}},
        {"dur from a global variable", "global(%g, 2)  d = dur(%g) { @loop out(1) }  m = { d out(0.5) }", "m",
         {1, 1, 0.5f, 0}},
        {"empty body without dur ends at once", "e = { }  m = { e out(0.5) }", "m", {0.5f, 0}},
        {"empty body with dur is that much silence", "e = dur(3) { }  m = { e out(0.5) }", "m", {0, 0, 0, 0.5f, 0}},
    };
    for (const RenderCase& test : cases) ExpectRender(test);
}

// A duration read from a variable is truncated toward zero, saturates, and NaN reads as 0.
TEST(Interpreter, VariableDurationsConvertSafely) {
    const struct {
        float value;
        std::vector<float> voiceSums;
    } cases[] = {{2.9f, {1, 1, 0.5f, 0}},
                 {-0.5f, {0.5f, 0, 0, 0}},
                 {NAN, {0.5f, 0, 0, 0}},
                 {1e30f, {1, 1, 1, 1}},
                 {-1e30f, {1, 1, 1, 1}}};  // below every int64: no limit, like any negative duration
    for (const auto& test : cases) {
        SCOPED_TRACE(test.value);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse("global(%g)  d = dur(%g) { @loop out(1) }  m = { d out(0.5) }")));
        SetVariable("%g", test.value, instance.id());
        instance.Start("m");
        EXPECT_TRUE(SamplesMatch(instance.Render(4), Mixed(test.voiceSums)));
    }
}

TEST(Interpreter, IfZeroEndsTheBoxBeforeItsFirstSample) {
    const RenderCase cases[] = {
        {"if(0) plays nothing", "i = if(0) { out(1) }  m = { i out(0.5) }", "m", {0.5f, 0}},
        {"if(1) plays", "i = if(1) { out(1) }  m = { i out(0.5) }", "m", {1, 0.5f, 0}},
        // The condition is read after the parameters are popped.
        {"if on a parameter", "i:%a = if(%a) { out(1) }  m = { i:0 out(0.5) i:1 out(0.25) }", "m",
         {0.5f, 1, 0.25f, 0}},
    };
    for (const RenderCase& test : cases) ExpectRender(test);

    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("i = if(0) { out(1) }")));
    instance.Start("i");
    EXPECT_TRUE(SamplesMatch(instance.Render(1), {0.0f}));
    EXPECT_EQ(VoiceCount(instance), 0u);
    EXPECT_TRUE(EngineOf(instance).program.boxes.FindBox("i")->instances.empty());
}

TEST(Interpreter, WhileIsRetestedAtEveryLapOnly) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("global(%g, 1)  w = while(%g) { @loop out(1) out(0.5) }  m = { w out(0.25) }")));
    instance.Start("m");
    EXPECT_TRUE(SamplesMatch(instance.Render(3), Mixed({1, 0.5f, 1})));
    // Cleared mid-lap: the lap finishes, the loop-back test ends the body.
    SetVariable("%g", 0.0f, instance.id());
    EXPECT_TRUE(SamplesMatch(instance.Render(3), Mixed({0.5f, 0.25f, 0})));

    instance.Start("m");
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({0.25f, 0})));
}

TEST(Interpreter, LoopsAndRelease) {
    struct Case {
        const char* name;
        const char* script;
        const char* start;
        std::vector<float> beforeRelease;
        std::vector<float> afterRelease;
        int releases;
    };
    const Case cases[] = {
        {"loop without release label finishes its pass", "l = { @loop out(1) out(0.5) }", "l", {1, 0.5f, 1, 0.5f, 1},
         {0.5f, 0, 0}, 1},
        {"released twice is released once", "l = { @loop out(1) out(0.5) }", "l", {1, 0.5f, 1}, {0.5f, 0, 0}, 2},
        {"release label loops until released, then plays the release part",
         "l = { @loop out(1) out(0.5) @release out(0.25) out(0.125) }", "l", {1, 0.5f, 1, 0.5f, 1},
         {0.5f, 0.25f, 0.125f, 0}, 1},
        {"released at the release label", "l = { @loop out(1) out(0.5) @release out(0.25) out(0.125) }", "l",
         {1, 0.5f, 1, 0.5f}, {0.25f, 0.125f, 0}, 1},
        {"a non-looping voice ignores release", "p = { out(1) out(0.5) out(0.25) }", "p", {1}, {0.5f, 0.25f, 0}, 1},
        {"a non-looping body ends at its release label unless its box owns the release",
         "q = { out(1) out(1) @release out(0.5) } { @loop out(0) out(0) out(0) out(0) }", "q", {1}, {1, 0.5f, 0}, 1},
        {"without release that body ends at the label",
         "q = { out(1) out(1) @release out(0.5) } { @loop out(0) out(0) out(0) out(0) }", "q", {1, 1, 0}, {0}, 0},
        // The looping caller claims the release first; the looping box it calls keeps looping.
        {"release belongs to the outermost looping box",
         "inner = dur(3) { @loop out(1) @release out(0.5) }  outer = { @loop inner @release out(0.25) out(0.125) }",
         "outer", {1, 1}, {1, 0.25f, 0.125f, 0}, 1},
        {"release is handed up to the caller's box",
         "inner = { @loop out(1) @release out(0.5) }  outer = { inner @release out(0.25) }", "outer", {1, 1, 1},
         {0.5f, 0.25f, 0}, 1},
        {"and on up through every caller",
         "inner = { @loop out(1) @release out(0.5) }  mid = { inner @release out(0.25) }"
         "  outer = { mid @release out(0.125) }",
         "outer", {1, 1}, {0.5f, 0.25f, 0.125f, 0}, 1},
    };
    for (const Case& test : cases) {
        SCOPED_TRACE(test.name);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(test.script)));
        const int voice = instance.Start(test.start);
        EXPECT_TRUE(SamplesMatch(instance.Render(static_cast<int>(test.beforeRelease.size())), Mixed(test.beforeRelease)));
        for (int i = 0; i < test.releases; ++i) ReleaseVoice(voice, instance.id());
        EXPECT_TRUE(SamplesMatch(instance.Render(static_cast<int>(test.afterRelease.size())), Mixed(test.afterRelease)));
        EXPECT_EQ(VoiceCount(instance), 0u);
    }
}

TEST(Interpreter, LoopingVoiceNeverEndsByItself) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("l = { @loop out(1) @release out(0.5) }")));
    instance.Start("l");
    EXPECT_TRUE(SamplesMatch(instance.Render(1000), std::vector<float>(1000, 1.0f / 10.0f)));
    EXPECT_EQ(VoiceCount(instance), 1u);
}

// Voices render in start order: t sounds in the sample that halts, before s halts the engine.
TEST(Interpreter, SelfCallHaltsTheEngineOnceUntilAParse) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("s = { s }  t = { @loop out(1) }")));
    instance.Start("t");
    instance.Start("s");
    std::vector<float> halting;
    EXPECT_EQ(CaptureStdout([&] { halting = instance.Render(200); }), "WARNING: Max depth reached\n");
    std::vector<float> expected(200, 0.0f);
    expected[0] = 1.0f / 10.0f;
    EXPECT_TRUE(SamplesMatch(halting, expected));
    EXPECT_TRUE(EngineOf(instance).player.halted);
    EXPECT_TRUE(EngineOf(instance).program.boxes.FindBox("s")->instances.empty());

    // The parse clears the halt; t, rendered before the halt, is still there.
    ASSERT_TRUE(Compiled(instance.Parse("")));
    EXPECT_FALSE(EngineOf(instance).player.halted);
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({1, 1})));

    instance.Start("s");
    EXPECT_EQ(CaptureStdout([&] { instance.Render(50); }), "WARNING: Max depth reached\n");
}

TEST(Interpreter, ResetClearsTheHalt) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("s = { s }")));
    instance.Start("s");
    CaptureStdout([&] { instance.Render(2); });
    ASSERT_TRUE(EngineOf(instance).player.halted);
    ResetEngine(instance.id());
    CaptureStdout([&] { instance.Render(1); });
    EXPECT_FALSE(EngineOf(instance).player.halted);
}

// lvK calls lv(K-1) down to lv0, which plays: starting lvK runs a box at depth K.
TEST(Interpreter, TwelveCallLevelsRunAndTheThirteenthHalts) {
    std::string script = "lv0 = { out(1) }";
    for (int level = 1; level <= 12; ++level) {
        script += " lv" + std::to_string(level) + " = { lv" + std::to_string(level - 1) + " }";
    }
    const struct {
        const char* start;
        const char* printed;
        float sample;
    } cases[] = {{"lv11", "", 1.0f}, {"lv12", "WARNING: Max depth reached\n", 0.0f}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.start);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(script)));
        instance.Start(test.start);
        std::vector<float> rendered;
        EXPECT_EQ(CaptureStdout([&] { rendered = instance.Render(2); }), test.printed);
        EXPECT_TRUE(SamplesMatch(rendered, Mixed({test.sample, 0})));
    }
}

TEST(Interpreter, ArgumentStackIsLastInFirstOutAndEmptyPopsZero) {
    ExpectRender({"push and pop", "q = { push(3) push(4) pop(%a) pop(%b) out(%a) out(%b) pop(%c) out(%c) }", "q",
                  {4, 3, 0}});
}

TEST(Interpreter, The257thPushWarnsAndIsLost) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("p = { @loop push(1) out(0) }")));
    instance.Start("p");
    EXPECT_EQ(CaptureStdout([&] { instance.Render(256); }), "");
    EXPECT_EQ(CaptureStdout([&] { instance.Render(1); }), "Warning: Max stack depth reached\n");
    // Said once per voice: the next pushes are lost without a word.
    EXPECT_EQ(CaptureStdout([&] { instance.Render(100); }), "");
    instance.Start("p");
    EXPECT_EQ(CaptureStdout([&] { instance.Render(257); }), "Warning: Max stack depth reached\n");
}

TEST(Interpreter, PrintWritesTheValueWithSixDecimals) {
    const struct {
        const char* script;
        const char* printed;
    } cases[] = {{"p = { print(0.5) out(0) }", "0.500000\n"},
                 {"p = { print(1 / 3) print(-2) out(0) }", "0.333333\n-2.000000\n"}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.script);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(test.script)));
        instance.Start("p");
        EXPECT_EQ(CaptureStdout([&] { instance.Render(3); }), test.printed);
    }
}

TEST(Interpreter, WhatFollowsACallPlaysInTheSampleTheCallEnds) {
    ExpectRender({"call then sample, call then call", "c = { out(1) out(0.75) }  m = { c out(0.5) c c }", "m",
                  {1, 0.75f, 0.5f, 1, 0.75f, 1, 0.75f, 0}});
}

TEST(Interpreter, ZeroTimeLoopNeitherHangsNorSilencesOtherVoices) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("t = { @loop out(1) }  z = { @loop %a = %a + 1 }")));
    instance.Start("t");
    const int runaway = instance.Start("z");
    EXPECT_TRUE(SamplesMatch(instance.Render(300), std::vector<float>(300, 1.0f / 10.0f)));
    ASSERT_EQ(VoiceCount(instance), 2u);

    StopVoice(runaway, instance.id());
    EXPECT_TRUE(SamplesMatch(instance.Render(1), Mixed({1})));
    EXPECT_EQ(VoiceCount(instance), 1u);
    EXPECT_TRUE(EngineOf(instance).program.boxes.FindBox("z")->instances.empty());
}

// A long run of zero-time items may be split over several samples, but it goes on where it
// stopped: the sample after it plays exactly once.
TEST(Interpreter, LongZeroTimeRunResumesWhereItStopped) {
    std::string script = "w = {";
    for (int i = 0; i < 3000; ++i) script += " %a = 1";
    script += " out(1) }";
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse(script)));
    instance.Start("w");
    const std::vector<float> rendered = instance.Render(20);
    int played = 0;
    for (const float sample : rendered) {
        if (sample == 1.0f / 10.0f) {
            ++played;
        } else {
            EXPECT_EQ(sample, 0.0f);
        }
    }
    EXPECT_EQ(played, 1);
    EXPECT_EQ(VoiceCount(instance), 0u);
}

// Bodies that end without producing a sample, called from a loop and from one another: the work
// of one voice for one sample is bounded over its whole call tree, so nesting cannot multiply it.
// Counted in instances created (each call creates one), not in time.
TEST(Interpreter, ZeroTimeCallsCannotMultiplyTheWorkOfASample) {
    const struct {
        const char* name;
        const char* script;
    } cases[] = {
        {"a loop calling an empty body", "blank = { vol(1) }  spin = dur(48) { @loop blank }"},
        {"three levels of eight calls",
         "leaf = { vol(1) }  m1 = { leaf leaf leaf leaf leaf leaf leaf leaf }\n"
         "m2 = { m1 m1 m1 m1 m1 m1 m1 m1 }  m3 = { m2 m2 m2 m2 m2 m2 m2 m2 }  spin = dur(48) { @loop m3 }"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(c.script)));
        instance.Start("spin");
        const int64_t before = morvanel::nextInstanceId.load();
        // 48 silent samples, then the duration has run out.
        EXPECT_TRUE(SamplesMatch(instance.Render(49), std::vector<float>(49, 0.0f)));
        const int64_t ids = morvanel::nextInstanceId.load() - before;
        // Each call draws two ids (box and sequence instance); at most a voice's work budget
        // divided by the cost of one call are made per sample.
        EXPECT_LE(ids, 2 * 48 * (morvanel::kMaxVoiceWorkPerSample / 16 + 2));
        EXPECT_GT(ids, 2 * 48);
        EXPECT_EQ(VoiceCount(instance), 0u);
    }
}

TEST(Interpreter, SpawnStartsNothingAndDoesNotFloodStdout) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("sp = { @loop spawn out(1) }")));
    instance.Start("sp");
    std::vector<float> rendered;
    const std::string printed = CaptureStdout([&] { rendered = instance.Render(4000); });
    EXPECT_LT(printed.size(), 200u) << printed.substr(0, 400);
    EXPECT_TRUE(SamplesMatch(rendered, std::vector<float>(4000, 1.0f / 10.0f)));
    EXPECT_EQ(VoiceCount(instance), 1u);
}

}  // namespace
