// Variable scopes and states: resolution up the owner chain, binding, the slot cap, the host's
// SetVariable, and the saturating float-to-integer conversions.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "engine/rings.h"
#include "engine/engine.h"
#include "morvanel.h"
#include "runtime/voice.h"
#include "support/test_support.h"
#include "vars/numeric_cast.h"
#include "vars/variables.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::CEngine;
using morvanel::VariableDeclaration;
using morvanel::testing::Instance;


float EngineValue(CEngine& engine, char letter) {
    const morvanel::VariableSlot* slot = morvanel::GetSlot(engine, static_cast<uint8_t>(letter));
    return slot != nullptr ? morvanel::ReadSlot(*slot) : NAN;
}

void ExpectDeclaration(const VariableDeclaration& actual, const VariableDeclaration& expected) {
    EXPECT_EQ(actual.scopeKind, expected.scopeKind);
    EXPECT_EQ(actual.levels, expected.levels);
    EXPECT_EQ(actual.targetSlot, expected.targetSlot);
    EXPECT_EQ(actual.slot, expected.slot);
}

// A scope with no enclosing state at all, to bind references that lead nowhere.
class LoneOwner final : public morvanel::CNumericVariablesOwner {
public:
    LoneOwner() : CNumericVariablesOwner(morvanel::SCOPE_SEQUENCE) {}
    CNumericVariablesOwner* GetParentOwner() const override { return nullptr; }
    std::string GetName() const override { return "lone"; }
};

class LoneState final : public morvanel::CNumericVariablesState {
public:
    explicit LoneState(LoneOwner* owner) : CNumericVariablesState(owner) {}
    CNumericVariablesState* GetScopeState(int32_t, int32_t) override { return nullptr; }
    std::string GetName() const override { return "lone_I"; }
};

// Every voice of a box that uses a global letter reads and writes the engine's own value.
TEST(Variables, BoxUsingAGlobalLetterSharesTheEngineValue) {
    Instance instance;
    instance.Parse("global(%z, 9) global(%a, 3) count = { @loop %a = %a + 1 `5` }");
    CEngine& engine = EngineOf(instance.id());
    const int globalSlot = morvanel::FindOwnVariable(engine, 'a');
    ASSERT_EQ(globalSlot, 1);

    morvanel::CBox& box = *engine.program.boxes.FindBox("count");
    const int nextBoxSlot = static_cast<int>(box.declarations.size());
    ExpectDeclaration(*morvanel::DeclareVariable(box, 'a'), {morvanel::SCOPE_ENGINE, 2, globalSlot, nextBoxSlot});
    ExpectDeclaration(box.sequences[0]->declarations.at('a'), {morvanel::SCOPE_ENGINE, 3, globalSlot, 0});

    instance.Start("count");
    instance.Start("count");
    instance.Render(5);
    EXPECT_EQ(EngineValue(engine, 'a'), 3.0f + 2 * 5);
}

TEST(Variables, SequenceReadingNReachesTheVoiceNote) {
    Instance instance;
    instance.Parse("pitch = { @loop out(%n) }");
    CEngine& engine = EngineOf(instance.id());
    const morvanel::CSequence& sequence = *engine.program.boxes.FindBox("pitch")->sequences[0];
    ExpectDeclaration(sequence.declarations.at('n'), {morvanel::SCOPE_VOICE, 2, 1, 0});

    engine.commands.Post(morvanel::CMD_START_VOICE, "pitch", 0, 64, 0.5f);
    EXPECT_FLOAT_EQ(instance.Render(1)[0], 6.4f);
}

// Resolution happens once: a letter a body used before any global declared it stays its own.
TEST(Variables, LetterUsedBeforeItsGlobalKeepsItsOwnSlot) {
    Instance instance;
    instance.Parse("early = { @loop %a = 7 out(%a) }");
    instance.Parse("global(%a, 3)");
    CEngine& engine = EngineOf(instance.id());
    const morvanel::CSequence& sequence = *engine.program.boxes.FindBox("early")->sequences[0];
    EXPECT_EQ(sequence.declarations.at('a').scopeKind, 0);

    instance.Start("early");
    EXPECT_FLOAT_EQ(instance.Render(1)[0], 0.7f);
    EXPECT_EQ(EngineValue(engine, 'a'), 3.0f);
}

TEST(Variables, BindingAgainKeepsValuesAndFreshOwnSlotsReadZero) {
    CEngine engine(48000);
    morvanel::DeclareVariable(engine, 'a');
    morvanel::BindState(engine);
    morvanel::WriteSlot(*morvanel::GetSlot(engine, 'a'), 5.0f);
    const VariableDeclaration* late = morvanel::DeclareVariable(engine, 'b');
    ASSERT_NE(late, nullptr);
    EXPECT_EQ(late->slot, 1);
    morvanel::BindState(engine);
    EXPECT_EQ(EngineValue(engine, 'a'), 5.0f);
    EXPECT_EQ(engine.slots[1].bound, 1);
    EXPECT_EQ(engine.slots[1].holdsValue, 1);
    EXPECT_EQ(EngineValue(engine, 'b'), 0.0f);
    EXPECT_EQ(morvanel::GetSlot(engine, 'c'), nullptr);
}

