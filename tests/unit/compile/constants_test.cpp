// Constant list elements: unit prefixes folded into sample counts, variables read with their
// unit at run time, the list protocol of ',' and ')', and the saturating conversions.
#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "compile/constants.h"
#include "program/values.h"
#include "vars/variables.h"

namespace {

using morvanel::CEngine;
using morvanel::PARAM_VALUE;

std::string Describe(const PARAM_VALUE& value) {
    std::ostringstream out;
    switch (value.kind) {
        case morvanel::VK_FLOAT: out << "float " << value.number.asFloat; break;
        case morvanel::VK_INTEGER: out << "int " << value.number.asInteger; break;
        case morvanel::VK_TEXT: out << "text " << value.text; break;
        case morvanel::VK_VARIABLE: out << "var " << value.number.slot; break;
        default: out << "kind " << value.kind; break;
    }
    if (value.unit != morvanel::VU_PLAIN) out << " unit " << value.unit;
    return out.str();
}

struct Read {
    const char* after = nullptr;
    int closed = -1;
    PARAM_VALUE value = PARAM_VALUE::Float(7.0f);
    std::string written;
    morvanel::ParseContext context;
};

void ReadInto(Read& read, CEngine& engine, const char* text, morvanel::CNumericVariablesOwner* owner) {
    read.after = morvanel::ReadConstant(&engine.program.clock, owner, text, read.context, read.closed, read.value, &read.written);
}

const std::string kThirtyDigits = "123456789012345678901234567890";

TEST(Constants, EveryUnitPrefixAt48000And120Bpm) {
    CEngine engine(48000);
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"(~0.5)", "int 24000"},  {"(!1)", "int 24000"},      {"(@440)", "int 109"},     {"(#69)", "int 109"},
        {"(a4)", "int 109"},      {"(@0.05)", "int 0"},       {"(-3)", "float -3"},      {"(3)", "float 3"},
        {"(C4)", "float 60"},     {"(c4)", "int 183"},        {"(#60)", "int 183"},      {"(#C4)", "int 183"},
        {"(-c4)", "int 183"},     {"(@ 440)", "int 109"},     {"(1.5.2)", "float 1.5"},  {"(!0.5)", "int 12000"},
        {"(#0)", "int 0"},        {"(#300)", "int 0"},        {"(\"abc\")", "text abc"}, {"(lead)", "text lead"},
        // Seconds and beats multiply in single precision: a double product would give 33599 and 16799.
        {"(~0.7)", "int 33600"},  {"(!0.7)", "int 16800"},
        {"(~" + kThirtyDigits + ")", "int 9223372036854775807"},
        {"(!" + kThirtyDigits + ")", "int 9223372036854775807"},
        {"(#" + kThirtyDigits + ")", "int 0"},
        {"(@" + kThirtyDigits + ")", "int 0"},
    };
    for (const auto& [text, expected] : cases) {
        SCOPED_TRACE(text);
        Read read;
        ReadInto(read, engine, text.c_str(), &engine);
        ASSERT_NE(read.after, nullptr) << read.context.log;
        EXPECT_EQ(Describe(read.value), expected);
        EXPECT_EQ(read.closed, 1);
        EXPECT_EQ(*read.after, '\0');
        EXPECT_EQ(read.context.log, "");
    }
}

TEST(Constants, BeatLengthIsComputedInSinglePrecisionAndSaturates) {
    CEngine engine(44100);
    engine.program.clock.bpm = 140.0f;
    Read read;
    ReadInto(read, engine, "(!1)", &engine);
    EXPECT_EQ(Describe(read.value), "int 18900");
    engine.program.clock.bpm = 0.0f;
    ReadInto(read, engine, "(!1)", &engine);
    EXPECT_EQ(Describe(read.value), "int 9223372036854775807");
}

TEST(Constants, ListElementsAndClosedFlag) {
    CEngine engine(48000);
    const char* text = "(3, 4)";
    Read first;
    ReadInto(first, engine, text, &engine);
    EXPECT_EQ(Describe(first.value), "float 3");
    EXPECT_EQ(first.closed, 0);
    ASSERT_EQ(first.after, text + 2);
    Read second;
    ReadInto(second, engine, first.after, &engine);
    EXPECT_EQ(Describe(second.value), "float 4");
    EXPECT_EQ(second.closed, 1);
    EXPECT_EQ(second.after, text + 6);
    Read written;  // the written text is the prefix and the token: 'global' takes its letter from it
    ReadInto(written, engine, "(-%a)", &engine);
    EXPECT_EQ(written.written, "-%a");
}

TEST(Constants, ErrorsAreReportedAndLeaveTheValue) {
    CEngine engine(48000);
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"()", "LINE 1 COLUMN 2: (E1) Expected a numeric constant\n"},
        {"(+)", "LINE 1 COLUMN 2: (E1) Expected a numeric constant\n"},
        {"(~)", "LINE 1 COLUMN 3: (E1) Expected a numeric constant\n"},
        {"(#-5)", "LINE 1 COLUMN 3: (E1) Expected a numeric constant\n"},
        {"(3", "LINE 1 COLUMN 2: (E1) Expected a numeric constant\n"},  // a last number lexes as the end
        {"(3 4)", "LINE 1 COLUMN 3: Expected ')' or ','\n"},
        {"(3 ", "LINE 1 COLUMN 3: Expected ')' or ','\n"},
        {"3)", "LINE 1 COLUMN 1: Expected '('\n"},
        // Positions are those of the last consumed token, not of the unexpected one.
        {"\n  [3]", "LINE 1 COLUMN 1: Expected '('\n"},
    };
    for (const auto& [text, log] : cases) {
        SCOPED_TRACE(text);
        Read read;
        ReadInto(read, engine, text, &engine);
        EXPECT_EQ(read.after, nullptr);
        EXPECT_EQ(read.context.log, log);
        EXPECT_EQ(Describe(read.value), "float 7");
    }
}

