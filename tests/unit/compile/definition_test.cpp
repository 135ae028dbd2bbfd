// Compiled boxes inspected item by item: definitions and bodies, calls and squashing, backquoted
// waveforms, nested bodies, every sequence command, labels and conditions.
#include <gtest/gtest.h>

#include <algorithm>
#include <sstream>
#include <stdexcept>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "program/expression.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::CBox;
using morvanel::CSequence;
using morvanel::PARAM_VALUE;
using morvanel::testing::Instance;


std::string Letter(const CSequence& sequence, int32_t slot) {
    for (const auto& [letter, declaration] : sequence.declarations) {
        if (declaration.slot == slot) return std::string("%") + static_cast<char>(letter);
    }
    return "%?";
}

const char* const kUnitPrefixes[] = {"", "-", "~", "!", "@", "#"};

std::string Value(const CSequence& sequence, const PARAM_VALUE& value) {
    std::ostringstream out;
    switch (value.kind) {
        case morvanel::VK_FLOAT: out << value.number.asFloat << (value.unit == morvanel::VU_NOTE ? "n" : "f"); break;
        case morvanel::VK_INTEGER: out << value.number.asInteger; break;
        case morvanel::VK_TEXT: out << '"' << value.text << '"'; break;
        case morvanel::VK_LITERAL: out << "'" << value.number.literal << "'"; break;
        case morvanel::VK_VARIABLE: out << kUnitPrefixes[value.unit] << Letter(sequence, value.number.slot); break;
        default: out << "kind" << value.kind; break;
    }
    return out.str();
}

// The postfix program of an expression item, e.g. "1 2 +" or "60 #".
std::string Program(const CSequence& sequence, const morvanel::EXPRESSION& expression) {
    static const char* const kOps[] = {"0", "", "?", "+", "-", "*", "/", "\\", "wrap", "_", "", "neg",
                                       "sin2pi", "~", "!", "@", "#"};
    std::string text;
    for (const morvanel::EXPRESSION_OP& op : expression.ops) {
        if (!text.empty()) text += " ";
        if (op.kind != morvanel::EN_VALUE) {
            text += op.kind >= 0 && op.kind <= morvanel::EN_NOTE ? kOps[op.kind] : "??";
        } else if (op.value.kind == morvanel::VK_FLOAT) {  // constants print bare: "1 2 +", "60n"
            std::ostringstream number;
            number << op.value.number.asFloat << (op.value.unit == morvanel::VU_NOTE ? "n" : "");
            text += number.str();
        } else {
            text += Value(sequence, op.value);
        }
    }
    return text;
}

// The items of a sequence, e.g. "SI_POP %f, SI_SQR 183, SI_END".
std::string Items(const CSequence& sequence) {
    std::string text;
    for (const morvanel::SEQUENCE_ITEM& item : sequence.items) {
        if (!text.empty()) text += ", ";
        text += morvanel::ItemKindName(item.kind);
        const bool zero = item.value.kind == morvanel::VK_FLOAT && item.value.unit == morvanel::VU_PLAIN &&
                          item.value.number.asFloat == 0.0f;
        const bool valueless = item.kind == morvanel::SI_NOISE_SAMPLE || item.kind == morvanel::SI_CALL ||
                               item.kind == morvanel::SI_OWN || item.kind == morvanel::SI_PUSH ||
                               item.kind == morvanel::SI_PRINT || item.kind == morvanel::SI_END;
        if (!(zero && valueless)) text += " " + Value(sequence, item.value);
        if (item.kind == morvanel::SI_CALL) {
            std::string callee = item.callee->name;
            for (const auto& [key, nested] : sequence.nestedBoxes) {
                if (nested == item.callee) callee = "{" + std::to_string(key) + "}";
            }
            text += " " + callee;
        }
        if (item.kind == morvanel::SI_LET || item.kind == morvanel::SI_PUSH || item.kind == morvanel::SI_PRINT) {
            text += " [" + Program(sequence, *item.expression) + "]";
        }
    }
    return text;
}

