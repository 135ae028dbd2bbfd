// Voices and their instance trees: start texts and their arguments, the note and velocity of a
// voice, which body decides an instance's life, instance ids, and stopping.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morvanel.h"
#include "support/render_support.h"
#include "runtime/voice.h"

namespace {

using morvanel::CBox;
using morvanel::CountInstances;
using morvanel::testing::CaptureStdout;
using morvanel::testing::Compiled;
using morvanel::testing::EngineOf;
using morvanel::testing::ExpectRender;
using morvanel::testing::Instance;
using morvanel::testing::Mixed;
using morvanel::testing::OldestInstance;
using morvanel::testing::RenderCase;
using morvanel::testing::SamplesMatch;
using morvanel::testing::VoiceCount;

// Arguments are pushed first to last and the parameters popped last to first, so a missing
// argument leaves the FIRST parameter at 0.
TEST(Voices, StartTextArgumentsFillTheParameters) {
    const char* script = "global(%g, 5)  b:%a:%b = { out(%a) out(%b) }";
    const RenderCase cases[] = {
        {"no arguments", script, "b", {0, 0}},
        {"numbers", script, "b:1:2", {1, 2}},
        {"an identifier pushes nothing", script, "b:x:2", {0, 2}},
        // c4 is the period of MIDI note 60: 48000 / 261.63 Hz, truncated.
        {"a lower-case note pushes its period", script, "b:c4", {0, 183}},
        {"an upper-case note is its number", script, "b:C4:7", {60, 7}},
        {"a variable reads the engine global", script, "b:%g:3", {5, 3}},
        {"extra arguments: the last ones reach the parameters", script, "b:1:2:3", {2, 3}},
        {"a header error keeps the arguments read before it", script, "b:4:-", {0, 4}},
        {"brackets and options around the arguments", script, "[b:1:2 maxinst(3)]", {1, 2}},
        {"a global no script declared reads 0", script, "b:%q:6", {0, 6}},
    };
    for (const RenderCase& test : cases) ExpectRender(test);
}

// The poster reads the start text; the value of a '%' argument is read when the tick applies the
// start, so a write between the two is seen, and a global a start declares is a global like any.
TEST(Voices, StartArgumentsReadGlobalsWhenTheStartIsApplied) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("global(%g, 5)  b:%a:%b = { out(%a) out(%b) }")));
    instance.Start("b:%g:%q");
    SetVariable("%g", 9.0f, instance.id());
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({9, 0})));
    SetVariable("%q", 4.0f, instance.id());
    instance.Start("b:%g:%q");
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({9, 4})));
}

TEST(Voices, NoteAndVelocityOfStartsAndMidiKeys) {
    const struct {
        int note;  // -1: StartVoice
        int velocity;
        float expectedNote;
        float expectedVelocity;
    } cases[] = {{-1, 0, 0, 0}, {72, 127, 72, 1}, {60, 64, 60, 64 / 127.0f}, {60, 0, 60, 0}};
    for (const auto& test : cases) {
        SCOPED_TRACE(test.note);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse("nv = { out(%n) out(%v) }  midikey(60, 72, nv)")));
        if (test.note < 0) {
            instance.Start("nv");
        } else {
            MidiNoteOn(test.note, test.velocity, instance.id());
        }
        // The velocity is scaled in single or double precision: one rounding step apart at most.
        EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({test.expectedNote, test.expectedVelocity}), 1e-7f));
    }
}

TEST(Voices, UnknownBoxStartsNothingSilentlyAndTheNextStartWorks) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("b:%a:%b = { out(%a) out(%b) }")));
    instance.Start("nosuchbox");
    instance.Start("b:1:2");
    std::vector<float> rendered;
    EXPECT_EQ(CaptureStdout([&] { rendered = instance.Render(1); }), "");
    EXPECT_EQ(VoiceCount(instance), 1u);
    rendered.push_back(instance.Render(1)[0]);
    EXPECT_TRUE(SamplesMatch(rendered, Mixed({1, 2})));
}

