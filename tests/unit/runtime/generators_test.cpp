// The sample-producing items rendered through the public API: levels, square and saw tones, the
// two pitched noises, random samples, volume and fades, and which oscillator a tone drives.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <vector>

#include "morvanel.h"
#include "support/render_support.h"
#include "runtime/generators.h"

namespace {

using morvanel::testing::Compiled;
using morvanel::testing::ExpectRender;
using morvanel::testing::Instance;
using morvanel::testing::Mixed;
using morvanel::testing::RenderCase;
using morvanel::testing::SamplesMatch;

TEST(Generators, TonesFromAFreshOscillator) {
    const RenderCase cases[] = {
        {"square period 4", "t = { @loop sqr(4) }", "t", {1, 1, -1, -1, 1, 1, -1, -1}},
        {"square period 3 has a one-sample high half", "t = { @loop sqr(3) }", "t", {1, -1, -1, 1, -1, -1}},
        {"saw period 4 ramps to just under 2", "t = { @loop saw(4) }", "t", {0, 0.5f, 1, 1.5f, 0, 0.5f}},
        {"saw period 1 is silent", "t = { @loop saw(1) }", "t", {0, 0, 0}},
        {"frequency unit: 12000 Hz at 48000 is period 4", "t = { @loop sqr(@12000) }", "t", {1, 1, -1, -1}},
        {"period 0 is silence that still takes time",
         "t = { sqr(0) saw(0) noise5(0) noise17e(0) out(1) }", "t", {0, 0, 0, 0, 1, 0}},
        {"negative period wraps every sample", "t = { sqr(-4) sqr(-4) saw(-4) saw(-4) }", "t", {-1, -1, 0, 0}},
        {"tone kinds share one phase", "t = { sqr(4) sqr(4) saw(4) saw(4) sqr(4) }", "t", {1, 1, 1, 1.5f, 1}},
        {"variable period read every sample", "t = { %p = 4 sqr(%p) %p = 2 sqr(%p) sqr(%p) }", "t", {1, -1, 1}},
        // A period too large for an integer saturates instead of wrapping negative.
        {"huge variable period saturates", "t = { %p = 99999999999 * 99999999999 sqr(%p) sqr(%p) }", "t", {1, 1}},
        {"NaN period is silent", "t = { %p = 0 / 0 sqr(%p) out(1) }", "t", {0, 1}},
        {"backquoted levels", "t = { `_30-5` }", "t", {-1, -0.5f, 0, 1, 0, 0}},
        {"out and vol", "t = { out(0.5) vol(0.25) out(2) sqr(4) vol(abc) out(1) }", "t", {0.5f, 0.5f, 0.25f, 0}},
    };
    for (const RenderCase& test : cases) ExpectRender(test);
}

uint8_t StepRegister(uint8_t r) {
    return static_cast<uint8_t>((((~(r ^ (r >> 2))) & 1) << 4) | (r >> 1));
}

// Needs a fresh process: the register starts at 0xB0 only once per process.
TEST(Generators, Noise5StepsTheRegisterFromB0AndLatchesOncePerPeriod) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("n = { @loop noise5(2) }")));
    instance.Start("n");
    const uint8_t known[] = {0x58, 0x3C, 0x1E, 0x0F, 0x17};
    uint8_t model = 0xB0;
    float level = -1.0f;
    for (int i = 0; i < 40; ++i) {
        SCOPED_TRACE(i);
        model = StepRegister(model);
        if (i < 5) {
            ASSERT_EQ(model, known[i]);
        }
        if (i % 2 == 0) level = (model & 1) ? 1.0f : -1.0f;  // first sample of the cycle's first half
        const std::vector<float> sample = instance.Render(1);
        EXPECT_EQ(morvanel::lastNoiseRegister.load(), model);
        EXPECT_TRUE(SamplesMatch(sample, Mixed({level})));
    }
}

TEST(Generators, NewSequenceInstanceSeedsItsRegisterFromTheLastNoiseStep) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("n = { @loop noise5(2) }")));
    const int first = instance.Start("n");
    instance.Render(7);
    const uint8_t last = morvanel::lastNoiseRegister.load();
    StopVoice(first, instance.id());
    instance.Start("n");
    instance.Render(1);
    EXPECT_EQ(morvanel::lastNoiseRegister.load(), StepRegister(last));
}

