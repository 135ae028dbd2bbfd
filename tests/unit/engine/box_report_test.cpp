// The JSON box report, as ReportBoxesAsJson returns it and as it is posted after every parse.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "morvanel.h"
#include "support/test_support.h"

namespace {

using morvanel::testing::Instance;

struct ReportCase {
    const char* name;
    const char* script;
    const char* report;
};

const ReportCase kReportCases[] = {
    {"no boxes", "", "[\n]\n"},
    {"one box without parameters", "drum = { `5` }", "[\n  { \"Name\": \"drum\" }\n]\n"},
    {"two boxes with and without parameters", "drum = { `5` } bell:%a:%b = { `5` }",
     "[\n  { \"Name\": \"bell\" , \"Parameters\": [ \"a\", \"b\" ] },\n  { \"Name\": \"drum\" }\n]\n"},
    {"one parameter", "tone:%f = { sqr(%f) }", "[\n  { \"Name\": \"tone\" , \"Parameters\": [ \"f\" ] }\n]\n"},
    {"only the exported box", "c = { `5` } b* = { `5` } a = { `5` }", "[\n  { \"Name\": \"b\" }\n]\n"},
    {"none exported lists all in name order", "c = { `5` } b = { `5` } a = { `5` }",
     "[\n  { \"Name\": \"a\" },\n  { \"Name\": \"b\" },\n  { \"Name\": \"c\" }\n]\n"},
    {"nested bodies stay out", "outer = { { `5` } `5` }", "[\n  { \"Name\": \"outer\" }\n]\n"},
    // A one-character parameter names the letter NUL; it must not cut the JSON text short.
    {"one-character parameter", "lead:x = { `5` }",
     "[\n  { \"Name\": \"lead\" , \"Parameters\": [ \"\\u0000\" ] }\n]\n"},
};

TEST(BoxReport, ExactTextsOnDemandAndAfterEachParse) {
    for (const ReportCase& c : kReportCases) {
        SCOPED_TRACE(c.name);
        Instance instance;
        const int serial = ParseString(c.script, instance.id());
        instance.Render(1);
        EXPECT_NE(std::string(GetResponseString(serial, instance.id())).find("Compilation successful"),
                  std::string::npos);
        EXPECT_STREQ(GetResponseString(0, instance.id()), c.report);
        EXPECT_STREQ(ReportBoxesAsJson(instance.id()), c.report);
    }
}

// Sixteen boxes whose names add up to `totalNameLength` characters, in name order.
std::vector<std::string> LongNames(size_t totalNameLength) {
    std::vector<std::string> names;
    const size_t each = totalNameLength / 16;
    for (int i = 0; i < 16; ++i) {
        const size_t length = i < 15 ? each : totalNameLength - 15 * each;
        names.push_back(std::string(1, static_cast<char>('a' + i)) + std::string(length - 1, 'x'));
    }
    return names;
}

std::string ScriptOf(const std::vector<std::string>& names) {
    std::string script;
    for (const std::string& name : names) script += name + " = { `5` }\n";
    return script;
}

std::string ReportOf(const std::vector<std::string>& names) {
    std::string report = "[";
    for (size_t i = 0; i < names.size(); ++i) report += (i > 0 ? ",\n" : "\n") + ("  { \"Name\": \"" + names[i] + "\" }");
    return report + "\n]\n";
}

// The instance buffer holds 16384 bytes: a report must stay below 16383 characters to be
// returned; the parse's own report buffer is larger and still carries it.
TEST(BoxReport, OnDemandReportStopsShortOf16383Characters) {
    struct Case {
        size_t length;
        bool returned;
    };
    for (const Case& c : {Case{16383, false}, Case{16382, true}}) {
        SCOPED_TRACE(c.length);
        // Each entry costs 16 characters besides its name, each separator 1, the brackets 4.
        const std::vector<std::string> names = LongNames(c.length - 4 - 16 * 16 - 1 - 2 * 15);
        const std::string expected = ReportOf(names);
        ASSERT_EQ(expected.size(), c.length);
        Instance instance;
        ParseString(ScriptOf(names).c_str(), instance.id());
        instance.Render(1);
        EXPECT_EQ(std::string(GetResponseString(0, instance.id())), expected);
        EXPECT_EQ(std::string(ReportBoxesAsJson(instance.id())), c.returned ? expected : "");
    }
}

}  // namespace
