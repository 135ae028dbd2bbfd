// Publishing and reading the engine's lock-free view for control threads.
#include "engine/published_state.h"

#include <algorithm>

namespace morvanel {

void CPublishedState::PublishReport(const char* text, size_t length) {
    // A report that does not fit is published empty: it is never truncated.
    if (length >= static_cast<size_t>(kPublishedReportCapacity) - 1) length = 0;
    const uint32_t stored = static_cast<uint32_t>(length);
    reportLock.BeginWrite();
    reportLength.Store(0, &stored, sizeof stored);
    report.Store(0, text, length);
    reportLock.EndWrite();
}

void CPublishedState::PublishKey(int32_t key, const char* boxName) {
    if (key < 0 || key >= kMidiKeys) return;
    PUBLISHED_KEY entry{};
    if (boxName != nullptr) {
        const size_t length = std::strlen(boxName);
        if (length >= static_cast<size_t>(kPublishedNameCapacity)) {
            entry.state = KEY_NAME_TOO_LONG;
        } else {
            entry.state = KEY_MAPPED;
            std::memcpy(entry.boxName, boxName, length + 1);
        }
    }
    keys.Store(sizeof(PUBLISHED_KEY) * static_cast<size_t>(key), &entry, sizeof entry);
}

void CPublishedState::PublishGlobalSlot(uint8_t letter, int16_t slot) {
    const int16_t stored = static_cast<int16_t>(slot + 1);
    globalSlots.Store(sizeof(int16_t) * letter, &stored, sizeof stored);
}

void CPublishedState::ReadReport(char* destination, size_t capacity) const {
    if (destination == nullptr || capacity == 0) return;
    for (;;) {
        const uint32_t begun = reportLock.BeginRead();
        uint32_t length = 0;
        reportLength.Load(0, &length, sizeof length);
        // A torn copy may read any length: it is only trusted once the sequence confirms it.
        const size_t copied = std::min({static_cast<size_t>(length), capacity - 1,
                                        static_cast<size_t>(kPublishedReportCapacity) - 1});
        report.Load(0, destination, copied);
        destination[copied] = '\0';
        if (reportLock.EndRead(begun)) {
            if (length >= capacity - 1) destination[0] = '\0';
            return;
        }
    }
}

PUBLISHED_KEY CPublishedState::ReadKey(int32_t key) const {
    PUBLISHED_KEY entry{};
    if (key < 0 || key >= kMidiKeys) return entry;
    for (;;) {
        const uint32_t begun = keysLock.BeginRead();
        keys.Load(sizeof(PUBLISHED_KEY) * static_cast<size_t>(key), &entry, sizeof entry);
        if (keysLock.EndRead(begun)) return entry;
    }
}

int16_t CPublishedState::ReadGlobalSlot(uint8_t letter) const {
    for (;;) {
        const uint32_t begun = globalsLock.BeginRead();
        int16_t stored = 0;
        globalSlots.Load(sizeof(int16_t) * letter, &stored, sizeof stored);
        if (globalsLock.EndRead(begun)) return static_cast<int16_t>(stored - 1);
    }
}

}  // namespace morvanel
