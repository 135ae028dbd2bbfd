// The audio thread's promises, checked over every example script and a game-like script: GetBuffer
// allocates nothing and takes no lock of any kind, not only over steady tones but over windows full
// of the events a game produces (voice starts with arguments, MIDI bursts, spawns, releases, stops,
// voices ending, a redefinition settling); control threads never make it wait; long play keeps the
// heap flat. This binary replaces malloc, operator new and the pthread lock functions to count.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <malloc.h>
#include <pthread.h>
#include <semaphore.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdlib>
#include <deque>
#include <filesystem>
#include <new>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "api/instance_registry.h"
#include "engine/engine.h"
#include "morvanel.h"
#include "support/test_support.h"
#include "support/engine_access.h"

extern "C" void* __libc_malloc(size_t size);
extern "C" void* __libc_memalign(size_t alignment, size_t size);
extern "C" void __libc_free(void* block);

namespace {

using morvanel::testing::EngineOf;

// Allocations and lock acquisitions made by the thread that set `counting`.
thread_local bool counting = false;
std::atomic<long> allocations{0};
std::atomic<long> locks{0};

void CountAllocation() {
    if (counting) allocations.fetch_add(1, std::memory_order_relaxed);
}
void CountLock() {
    if (counting) locks.fetch_add(1, std::memory_order_relaxed);
}

// Pulls one block with the counters on, as an audio callback would.
void CountedBuffer(int id, std::vector<float>& buffer) {
    counting = true;
    GetBuffer(static_cast<int>(buffer.size()), buffer.data(), id);
    counting = false;
}

// A script with what the examples lack: spawns, argument pushes, a group limit that stops voices,
// calls with arguments, globals read by start arguments, and a MIDI map over every key.
const char kGameScript[] =
    "global(%p, 300)\n"
    "global(%s, 2)\n"
    "note:%f:%l = dur(%l) { fadeout(%l) @loop sqr(%f) }\n"
    "tune = { note:c4:300 note:e4:300 push(#67) push(200) note }\n"
    "[hit group(kit) maxinst(3, 1)] = dur(300) { @loop noise5(8) }\n"
    "[shot group(kit) maxinst(3)] = dur(400) { fadeout(400) @loop saw(%p) }\n"
    "spawner = dur(200) { spawn @loop sqr(50) }\n"
    "glide:%a = dur(600) { %q = %a @loop %q = %q + %s sqr(%q) }\n"
    "key = dur(800) { fadein(100) @loop sqr(#%n) @release fadeout(200) dur(200) { @loop sqr(#%n) } }\n"
    "midikey(0, 127, key)\n";

struct Workload {
    std::string name;
    std::string script;
};

std::vector<Workload> Workloads() {
    std::vector<Workload> workloads;
    for (const auto& entry : std::filesystem::directory_iterator(MORVANEL_EXAMPLES_DIR)) {
        if (entry.path().extension() != ".mv") continue;
        workloads.push_back({entry.path().stem().string(), morvanel::testing::ReadFile(entry.path().string())});
    }
    std::sort(workloads.begin(), workloads.end(), [](const auto& a, const auto& b) { return a.name < b.name; });
    workloads.push_back({"game", kGameScript});
    return workloads;
}


// Every named box as a start text with one argument per parameter: notes, numbers and a global.
std::vector<std::string> StartTexts(int id) {
    static const char* const kArguments[] = {"c5", "300", "%p", "a4", "0.5"};
    std::vector<std::string> texts;
    for (const auto& [name, box] : EngineOf(id).program.boxes.Named()) {
        std::string text = name;
        for (size_t i = 0; i < box->paramLetters.size(); ++i) text += std::string(":") + kArguments[i % 5];
        if (text.size() <= 31) texts.push_back(text);
    }
    return texts;
}

std::vector<int> MappedKeys(int id) {
    std::vector<int> keys;
    for (const auto& [key, name] : EngineOf(id).midiKeys) keys.push_back(key);
    return keys;
}

int Load(const Workload& workload) {
    const int id = NewInstance(48000);
    const int serial = ParseString(workload.script.c_str(), id);
    float sample = 0.0f;
    GetBuffer(1, &sample, id);
    EXPECT_NE(std::string(GetResponseString(serial, id)).find("Compilation successful"), std::string::npos)
        << workload.name;
    return id;
}

// What a game does to an instance over `blocks` blocks: every box started twice each block (with
// arguments), each voice released three blocks later and stopped three after that, bursts of
// three note-ons per block on mapped keys with their note-offs two blocks later, a global written,
// and every voice stopped now and then.
// The same seed gives the same events, so a warm-up can live through exactly what is measured.
void PlayGame(int id, int blocks, unsigned seed, bool count) {
    const std::vector<std::string> starts = StartTexts(id);
    const std::vector<int> keys = MappedKeys(id);
    std::mt19937 random(seed);
    std::deque<std::vector<int>> started;
    std::deque<int> held;
    std::vector<float> buffer(256);
    for (int block = 0; block < blocks; ++block) {
        std::vector<int> now;
        for (int twice = 0; twice < 2; ++twice) {
            for (const std::string& text : starts) now.push_back(StartVoice(text.c_str(), id));
        }
        started.push_back(now);
        if (started.size() > 3) {
            for (int voice : started[started.size() - 4]) ReleaseVoice(voice, id);
        }
        if (started.size() > 6) {
            for (int voice : started.front()) StopVoice(voice, id);
            started.pop_front();
        }
        if (!keys.empty()) {
            for (int note = 0; note < 3; ++note) {
                const int key = keys[random() % keys.size()];
                MidiNoteOn(key, 64 + static_cast<int>(random() % 64), id);
                held.push_back(key);
            }
            while (held.size() > 6) {
                MidiNoteOff(held.front(), id);
                held.pop_front();
            }
        }
        SetVariable("%p", 200.0f + static_cast<float>(random() % 200), id);
        if (block % 50 == 49) StopAllVoices(id);
        if (count) {
            CountedBuffer(id, buffer);
        } else {
            GetBuffer(256, buffer.data(), id);
        }
    }
}

TEST(RealTime, GameEventsAllocateNothingAndTakeNoLockOnTheAudioThread) {
    for (const Workload& workload : Workloads()) {
        SCOPED_TRACE(workload.name);
        const int id = Load(workload);
        // Warm-up: the same events as measured, so every record size has met its busiest moment.
        PlayGame(id, 600, 7, false);
        // A redefinition of every box while voices play: each takes over once its old box has no
        // instance left, inside the measured window (at the latest when every voice is stopped).
        ParseString(workload.script.c_str(), id);
        float sample = 0.0f;
        GetBuffer(1, &sample, id);

        allocations = 0;
        locks = 0;
        PlayGame(id, 600, 7, true);
        EXPECT_EQ(allocations.load(), 0);
        EXPECT_EQ(locks.load(), 0);
        EXPECT_FALSE(EngineOf(id).program.boxes.AnyPendingBox()) << "a redefinition never settled";
        DestroyInstance(id);
    }
}

TEST(RealTime, SteadyStateGetBufferAllocatesNothingAndTakesNoLock) {
    for (const Workload& workload : Workloads()) {
        SCOPED_TRACE(workload.name);
        const int id = Load(workload);
        if (workload.name == "pad") {
            for (const char* text : {"pad:a3", "pad:c4", "pad:e4"}) StartVoice(text, id);
        }
        std::vector<float> buffer(256);
        for (int block = 0; block < 400; ++block) GetBuffer(256, buffer.data(), id);
        allocations = 0;
        locks = 0;
        for (int block = 0; block < 800; ++block) CountedBuffer(id, buffer);
        EXPECT_EQ(allocations.load(), 0);
        EXPECT_EQ(locks.load(), 0);
        DestroyInstance(id);
    }
}

// GetBuffer times of a loop while a control thread hammers the instance (reports, global writes,
// notes, starts), against the same loop while the control thread only burns CPU. A lock shared
// with the control thread shows up as waits of the audio thread in the first. Both the worst time
// and the 99th percentile are compared, as ratios in one run: on a shared machine a single
// scheduler hiccup can decide a worst case, while lock waits move the percentile too.
TEST(RealTime, ControlThreadsNeverMakeTheAudioThreadWait) {
    std::string script = "global(%g, 1)\nblip = dur(64) { @loop sqr(40) }\nhum = { @loop saw(100) }\n"
                         "midikey(0, 127, blip)\n";
    // Enough boxes for a report of about 14 KB: building it is the longest thing a control
    // thread does with the engine.
    for (int i = 0; i < 300; ++i) script += "box" + std::to_string(i) + ":%a:%b = { out(0) }\n";
    const int id = Load({"latency", script});
    ASSERT_GT(std::string(ReportBoxesAsJson(id)).size(), 12000u);
    // The same background of voices in both loops, so that their own work is alike.
    for (int voice = 0; voice < 32; ++voice) StartVoice("hum", id);

    struct Times {
        double worst;
        double percentile99;
    };
    auto round = [id](bool hammer) {
        std::atomic<bool> stop{false};
        std::thread control([&stop, id, hammer] {
            unsigned spins = 0;
            while (!stop.load(std::memory_order_relaxed)) {
                if (!hammer) {
                    for (int i = 0; i < 1000; ++i) spins = spins * 1664525u + 1013904223u;
                    continue;
                }
                (void)ReportBoxesAsJson(id);
                SetVariable("%g", static_cast<float>(spins++ % 2), id);
                MidiNoteOn(static_cast<int>(spins % 128), 100, id);
                MidiNoteOff(static_cast<int>((spins + 64) % 128), id);
                StartVoice("blip", id);
            }
            (void)spins;
        });
        std::vector<float> buffer(256);
        std::vector<double> times;
        const auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(300);
        while (std::chrono::steady_clock::now() < end) {
            const auto begun = std::chrono::steady_clock::now();
            GetBuffer(256, buffer.data(), id);
            const auto done = std::chrono::steady_clock::now();
            times.push_back(std::chrono::duration<double, std::micro>(done - begun).count());
            // Paced like an audio callback, which leaves the engine alone between blocks: the
            // moments when a control thread would take a shared lock.
            while (std::chrono::steady_clock::now() - done < std::chrono::microseconds(100)) {
            }
        }
        stop.store(true);
        control.join();
        std::sort(times.begin(), times.end());
        return Times{times.back(), times[times.size() * 99 / 100]};
    };
    // Alternating rounds; each side's figure is the median over its rounds.
    std::vector<double> quietWorst, busyWorst, quietPercentile, busyPercentile;
    for (int i = 0; i < 5; ++i) {
        const Times quiet = round(false);
        const Times busy = round(true);
        quietWorst.push_back(quiet.worst);
        quietPercentile.push_back(quiet.percentile99);
        busyWorst.push_back(busy.worst);
        busyPercentile.push_back(busy.percentile99);
    }
    auto median = [](std::vector<double> values) {
        std::sort(values.begin(), values.end());
        return values[values.size() / 2];
    };
    const double worstRatio = median(busyWorst) / std::max(median(quietWorst), 1.0);
    const double percentileRatio = median(busyPercentile) / std::max(median(quietPercentile), 1.0);
    std::printf("GetBuffer(256) worst %.1f us quiet, %.1f us hammered (ratio %.2f); 99th percentile %.1f us quiet, "
                "%.1f us hammered (ratio %.2f)\n",
                median(quietWorst), median(busyWorst), worstRatio, median(quietPercentile), median(busyPercentile),
                percentileRatio);
    EXPECT_LT(worstRatio, 10.0);
    EXPECT_LT(percentileRatio, 4.0);
    DestroyInstance(id);
}

// A body that keeps pushing onto a full argument stack says so once per voice, not once per push,
// and renders about as fast as the same body without the pushes.
TEST(RealTime, AFullArgumentStackWarnsOncePerVoice) {
    const int id = Load({"flood", "flood = dur(48000) { @loop push(1) push(2) push(3) out(0.5) }\n"
                                  "calm = dur(48000) { @loop out(0.5) }\n"});
    auto render = [id](const char* box, std::string& printed) {
        for (int voice = 0; voice < 3; ++voice) StartVoice(box, id);
        std::vector<float> buffer(48000);
        const auto begun = std::chrono::steady_clock::now();
        printed = morvanel::testing::CaptureStdout([&] { GetBuffer(48000, buffer.data(), id); });
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - begun).count();
    };
    std::string printed;
    const double calm = render("calm", printed);
    const double flood = render("flood", printed);
    size_t warnings = 0;
    for (size_t at = printed.find("Warning: Max stack depth reached\n"); at != std::string::npos;
         at = printed.find("Warning: Max stack depth reached\n", at + 1)) {
        ++warnings;
    }
    EXPECT_EQ(warnings, 3u);
    EXPECT_LT(printed.size(), 200u);
    std::printf("one second of 3 voices: %.2f ms without pushes, %.2f ms pushing onto a full stack\n", calm * 1e3,
                flood * 1e3);
    EXPECT_LT(flood, 20 * calm + 0.05);
    DestroyInstance(id);
}

