// Several instances, each pulled by its own audio thread while a control thread posts every kind
// of command at it. Run under ThreadSanitizer (the tsan preset) it proves the thread rules; run
// anywhere it checks that no start command is lost or applied twice.
#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/instance_registry.h"
#include "morvanel.h"
#include "vars/variables.h"

namespace {

// Every voice of `count` adds one to the global %c in its first sample, so %c counts the start
// commands the engine applied.
const char kScript[] =
    "global(%c)\n"
    "global(%g, 1)\n"
    "count = { %c = %c + 1 out(0.1) }\n"
    "hold = while(%g) { @loop sqr(@440) @release dur(20) { @loop saw(50) } }\n"
    "[hit group(kit) maxinst(2, 1)] = dur(300) { @loop ? }\n"
    "midikey(60, 72, hold)\n"
    "midikey(36, hit)\n";

float GlobalValue(int instance, char letter) {
    // Called once the audio thread has stopped: nothing else touches the engine.
    morvanel::CEngine& engine = *morvanel::InstanceRegistry::Get().Find(instance)->engine;
    const int slot = morvanel::FindOwnVariable(engine, static_cast<uint8_t>(letter));
    return slot < 0 ? -1.0f : morvanel::ReadSlotAt(engine, slot);
}

struct Lane {
    int instance = 0;
    std::atomic<bool> stop{false};
    int countStarts = 0;  // accepted StartVoice("count") calls
};

void AudioThread(Lane& lane) {
    std::vector<float> buffer(256);
    while (!lane.stop.load()) GetBuffer(256, buffer.data(), lane.instance);
}

// Posts everything a host can post. Resets, parses and stopping every voice drop or cut short
// counting voices, so only the disruptive lane, whose count is not checked, does them.
// ReportBoxesAsJson returns the instance's own buffer, so only one thread per instance may call it.
void ControlThread(Lane& lane, unsigned seed, bool disruptive, bool reports = true) {
    std::mt19937 random(seed);
    std::vector<int> voices;
    const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(1500);
    while (std::chrono::steady_clock::now() < end) {
        switch (random() % 12) {
            case 0:
            case 1:
                if (StartVoice("count", lane.instance) != 0) ++lane.countStarts;
                break;
            case 2: voices.push_back(StartVoice("hold", lane.instance)); break;
            case 3: if (!voices.empty()) ReleaseVoice(voices[random() % voices.size()], lane.instance); break;
            case 4: if (!voices.empty()) StopVoice(voices[random() % voices.size()], lane.instance); break;
            case 5: MidiNoteOn(60 + static_cast<int>(random() % 13), 100, lane.instance); break;
            case 6: MidiNoteOff(60 + static_cast<int>(random() % 13), lane.instance); break;
            case 7: MidiNoteOn(36, 127, lane.instance); break;
            case 8: SetVariable("%g", static_cast<float>(random() % 2), lane.instance); break;
            case 9:
                if (reports) (void)ReportBoxesAsJson(lane.instance);
                break;
            case 10: (void)GetResponseString(0, lane.instance); break;
            case 11:
                if (disruptive) {
                    if (random() % 8 == 0) {
                        ResetEngine(lane.instance);
                    } else if (random() % 2 == 0) {
                        StopAllVoices(lane.instance);
                    } else {
                        ParseString(kScript, lane.instance);
                    }
                } else {
                    // Stopping every voice could stop a counting voice before its first sample.
                    StopVoice(voices.empty() ? 1 : voices.back(), lane.instance);
                }
                break;
        }
        if (random() % 64 == 0) std::this_thread::yield();
    }
}

TEST(ThreadStress, InstancesOnSeparateThreadsLoseNoCommandAndRaceOnNothing) {
    constexpr int kLanes = 3;
    std::vector<Lane> lanes(kLanes);
    for (int i = 0; i < kLanes; ++i) {
        lanes[i].instance = NewInstance(48000);
        const int serial = ParseString(kScript, lanes[i].instance);
        float sample = 0.0f;
        GetBuffer(1, &sample, lanes[i].instance);
        ASSERT_NE(std::string(GetResponseString(serial, lanes[i].instance)).find("Compilation successful"),
                  std::string::npos);
    }

    std::vector<std::thread> threads;
    for (int i = 0; i < kLanes; ++i) threads.emplace_back(AudioThread, std::ref(lanes[i]));
    std::vector<std::thread> controls;
    for (int i = 0; i < kLanes; ++i) {
        controls.emplace_back(ControlThread, std::ref(lanes[i]), 1000u + static_cast<unsigned>(i), i == kLanes - 1, true);
    }
    for (auto& control : controls) control.join();
    for (auto& lane : lanes) lane.stop.store(true);
    for (auto& thread : threads) thread.join();

    // Drain what is still queued, then compare the applied starts with the accepted ones.
    for (int i = 0; i < kLanes - 1; ++i) {
        std::vector<float> buffer(64);
        GetBuffer(64, buffer.data(), lanes[i].instance);
        EXPECT_GT(lanes[i].countStarts, 0);
        EXPECT_EQ(GlobalValue(lanes[i].instance, 'c'), static_cast<float>(lanes[i].countStarts)) << "lane " << i;
    }
    for (auto& lane : lanes) DestroyInstance(lane.instance);
}

TEST(ThreadStress, TwoControlThreadsPostingToOneInstanceInterleaveSafely) {
    Lane lane;
    lane.instance = NewInstance(48000);
    ParseString(kScript, lane.instance);
    float sample = 0.0f;
    GetBuffer(1, &sample, lane.instance);

    std::thread audio(AudioThread, std::ref(lane));
    Lane second;
    second.instance = lane.instance;
    std::thread first(ControlThread, std::ref(lane), 7u, false, true);
    std::thread other(ControlThread, std::ref(second), 8u, false, false);
    first.join();
    other.join();
    lane.stop.store(true);
    audio.join();

    std::vector<float> buffer(64);
    GetBuffer(64, buffer.data(), lane.instance);
    EXPECT_EQ(GlobalValue(lane.instance, 'c'), static_cast<float>(lane.countStarts + second.countStarts));
    DestroyInstance(lane.instance);
}

}  // namespace
