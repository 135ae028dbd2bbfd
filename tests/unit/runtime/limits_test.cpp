// Instance limits (maxinst over a box or its group) and a box redefined while it plays.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morvanel.h"
#include "support/render_support.h"
#include "runtime/voice.h"

namespace {

using morvanel::CBox;
using morvanel::CountInstances;
using morvanel::testing::Compiled;
using morvanel::testing::EngineOf;
using morvanel::testing::Instance;
using morvanel::testing::Mixed;
using morvanel::testing::SamplesMatch;

// The voices loop on 1 and play 4 once when released: a released voice shows as a 4 in the
// sample after its release, a stopped one simply drops out.
constexpr const char* kLooper = "{ @loop out(1) @release out(4) }";

struct LimitCase {
    const char* name;
    std::string script;
    std::vector<const char*> starts;  // one start before each sample
    std::vector<float> voiceSums;
};

void ExpectLimit(const LimitCase& test) {
    SCOPED_TRACE(test.name);
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse(test.script)));
    std::vector<float> rendered;
    for (const char* start : test.starts) {
        if (*start != '\0') instance.Start(start);
        rendered.push_back(instance.Render(1)[0]);
    }
    EXPECT_TRUE(SamplesMatch(rendered, Mixed(test.voiceSums)));
}

TEST(Limits, MaxinstReleasesOrStopsTheOldestInstances) {
    const std::string looper = kLooper;
    const LimitCase cases[] = {
        {"no limit", "m = " + looper, {"m", "m", "m", ""}, {1, 2, 3, 3}},
        {"limit 3 not reached", "m maxinst(3) = " + looper, {"m", "m", "m", ""}, {1, 2, 3, 3}},
        {"limit 2 releases the oldest", "m maxinst(2) = " + looper, {"m", "m", "m", ""}, {1, 2, 6, 2}},
        {"second value 0 still releases", "m maxinst(2, 0) = " + looper, {"m", "m", "m", ""}, {1, 2, 6, 2}},
        {"second value above 0 stops", "m maxinst(2, 1) = " + looper, {"m", "m", "m", ""}, {1, 2, 2, 2}},
        // A released voice still counts until it ends, and is hit again.
        {"limit 1 releases twice over", "m maxinst(1) = " + looper, {"m", "m", "m", ""}, {1, 5, 5, 1}},
        {"limit 1 stopping", "m maxinst(1, 1) = " + looper, {"m", "m", "m", ""}, {1, 1, 1, 1}},
    };
    for (const LimitCase& test : cases) ExpectLimit(test);
}

TEST(Limits, BoxesWithoutAGroupShareTheDefaultGroup) {
    const std::string a = std::string("a maxinst(2) = ") + kLooper;
    const LimitCase cases[] = {
        {"starting b releases the oldest a", a + "  b maxinst(2) = { @loop out(0.5) @release out(8) }",
         {"a", "a", "b", ""}, {1, 2, 5.5f, 1.5f}},
        {"a named group is a pool of its own", a + "  b maxinst(2) group(other) = { @loop out(0.5) @release out(8) }",
         {"a", "a", "b", ""}, {1, 2, 2.5f, 2.5f}},
        {"the oldest of either box goes first", a + "  b maxinst(2) = { @loop out(0.5) @release out(8) }",
         {"b", "a", "a", ""}, {0.5f, 1.5f, 10, 2}},
    };
    for (const LimitCase& test : cases) ExpectLimit(test);
}

// The caller's voice holds an instance of m through its call: that instance is the oldest.
TEST(Limits, InstancesCreatedByCallsCount) {
    const LimitCase test = {"caller's instance released", std::string("m maxinst(2) = ") + kLooper + "  caller = { m }",
                            {"caller", "m", "m", ""}, {1, 2, 6, 2}};
    ExpectLimit(test);

    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse(test.script)));
    instance.Start("caller");
    instance.Start("m");
    instance.Render(1);
    EXPECT_EQ(CountInstances(*EngineOf(instance).program.boxes.FindBox("m"), true), 2);
}

TEST(Replacement, RedefinedBoxTakesOverWhenItsLastInstanceEnds) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("r = { out(1) out(1) out(1) }  c = { r { r } }")));
    morvanel::CEngine& engine = EngineOf(instance);
    const CBox* old = engine.program.boxes.FindBox("r");
    instance.Start("c");
    EXPECT_TRUE(SamplesMatch(instance.Render(1), Mixed({1})));

    ASSERT_TRUE(Compiled(instance.Parse("r = { out(0.5) out(0.5) }")));  // renders the old r's 2nd sample
    EXPECT_EQ(engine.program.boxes.FindBox("r"), old);
    EXPECT_NE(engine.program.boxes.PendingBoxFor("r"), nullptr);

    // The old r plays to its end; the call in c's nested body then reaches the new r.
    EXPECT_TRUE(SamplesMatch(instance.Render(5), Mixed({1, 0.5f, 0.5f, 0, 0})));
    EXPECT_NE(engine.program.boxes.FindBox("r"), old);
    EXPECT_FALSE(engine.program.boxes.AnyPendingBox());

    // c's own call item now names the new r as well.
    instance.Start("c");
    EXPECT_TRUE(SamplesMatch(instance.Render(5), Mixed({0.5f, 0.5f, 0.5f, 0.5f, 0})));
}

TEST(Replacement, WaitsForEveryInstanceOfTheOldBox) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("r = { out(1) out(1) out(1) }")));
    morvanel::CEngine& engine = EngineOf(instance);
    const CBox* old = engine.program.boxes.FindBox("r");
    instance.Start("r");
    instance.Render(1);
    ASSERT_TRUE(Compiled(instance.Parse("r = { out(0.5) out(0.5) }")));
    instance.Start("r");  // the name still starts the old definition
    EXPECT_TRUE(SamplesMatch(instance.Render(3), Mixed({2, 1, 1})));
    EXPECT_EQ(engine.program.boxes.FindBox("r"), old);

    EXPECT_TRUE(SamplesMatch(instance.Render(1), {0.0f}));
    EXPECT_NE(engine.program.boxes.FindBox("r"), old);
    instance.Start("r");
    EXPECT_TRUE(SamplesMatch(instance.Render(3), Mixed({0.5f, 0.5f, 0})));

    // With no instance left, a redefinition takes over during its parse.
    ASSERT_TRUE(Compiled(instance.Parse("r = { out(0.25) }")));
    EXPECT_FALSE(engine.program.boxes.AnyPendingBox());
    instance.Start("r");
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({0.25f, 0})));
}

// Stopping the old box's last voice lets the waiting definition take the name before the start
// goes on, so the start plays the new definition.
TEST(Replacement, StartThatStopsTheLastOldVoicePlaysTheNewDefinition) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("m maxinst(1, 1) = { @loop out(1) }")));
    instance.Start("m");
    instance.Render(1);
    ASSERT_TRUE(Compiled(instance.Parse("m maxinst(1, 1) = { @loop out(0.5) }")));
    ASSERT_NE(EngineOf(instance).program.boxes.PendingBoxFor("m"), nullptr);
    instance.Start("m");
    EXPECT_TRUE(SamplesMatch(instance.Render(2), Mixed({0.5f, 0.5f})));
    EXPECT_FALSE(EngineOf(instance).program.boxes.AnyPendingBox());
    EXPECT_EQ(EngineOf(instance).player.voices.size(), 1u);
}

}  // namespace