TEST(RealTime, LongPlayWithRandomMidiKeepsTheHeapFlat) {
    std::mt19937 random(1234);
    for (const Workload& workload : Workloads()) {
        SCOPED_TRACE(workload.name);
        const int id = Load(workload);
        std::vector<std::string> starts = StartTexts(id);
        std::vector<float> buffer(512);
        std::vector<int> voices;
        size_t settled = 0;
        // Ten simulated minutes per workload; the heap in use is read after the first two.
        for (int block = 0; block < 56250; ++block) {
            if (block % 20 == 0) {
                switch (random() % 6) {
                    case 0: MidiNoteOn(36 + static_cast<int>(random() % 48), 100, id); break;
                    case 1: MidiNoteOff(36 + static_cast<int>(random() % 48), id); break;
                    case 2: voices.push_back(StartVoice(starts[random() % starts.size()].c_str(), id)); break;
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
void* operator new(size_t size, std::align_val_t alignment) {
    CountAllocation();
    if (void* block = __libc_memalign(static_cast<size_t>(alignment), size == 0 ? 1 : size)) return block;
    throw std::bad_alloc();
}
void operator delete(void* block) noexcept { __libc_free(block); }
void operator delete[](void* block) noexcept { __libc_free(block); }
void operator delete(void* block, size_t) noexcept { __libc_free(block); }
void operator delete[](void* block, size_t) noexcept { __libc_free(block); }
void operator delete(void* block, std::align_val_t) noexcept { __libc_free(block); }
void operator delete(void* block, size_t, std::align_val_t) noexcept { __libc_free(block); }

// C allocations and every way a thread can take or wait for a lock: a regression that reaches any
// of them from the audio thread is counted, whatever wraps the call.
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

#define MORVANEL_COUNTED_LOCK(name, Argument)                                        \
    int name(Argument argument) {                                                    \
        using Real = int (*)(Argument);                                              \
        static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, #name));    \
        CountLock();                                                                 \
        return real(argument);                                                       \
    }
MORVANEL_COUNTED_LOCK(pthread_mutex_lock, pthread_mutex_t*)
MORVANEL_COUNTED_LOCK(pthread_mutex_trylock, pthread_mutex_t*)
MORVANEL_COUNTED_LOCK(pthread_rwlock_rdlock, pthread_rwlock_t*)
MORVANEL_COUNTED_LOCK(pthread_rwlock_wrlock, pthread_rwlock_t*)
MORVANEL_COUNTED_LOCK(pthread_rwlock_tryrdlock, pthread_rwlock_t*)
MORVANEL_COUNTED_LOCK(pthread_rwlock_trywrlock, pthread_rwlock_t*)
MORVANEL_COUNTED_LOCK(pthread_spin_lock, pthread_spinlock_t*)
MORVANEL_COUNTED_LOCK(pthread_spin_trylock, pthread_spinlock_t*)
MORVANEL_COUNTED_LOCK(sem_wait, sem_t*)
MORVANEL_COUNTED_LOCK(sem_trywait, sem_t*)
#undef MORVANEL_COUNTED_LOCK

int pthread_mutex_timedlock(pthread_mutex_t* mutex, const struct timespec* deadline) {
    using Real = int (*)(pthread_mutex_t*, const struct timespec*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_mutex_timedlock"));
    CountLock();
    return real(mutex, deadline);
}
int pthread_cond_wait(pthread_cond_t* condition, pthread_mutex_t* mutex) {
    using Real = int (*)(pthread_cond_t*, pthread_mutex_t*);
    static const Real real = reinterpret_cast<Real>(dlsym(RTLD_NEXT, "pthread_cond_wait"));
    CountLock();
    return real(condition, mutex);
}
}
