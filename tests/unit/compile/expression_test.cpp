// Expressions: tree shape (precedence, associativity, prefixes), evaluation of every node kind
// against an engine state, the error messages, and trees too deep for naive recursion.
#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "compile/expression_parser.h"
#include "runtime/evaluate.h"
#include "engine/engine.h"
#include "vars/variables.h"

namespace {

using morvanel::CEngine;
using morvanel::EXPRESSION_NODE;

struct Parsed {
    std::unique_ptr<EXPRESSION_NODE> root = std::make_unique<EXPRESSION_NODE>();
    std::string text;
    const char* after = nullptr;
    morvanel::ParseContext context;
};

// Parses `text` followed by a blank (the last token of a text would otherwise lex as its end).
std::unique_ptr<Parsed> Parse(CEngine& engine, const std::string& text) {
    auto parsed = std::make_unique<Parsed>();
    parsed->text = text + " ";
    parsed->after = morvanel::ParseExpression(engine, parsed->text.c_str(), parsed->context, *parsed->root);
    return parsed;
}

float Evaluate(CEngine& engine, const std::string& text) {
    auto parsed = Parse(engine, text);
    EXPECT_NE(parsed->after, nullptr) << text << ": " << parsed->context.log;
    if (parsed->after == nullptr) return std::numeric_limits<float>::quiet_NaN();
    auto program = morvanel::CompileExpression(*parsed->root);
    EXPECT_NE(program, nullptr);
    return program ? morvanel::EvaluateExpression(*program, &engine, &engine.program.clock) : std::numeric_limits<float>::quiet_NaN();
}

std::string Dump(const EXPRESSION_NODE& node) {
    static const char* const kNames[] = {"?", "VALUE", "?", "ADD", "SUB", "MUL", "DIV", "MOD", "WRAP",
                                         "FLOOR", "?", "NEG", "SIN2PI", "SECONDS", "BEATS", "HERTZ", "NOTE"};
    std::ostringstream out;
    if (node.kind == morvanel::EN_VALUE) {
        if (node.value.kind == morvanel::VK_VARIABLE) {
            out << "%" << node.value.number.slot;
        } else {
            out << node.value.number.asFloat << (node.value.unit == morvanel::VU_NOTE ? "n" : "");
        }
        return out.str();
    }
    if (node.kind == morvanel::EN_RANDOM) return "?";
    out << (node.kind >= 0 && node.kind <= 16 ? kNames[node.kind] : "??") << "(";
    if (node.left != nullptr) out << Dump(*node.left);
    if (node.right != nullptr) out << "," << Dump(*node.right);
    out << ")";
    return out.str();
}

TEST(Expression, TreeShapeFollowsPrecedenceAndAssociativity) {
    CEngine engine(48000);
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"2 + 3 * 4", "ADD(2,MUL(3,4))"},
        {"8 / 4 \\ 3 * 2 - 1 - 2", "SUB(SUB(MUL(MOD(DIV(8,4),3),2),1),2)"},
        {"-2 * 3", "MUL(NEG(2),3)"},
        {"-(2 + 3)", "NEG(ADD(2,3))"},
        {"\\\\1 + 2", "WRAP(ADD(1,2))"},
        {"c4 + C4", "ADD(60n,60)"},
        {"#60 ~1 ", "NOTE(60)"},
        {"!0.5*@440", "MUL(BEATS(0.5),HERTZ(440))"},
        {"_? + sin2pi(%a)", "ADD(FLOOR(?),SIN2PI(%0))"},
    };
    for (const auto& [text, tree] : cases) {
        auto parsed = Parse(engine, text);
        ASSERT_NE(parsed->after, nullptr) << text << ": " << parsed->context.log;
        EXPECT_EQ(Dump(*parsed->root), tree) << text;
    }
}