TEST(Variables, AnOwnerTakesAtMost128Declarations) {
    CEngine engine(48000);
    for (int letter = 0; letter < morvanel::kMaxVariableSlots; ++letter) {
        const VariableDeclaration* declaration = morvanel::DeclareVariable(engine, static_cast<uint8_t>(letter));
        ASSERT_NE(declaration, nullptr);
        ASSERT_EQ(declaration->slot, letter);
    }
    EXPECT_EQ(morvanel::DeclareVariable(engine, 200), nullptr);
    EXPECT_EQ(engine.declarations.size(), 128u);
    // Letters already declared are still answered.
    EXPECT_NE(morvanel::DeclareVariable(engine, 5), nullptr);
}

TEST(Variables, ReferenceWithoutAnEnclosingStateBindsAsOwnZero) {
    LoneOwner owner;
    morvanel::AddDeclaration(owner, 'x', VariableDeclaration{morvanel::SCOPE_BOX, 1, 3, 0});
    LoneState state(&owner);
    morvanel::BindState(state);
    EXPECT_EQ(state.slots[0].bound, 1);
    EXPECT_EQ(state.slots[0].holdsValue, 1);
    EXPECT_EQ(morvanel::ReadSlot(state.slots[0]), 0.0f);
    morvanel::WriteSlot(state.slots[0], 2.5f);
    EXPECT_EQ(morvanel::ReadSlot(state.slots[0]), 2.5f);
}

// The host names a variable as a script writes it: any first character, the letter second.
TEST(Variables, SetVariableNameRules) {
    struct Case {
        const char* name;
        float expectedQ;
    };
    const Case cases[] = {{"%q", 5.0f}, {"$q", 5.0f}, {"%qq", 5.0f}, {"q", 1.0f}, {"", 1.0f}, {"%z", 1.0f}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        Instance instance;
        // A global written with one character declares the letter NUL: a one-character host
        // name, whose second character is its terminator, must still not reach it.
        instance.Parse("global(%q, 1) global(x, 1) only = { %z = 2 `5` }");
        SetVariable(c.name, 5.0f, instance.id());
        CEngine& engine = EngineOf(instance.id());
        EXPECT_EQ(EngineValue(engine, 'q'), c.expectedQ);
        EXPECT_EQ(EngineValue(engine, '\0'), 1.0f);
        EXPECT_EQ(morvanel::FindOwnVariable(engine, 'z'), -1);
        EXPECT_EQ(engine.declarations.size(), 2u);
    }
}

TEST(Variables, FloatToIntegerConversionsSaturate) {
    constexpr double kInf = std::numeric_limits<double>::infinity();
    constexpr int64_t kMax64 = std::numeric_limits<int64_t>::max();
    constexpr int64_t kMin64 = std::numeric_limits<int64_t>::min();
    constexpr int32_t kMax32 = std::numeric_limits<int32_t>::max();
    constexpr int32_t kMin32 = std::numeric_limits<int32_t>::min();
    struct Case {
        double input;
        int64_t as64;
        int32_t as32;
    };
    const Case cases[] = {{NAN, 0, 0},           {kInf, kMax64, kMax32},  {-kInf, kMin64, kMin32},
                          {1e30, kMax64, kMax32}, {9.3e18, kMax64, kMax32}, {-1e30, kMin64, kMin32},
                          {3.9, 3, 3},            {-3.9, -3, -3},          {2147483648.0, 2147483648, kMax32},
                          {-2147483648.0, -2147483648, kMin32}};
    for (const Case& c : cases) {
        EXPECT_EQ(morvanel::ToInt64(c.input), c.as64) << c.input;
        EXPECT_EQ(morvanel::ToInt32(c.input), c.as32) << c.input;
    }
    EXPECT_EQ(morvanel::SaturatingTruncate<int64_t>(std::numeric_limits<float>::quiet_NaN()), 0);
    EXPECT_EQ(morvanel::SaturatingTruncate<int32_t>(3e9f), kMax32);
    EXPECT_EQ(morvanel::SaturatingTruncate<int64_t>(-1e19f), kMin64);

    // The hot paths' conversions agree with the general one everywhere: at and around every range
    // end and over a spread of bit patterns, for floats and doubles.
    std::vector<double> inputs = {NAN, kInf, -kInf, 0.0, -0.0, 9223372036854775807.0, 9223372036854775808.0,
                                  -9223372036854775808.0, 2147483647.5, 2147483648.0, -2147483648.5};
    std::mt19937_64 random(5);
    for (int i = 0; i < 20000; ++i) {
        const uint64_t bits = random();
        double value;
        std::memcpy(&value, &bits, sizeof value);
        inputs.push_back(value);
        inputs.push_back(std::ldexp(static_cast<double>(bits % 2000000) - 1000000.0, static_cast<int>(bits % 70)));
    }
    for (const double input : inputs) {
        const float narrow = static_cast<float>(input);
        ASSERT_EQ(morvanel::ToInt64(input), morvanel::SaturatingTruncate<int64_t>(input)) << input;
        ASSERT_EQ(morvanel::ToInt32(input), morvanel::SaturatingTruncate<int32_t>(input)) << input;
        ASSERT_EQ(morvanel::ToInt64(narrow), morvanel::SaturatingTruncate<int64_t>(narrow)) << narrow;
        ASSERT_EQ(morvanel::ToInt32(narrow), morvanel::SaturatingTruncate<int32_t>(narrow)) << narrow;
    }
}

}  // namespace