const CSequence& FirstSequence(const Instance& instance, const char* name) {
    const CBox* box = EngineOf(instance).program.boxes.FindBox(name);
    if (box == nullptr || box->sequences.empty()) throw std::runtime_error(std::string("no sequence in box ") + name);
    return *box->sequences[0];
}

bool Compiled(const std::string& log) {
    return log.rfind("LINE ", 0) == 0 && log.find('\n') == log.size() - 1 &&
           log.find("Compilation successful.") != std::string::npos;
}

TEST(Definition, WorkedExampleBeep) {
    Instance instance(48000);
    ASSERT_TRUE(Compiled(instance.Parse("beep:%f maxinst(2) = dur(~0.5) { @loop sqr(#60) }")));
    morvanel::CEngine& engine = EngineOf(instance);
    const CBox& beep = *engine.program.boxes.FindBox("beep");
    EXPECT_EQ(std::string(beep.paramLetters.begin(), beep.paramLetters.end()), "f");
    EXPECT_EQ(beep.maxInstances, 2);
    EXPECT_FALSE(beep.stopExcess);
    EXPECT_EQ(engine.program.groups.namesById.at(beep.groupId), "_default_");
    ASSERT_EQ(beep.sequences.size(), 1u);
    const CSequence& sequence = *beep.sequences[0];
    EXPECT_EQ(Items(sequence), "SI_POP %f, SI_SQR 183, SI_END");
    EXPECT_EQ(Value(sequence, sequence.duration), "24000");
    EXPECT_EQ(Value(sequence, sequence.condition), "1f");
    EXPECT_TRUE(sequence.looping);
    EXPECT_EQ(sequence.loopIndex, 1);
    EXPECT_EQ(sequence.releaseIndex, 2);
    EXPECT_EQ(sequence.loopStart, &sequence.items[1]);
    EXPECT_EQ(sequence.releaseStart, &sequence.items[2]);
}

TEST(Definition, ParametersArePoppedInReverseAtTheHeadOfTheFirstBodyOnly) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("b:%a:%b = { out(0) } { out(%a) }")));
    const CBox& box = *EngineOf(instance).program.boxes.FindBox("b");
    ASSERT_EQ(box.sequences.size(), 2u);
    EXPECT_LT(box.sequences[0]->serial, box.sequences[1]->serial);
    EXPECT_EQ(Items(*box.sequences[0]), "SI_POP %b, SI_POP %a, SI_OUT 0f, SI_END");
    EXPECT_EQ(Items(*box.sequences[1]), "SI_OUT %a, SI_END");
}

TEST(Definition, CallsPushTheirArgumentsThenCall) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("tone:%x = { out(0) }\nb = { tone:1:2 tone:abc tone:%q [tone:c4:C4] }")));
    EXPECT_EQ(Items(FirstSequence(instance, "b")),
              "SI_PUSH [1], SI_PUSH [2], SI_CALL tone, SI_CALL tone, SI_PUSH [%q], SI_CALL tone, "
              "SI_PUSH [60 #], SI_PUSH [60], SI_CALL tone, SI_END");
}

