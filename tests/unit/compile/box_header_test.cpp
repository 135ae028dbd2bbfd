// Box headers: name, export mark, ':' parameters, maxinst and group, brackets, and the errors.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "engine/engine.h"
#include "compile/box_header.h"

namespace {

using morvanel::BOX_HEADER;
using morvanel::CEngine;

struct HeaderRead {
    BOX_HEADER header;
    const char* after = nullptr;
    morvanel::ParseContext context;
};

void ReadHeader(HeaderRead& read, CEngine& engine, const char* text) {
    read.after = morvanel::ParseBoxHeader(&engine.program.clock, text, read.context, read.header);
}

std::string Joined(const std::vector<std::string>& parts) {
    std::string joined;
    for (const std::string& part : parts) joined += (joined.empty() ? "" : ",") + part;
    return joined;
}

TEST(BoxHeader, EveryForm) {
    CEngine engine(48000);
    struct Case {
        const char* text;
        const char* name;
        const char* parameters;
        int exported;
        int maxInstances;
        int stopExcess;
        const char* group;
        const char* rest;  // what follows the header
    };
    const std::vector<Case> cases = {
        {"[lead] ", "lead", "", 0, -1, 0, "", " "},
        {"lead*:%a:%b] ", "lead", "%a,%b", 1, -1, 0, "", "] "},
        {"[lead:c4:C4:7:x] ", "lead", "#60,60,7,x", 0, -1, 0, "", " "},
        {"[lead maxinst(4)] ", "lead", "", 0, 4, 0, "", " "},
        {"[lead maxinst(4, 1)] ", "lead", "", 0, 4, 1, "", " "},
        {"[lead maxinst(4, 0)] ", "lead", "", 0, 4, 0, "", " "},
        {"[lead maxinst(2.7, 0.5)] ", "lead", "", 0, 2, 0, "", " "},
        {"[lead maxinst(\"12abc\")] ", "lead", "", 0, 12, 0, "", " "},
        {"[lead maxinst(abc)] ", "lead", "", 0, 0, 0, "", " "},
        {"[lead maxinst(~1)] ", "lead", "", 0, 48000, 0, "", " "},
        {"[lead group(drums) maxinst(2)] ", "lead", "", 0, 2, 0, "drums", " "},
        {"lead group(\"kit one\") = {", "lead", "", 0, -1, 0, "kit one", " = {"},
        {"[lead group(3)] ", "lead", "", 0, -1, 0, "_error", " "},
        {"kick*:%v maxinst(1, 1) group(drums) {", "kick", "%v", 1, 1, 1, "drums", " {"},
        {"lead\n:\n60 ", "lead", "60", 0, -1, 0, "", " "},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        HeaderRead read;
        ReadHeader(read, engine, c.text);
        ASSERT_NE(read.after, nullptr) << read.context.log;
        EXPECT_EQ(read.header.name, c.name);
        EXPECT_EQ(Joined(read.header.parameters), c.parameters);
        EXPECT_EQ(read.header.exported, c.exported);
        EXPECT_EQ(read.header.maxInstances, c.maxInstances);
        EXPECT_EQ(read.header.stopExcess, c.stopExcess);
        EXPECT_EQ(read.header.groupName, c.group);
        EXPECT_STREQ(read.after, c.rest);
        EXPECT_EQ(read.context.log, "");
    }
}

TEST(BoxHeader, Errors) {
    CEngine engine(48000);
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"[sqr] ", "LINE 1 COLUMN 2: A box name expected after '['\n"},
        {"= { ", "LINE 1 COLUMN 1: A box name expected after '['\n"},
        {"[lead {", "LINE 1 COLUMN 6: Expected ']'\n"},
        {"[lead:(] ", "LINE 1 COLUMN 7: Expected an identifier or a numeric constant after ':'\n"},
        {"lead:: ", "LINE 1 COLUMN 6: Expected an identifier or a numeric constant after ':'\n"},
        {"[lead group(a, b)] ", "LINE 1 COLUMN 14: group takes only a single parameter"},
        {"[lead maxinst()] ",
         "LINE 1 COLUMN 15: (E1) Expected a numeric constant\nLINE 1 COLUMN 15: Error parsing maxinst parameter"},
        {"[lead maxinst(4, )] ",
         "LINE 1 COLUMN 17: (E1) Expected a numeric constant\n"
         "LINE 1 COLUMN 17: Error parsing the second maxinst parameter"},
        {"[lead group()] ",
         "LINE 1 COLUMN 13: (E1) Expected a numeric constant\nLINE 1 COLUMN 13: Error parsing group parameter"},
        {"[lead maxinst 4] ", "LINE 1 COLUMN 14: Expected '('\nLINE 1 COLUMN 14: Error parsing maxinst parameter"},
    };
    for (const auto& [text, log] : cases) {
        SCOPED_TRACE(text);
        HeaderRead read;
        ReadHeader(read, engine, text);
        EXPECT_EQ(read.after, nullptr);
        EXPECT_EQ(read.context.log, log);
    }
}

// Options have no variable scope: a '%' value is refused with the option's own message alone,
// and nothing is declared anywhere.
TEST(BoxHeader, VariablesInOptionsAreRejected) {
    CEngine engine(48000);
    const std::vector<std::pair<const char*, const char*>> cases = {
        {"[lead maxinst(%a)] ", "Error parsing maxinst parameter"},
        {"[lead maxinst(~%a)] ", "Error parsing maxinst parameter"},
        {"[lead maxinst(4, %a)] ", "Error parsing the second maxinst parameter"},
        {"[lead group(%g)] ", "Error parsing group parameter"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        HeaderRead read;
        ReadHeader(read, engine, text);
        EXPECT_EQ(read.after, nullptr);
        const std::string& log = read.context.log;
        EXPECT_EQ(log.rfind("LINE 1 COLUMN ", 0), 0u) << log;
        EXPECT_EQ(log.find("LINE", 1), std::string::npos) << "one diagnostic only: " << log;
        EXPECT_EQ(log.substr(log.size() - std::string(message).size()), message) << log;
    }
    EXPECT_TRUE(engine.declarations.empty());
}

}  // namespace