TEST(Expression, ArithmeticValues) {
    CEngine engine(48000);
    const float inf = std::numeric_limits<float>::infinity();
    const std::vector<std::pair<const char*, float>> cases = {
        {"1 - 2 - 3", -4.0f},     {"2 + 3 * 4", 14.0f},       {"(2 + 3) * 4", 20.0f},   {"12 / 3 / 2", 2.0f},
        {"2 * 3 \\ 4", 2.0f},     {"-2 * 3", -6.0f},          {"7 \\ 4", 3.0f},         {"-7 \\ 4", -3.0f},
        {"7.5 \\ 2", 1.5f},       {"\\\\0.75 + 0.5", 0.25f},  {"\\\\2.5", 1.5f},        {"\\\\0.5", 0.5f},
        {"\\\\1", 1.0f},          {"_2.7", 2.0f},             {"_(0 - 2.5)", -3.0f},    {"1 / 0", inf},
        {"((((1))))", 1.0f},      {"1\t+\t1", 2.0f},
    };
    for (const auto& [text, expected] : cases) EXPECT_FLOAT_EQ(Evaluate(engine, text), expected) << text;
}

TEST(Expression, UnitOperatorsUseTheEngineOfTheState) {
    CEngine engine(48000);
    const std::vector<std::pair<const char*, float>> cases = {
        {"~1", 48000.0f}, {"~0.5 + 1", 24001.0f}, {"!1", 24000.0f}, {"!0.7", 16800.0f},   {"@440", 109.0f},
        {"@0.05", 0.0f},  {"@ 440", 109.0f},      {"#69", 109.0f},  {"#0", 0.0f},         {"#(200 + 100)", 0.0f},
        {"#(0 - 5)", 0.0f}, {"a4", 109.0f},       {"A4", 69.0f},    {"c4", 183.0f},       {"#(a4 - 40)", 109.0f},
    };
    for (const auto& [text, expected] : cases) EXPECT_FLOAT_EQ(Evaluate(engine, text), expected) << text;

    CEngine slower(44100);
    slower.program.clock.bpm = 140.0f;
    EXPECT_FLOAT_EQ(Evaluate(slower, "!1"), 18900.0f);
    EXPECT_FLOAT_EQ(Evaluate(slower, "a4"), 100.0f);

    // One compiled expression evaluated again and again, as a body does: constants with units are
    // remembered, and a new tempo or rate is seen at once.
    auto parsed = Parse(engine, "!0.5 + a4");
    ASSERT_NE(parsed->after, nullptr);
    const auto program = morvanel::CompileExpression(*parsed->root);
    ASSERT_NE(program, nullptr);
    morvanel::CLOCK clock;
    const auto evaluate = [&] { return morvanel::EvaluateExpression(*program, &engine, &clock); };
    EXPECT_FLOAT_EQ(evaluate(), 12109.0f);
    EXPECT_FLOAT_EQ(evaluate(), 12109.0f);
    clock.bpm = 60.0f;
    EXPECT_FLOAT_EQ(evaluate(), 24109.0f);
    clock.sampleRate = 44100;
    EXPECT_FLOAT_EQ(evaluate(), 22150.0f);
    EXPECT_FLOAT_EQ(morvanel::EvaluateExpression(*program, &engine, nullptr), 0.0f);
}

TEST(Expression, Sin2PiReadsTheTableModuloOneTurn) {
    CEngine engine(48000);
    const std::vector<std::pair<const char*, float>> cases = {
        {"sin2pi(0.25)", 1.0f},   {"sin2pi(1.25)", 1.0f}, {"sin2pi(-0.25)", -1.0f},       {"sin2pi(0.5)", 0.0f},
        {"sin2pi(0)", 0.0f},      {"sin2pi(0.125)", 0.70710678f}, {"2 * sin2pi(0.75) + 1", -1.0f},
        {"sin2pi(3 / 4 - 1)", -1.0f},
    };
    for (const auto& [text, expected] : cases) EXPECT_NEAR(Evaluate(engine, text), expected, 1e-6) << text;
}

TEST(Expression, RandomStaysInThousandths) {
    CEngine engine(48000);
    auto parsed = Parse(engine, "?");
    auto program = morvanel::CompileExpression(*parsed->root);
    ASSERT_NE(program, nullptr);
    for (int i = 0; i < 500; ++i) {
        const float value = morvanel::EvaluateExpression(*program, &engine, &engine.program.clock);
        ASSERT_GE(value, 0.0f);
        ASSERT_LE(value, 0.999f);
        EXPECT_NEAR(value * 1000.0f, std::round(value * 1000.0f), 1e-3);
    }
}

