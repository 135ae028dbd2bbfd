// The box registry (name order, lookup, deferred redefinition, the export flag) and the labels
// that sequences apply as items are appended.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "engine/engine.h"
#include "morvanel.h"
#include "runtime/voice.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::CBox;
using morvanel::CEngine;
using morvanel::CSequence;
using morvanel::testing::Instance;


std::vector<std::string> RegisteredNames(const CEngine& engine) {
    std::vector<std::string> names;
    for (const auto& [name, box] : engine.program.boxes.Named()) names.push_back(name);
    return names;
}

TEST(BoxRegistry, NamesSortByBytesAndLookupIsExact) {
    Instance instance;
    instance.Parse("b = { `5` } ab = { `5` } a = { `5` } A = { `5` }");
    CEngine& engine = EngineOf(instance.id());
    EXPECT_EQ(RegisteredNames(engine), (std::vector<std::string>{"A", "a", "ab", "b"}));
    EXPECT_EQ(engine.program.boxes.FindBox("B"), nullptr);
    EXPECT_EQ(engine.program.boxes.FindBox("a "), nullptr);
    ASSERT_NE(engine.program.boxes.FindBox("A"), nullptr);
    EXPECT_NE(engine.program.boxes.FindBox("A"), engine.program.boxes.FindBox("a"));
    EXPECT_EQ(engine.program.boxes.FindBox("A")->name, "A");
}

TEST(BoxRegistry, IdleBoxIsReplacedAtOnce) {
    Instance instance;
    instance.Parse("lead = { `9` }");
    instance.Parse("lead = { `1` `1` }");
    CEngine& engine = EngineOf(instance.id());
    EXPECT_FALSE(engine.program.boxes.AnyPendingBox());
    ASSERT_EQ(engine.program.boxes.Named().size(), 1u);
    CBox* box = engine.program.boxes.FindBox("lead");
    ASSERT_NE(box, nullptr);
    EXPECT_EQ(box->sequences[0]->items.size(), 3u);
    instance.Start("lead");
    EXPECT_FLOAT_EQ(instance.Render(1)[0], -0.1f);
}

// The old box keeps the name while a voice plays it; the new one takes over when it ends.
TEST(BoxRegistry, RedefinitionWaitsForThePlayingBox) {
    Instance instance;
    instance.Parse("lead = { @loop `9` }");
    CEngine& engine = EngineOf(instance.id());
    CBox* old = engine.program.boxes.FindBox("lead");
    const int voiceId = instance.Start("lead");
    instance.Render(1);

    instance.Parse("lead:%x = { @loop `1` }");
    EXPECT_EQ(engine.program.boxes.FindBox("lead"), old);
    ASSERT_NE(engine.program.boxes.PendingBoxFor("lead"), nullptr);
    CBox* waiting = engine.program.boxes.PendingBoxFor("lead");
    EXPECT_NE(waiting, old);
    EXPECT_FLOAT_EQ(instance.Render(1)[0], 0.1f);
    EXPECT_STREQ(ReportBoxesAsJson(instance.id()), "[\n  { \"Name\": \"lead\" }\n]\n");

    StopVoice(voiceId, instance.id());
    instance.Render(1);
    EXPECT_EQ(engine.program.boxes.FindBox("lead"), waiting);
    EXPECT_FALSE(engine.program.boxes.AnyPendingBox());
    // The takeover happened on the audio thread; the report a control thread reads follows it.
    EXPECT_STREQ(ReportBoxesAsJson(instance.id()),
                 "[\n  { \"Name\": \"lead\" , \"Parameters\": [ \"x\" ] }\n]\n");
    instance.Start("lead");
    EXPECT_FLOAT_EQ(instance.Render(1)[0], -0.1f);
}

TEST(BoxRegistry, ExportFlagIsRecomputedWhenABoxIsUnregistered) {
    Instance instance;
    instance.Parse("a* = { `5` } b = { `5` } c* = { `5` }");
    CEngine& engine = EngineOf(instance.id());
    EXPECT_TRUE(engine.program.boxes.AnyExported());
    engine.program.boxes.DestroyBox(engine.program.boxes.FindBox("c"));
    EXPECT_TRUE(engine.program.boxes.AnyExported());
    // Replacing the idle exported box by an unexported one unregisters the last exported box.
    instance.Parse("a = { `5` }");
    EXPECT_FALSE(engine.program.boxes.AnyExported());
    EXPECT_STREQ(ReportBoxesAsJson(instance.id()), "[\n  { \"Name\": \"a\" },\n  { \"Name\": \"b\" }\n]\n");
}

TEST(BoxRegistry, NestedBodiesAreNeverFoundByName) {
    Instance instance;
    instance.Parse("outer = { { `5` } { `5` } }");
    CEngine& engine = EngineOf(instance.id());
    EXPECT_EQ(RegisteredNames(engine), std::vector<std::string>{"outer"});
    ASSERT_EQ(engine.program.boxes.Anonymous().size(), 2u);
    EXPECT_EQ(engine.program.boxes.FindBox(""), nullptr);
    const CSequence& body = *engine.program.boxes.FindBox("outer")->sequences[0];
    for (const CBox* nested : engine.program.boxes.Anonymous()) EXPECT_EQ(nested->parentSequence, &body);
    EXPECT_EQ(body.nestedBoxes.size(), 2u);
}

TEST(BoxRegistry, LoopLabelLastInABodyKeepsIndexZeroButLoops) {
    Instance instance;
    instance.Parse("tail = { `9` `1` @loop } two = { `5` } { `5` }");
    CEngine& engine = EngineOf(instance.id());
    const CSequence& sequence = *engine.program.boxes.FindBox("tail")->sequences[0];
    EXPECT_TRUE(sequence.looping);
    EXPECT_EQ(sequence.loopIndex, 0);
    EXPECT_EQ(sequence.releaseIndex, 2);
    instance.Start("tail");
    EXPECT_EQ(instance.Render(4), (std::vector<float>{0.1f, -0.1f, 0.1f, -0.1f}));
    // A box of two bodies gets two sequences with increasing serials.
    const auto& sequences = engine.program.boxes.FindBox("two")->sequences;
    ASSERT_EQ(sequences.size(), 2u);
    EXPECT_LT(sequences[0]->serial, sequences[1]->serial);
    EXPECT_EQ(sequences[0]->GetName(), "sequence_of_box_two");
}

}  // namespace
