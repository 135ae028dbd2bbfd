// Inputs that once crashed, hung or tripped a sanitizer in the script fuzz target, replayed through
// the target's own work: every file in the regressions folder runs, and the instance must still
// compile and play a plain script afterwards.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <string>
#include <vector>

#include "fuzz/script_input.h"
#include "morvanel.h"
#include "support/test_support.h"

namespace {

std::vector<std::filesystem::path> RegressionInputs() {
    std::vector<std::filesystem::path> inputs;
    for (const auto& entry : std::filesystem::directory_iterator(MORVANEL_FUZZ_REGRESSIONS_DIR)) {
        if (entry.is_regular_file()) inputs.push_back(entry.path());
    }
    std::sort(inputs.begin(), inputs.end());
    return inputs;
}

// What the instance does after the input: every voice stopped, then a new box that plays a
// constant 1.0 is compiled and started.
struct Probe {
    int serial = 0;
    int voice = 0;
    std::string log;
    std::vector<float> samples = std::vector<float>(256, 7.0f);
    int rendered = 0;
    int activeWhilePlaying = -1;
    int activeAfterStop = -1;
};

Probe ProbeInstance(int id) {
    Probe probe;
    StopAllVoices(id);
    probe.serial = ParseString("regressionprobe = { @loop out(1) }\n", id);
    probe.voice = StartVoice("regressionprobe", id);
    probe.rendered = GetBuffer(static_cast<int>(probe.samples.size()), probe.samples.data(), id);
    probe.log = GetResponseString(probe.serial, id);
    probe.activeWhilePlaying = MorvanelActiveVoices(id);
    StopVoice(probe.voice, id);
    float sample = 0.0f;
    GetBuffer(1, &sample, id);
    probe.activeAfterStop = MorvanelActiveVoices(id);
    return probe;
}

TEST(FuzzRegressions, EverySavedInputRunsAndTheInstanceStillAnswers) {
    const std::vector<std::filesystem::path> inputs = RegressionInputs();
    ASSERT_FALSE(inputs.empty()) << "no inputs in " << MORVANEL_FUZZ_REGRESSIONS_DIR;
    for (const std::filesystem::path& input : inputs) {
        SCOPED_TRACE(input.filename().string());
        // Named on stderr first, so a crash that kills the process still says which input did it.
        std::fprintf(stderr, "replaying %s\n", input.filename().string().c_str());
        const std::string script = morvanel::testing::ReadFile(input.string());
        const int id = NewInstance(48000);
        // What the scripts print is of no interest here and can run to megabytes.
        morvanel::testing::CaptureStdout([&] { morvanel::fuzz::RunScriptInput(script, id); });
        Probe probe;
        morvanel::testing::CaptureStdout([&] { probe = ProbeInstance(id); });
        DestroyInstance(id);
        EXPECT_NE(probe.serial, 0) << "the command ring did not take the parse";
        EXPECT_NE(probe.voice, 0) << "the command ring did not take the start";
        EXPECT_EQ(probe.rendered, 256);
        // The success line carries the position just after the closing brace.
        EXPECT_EQ(probe.log, "LINE 1 COLUMN 35: Compilation successful. Parsed 1 boxes and 0 commands.\n");
        // The mix divides by ten: the constant 1.0 comes out as 0.1 on every sample.
        size_t first = 0;
        while (first < probe.samples.size() && probe.samples[first] == 0.1f) ++first;
        EXPECT_EQ(first, probe.samples.size())
            << "sample " << first << " is " << probe.samples[std::min(first, probe.samples.size() - 1)];
        EXPECT_EQ(probe.activeWhilePlaying, 1);
        EXPECT_EQ(probe.activeAfterStop, 0);
    }
}

}  // namespace