TEST(Expression, VariablesAreDeclaredInTheOwnerAndReadFromTheState) {
    CEngine engine(48000);
    auto parsed = Parse(engine, "%a * 2 + %b");
    ASSERT_NE(parsed->after, nullptr);
    ASSERT_EQ(engine.declarations.count('a'), 1u);
    ASSERT_EQ(engine.declarations.count('b'), 1u);
    morvanel::BindState(engine);
    morvanel::WriteSlot(*morvanel::GetSlot(engine, 'a'), 3.0f);
    morvanel::WriteSlot(*morvanel::GetSlot(engine, 'b'), 0.5f);
    auto program = morvanel::CompileExpression(*parsed->root);
    EXPECT_FLOAT_EQ(morvanel::EvaluateExpression(*program, &engine, &engine.program.clock), 6.5f);
}

TEST(Expression, LineBreakEndsACompleteExpression) {
    CEngine engine(48000);
    auto parsed = Parse(engine, "1 + 2\n)");
    ASSERT_NE(parsed->after, nullptr);
    EXPECT_STREQ(parsed->after, "\n) ");
    EXPECT_EQ(Dump(*parsed->root), "ADD(1,2)");
}

TEST(Expression, Errors) {
    CEngine engine(48000);
    const char* const kPrimary = "A variable, a numeric constant, '(', or '?' expected here.\n";
    const std::vector<std::pair<const char*, std::string>> cases = {
        {"1 +\n2", std::string("LINE 1 COLUMN 4: ") + kPrimary},
        {"- -1", std::string("LINE 1 COLUMN 2: ") + kPrimary},
        {"\"abc\"", std::string("LINE 1 COLUMN 1: ") + kPrimary},
        {"abc", std::string("LINE 1 COLUMN 1: ") + kPrimary},
        {"2 * )", std::string("LINE 1 COLUMN 4: ") + kPrimary},
        {"\n1", std::string("LINE 1 COLUMN 1: ") + kPrimary},
        {"(1 + 2", "LINE 1 COLUMN 7: Expected ')'\n"},
        {"sin2pi 0.5", "LINE 1 COLUMN 7: Expected '('\n"},
        {"sin2pi(0.5", "LINE 1 COLUMN 11: Expected ')'\n"},
        {"\\\\ \\\\1", std::string("LINE 1 COLUMN 3: ") + kPrimary},
    };
    for (const auto& [text, log] : cases) {
        auto parsed = Parse(engine, text);
        EXPECT_EQ(parsed->after, nullptr) << text;
        EXPECT_EQ(parsed->context.log, log) << text;
    }
}

TEST(Expression, HundredThousandTermsParseEvaluateAndAreDestroyed) {
    CEngine engine(48000);
    std::string text = "1";
    for (int i = 1; i < 100000; ++i) text += "+1";
    {
        auto parsed = Parse(engine, text);
        ASSERT_NE(parsed->after, nullptr);
        auto program = morvanel::CompileExpression(*parsed->root);
        ASSERT_NE(program, nullptr);
        EXPECT_FLOAT_EQ(morvanel::EvaluateExpression(*program, &engine, &engine.program.clock), 100000.0f);
    }  // the 100000-level tree is destroyed here
}

TEST(Expression, NestingBeyondTheLimitIsReportedNotCrashed) {
    CEngine engine(48000);
    auto nested = [](const std::string& open, int levels) {
        std::string text;
        for (int i = 0; i < levels; ++i) text += open;
        text += "1";
        for (int i = 0; i < levels; ++i) text += ")";
        return text;
    };
    EXPECT_FLOAT_EQ(Evaluate(engine, nested("(", 150)), 1.0f);
    EXPECT_FLOAT_EQ(Evaluate(engine, nested("1+(", 150)), 151.0f);
    for (const std::string& open : {std::string("("), std::string("sin2pi("), std::string("-(")}) {
        auto parsed = Parse(engine, nested(open, 5000));
        EXPECT_EQ(parsed->after, nullptr) << open;
        const std::string& log = parsed->context.log;
        EXPECT_EQ(log.rfind("LINE 1 COLUMN ", 0), 0u) << log;
        EXPECT_NE(log.find("nested too deeply"), std::string::npos) << log;
        EXPECT_EQ(log.find("LINE", 1), std::string::npos) << "one diagnostic only: " << log;
    }
}

}  // namespace
