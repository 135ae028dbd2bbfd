// Whole scripts through the public API: the parse log (success line, positions, first error
// ends the parse) and the effect and messages of every global command.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "morvanel.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace {

using morvanel::testing::EngineOf;

using morvanel::testing::Instance;


float EngineVariable(morvanel::CEngine& engine, char letter) {
    morvanel::VariableSlot* slot = morvanel::GetSlot(engine, static_cast<uint8_t>(letter));
    return slot != nullptr ? morvanel::ReadSlot(*slot) : -999.0f;
}

std::vector<std::string> Lines(const std::string& log) {
    std::vector<std::string> lines;
    size_t start = 0;
    while (start < log.size()) {
        const size_t end = log.find('\n', start);
        lines.push_back(log.substr(start, end == std::string::npos ? std::string::npos : end - start));
        if (end == std::string::npos) break;
        start = end + 1;
    }
    return lines;
}

TEST(Parser, EmptyScriptLogsOnlyTheSuccessLine) {
    Instance instance;
    for (const char* script : {"", "  \n\t\n  // nothing but a comment\n"}) {
        EXPECT_EQ(instance.Parse(script), "LINE 1 COLUMN 1: Compilation successful. Parsed 0 boxes and 0 commands.\n")
            << script;
    }
}

TEST(Parser, DiagnosticsLongerThan1023CharactersAreTruncatedInTheLog) {
    Instance instance;
    const std::string name(2000, 'x');
    const std::string message = "ERROR: unknown box '" + name + "' name\n";
    EXPECT_EQ(instance.Parse("midikey(60, " + name + ")"), "LINE 1 COLUMN 2014: " + message.substr(0, 1023));
}

// Script, exact log, and the rate and tempo it leaves. The first failing construct ends the parse
// and keeps what came before it.
TEST(GlobalCommands, LogsAndEffectsOnRateAndTempo) {
    const char* const kSyntax = "Syntax error. A global command or a box identifier expected.\n";
    struct Case {
        int rate;
        std::string script;
        std::string log;
        int32_t sampleRate;
        float bpm;
    };
    const std::vector<Case> cases = {
        {48000, "samplerate(48000)\nb = { out(0) }\n[c] = { out(1) }\n\n",
         "LINE 3 COLUMN 17: Compilation successful. Parsed 2 boxes and 1 commands.\n", 48000, 120.0f},
        {48000, "samplerate(~0.5)\nbpm(140)", "LINE 2 COLUMN 9: Compilation successful. Parsed 0 boxes and 2 commands.\n",
         24000, 140.0f},
        {48000, "samplerate(44100.9)", "LINE 1 COLUMN 20: Compilation successful. Parsed 0 boxes and 1 commands.\n",
         44100, 120.0f},
        {48000, "samplerate(123456789012345678901234567890)",
         "LINE 1 COLUMN 43: Compilation successful. Parsed 0 boxes and 1 commands.\n", INT32_MAX, 120.0f},
        {44100, "samplerate(48000, 2)", std::string("LINE 1 COLUMN 17: ") + kSyntax, 48000, 120.0f},
        {48000, "bpm(90) )\nbpm(60)", std::string("LINE 1 COLUMN 8: ") + kSyntax, 48000, 90.0f},
        {48000, "sqr(1)", std::string("LINE 1 COLUMN 1: ") + kSyntax, 48000, 120.0f},
        {48000, "bpm(100)\nb = { nope }\nbpm(50)", "LINE 2 COLUMN 11: Box does not exist", 48000, 100.0f},
        {48000, "bpm(%$)\nbpm(50)", "", 48000, 120.0f},  // a failed scan ends the parse with no message
        {48000, "buffer(512)\nframelength(30)",
         "LINE 1 COLUMN 12: DAC buffer cycle is not simulated.\nLINE 2 COLUMN 16: FPS cycle is not simulated.\n"
         "LINE 2 COLUMN 16: Compilation successful. Parsed 0 boxes and 2 commands.\n",
         48000, 120.0f},
        {48000, "pckey(q, lead)\nbpm(90)", "LINE 2 COLUMN 8: Compilation successful. Parsed 0 boxes and 2 commands.\n",
         48000, 90.0f},
        // Global commands evaluate without a run-time state: a variable reads 0 whatever its value.
        {48000, "global(%a, 5)\nbpm(-%a)\nsamplerate(!%a)",
         "LINE 3 COLUMN 16: Compilation successful. Parsed 0 boxes and 3 commands.\n", 0, 0.0f},
        // midikey attempts all its reads; each failing one reports.
        {48000, "midikey()",
         "LINE 1 COLUMN 9: (E1) Expected a numeric constant\nLINE 1 COLUMN 9: Expected '('\n"
         "LINE 1 COLUMN 9: Expected '('\n",
         48000, 120.0f},
    };
    for (const Case& c : cases) {
        Instance instance(c.rate);
        EXPECT_EQ(instance.Parse(c.script), c.log) << c.script;
        EXPECT_EQ(EngineOf(instance).program.clock.sampleRate, c.sampleRate) << c.script;
        EXPECT_EQ(EngineOf(instance).program.clock.bpm, c.bpm) << c.script;
    }
}

