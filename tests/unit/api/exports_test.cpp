// The exported functions as a host sees them: ids, serials, missing instances, buffers.
#include <gtest/gtest.h>

#include "morvanel.h"
#include "support/test_support.h"

namespace {

TEST(Exports, AmIAliveAnswersBeforeAnythingElse) { EXPECT_EQ(AmIAlive(), 42); }

TEST(Exports, DefaultInstanceIsMissingUntilInitialized) {
    float out[4] = {7.0f, 7.0f, 7.0f, 7.0f};
    EXPECT_EQ(GetBuffer(4, out, 0), 0);
    EXPECT_EQ(out[0], 7.0f);
    EXPECT_STREQ(ReportBoxesAsJson(0), "");
    EXPECT_EQ(Initialize(48000), 0);
    EXPECT_EQ(GetBuffer(4, out, 0), 4);
    EXPECT_EQ(out[0], 0.0f);
}

}  // namespace