TEST(Constants, VariablesKeepTheirUnitUntilRead) {
    CEngine engine(44100);
    struct Case {
        const char* text;
        char letter;
        float stored;
        int32_t unit;
        float expected;
    };
    const std::vector<Case> cases = {
        {"(-%a)", 'a', 2.5f, morvanel::VU_NEGATED, -2.5f},
        {"(~%d)", 'd', 2.0f, morvanel::VU_SECONDS, 88200.0f},
        {"(!%b)", 'b', 0.5f, morvanel::VU_BEATS, 11025.0f},
        {"(@%h)", 'h', 441.0f, morvanel::VU_HERTZ, 100.0f},
        {"(#%k)", 'k', 69.0f, morvanel::VU_NOTE, 100.0f},
        {"(#%j)", 'j', 300.0f, morvanel::VU_NOTE, 0.0f},
        {"(#%m)", 'm', -5.0f, morvanel::VU_NOTE, 0.0f},
        {"(%p)", 'p', 1.25f, morvanel::VU_PLAIN, 1.25f},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        Read read;
        ReadInto(read, engine, c.text, &engine);
        ASSERT_EQ(read.value.kind, morvanel::VK_VARIABLE);
        EXPECT_EQ(read.value.unit, c.unit);
        morvanel::BindState(engine);
        morvanel::VariableSlot* slot = morvanel::GetSlot(engine, static_cast<uint8_t>(c.letter));
        ASSERT_NE(slot, nullptr);
        EXPECT_EQ(read.value.number.slot, engine.declarations.at(static_cast<uint8_t>(c.letter)).slot);
        morvanel::WriteSlot(*slot, c.stored);
        EXPECT_FLOAT_EQ(morvanel::EvaluateValue(read.value, &engine, &engine.program.clock), c.expected);
        // Without a state no unit can be applied and nothing is read: the value is 0.
        EXPECT_EQ(morvanel::EvaluateValue(read.value, nullptr, nullptr), 0.0f);
    }
}

TEST(Constants, FoldUnitOnIntegersSaturates) {
    CEngine engine(48000);
    auto fold = [&](int64_t number, int32_t unit) {
        PARAM_VALUE value = PARAM_VALUE::Integer(number);
        value.unit = unit;
        morvanel::FoldUnit(value, engine.program.clock);
        return Describe(value);
    };
    EXPECT_EQ(fold(2, morvanel::VU_SECONDS), "int 96000");
    EXPECT_EQ(fold(1, morvanel::VU_BEATS), "int 24000");
    EXPECT_EQ(fold(440, morvanel::VU_HERTZ), "int 109");
    EXPECT_EQ(fold(69, morvanel::VU_NOTE), "int 109");
    EXPECT_EQ(fold(0x100000045LL, morvanel::VU_NOTE), "int 109");  // only the low 32 bits name the note
    EXPECT_EQ(fold(3, morvanel::VU_NEGATED), "int -3");
    EXPECT_EQ(fold(INT64_MAX, morvanel::VU_SECONDS), "int 9223372036854775807");
    EXPECT_EQ(fold(INT64_MIN, morvanel::VU_BEATS), "int -9223372036854775808");
    EXPECT_EQ(fold(7, morvanel::VU_PLAIN), "int 7");

    PARAM_VALUE text = PARAM_VALUE::Text("abc");
    text.unit = morvanel::VU_SECONDS;
    morvanel::FoldUnit(text, engine.program.clock);
    EXPECT_EQ(Describe(text), "text abc unit 2");
    EXPECT_EQ(morvanel::EvaluateValue(text, &engine, &engine.program.clock), 0.0f);
}

// Seconds times the sample rate at the edges of int64 on both sides, for rates of either sign:
// the products that fit are exact, the others stop at the limit on their side.
TEST(Constants, SecondsTimesRateSaturatesAtBothEnds) {
    struct Case {
        int32_t rate;
        int64_t seconds;
        int64_t samples;
    };
    const Case cases[] = {
        {48000, 192153584101141LL, 9223372036854768000LL},
        {48000, 192153584101142LL, INT64_MAX},
        {48000, -192153584101141LL, -9223372036854768000LL},
        {48000, -192153584101142LL, INT64_MIN},
        {-48000, 192153584101141LL, -9223372036854768000LL},
        {-48000, 192153584101142LL, INT64_MIN},
        {-48000, -192153584101141LL, 9223372036854768000LL},
        {-48000, -192153584101142LL, INT64_MAX},
        {-48000, INT64_MIN, INT64_MAX},
        {-1, INT64_MIN, INT64_MAX},
        {-1, INT64_MAX, -INT64_MAX},
        {1, INT64_MIN, INT64_MIN},
        {0, INT64_MIN, 0},
        {INT32_MIN, 4294967296LL, INT64_MIN},
        {INT32_MIN, -4294967296LL, INT64_MAX},
        {INT32_MIN, 4294967297LL, INT64_MIN},
        {INT32_MIN, 0, 0},
    };
    for (const Case& c : cases) {
        CEngine engine(c.rate);
        PARAM_VALUE value = PARAM_VALUE::Integer(c.seconds);
        value.unit = morvanel::VU_SECONDS;
        morvanel::FoldUnit(value, engine.program.clock);
        EXPECT_EQ(Describe(value), "int " + std::to_string(c.samples)) << c.seconds << " s at " << c.rate;
    }
}

}  // namespace