TEST(Definition, ParameterSquashing) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"tone:1:2 5 6",
         "SI_PUSH [1], SI_PUSH [2], SI_CALL tone, SI_PUSH [1], SI_PUSH [5], SI_CALL tone, SI_PUSH [1], SI_PUSH [6], "
         "SI_CALL tone, SI_END"},
        {"tone:a:b 5 6", "SI_CALL tone, SI_PUSH [5], SI_CALL tone, SI_PUSH [6], SI_CALL tone, SI_END"},
        {"tone:1:2 5:7", "SI_PUSH [1], SI_PUSH [2], SI_CALL tone, SI_PUSH [5], SI_PUSH [7], SI_CALL tone, SI_END"},
        {"tone:1:2:3 5:7",
         "SI_PUSH [1], SI_PUSH [2], SI_PUSH [3], SI_CALL tone, SI_PUSH [1], SI_PUSH [5], SI_PUSH [7], SI_CALL tone, "
         "SI_END"},
        {"tone:1:2 c4 out(0)",
         "SI_PUSH [1], SI_PUSH [2], SI_CALL tone, SI_PUSH [1], SI_PUSH [60 #], SI_CALL tone, SI_OUT 0f, SI_END"},
        {"tone:1:2 5: out(0)", "SI_PUSH [1], SI_PUSH [2], SI_CALL tone, SI_OUT 0f, SI_END"},
        {"tone:1:2 5 out(0) 6",
         "SI_PUSH [1], SI_PUSH [2], SI_CALL tone, SI_PUSH [1], SI_PUSH [5], SI_CALL tone, SI_OUT 0f, SI_PUSH [1], "
         "SI_PUSH [6], SI_CALL tone, SI_END"},
    };
    for (const auto& [body, items] : cases) {
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(std::string("tone = { out(0) }\nb = { ") + body + " }"))) << body;
        EXPECT_EQ(Items(FirstSequence(instance, "b")), items) << body;
    }
}

TEST(Definition, BackquotedLevelsNoiseAndOneLetterCalls) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("x = { out(0) }\nb = { `_0-59?` }\nc = { `1 2\n3 4x.q` ? }")));
    EXPECT_EQ(Items(FirstSequence(instance, "b")),
              "SI_SAMPLE -1f, SI_SAMPLE 0f, SI_SAMPLE 1f, SI_SAMPLE 0f, SI_SAMPLE 1f, SI_NOISE_SAMPLE, SI_END");
    EXPECT_EQ(Items(FirstSequence(instance, "c")),
              "SI_SAMPLE -1f, SI_SAMPLE -0.75f, SI_SAMPLE -0.5f, SI_SAMPLE -0.25f, SI_CALL x, SI_NOISE_SAMPLE, SI_END");
}

TEST(Definition, EqualsFollowedByNoBodyLeavesABoxWithoutSequences) {
    Instance instance;
    EXPECT_EQ(instance.Parse("b = c = { out(0) }"),
              "LINE 1 COLUMN 19: Compilation successful. Parsed 2 boxes and 0 commands.\n");
    EXPECT_TRUE(EngineOf(instance).program.boxes.FindBox("b")->sequences.empty());
    EXPECT_EQ(EngineOf(instance).program.boxes.FindBox("c")->sequences.size(), 1u);
}

TEST(Definition, Failures) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"b = dur(5) out", "LINE 1 COLUMN 11: Expected '{'\n"},
        {"b = { ) }", "LINE 1 COLUMN 6: Unexpected token\n"},
        {"b = { \"s\" }", "LINE 1 COLUMN 6: Unexpected token\n"},
        {"b = { out(0) ", "LINE 1 COLUMN 13: Unexpected token\n"},
        {"b = { `12 }", "LINE 1 COLUMN 10: Unexpected token\n"},
        {"b = dur(1) { } dur(2) { }", "LINE 1 COLUMN 15: Syntax error. A global command or a box identifier expected.\n"},
        {"b = { 5 }", "LINE 1 COLUMN 6: There's no param to squash.\n"},
        {"tone = { out(0) }\nb = { tone 5 }", "LINE 2 COLUMN 11: There's no param to squash.\n"},
        // A colon right after a call belongs to the call's header.
        {"tone = { out(0) }\nb = { tone:1:2 :: }",
         "LINE 2 COLUMN 17: Expected an identifier or a numeric constant after ':'\n"},
    };
    for (const auto& [script, log] : cases) {
        Instance instance;
        EXPECT_EQ(instance.Parse(script), log) << script;
    }
}

