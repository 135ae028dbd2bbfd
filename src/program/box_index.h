// The named boxes filed by the hash of their name, so that a voice start finds its box with one
// or two probes of a flat table: the poster hashed the name, the audio thread only compares it.
// Linear probing with backward-shift deletion: no tombstones, so a table never fills with them.
#pragma once

#include <cstdint>
#include <cstring>
#include <string_view>
#include <vector>

namespace morvanel {

template <typename Box>
class CNameIndex {
public:
    // Audio thread. The box filed under `name` (whose hash is `hash`), or null. Allocates nothing.
    Box* Find(uint64_t hash, std::string_view name) const {
        if (entries.empty()) return nullptr;
        const size_t mask = entries.size() - 1;
        for (size_t index = Home(hash, mask);; index = (index + 1) & mask) {
            Box* box = entries[index];
            if (box == nullptr) return nullptr;
            if (box->nameHash == hash && box->name == name) return box;
        }
    }

    // Files `box` under its own name and hash; may grow the table (allocates).
    void Insert(Box* box) {
        if ((count + 1) * 2 > entries.size()) Rebuild(entries.empty() ? 16 : entries.size() * 2);
        Place(box);
        ++count;
    }

    // Files `replacement` where `box` was (same name). Allocates nothing.
    void Replace(const Box* box, Box* replacement) {
        if (Box** entry = EntryOf(box)) *entry = replacement;
    }

    // Removes `box`; entries after it move back so that every probe chain stays unbroken.
    void Remove(const Box* box) {
        Box** entry = EntryOf(box);
        if (entry == nullptr) return;
        const size_t mask = entries.size() - 1;
        size_t hole = static_cast<size_t>(entry - entries.data());
        entries[hole] = nullptr;
        --count;
        for (size_t index = (hole + 1) & mask; entries[index] != nullptr; index = (index + 1) & mask) {
            const size_t home = Home(entries[index]->nameHash, mask);
            // Move back unless the entry's home lies cyclically in (hole, index].
            const bool stays = hole <= index ? (home > hole && home <= index) : (home > hole || home <= index);
            if (stays) continue;
            entries[hole] = entries[index];
            entries[index] = nullptr;
            hole = index;
        }
    }

    void Clear() {
        entries.clear();
        count = 0;
    }

private:
    // The slot a hash starts probing at (the table's length is a power of two).
    static size_t Home(uint64_t hash, size_t mask) { return static_cast<size_t>(hash & mask); }

    Box** EntryOf(const Box* box) {
        if (entries.empty() || box == nullptr) return nullptr;
        const size_t mask = entries.size() - 1;
        for (size_t index = Home(box->nameHash, mask);; index = (index + 1) & mask) {
            if (entries[index] == nullptr) return nullptr;
            if (entries[index] == box) return &entries[index];
        }
    }

    void Place(Box* box) {
        const size_t mask = entries.size() - 1;
        size_t index = Home(box->nameHash, mask);
        while (entries[index] != nullptr) index = (index + 1) & mask;
        entries[index] = box;
    }

    void Rebuild(size_t capacity) {
        std::vector<Box*> old(capacity, nullptr);
        old.swap(entries);
        for (Box* box : old) {
            if (box != nullptr) Place(box);
        }
    }

    std::vector<Box*> entries;  // a power of two long, at most half full
    size_t count = 0;
};

}  // namespace morvanel