TEST(GlobalCommands, ConstantsFoldWithTheRateAndTempoInForceAtThatPoint) {
    Instance instance(48000);
    instance.Parse("b = { sqr(!1) }\nbpm(60)\nc = { sqr(!1) }\nsamplerate(44100)\nbpm(140)\nd = { sqr(!1) }");
    morvanel::CEngine& engine = EngineOf(instance);
    const std::vector<std::pair<const char*, int64_t>> expected = {{"b", 24000}, {"c", 48000}, {"d", 18900}};
    for (const auto& [name, period] : expected) {
        const morvanel::SEQUENCE_ITEM& item = engine.program.boxes.FindBox(name)->sequences[0]->items[0];
        EXPECT_EQ(item.kind, morvanel::SI_SQR) << name;
        EXPECT_EQ(item.value.kind, morvanel::VK_INTEGER) << name;
        EXPECT_EQ(item.value.number.asInteger, period) << name;
    }
}

TEST(GlobalCommands, MidikeyRangePostsOneNoticePerKey) {
    Instance instance;
    const int serial = ParseString("lead = { out(0) }\nmidikey(60, 72, lead)", instance.id());
    instance.Render(1);
    morvanel::CEngine& engine = EngineOf(instance);
    std::vector<int32_t> notices;
    bool logAfterNotices = false;
    for (int i = 0; i < engine.responses.count.load(); ++i) {
        const morvanel::Response& response = engine.responses.slots[(engine.responses.read.load() + i) % morvanel::kResponseSlots];
        if (response.type == morvanel::RESP_MIDIKEY) {
            EXPECT_STREQ(response.text, "lead");
            notices.push_back(response.value);
        } else if (response.type == morvanel::RESP_PARSE_LOG) {
            logAfterNotices = response.id == serial && notices.size() == 13;
        }
    }
    std::vector<int32_t> keys;
    for (int32_t key = 60; key <= 72; ++key) keys.push_back(key);
    EXPECT_EQ(notices, keys);
    EXPECT_TRUE(logAfterNotices);
    EXPECT_EQ(engine.midiKeys.size(), 13u);
    EXPECT_EQ(engine.midiKeys.at(66), "lead");
    EXPECT_STREQ(GetResponseString(serial, instance.id()),
                 "LINE 2 COLUMN 22: Compilation successful. Parsed 1 boxes and 1 commands.\n");
}

TEST(GlobalCommands, MidikeySingleKeysNoteNamesStringsAndOutOfRangeKeys) {
    Instance instance;
    const std::string huge = "123456789012345678901234567890";
    const std::string log = instance.Parse("lead = { out(0) }\nglobal(%a, 5)\nmidikey(62, lead)\nmidikey(C4, \"lead\")\n"
                                           "midikey(64, 64.9, lead)\nmidikey(~%a, lead)\nmidikey(" + huge + ", lead)");
    EXPECT_NE(log.find("Compilation successful"), std::string::npos) << log;
    std::vector<int32_t> keys;
    for (const auto& [key, box] : EngineOf(instance).midiKeys) {
        if (key >= 0 && key < 128) keys.push_back(key);  // the huge key is only required not to crash
    }
    EXPECT_EQ(keys, (std::vector<int32_t>{0, 60, 62, 64}));
}