TEST(Definition, NestedBodiesCallFreshAnonymousBoxes) {
    Instance instance(48000);
    ASSERT_TRUE(Compiled(instance.Parse("b:%a = { { out(%a) } dur(~1) { out(2) } }")));
    morvanel::CEngine& engine = EngineOf(instance);
    const CSequence& outer = FirstSequence(instance, "b");
    EXPECT_EQ(Items(outer), "SI_POP %a, SI_CALL {0}, SI_CALL {1}, SI_END");
    EXPECT_EQ(Value(outer, outer.duration), "-1");
    ASSERT_EQ(outer.nestedBoxes.size(), 2u);
    for (const auto& [key, nested] : outer.nestedBoxes) {
        EXPECT_TRUE(nested->name.empty());
        EXPECT_EQ(nested->parentSequence, &outer);
        EXPECT_NE(std::find(engine.program.boxes.Anonymous().begin(), engine.program.boxes.Anonymous().end(), nested),
                  engine.program.boxes.Anonymous().end());
        ASSERT_EQ(nested->sequences.size(), 1u);
    }
    EXPECT_EQ(Items(*outer.nestedBoxes.at(0)->sequences[0]), "SI_OUT %a, SI_END");
    const CSequence& second = *outer.nestedBoxes.at(1)->sequences[0];
    EXPECT_EQ(Items(second), "SI_OUT 2f, SI_END");
    EXPECT_EQ(Value(second, second.duration), "48000");
    EXPECT_EQ(engine.program.boxes.Named().size(), 1u);
}

TEST(Definition, BodiesNestedBeyondTheLimitAreReportedNotCrashed) {
    auto nested = [](int levels) { return "b = " + std::string(levels, '{') + std::string(levels, '}'); };
    Instance instance;
    EXPECT_TRUE(Compiled(instance.Parse(nested(100))));
    const std::string log = instance.Parse(nested(5000));
    EXPECT_EQ(log.rfind("LINE 1 COLUMN ", 0), 0u) << log;
    EXPECT_NE(log.find("nested too deeply"), std::string::npos) << log;
    EXPECT_EQ(log.find("LINE", 1), std::string::npos) << "one diagnostic only: " << log;
}

// While the old box plays, a redefinition waits; one that fails (before "=" or in a body) must
// never take over the name.
TEST(Definition, FailedRedefinitionOfAPlayingBoxIsWithdrawn) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("a = { @loop out(0.5) }")));
    instance.Start("a");
    instance.Render(2);
    morvanel::CEngine& engine = EngineOf(instance);
    CBox* old = engine.program.boxes.FindBox("a");
    ASSERT_FALSE(old->instances.empty());
    EXPECT_EQ(instance.Parse("a:%x { out(1) }"), "LINE 1 COLUMN 5: Expected '='\n");
    EXPECT_FALSE(engine.program.boxes.AnyPendingBox());
    EXPECT_EQ(instance.Parse("a = { out(1) nope }"), "LINE 1 COLUMN 18: Box does not exist");
    EXPECT_FALSE(engine.program.boxes.AnyPendingBox());
    EXPECT_EQ(engine.program.boxes.FindBox("a"), old);
    ASSERT_TRUE(Compiled(instance.Parse("a = { out(1) }")));
    EXPECT_NE(engine.program.boxes.PendingBoxFor("a"), nullptr);
    EXPECT_EQ(engine.program.boxes.FindBox("a"), old);
}

TEST(Definition, FailedRedefinitionOfAnIdleBoxKeepsItsFinishedPart) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("a = { out(0.5) }")));
    instance.Parse("a = { out(1) nope }");
    EXPECT_EQ(Items(FirstSequence(instance, "a")), "SI_OUT 1f, SI_END");
}

