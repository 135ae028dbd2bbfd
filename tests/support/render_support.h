// Shared by the runtime tests: compiling a script and checking its log, comparing renders sample
// by sample, and reaching the engine behind an instance for the few facts no render shows.
#pragma once

#include <gtest/gtest.h>

#include <cmath>
#include <cstddef>
#include <string>
#include <vector>

#include "program/model.h"
#include "runtime/instance_data.h"
#include "support/engine_access.h"

namespace morvanel::testing {

// The mix divides the sum of the voices by 10.0 in single precision; expectations are written as
// voice sums and go through the same division.
inline std::vector<float> Mixed(const std::vector<float>& voiceSums) {
    std::vector<float> mixed;
    mixed.reserve(voiceSums.size());
    for (const float sum : voiceSums) mixed.push_back(sum / 10.0f);
    return mixed;
}

// Exact unless `tolerance` is given; reports the first differing sample with both values.
inline ::testing::AssertionResult SamplesMatch(const std::vector<float>& actual,
                                               const std::vector<float>& expected, float tolerance = 0.0f) {
    if (actual.size() != expected.size()) {
        return ::testing::AssertionFailure()
               << "rendered " << actual.size() << " samples, expected " << expected.size();
    }
    for (size_t i = 0; i < actual.size(); ++i) {
        const bool same = tolerance == 0.0f ? actual[i] == expected[i]
                                            : std::fabs(actual[i] - expected[i]) <= tolerance;
        if (!same) {
            return ::testing::AssertionFailure() << "first difference at sample " << i << ": rendered "
                                                 << ::testing::PrintToString(actual[i]) << ", expected "
                                                 << ::testing::PrintToString(expected[i]);
        }
    }
    return ::testing::AssertionSuccess();
}

// The log of a parse that compiled everything ends with the success line.
inline ::testing::AssertionResult Compiled(const std::string& log) {
    const std::string success = "Compilation successful. Parsed ";
    const size_t at = log.rfind(success);
    const size_t lastLine = log.rfind('\n', log.size() >= 2 ? log.size() - 2 : 0);
    const bool endsWithIt = at != std::string::npos && log.size() >= 11 &&
                            log.compare(log.size() - 11, 11, " commands.\n") == 0 &&
                            (lastLine == std::string::npos || lastLine < at);
    if (endsWithIt) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << "parse log does not end with the success line:\n" << log;
}

// The oldest live instance of `box`, or null.
inline const BOX_INSTANCE_DATA* OldestInstance(const CBox& box) {
    return static_cast<const BOX_INSTANCE_DATA*>(box.instances.oldest);
}

inline size_t VoiceCount(const Instance& instance) { return EngineOf(instance).player.voices.size(); }

// Compiles `script`, starts `start` and renders `count` samples, all in a fresh instance.
struct RenderCase {
    const char* name;
    const char* script;
    const char* start;
    std::vector<float> voiceSums;  // the expected samples before the mix's division
};

inline void ExpectRender(const RenderCase& test) {
    SCOPED_TRACE(test.name);
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse(test.script)));
    instance.Start(test.start);
    EXPECT_TRUE(SamplesMatch(instance.Render(static_cast<int>(test.voiceSums.size())), Mixed(test.voiceSums)));
}

}  // namespace morvanel::testing
