// The audio thread's promises, checked over every example script: once warmed up, GetBuffer
// allocates nothing and takes none of the engine's locks, and long play with random MIDI,
// releases and stops keeps the heap flat. This binary replaces malloc and operator new to count.
#include <gtest/gtest.h>
#include <malloc.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <vector>

#include "engine/engine.h"
#include "morvanel.h"
#include "support/test_support.h"

extern "C" void* __libc_malloc(size_t size);

namespace {

// Allocations made by the thread that set `counting`.
thread_local bool counting = false;
std::atomic<long> allocations{0};

void CountAllocation() {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
}

struct ExampleSetUp {
    std::string name;
    std::vector<std::string> voices;  // started besides the script's own run commands
};

std::vector<ExampleSetUp> Examples() {
    std::vector<ExampleSetUp> examples;
    for (const auto& entry : std::filesystem::directory_iterator(MORVANEL_EXAMPLES_DIR)) {
        if (entry.path().extension() != ".mv") continue;
        ExampleSetUp setUp{entry.path().stem().string(), {}};
        if (setUp.name == "pad") setUp.voices = {"pad:a3", "pad:c4", "pad:e4"};
        examples.push_back(setUp);
    }
    return examples;
}

int StartExample(const ExampleSetUp& example) {
    const int id = NewInstance(48000);
    const std::string script = morvanel::testing::ReadFile(std::string(MORVANEL_EXAMPLES_DIR) + "/" + example.name + ".mv");
    const int serial = ParseString(script.c_str(), id);
    float sample = 0.0f;
    GetBuffer(1, &sample, id);
    EXPECT_NE(std::string(GetResponseString(serial, id)).find("Compilation successful"), std::string::npos) << example.name;
    for (const std::string& voice : example.voices) StartVoice(voice.c_str(), id);
    return id;
}

TEST(RealTime, SteadyStateGetBufferAllocatesNothingAndTakesNoLock) {
    for (const ExampleSetUp& example : Examples()) {
        SCOPED_TRACE(example.name);
        const int id = StartExample(example);
        std::vector<float> buffer(256);
        // Warm-up: the voices start and every kind of instance the script uses has been made once.
        for (int block = 0; block < 400; ++block) GetBuffer(256, buffer.data(), id);

        const uint64_t locksBefore = morvanel::CEngineLock::AcquisitionsOnThisThread();
        allocations = 0;
        counting = true;
        for (int block = 0; block < 800; ++block) GetBuffer(256, buffer.data(), id);
        counting = false;
        EXPECT_EQ(allocations.load(), 0);
        EXPECT_EQ(morvanel::CEngineLock::AcquisitionsOnThisThread(), locksBefore);
        DestroyInstance(id);
    }
}

TEST(RealTime, LongPlayWithRandomMidiKeepsTheHeapFlat) {
    std::mt19937 random(1234);
    for (const ExampleSetUp& example : Examples()) {
        SCOPED_TRACE(example.name);
        const int id = StartExample(example);
        std::vector<float> buffer(512);
        std::vector<int> voices;
        size_t settled = 0;
        // Ten simulated minutes per example; the heap in use is read after the first two.
        for (int block = 0; block < 56250; ++block) {
            if (block % 20 == 0) {
                switch (random() % 6) {
                    case 0: MidiNoteOn(36 + static_cast<int>(random() % 48), 100, id); break;
                    case 1: MidiNoteOff(36 + static_cast<int>(random() % 48), id); break;
                    case 2: if (!example.voices.empty()) voices.push_back(StartVoice(example.voices[0].c_str(), id)); break;
                    case 3: if (!voices.empty()) ReleaseVoice(voices[random() % voices.size()], id); break;
                    case 4: if (!voices.empty()) StopVoice(voices[random() % voices.size()], id); break;
                    case 5: if (random() % 50 == 0) StopAllVoices(id); break;
                }
                if (voices.size() > 64) voices.erase(voices.begin());
            }
            GetBuffer(512, buffer.data(), id);
            if (block == 11250) settled = mallinfo2().uordblks;
        }
        const size_t finalHeap = mallinfo2().uordblks;
        // Flat: whatever grew after the first two minutes is bounded by the notes still held.
        EXPECT_LT(finalHeap, settled + 512 * 1024) << "heap grew from " << settled << " to " << finalHeap;
        DestroyInstance(id);
    }
}

}  // namespace

void* operator new(size_t size) {
    CountAllocation();
    if (void* block = __libc_malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void* operator new[](size_t size) {
    CountAllocation();
    if (void* block = __libc_malloc(size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { std::free(block); }
void operator delete[](void* block) noexcept { std::free(block); }
void operator delete(void* block, size_t) noexcept { std::free(block); }
void operator delete[](void* block, size_t) noexcept { std::free(block); }

// C allocations too (the library could reach malloc without operator new).
extern "C" {
void* __libc_calloc(size_t count, size_t size);
void* __libc_realloc(void* block, size_t size);

void* malloc(size_t size) {
    CountAllocation();
    return __libc_malloc(size);
}
void* calloc(size_t count, size_t size) {
    CountAllocation();
    return __libc_calloc(count, size);
}
void* realloc(void* block, size_t size) {
    CountAllocation();
    return __libc_realloc(block, size);
}
}