TEST(Commands, EveryCommandCompilesToItsItem) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"fadeout(100)", "SI_FADEOUT 100f"},  {"fadein(~0.5)", "SI_FADEIN 24000"}, {"vol(0.5)", "SI_VOL 0.5f"},
        {"vol(abc)", "SI_VOL \"abc\""},       {"own", "SI_OWN"},                   {"sqr(@440)", "SI_SQR 109"},
        {"sqr(@%f)", "SI_SQR @%f"},           {"saw(#69)", "SI_SAW 109"},          {"noise5(c4)", "SI_NOISE5 183"},
        {"noise17e(!1)", "SI_NOISE17E 24000"}, {"out(-1)", "SI_OUT -1f"},          {"pop(%a)", "SI_POP %a"},
        {"pop(-%a)", "SI_POP %a"},            {"spawn", "SI_SPAWN '[spawn]'"},     {"?", "SI_NOISE_SAMPLE"},
        {"print(1 + 2)", "SI_PRINT [1 2 +]"}, {"print(1 + 2\n)", "SI_PRINT [1 2 +]"},
        {"push(%a * 2)", "SI_PUSH [%a 2 *]"}, {"%x = 3", "SI_LET %x [3]"},        {"%x = c4 * 2", "SI_LET %x [60n 2 *]"},
    };
    for (const auto& [body, item] : cases) {
        Instance instance(48000);
        ASSERT_TRUE(Compiled(instance.Parse(std::string("b = { ") + body + " }"))) << body;
        EXPECT_EQ(Items(FirstSequence(instance, "b")), std::string(item) + ", SI_END") << body;
    }
}

TEST(Commands, LetIsIgnoredWithAWarningAndTheAssignmentCompiles) {
    Instance instance;
    EXPECT_EQ(instance.Parse("b = { let %x = 3 }"),
              "LINE 1 COLUMN 10: WARNING: Unknown command let ignored\n"
              "LINE 1 COLUMN 19: Compilation successful. Parsed 1 boxes and 0 commands.\n");
    EXPECT_EQ(Items(FirstSequence(instance, "b")), "SI_LET %x [3], SI_END");
}

TEST(Commands, Failures) {
    const char* const kPrimary = "A variable, a numeric constant, '(', or '?' expected here.\n";
    struct Case {
        const char* body;
        std::string log;
        const char* items;  // what the failed body keeps
    };
    const std::vector<Case> cases = {
        {"fadeout(100, 2)", "LINE 1 COLUMN 18: fadeout expects only a single parameter\n", "SI_END"},
        {"vol(1, 2)", "LINE 1 COLUMN 12: Unexpected token\n", "SI_VOL 1f, SI_END"},
        {"pop(5)", "LINE 1 COLUMN 13: Variable name expected\n", "SI_END"},
        {"print 1", "LINE 1 COLUMN 12: Expected '('", "SI_END"},
        {"print(1 + 2", "LINE 1 COLUMN 18: Expected ')'", "SI_END"},
        {"push(+)", std::string("LINE 1 COLUMN 12: ") + kPrimary, "SI_END"},
        {"%x 3", "LINE 1 COLUMN 9: Expected '='", "SI_END"},
        {"%x = +", std::string("LINE 1 COLUMN 11: ") + kPrimary + "LINE 1 COLUMN 11: Couldn't parse the expression",
         "SI_END"},
        {"own(1)", "LINE 1 COLUMN 10: Unexpected token\n", "SI_OWN, SI_END"},
        {"spawn(1)", "LINE 1 COLUMN 12: Unexpected token\n", "SI_SPAWN '[spawn]', SI_END"},
        {"sqr 5", "LINE 1 COLUMN 10: Expected '('\n", "SI_END"},
        {"sqr()", "LINE 1 COLUMN 11: (E1) Expected a numeric constant\n", "SI_END"},
        {"saw(1 2)", "LINE 1 COLUMN 12: Expected ')' or ','\n", "SI_END"},
    };
    for (const Case& c : cases) {
        Instance instance;
        EXPECT_EQ(instance.Parse(std::string("b = { ") + c.body + " }"), c.log) << c.body;
        EXPECT_EQ(Items(FirstSequence(instance, "b")), c.items) << c.body;
    }
}

TEST(Commands, AssignmentDeclaresItsLetterBeforeTestingTheEquals) {
    Instance instance;
    instance.Parse("b = { %x 3 }");
    EXPECT_EQ(FirstSequence(instance, "b").declarations.count('x'), 1u);
}