TEST(Generators, RandomItemsReplayFromSrand) {
    struct Case {
        const char* script;
        int period;  // 0: a random sample per sample ('?'); else noise17e's period
    };
    const Case cases[] = {{"r = { @loop ? }", 0}, {"r = { @loop noise17e(4) }", 4}, {"r = { @loop noise17e(3) }", 3}};
    for (const Case& test : cases) {
        SCOPED_TRACE(test.script);
        Instance instance;
        ASSERT_TRUE(Compiled(instance.Parse(test.script)));
        instance.Start("r");
        std::srand(1234);
        const std::vector<float> rendered = instance.Render(32);

        std::srand(1234);
        std::vector<float> expected;
        float level = 0.0f;
        for (int i = 0; i < 32; ++i) {
            const int r = std::rand();
            if (test.period == 0) {
                expected.push_back(static_cast<float>((r & 1023) - 512) * 0.001953125f);
            } else {
                if (i % test.period == 0) level = ((r % 256) & 1) ? 1.0f : -1.0f;
                expected.push_back(level);
            }
        }
        EXPECT_TRUE(SamplesMatch(rendered, Mixed(expected)));
    }
}

TEST(Generators, VolumeAndFades) {
    const RenderCase cases[] = {
        {"fade-out over 3 steps by a quarter", "f = { fadeout(3) out(1) out(1) out(1) out(1) out(1) out(1) }", "f",
         {0.75f, 0.5f, 0.25f, 0, 0, 0}},
        {"fade-in over 4 from vol 0", "f = { vol(0) fadein(4) out(1) out(1) out(1) out(1) out(1) out(1) }", "f",
         {0.25f, 0.5f, 0.75f, 1, 1, 1}},
        {"fade-in at full volume ends at once", "f = { fadein(4) out(1) out(1) }", "f", {1, 1}},
        {"fade-out from half way takes half as long", "f = { vol(0.5) fadeout(3) out(1) out(1) out(1) }", "f",
         {0.25f, 0, 0}},
        {"a fade runs across tone items", "f = { fadeout(3) sqr(4) sqr(4) sqr(4) sqr(4) }", "f",
         {0.75f, 0.5f, -0.25f, 0}},
        {"vol stops a running fade", "f = { fadeout(3) out(1) vol(0.5) out(1) out(1) }", "f", {0.75f, 0.5f, 0.5f}},
        {"a fade-out of 0 overshoots for one sample", "f = { vol(0.5) fadeout(0) out(1) out(1) }", "f", {-0.5f, 0}},
        {"fade-in of 0 jumps to full", "f = { vol(0.5) fadein(0) out(1) out(1) }", "f", {1, 1}},
        {"fade-in of -3 jumps to full", "f = { vol(0) fadein(-3) out(1) out(1) }", "f", {1, 1}},
        {"fade-out of -1 jumps to silence", "f = { vol(0.5) fadeout(-1) out(1) out(1) }", "f", {0, 0}},
        {"fade-out of -1 from a variable", "f = { %l = -1 fadeout(%l) out(1) out(1) }", "f", {0, 0}},
        {"fade-out of -5 jumps to silence", "f = { fadeout(-5) out(1) }", "f", {0}},
        {"the caller's volume shapes a called box", "c = { out(1) out(1) out(1) }  f = { fadeout(3) c }", "f",
         {0.75f, 0.5f, 0.25f}},
    };
    for (const RenderCase& test : cases) ExpectRender(test);
}

TEST(Generators, CalledBoxesDriveTheCallersOscillatorUnlessOwn) {
    const RenderCase cases[] = {
        {"shared: the called saw continues the ramp",
         "n = { saw(4) saw(4) }  m = { saw(4) saw(4) n saw(4) saw(4) }", "m", {0, 0.5f, 1, 1.5f, 0, 0.5f}},
        {"own: the called box starts its own ramp",
         "o = { own saw(4) saw(4) }  m = { saw(4) saw(4) o saw(4) saw(4) }", "m", {0, 0.5f, 0, 0.5f, 1, 1.5f}},
        {"own in a caller covers what it calls",
         "n = { saw(4) saw(4) }  o = { own saw(4) n }  m = { saw(4) o saw(4) }", "m", {0, 0, 0.5f, 1, 0.5f}},
        {"a nested body shares the enclosing oscillator", "m = { saw(4) { saw(4) saw(4) } saw(4) }", "m",
         {0, 0.5f, 1, 1.5f}},
        {"each body of a root box has its own oscillator", "m = { saw(4) saw(4) saw(4) } { saw(4) saw(4) saw(4) }",
         "m", {0, 1, 2}},
    };
    for (const RenderCase& test : cases) ExpectRender(test);
}

}  // namespace
