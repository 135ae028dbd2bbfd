// Every script of tests/scripts/valid and tests/scripts/errors, compiled and compared with the
// parse log written in the script itself (the convention is in tests/scripts/README.md).
#include <gtest/gtest.h>

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <sstream>
#include <string>
#include <vector>

#include "support/test_support.h"

namespace {

namespace fs = std::filesystem;

struct Script {
    std::string folder;
    fs::path path;
};

void PrintTo(const Script& script, std::ostream* out) { *out << script.path; }

std::vector<Script> Collect(const char* folder) {
    std::vector<Script> scripts;
    std::error_code error;
    for (const auto& entry : fs::directory_iterator(fs::path(MORVANEL_TEST_SCRIPTS_DIR) / folder, error)) {
        if (entry.path().extension() == ".mv") scripts.push_back({folder, entry.path()});
    }
    std::sort(scripts.begin(), scripts.end(), [](const Script& a, const Script& b) { return a.path < b.path; });
    return scripts;
}

std::vector<Script> CollectAll() {
    std::vector<Script> scripts = Collect("valid");
    for (Script& script : Collect("errors")) scripts.push_back(std::move(script));
    return scripts;
}

std::string ExpectedLog(const std::string& text) {
    static const std::string kLine = "// expect: ";
    static const std::string kUnterminated = "// expect-unterminated: ";
    std::string expected;
    std::istringstream lines(text);
    std::string line;
    while (std::getline(lines, line)) {
        if (line.rfind(kLine, 0) == 0) expected += line.substr(kLine.size()) + "\n";
        if (line.rfind(kUnterminated, 0) == 0) expected += line.substr(kUnterminated.size());
    }
    return expected;
}

bool IsSuccessLineAlone(const std::string& log) {
    return log.rfind("LINE ", 0) == 0 && log.find('\n') == log.size() - 1 &&
           log.find(": Compilation successful. Parsed ") != std::string::npos;
}

class ScriptCorpus : public ::testing::TestWithParam<Script> {};

TEST_P(ScriptCorpus, LogMatchesTheExpectationInTheScript) {
    const Script& script = GetParam();
    const std::string text = morvanel::testing::ReadFile(script.path.string());
    const std::string expected = ExpectedLog(text);
    ASSERT_FALSE(expected.empty()) << script.path << " has no expectation line";
    if (script.folder == "valid") {
        ASSERT_TRUE(IsSuccessLineAlone(expected)) << script.path << " must expect the success line alone";
    } else {
        ASSERT_FALSE(IsSuccessLineAlone(expected)) << script.path << " must expect a diagnostic";
    }
    morvanel::testing::Instance instance(48000);
    EXPECT_EQ(instance.Parse(text), expected) << script.path;
}

INSTANTIATE_TEST_SUITE_P(ScriptCorpus, ScriptCorpus, ::testing::ValuesIn(CollectAll()),
                         [](const ::testing::TestParamInfo<Script>& param) {
                             std::string name = param.param.folder + "_" + param.param.path.stem().string();
                             std::replace_if(name.begin(), name.end(), [](char c) { return !std::isalnum(static_cast<unsigned char>(c)); }, '_');
                             return name;
                         });

TEST(ScriptCorpus, BothFoldersHoldScripts) {
    EXPECT_GE(Collect("valid").size(), 5u) << MORVANEL_TEST_SCRIPTS_DIR;
    EXPECT_GE(Collect("errors").size(), 5u) << MORVANEL_TEST_SCRIPTS_DIR;
}

}  // namespace