TEST(Labels, ConditionsSetDurationAndCondition) {
    struct Case {
        const char* conditions;
        const char* duration;
        const char* condition;
        bool isWhile;
    };
    const std::vector<Case> cases = {
        {"dur(~2) if(%a)", "96000", "%a", false},
        {"while(1) if(0)", "-1", "0f", false},
        {"if(1) while(@%w) dur(5) dur(!1)", "24000", "@%w", true},
        {"while(\"x\")", "-1", "\"x\"", true},
    };
    for (const Case& c : cases) {
        Instance instance(48000);
        ASSERT_TRUE(Compiled(instance.Parse(std::string("b = ") + c.conditions + " { out(0) }"))) << c.conditions;
        const CSequence& sequence = FirstSequence(instance, "b");
        EXPECT_EQ(Value(sequence, sequence.duration), c.duration) << c.conditions;
        EXPECT_EQ(Value(sequence, sequence.condition), c.condition) << c.conditions;
        EXPECT_EQ(sequence.conditionIsWhile, c.isWhile) << c.conditions;
        EXPECT_EQ(Items(sequence), "SI_OUT 0f, SI_END");
    }
}

TEST(Labels, ConditionFailures) {
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"b = dur(1, 2) { }", "LINE 1 COLUMN 10: dur expects only a single parameter\n"},
        {"b = while(1, 2) { }", "LINE 1 COLUMN 12: 'while' expects only a single parameter\n"},
        {"b = if(1, 2) { }", "LINE 1 COLUMN 9: 'if' expects only a single parameter\n"},
        {"b = dur() { }", "LINE 1 COLUMN 9: (E1) Expected a numeric constant\n"},
    };
    for (const auto& [script, log] : cases) {
        Instance instance;
        EXPECT_EQ(instance.Parse(script), log) << script;
    }
}

// A label marks the item appended after it (the body's end when none follows); the body's end
// fixes both points, into its own items.
TEST(Labels, LabelsMarkTheNextAppendedItem) {
    struct Case {
        const char* definition;
        bool looping;
        int loopIndex;
        int releaseIndex;
    };
    const std::vector<Case> cases = {
        {"b = { @loop out(1) out(2) }", true, 0, 2},
        {"b:%p = { @loop out(1) out(2) }", true, 1, 3},
        {"b = { out(1) out(2) @release out(3) }", false, 0, 2},
        {"b = { out(0) @loop @release out(1) }", true, 1, 1},
        {"b = { out(0) @release @release out(1) out(2) }", false, 0, 1},
        {"b = { out(0) @release }", false, 0, 1},
        {"b = { out(0) @loop }", true, 0, 1},
        {"b = { out(0) @loop { out(1) } }", true, 1, 2},
        {"b = { out(0) @loop tone:5 }", true, 1, 3},
        {"b = { out(0) @loop @loop out(1) out(2) }", true, 1, 3},
        {"b = { out(0) out(1) @release }", false, 0, 2},
        {"b = { out(0) out(1) @loop }", true, 0, 2},
        {"b = { @release @loop out(0) out(1) }", true, 0, 0},
    };
    for (const Case& c : cases) {
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(std::string("tone = { out(0) }\n") + c.definition))) << c.definition;
        const CSequence& sequence = FirstSequence(instance, "b");
        EXPECT_EQ(sequence.looping, c.looping) << c.definition;
        EXPECT_EQ(sequence.loopIndex, c.loopIndex) << c.definition;
        EXPECT_EQ(sequence.releaseIndex, c.releaseIndex) << c.definition;
        EXPECT_EQ(sequence.loopStart, &sequence.items[c.loopIndex]) << c.definition;
        EXPECT_EQ(sequence.releaseStart, &sequence.items[c.releaseIndex]) << c.definition;
        EXPECT_EQ(sequence.items.back().kind, morvanel::SI_END) << c.definition;
    }
}

}  // namespace