TEST(Voices, TheFirstBodyDecidesTheInstancesLife) {
    const RenderCase cases[] = {
        {"first ends first: the second is cut off", "two = { out(1) out(1) } { out(0.5) out(0.5) out(0.5) out(0.5) }",
         "two", {1.5f, 1.5f, 0, 0}},
        {"second ends first: the first goes on alone", "two = { out(1) out(1) out(1) out(1) } { out(0.5) out(0.5) }",
         "two", {1.5f, 1.5f, 1, 1, 0}},
    };
    for (const RenderCase& test : cases) {
        ExpectRender(test);
    }
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse(cases[0].script)));
    instance.Start("two");
    instance.Render(3);
    EXPECT_EQ(VoiceCount(instance), 0u);
    const CBox* two = EngineOf(instance).program.boxes.FindBox("two");
    ASSERT_NE(two, nullptr);
    EXPECT_TRUE(two->instances.empty());
    EXPECT_EQ(EngineOf(instance).player.pool.BlocksInUse(), 0);  // the second body's record too
}

// One counter numbers box instances, sequence instances and groups, in creation order.
TEST(Voices, InstanceIdsCountFrom1024ThroughTheCallTree) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("c = { @loop out(1) }  m = { c } { @loop out(0) }")));
    instance.Start("m");
    instance.Render(1);
    const CBox* m = EngineOf(instance).program.boxes.FindBox("m");
    const CBox* c = EngineOf(instance).program.boxes.FindBox("c");
    ASSERT_TRUE(m != nullptr && c != nullptr);
    ASSERT_EQ(m->instances.size(), 1);
    ASSERT_EQ(c->instances.size(), 1);
    ASSERT_TRUE(OldestInstance(*m) != nullptr && OldestInstance(*c) != nullptr);
    const morvanel::BOX_INSTANCE_DATA& mInstance = *OldestInstance(*m);
    const morvanel::BOX_INSTANCE_DATA& cInstance = *OldestInstance(*c);
    EXPECT_EQ(mInstance.instanceId, 1024);
    EXPECT_EQ(mInstance.sequenceInstances[0].id, 1025);
    EXPECT_EQ(mInstance.sequenceInstances[1].id, 1026);
    EXPECT_EQ(cInstance.instanceId, 1027);  // created by the call in the first sample
    EXPECT_EQ(cInstance.sequenceInstances[0].id, 1028);
    const morvanel::SEQUENCE_INSTANCE_DATA& called = *cInstance.sequenceInstances[0].state;
    ASSERT_NE(called.parent, nullptr);
    EXPECT_EQ(called.parent, mInstance.sequenceInstances[0].state);
    EXPECT_EQ(mInstance.sequenceInstances[0].state->parent, nullptr);
}

TEST(Voices, GroupsDrawFromTheInstanceIdCounterToo) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("g maxinst(2) = { @loop out(1) }")));  // joins "_default_"
    instance.Start("g");
    instance.Render(1);
    const CBox* g = EngineOf(instance).program.boxes.FindBox("g");
    ASSERT_NE(g, nullptr);
    EXPECT_EQ(g->groupId, 1024);
    ASSERT_EQ(g->instances.size(), 1);
    const morvanel::BOX_INSTANCE_DATA* oldest = OldestInstance(*g);
    const int64_t id = oldest != nullptr ? oldest->instanceId : -1;
    EXPECT_EQ(id, 1025);
}

TEST(Voices, StopDestroysInstancesAtOnceAndDropsTheVoiceAtTheNextSample) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("c = { @loop out(1) }  l = { @loop c }")));
    const int first = instance.Start("l");
    const int second = instance.Start("l");
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({2, 2})));
    morvanel::CEngine& engine = EngineOf(instance);
    const CBox& l = *engine.program.boxes.FindBox("l");
    const CBox& c = *engine.program.boxes.FindBox("c");
    ASSERT_EQ(CountInstances(c, false), 2);

    engine.player.StopVoice(first);
    EXPECT_EQ(CountInstances(l, false), 1);
    EXPECT_EQ(CountInstances(c, false), 1);
    EXPECT_EQ(VoiceCount(instance), 2u);
    EXPECT_TRUE(SamplesMatch(instance.Render(1), Mixed({1})));
    EXPECT_EQ(VoiceCount(instance), 1u);

    StopVoice(second, instance.id());
    StopVoice(second, instance.id());  // a second stop, and one for an id that is gone, are ignored
    StopVoice(first, instance.id());
    EXPECT_TRUE(SamplesMatch(instance.Render(1), {0.0f}));
    EXPECT_EQ(VoiceCount(instance), 0u);
    EXPECT_EQ(CountInstances(c, false), 0);
}

}  // namespace
