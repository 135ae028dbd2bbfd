// The faster ways of rendering (independent voices voice by voice, steady tones without the
// interpreter) must give the very samples the interpreter gives sample by sample: every example
// and corpus script is played each way through the same call sequence (starts, MIDI, releases,
// stops, buffers of awkward sizes) and compared bit for bit with the interpreter alone.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "engine/engine.h"
#include "fuzz/fuzz_support.h"
#include "morvanel.h"
#include "runtime/generators.h"
#include "support/test_support.h"
#include "support/engine_access.h"

namespace morvanel {
namespace {

using morvanel::testing::EngineOf;


struct Rendering {
    std::vector<float> samples;
    int64_t voiceMajorSamples = 0;
};

enum class Path { kDefault, kSampleBySample, kInterpreterOnly };

// Plays `script` one way. Process-wide generator state is put back to the same start for every
// rendering, so only the way differs.
Rendering Play(const std::string& script, Path path) {
    const int id = NewInstance(48000);
    // After the engine is built: building one seeds the generator from the clock.
    std::srand(12345);
    lastNoiseRegister.store(0xB0);
    EngineOf(id).player.voiceMajor = path == Path::kDefault;
    EngineOf(id).player.steadyTones = path != Path::kInterpreterOnly;
    EngineOf(id).player.reuseCalls = path != Path::kInterpreterOnly;
    Rendering rendering;
    std::vector<float> block(1000);
    auto render = [&](int count) {
        GetBuffer(count, block.data(), id);
        rendering.samples.insert(rendering.samples.end(), block.begin(), block.begin() + count);
    };
    testing::CaptureStdout([&] {
        ParseString(script.c_str(), id);
        render(1);
        const std::vector<std::string> names = fuzz::BoxNamesOf(ReportBoxesAsJson(id));
        std::vector<int> serials;
        for (const std::string& name : names) serials.push_back(StartVoice(name.c_str(), id));
        for (int note = 48; note < 84; note += 7) MidiNoteOn(note, 100, id);
        // Block sizes that cut tones, fades and durations at every kind of boundary.
        const int sizes[] = {1, 64, 256, 1000, 17, 480, 3};
        for (int round = 0; round < 120; ++round) {
            render(sizes[round % 7]);
            if (round == 40) {
                for (int serial : serials) ReleaseVoice(serial, id);
                for (int note = 48; note < 84; note += 7) MidiNoteOff(note, id);
            }
            if (round == 70 && !names.empty()) serials.push_back(StartVoice(names.front().c_str(), id));
            if (round == 90 && !serials.empty()) ::StopVoice(serials.front(), id);
        }
    });
    rendering.voiceMajorSamples = EngineOf(id).player.voiceMajorSamples;
    DestroyInstance(id);
    return rendering;
}

std::vector<std::filesystem::path> CorpusScripts() {
    std::vector<std::filesystem::path> files;
    for (const char* dir : {MORVANEL_UNIT_EXAMPLES_DIR, MORVANEL_TEST_SCRIPTS_DIR "/valid",
                            MORVANEL_TEST_SCRIPTS_DIR "/errors", MORVANEL_FUZZ_REGRESSIONS_DIR}) {
        for (const auto& entry : std::filesystem::directory_iterator(dir)) {
            if (entry.path().extension() == ".mv") files.push_back(entry.path());
        }
    }
    return files;
}

::testing::AssertionResult BitIdentical(const std::vector<float>& a, const std::vector<float>& b) {
    if (a.size() != b.size()) return ::testing::AssertionFailure() << a.size() << " samples against " << b.size();
    for (size_t i = 0; i < a.size(); ++i) {
        if (std::memcmp(&a[i], &b[i], sizeof(float)) != 0) {
            return ::testing::AssertionFailure() << "first difference at sample " << i << ": " << a[i]
                                                 << " the faster way, " << b[i] << " by the interpreter alone";
        }
    }
    return ::testing::AssertionSuccess();
}

// Plays `script` by every path and expects each to match the interpreter alone; returns the
// default path's rendering.
Rendering ExpectEveryPathAgrees(const std::string& script) {
    const Rendering fast = Play(script, Path::kDefault);
    const Rendering samplePath = Play(script, Path::kSampleBySample);
    const Rendering slow = Play(script, Path::kInterpreterOnly);
    EXPECT_TRUE(BitIdentical(fast.samples, slow.samples));
    EXPECT_TRUE(BitIdentical(samplePath.samples, slow.samples));
    EXPECT_EQ(slow.voiceMajorSamples, 0);
    return fast;
}

TEST(VoiceMajor, EveryExampleAndCorpusScriptRendersBitIdenticallyBothWays) {
    const std::vector<std::filesystem::path> files = CorpusScripts();
    ASSERT_GE(files.size(), 20u);
    int64_t byVoice = 0;
    int usingIt = 0;
    for (const auto& file : files) {
        SCOPED_TRACE(file.string());
        const Rendering fast = ExpectEveryPathAgrees(testing::ReadFile(file.string()));
        byVoice += fast.voiceMajorSamples;
        usingIt += fast.voiceMajorSamples > 0;
    }
    // The comparison means something only if the faster path really ran for a good share.
    EXPECT_GE(usingIt, 5);
    EXPECT_GT(byVoice, 50000);
}

// A script built from what the faster paths treat specially: chains of calls with arguments and
// durations, squashed arguments, fades in and out on squares and saws, constant and variable
// periods, globals, glides, noise of every kind, pushes, boxes of several bodies, releases and
// limits. Each generator call gives another mix.
std::string GeneratedScript(std::mt19937& random) {
    auto pick = [&random](int low, int high) { return low + static_cast<int>(random() % static_cast<unsigned>(high - low + 1)); };
    auto number = [&](int low, int high) { return std::to_string(pick(low, high)); };
    const char* const waves[] = {"sqr", "saw"};
    const char* const shapes[] = {"", "fadeout(%l) ", "vol(0) fadein(%l) ", "vol(0.6) ", "vol(-0.5) fadeout(~0.01) "};
    std::string script = "global(%g, " + number(2, 9) + ")\n";
    for (int i = 0; i < 3; ++i) {
        script += "t" + std::to_string(i) + ":%p:%l = dur(%l) { " + shapes[pick(0, 4)] + "@loop " + waves[pick(0, 1)] +
                  "(%p) }\n";
    }
    script += "k0 = dur(" + number(40, 400) + ") { @loop sqr(" + number(2, 90) + ") }\n";
    script += "k1 = dur(" + number(40, 400) + ") { vol(0.3) fadein(" + number(1, 300) + ") @loop saw(#%g) }\n";
    script += "gl = dur(" + number(100, 700) + ") { %p = " + number(20, 60) + " @loop sqr(%p) %p = %p + 0.05 }\n";
    // A loop body of assignments of every shape, volume and fade changes, tones on variable
    // periods and plain sample outputs, in any order.
    const char* const loopItems[] = {"%a = %a + 0.7 ", "%a = %a * 1.003 ", "%a = %a - 0.4 ", "%a = %a / 1.002 ",
                                     "%a = %a \\ 90 ", "%b = %a ", "%b = %p * 2 ", "%a = (%a + %b) * 0.5 + 1 ",
                                     "vol(0.5) ", "vol(%v) ", "fadein(30) ", "fadeout(50) ", "own ", "sqr(%a) ",
                                     "saw(%b) ", "sqr(12) ", "out(%b) ", "out(0.25) ", "`7` ", "`319` ",
                                     "%b = sin2pi(%a / 40) * 20 + 30 ", "%a = %a + (3 - 1.5) * ~0.0004 ",
                                     "%b = _(%a * 1.7) - @%b \\ 9 ", "%b = \\\\ %a * 0.01 ", "%a = -%a + #%p + !0.001 ",
                                     "%b = ? * 20 + %a ", "%a = %a + (? - ?) * 3 "};
    constexpr int kLoopItems = static_cast<int>(sizeof loopItems / sizeof loopItems[0]);
    for (int i = 0; i < 2; ++i) {
        std::string body = std::string(pick(0, 1) == 0 ? "sqr(%a) " : "out(%a) ");
        for (int item = pick(0, 5); item > 0; --item) body.insert(pick(0, 1) == 0 ? 0 : body.size(), loopItems[pick(0, kLoopItems - 1)]);
        script += "lp" + std::to_string(i) + ":%p = dur(" + number(30, 600) + ") { %a = " + number(5, 40) + " %b = " +
                  number(2, 30) + " %v = 0." + number(1, 9) + " @loop " + body + "}\n";
    }
    // A sweep: one tone and one step of the variable its period reads, in either order.
    const char* const steps[] = {"%a = %a + 0.03 ", "%a = %a - 0.02 ", "%a = %a * 1.001 ", "%a = %a / 1.001 "};
    const std::string tone = std::string(waves[pick(0, 1)]) + "(%a) ";
    const std::string step = steps[pick(0, 3)];
    script += "sw = dur(" + number(100, 600) + ") { %a = " + number(10, 40) + " fadeout(" + number(50, 700) + ") @loop " +
              (pick(0, 1) == 0 ? tone + step : step + tone) + "}\n";
    const char* const noises[] = {"noise5(7)", "noise17e(9)", "?"};
    script += std::string("n0 = dur(") + number(50, 300) + ") { fadeout(" + number(10, 200) + ") @loop " +
              noises[pick(0, 2)] + " }\n";
    for (int i = 0; i < 2; ++i) {
        const char* const levels[] = {"", "vol(0.7) ", "vol(0.3) fadeout(" , "fadein("};
        const int level = pick(0, 3);
        std::string body = levels[level];
        if (level >= 2) body += number(100, 3000) + ") ";
        for (int call = 0; call < 4; ++call) {
            switch (pick(0, 5)) {
                case 0: body += "t" + number(0, 2) + ":" + number(3, 80) + ":" + number(20, 500) + " "; break;
                case 1: body += "t" + number(0, 2) + ":c5:" + number(20, 300) + " " + number(3, 70) + " "; break;
                case 2: body += "k" + number(0, 1) + " "; break;
                case 3: body += "dur(" + number(30, 300) + ") { " + shapes[pick(0, 3)] + "@loop saw(" + number(2, 50) + ") } "; break;
                case 4: body += pick(0, 1) == 0 ? "gl " : "lp" + number(0, 1) + ":" + number(3, 50) + " "; break;
                default: body += pick(0, 3) == 0 ? "n0 " : "push(" + number(1, 9) + ") pop(%q) k0 "; break;
            }
        }
        script += "m" + std::to_string(i) + " = { " + body + "}\n";
    }
    script += "song = { vol(0." + number(11, 97) + ") @loop m0 m1 }\n";
    script += "two = { m1 } { @loop sqr(" + number(5, 60) + ") }\n";
    script += "held:%p = { @loop sqr(%p) @release fadeout(" + number(20, 300) + ") dur(" + number(20, 300) +
              ") { @loop sqr(%p) } }\n";
    script += "[lim maxinst(2)] = dur(" + number(100, 900) + ") { @loop sqr(" + number(3, 40) + ") }\n";
    script += "calls = { @loop lim t0:9:50 }\n";
    // The same box called again and again: each call must start afresh from the records of the
    // one before (a variable read before it is written, the tone's phase, the fades).
    const std::string accShapes[] = {"", "own ", "fadeout(" + number(1, 60) + ") ", "own fadein(" + number(1, 60) + ") "};
    script += "acc:%p = dur(" + number(1, 40) + ") { %c = %c + %p " + accShapes[pick(0, 3)] + "@loop sqr(%c) }\n";
    // Two callers of one box in the same sample: one ends its call, the other starts one that
    // reads its own caller's variable.
    script += "x:%p = { %q = %p @loop dur(4) { @loop sqr(%q) } dur(3) { @loop saw(%q) } }\n";
    script += "par = { x:" + number(3, 9) + " } { sqr(5) sqr(5) sqr(5) sqr(5) x:" + number(10, 20) + " }\n";
    script += "rep = { @loop acc:" + number(3, 30) + " acc:" + number(3, 30) + " t1:" + number(3, 60) + ":" +
              number(1, 90) + " t1:" + number(3, 60) + ":" + number(1, 90) + " }\n";
    script += "loops = { @loop lp0:" + number(3, 50) + " lp1:" + number(3, 50) + " sw }\n";
    // A drum kit: bodies side by side under one root, steps that rest or have ended, hits that
    // draw every sample (one body, or two at once), in a group with a limit.
    const std::string beat = number(60, 400);
    script += "[hat group(kit) maxinst(" + number(2, 6) + ", " + number(0, 1) + ")] = dur(" + number(30, 300) +
              ") { vol(0.6) fadeout(" + number(20, 200) + ") %a = ? @loop %b = ? %h = %b - %a %a = %b out(%h) }\n";
    script += "[snare group(kit)] = dur(" + number(30, 300) + ") { fadeout(" + number(20, 300) + ") @loop ? }\n";
    script += "pair = { @loop %x = ? out(%x) } { vol(0.5) @loop %y = ? * ? - %y out(%y) }\n";
    script += "kit = { dur(" + beat + ") { lp0:9 } dur(" + beat + ") {} dur(" + beat + ") { snare } dur(" + beat +
              ") { k1 } } { fadeout(" + number(100, 2000) + ") dur(" + beat + ") { hat } dur(" + beat + ") { hat } " +
              (pick(0, 1) == 0 ? "pair" : "") + " } { dur(" + number(20, 900) + ") { @loop saw(" + number(3, 30) + ") } }\n";
    script += "midikey(40, 80, held)\n";
    return script;
}

TEST(VoiceMajor, GeneratedScriptsRenderBitIdenticallyEveryWay) {
    std::mt19937 random(2026);
    int64_t byVoice = 0;
    for (int round = 0; round < 40; ++round) {
        const std::string script = GeneratedScript(random);
        SCOPED_TRACE(::testing::Message() << "script:\n" << script);
        {
            testing::Instance instance;
            const std::string log = testing::CaptureStdout([&] { instance.Parse(script); });
            ASSERT_NE(log.find("Compilation successful"), std::string::npos) << log;
        }
        byVoice += ExpectEveryPathAgrees(script).voiceMajorSamples;
        if (HasFailure()) break;
    }
    EXPECT_GT(byVoice, 40 * 10000);
}

// Tone shapes the steady-tone loops handle themselves, at their edges: periods of 1 and 2, odd
// periods, a period shortened below the running phase, fades on a steady tone, while loops,
// durations ending inside a buffer and releases into a release part.
TEST(VoiceMajor, SteadyToneEdgesRenderBitIdenticallyBothWays) {
    const char* const scripts[] = {
        "a = { @loop sqr(1) }\nb = { @loop sqr(2) }\nc = { @loop sqr(7) }\nd = { @loop saw(9) }",
        "a = { sqr(400) sqr(400) @loop sqr(3) }\nb = { vol(0.3) @loop sqr(101) }",
        "a = { vol(0) fadein(700) @loop sqr(50) }\nb = { fadeout(300) @loop saw(40) }",
        "a = dur(333) { @loop sqr(20) }\nb = dur(1) { @loop sqr(20) }\nc = dur(5000) { vol(0.5) @loop saw(64) }",
        "a = { @loop sqr(60) @release fadeout(200) @loop sqr(30) }\nb = { @loop sqr(44) @release sqr(9) sqr(9) }",
        "global(%g, 1)\na = while(%g) { @loop sqr(80) }\nb:%p = { @loop sqr(%p) }\nc = { %q = 0 @loop sqr(%q) }",
        "a = { @loop sqr(-5) }\nb = { @loop saw(1) }\nc = { @loop sqr(1e30) }\nd = { @loop sqr(100) sqr(50) }",
        // Chains of calls into steady tones: volumes whose products round differently in another
        // order, fades at every level, durations that end at different levels, a release.
        "leaf = dur(5000) { vol(0.6) @loop sqr(33) }\nmid = { vol(0.7) leaf }\ntop = { vol(0.9) @loop mid }",
        "leaf = dur(900) { fadeout(900) @loop saw(17) }\nmid = dur(700) { vol(0.3) fadein(450) leaf }\n"
        "top = { fadeout(4000) @loop mid dur(90) { vol(0.7) @loop sqr(3) } }",
        "leaf:%p = { @loop sqr(%p) @release fadeout(300) dur(300) { @loop sqr(%p) } }\ntop = { vol(0.9) leaf:21 }",
        "x:%p = { @loop %p = %p + 0.5 sqr(%p) } { @loop sqr(%p) }",
        "y:%p = { @loop %p = %p + 0.5 sqr(%p) } { @loop out(%p * 0.001) }",
        "z:%p = { @loop out(%p * 0.001) } { @loop %p = %p + 0.5 sqr(%p) }",
    };
    for (const char* script : scripts) {
        SCOPED_TRACE(script);
        EXPECT_GT(ExpectEveryPathAgrees(script).voiceMajorSamples, 0);
    }
}

// A voice that draws random numbers, reads noise registers or prints renders sample by sample
// among such voices, while the others still go voice by voice; a voice that writes a global or
// spawns (each spawn is a command the next sample applies), or a waiting redefinition, keeps
// every voice on the sample-by-sample path.
TEST(VoiceMajor, OnlyVoicesThatDisturbOthersKeepTheSamplePath) {
    const struct {
        const char* script;
        bool voiceByVoice;
    } cases[] = {
        {"a = { @loop sqr(50) }\nb = { @loop ? }", true},
        {"a = { @loop sqr(50) }\nb = { @loop noise5(20) }", true},
        {"a = { @loop sqr(50) }\nb = { print(1) @loop sqr(10) }", true},
        {"a = { @loop sqr(50) }\nt = dur(10) { @loop sqr(10) }\nb = { @loop t }", true},
        {"global(%g, 0)\na = { @loop sqr(50) }\nb = { @loop %g = %g + 1 sqr(10) }", false},
        {"a = { @loop sqr(50) }\nb = { @loop %x = ? sqr(10) }", true},
        {"a = { @loop sqr(50) }\nb = { @loop spawn sqr(10) }", false},
        {"deep = { deep }\na = { @loop sqr(50) }\nb = { @loop deep }", false},
        {"[k maxinst(2)] = dur(30) { @loop sqr(7) }\na = { @loop sqr(50) }\nb = { @loop k }", true},
    };
    for (const auto& [script, voiceByVoice] : cases) {
        SCOPED_TRACE(::testing::Message() << "script: " << script);
        ExpectEveryPathAgrees(script);

        // The first sample may go voice by voice: the parse runs in it, before any voice exists.
        const int id = NewInstance(48000);
        std::vector<float> out(512);
        testing::CaptureStdout([&] {
            ParseString(script, id);
            GetBuffer(1, out.data(), id);
            StartVoice("a", id);
            StartVoice("b", id);
            for (int block = 0; block < 8; ++block) GetBuffer(512, out.data(), id);
        });
        if (voiceByVoice) {
            EXPECT_GT(EngineOf(id).player.voiceMajorSamples, 4000);
        } else {
            EXPECT_LE(EngineOf(id).player.voiceMajorSamples, 1);
        }
        DestroyInstance(id);
    }
}

// Steady tones beside a voice that writes what they read: the period and the while condition
// change under them every sample or at one moment, so a shortcut that read them once, or not at
// all, would drift from the interpreter.
TEST(VoiceMajor, SteadyTonesFollowVariablesOtherVoicesWrite) {
    const char* const scripts[] = {
        "global(%g, 40)\nw = { @loop %g = %g + 1 ? }\nt = { @loop sqr(%g) }\ns = { @loop saw(%g) }",
        "global(%c, 1)\nw = { sqr(300) sqr(300) %c = 0 @loop ? }\nt = while(%c) { @loop sqr(30) }",
        "global(%g, 20)\nw = { @loop %g = 0 - %g ? }\nt = { @loop sqr(%g) }",
        "global(%g, 3)\nw = { fadeout(2000) @loop %g = %g * 1.001 noise5(9) }\nt = { fadein(900) @loop sqr(%g) }",
    };
    for (const char* script : scripts) {
        SCOPED_TRACE(script);
        ExpectEveryPathAgrees(script);
    }
}

}  // namespace
}  // namespace morvanel