TEST(GlobalCommands, GlobalDeclaresAndOptionallySets) {
    Instance instance(48000);
    instance.Parse("global(%a, 3)\nglobal(%a)\nglobal(%b)\nglobal(%c, ~0.5)");
    morvanel::CEngine& engine = EngineOf(instance);
    EXPECT_EQ(EngineVariable(engine, 'a'), 3.0f);
    EXPECT_EQ(EngineVariable(engine, 'b'), 0.0f);
    EXPECT_EQ(EngineVariable(engine, 'c'), 24000.0f);
    instance.Parse("global(%a, 4)\nglobal(%b)");
    EXPECT_EQ(EngineVariable(engine, 'a'), 4.0f);
    SetVariable("%b", 2.5f, instance.id());
    instance.Parse("global(%b)");
    EXPECT_EQ(EngineVariable(engine, 'b'), 2.5f);
}

TEST(GlobalCommands, CcvarDeclaresAVariableTheHostCanWrite) {
    Instance instance;
    EXPECT_EQ(instance.Parse("ccvar(74, f)\nccvar(75, \"g\")"),
              "LINE 2 COLUMN 15: Compilation successful. Parsed 0 boxes and 2 commands.\n");
    morvanel::CEngine& engine = EngineOf(instance);
    EXPECT_EQ(EngineVariable(engine, 'f'), 0.0f);
    EXPECT_EQ(EngineVariable(engine, 'g'), 0.0f);
    SetVariable("%f", 0.5f, instance.id());
    EXPECT_EQ(EngineVariable(engine, 'f'), 0.5f);
}

TEST(GlobalCommands, CcvarAndRunGivenNoTextReportAndTheParseGoesOn) {
    Instance instance;
    instance.Parse("lead = { @loop out(1) }");
    const std::vector<std::string> lines =
        Lines(instance.Parse("ccvar(74, 5)\nccvar(74, c4)\nrun(7)\nrun(C4)\nrun(%r)\nbpm(90)"));
    ASSERT_EQ(lines.size(), 6u);
    const char* const prefixes[] = {"LINE 1 COLUMN 13: ", "LINE 2 COLUMN 14: ", "LINE 3 COLUMN 7: ",
                                    "LINE 4 COLUMN 8: ", "LINE 5 COLUMN 8: "};
    for (int i = 0; i < 5; ++i) {
        EXPECT_EQ(lines[i].rfind(prefixes[i], 0), 0u) << lines[i];
        EXPECT_GT(lines[i].size(), std::string(prefixes[i]).size() + 10) << "a clear message: " << lines[i];
    }
    EXPECT_EQ(lines[5], "LINE 6 COLUMN 8: Compilation successful. Parsed 0 boxes and 6 commands.");
    morvanel::CEngine& engine = EngineOf(instance);
    EXPECT_EQ(engine.program.clock.bpm, 90.0f);
    EXPECT_TRUE(engine.player.voices.empty());
    EXPECT_EQ(engine.declarations.count('c'), 0u);
    EXPECT_EQ(engine.declarations.count('5'), 0u);
}

// The voice starts in the tick of the parse; a name that cannot fit a start command starts nothing.
TEST(GlobalCommands, RunStartsAVoiceInTheSameTick) {
    for (const std::string& name : {std::string("lead"), std::string(31, 'n'), std::string(32, 'n')}) {
        Instance instance;
        const std::string script = name + " = { @loop out(1) }\nrun(" + name + ")";
        const std::string log = instance.Parse(script);
        const std::string success = "LINE 2 COLUMN " + std::to_string(name.size() + 6) +
                                    ": Compilation successful. Parsed 1 boxes and 1 commands.\n";
        if (name.size() <= 31) {
            EXPECT_EQ(log, success);
        }
        EXPECT_TRUE(log.ends_with(success)) << log;  // a refused name may be reported; the parse goes on
        EXPECT_EQ(EngineOf(instance).player.voices.size(), name.size() <= 31 ? 1u : 0u) << name.size();
    }
}

}  // namespace
