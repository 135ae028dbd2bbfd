// What control threads read of an engine without taking a lock: the box report, the MIDI key map
// and the slots of the global variables. Only the audio thread writes them (after a parse, a reset,
// a box replacement or a new global); readers copy under a sequence lock and retry when a write
// overlapped, so the audio thread never waits for a reader and no reader sees half a write.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <thread>

namespace morvanel {

// Bytes kept in atomic words: both sides copy word by word, so a torn copy is a retry, not a race.
template <size_t Bytes>
class CPublishedBytes {
public:
    // Writer only (the audio thread), between BeginWrite and EndWrite of the owning lock.
    void Store(size_t offset, const void* source, size_t size) {
        const auto* bytes = static_cast<const unsigned char*>(source);
        while (size > 0) {
            const size_t index = offset / 8;
            const size_t within = offset % 8;
            const size_t take = size < 8 - within ? size : 8 - within;
            uint64_t word = take == 8 ? 0 : words[index].load(std::memory_order_relaxed);
            std::memcpy(reinterpret_cast<unsigned char*>(&word) + within, bytes, take);
            // Release: a reader that sees this word also sees the write as begun.
            words[index].store(word, std::memory_order_release);
            offset += take;
            bytes += take;
            size -= take;
        }
    }

    // Any thread, between BeginRead and EndRead of the owning lock.
    void Load(size_t offset, void* destination, size_t size) const {
        auto* bytes = static_cast<unsigned char*>(destination);
        while (size > 0) {
            const size_t index = offset / 8;
            const size_t within = offset % 8;
            const size_t take = size < 8 - within ? size : 8 - within;
            // Acquire: the sequence is read again only after every word.
            const uint64_t word = words[index].load(std::memory_order_acquire);
            std::memcpy(bytes, reinterpret_cast<const unsigned char*>(&word) + within, take);
            offset += take;
            bytes += take;
            size -= take;
        }
    }

private:
    std::atomic<uint64_t> words[(Bytes + 7) / 8] = {};
};

class CSequenceLock {
public:
    // Writer only.
    void BeginWrite() {
        const uint32_t current = sequence.load(std::memory_order_relaxed);
        sequence.store(current + 1, std::memory_order_relaxed);
    }
    void EndWrite() {
        const uint32_t current = sequence.load(std::memory_order_relaxed);
        sequence.store(current + 1, std::memory_order_release);
    }

    // Readers: copy between these two and start again while EndRead says the copy may be torn.
    uint32_t BeginRead() const {
        for (;;) {
            const uint32_t current = sequence.load(std::memory_order_acquire);
            if ((current & 1) == 0) return current;
            std::this_thread::yield();
        }
    }
    bool EndRead(uint32_t begun) const { return sequence.load(std::memory_order_relaxed) == begun; }

private:
    std::atomic<uint32_t> sequence{0};
};

constexpr int kMidiKeys = 256;
constexpr int kPublishedNameCapacity = 32;
constexpr int kPublishedReportCapacity = 16384;

// What MidiNoteOn needs of a key: whether it is mapped, and the box name it starts (a name too
// long for a start text is marked, so the note posts nothing, as such a start would).
enum PublishedKeyState : uint8_t {
    KEY_UNMAPPED = 0,
    KEY_MAPPED = 1,
    KEY_NAME_TOO_LONG = 2,
};

struct PUBLISHED_KEY {
    uint8_t state;
    char boxName[kPublishedNameCapacity];
};

class CPublishedState {
public:
    // Writer side (the audio thread).
    void PublishReport(const char* text, size_t length);
    void PublishKey(int32_t key, const char* boxName);  // null: unmapped
    void PublishGlobalSlot(uint8_t letter, int16_t slot);
    void BeginKeys() { keysLock.BeginWrite(); }
    void EndKeys() { keysLock.EndWrite(); }
    void BeginGlobals() { globalsLock.BeginWrite(); }
    void EndGlobals() { globalsLock.EndWrite(); }

    // Reader side (any thread). The report is copied into `destination` ("" when it does not fit).
    void ReadReport(char* destination, size_t capacity) const;
    PUBLISHED_KEY ReadKey(int32_t key) const;
    int16_t ReadGlobalSlot(uint8_t letter) const;  // -1: the engine declares no such global

private:
    CSequenceLock reportLock;
    CPublishedBytes<sizeof(uint32_t)> reportLength;
    CPublishedBytes<kPublishedReportCapacity> report;
    CSequenceLock keysLock;
    CPublishedBytes<sizeof(PUBLISHED_KEY) * kMidiKeys> keys;
    CSequenceLock globalsLock;
    CPublishedBytes<sizeof(int16_t) * 256> globalSlots;  // slot + 1 per letter; 0: none
};

}  // namespace morvanel
