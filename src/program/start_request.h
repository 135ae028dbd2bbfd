// Start requests: what a start text ("name:arg:arg") asks for, in a fixed-size record that the
// posting thread fills and the audio thread applies without parsing, allocating or copying text.
#pragma once

#include <cstdint>
#include <string_view>

namespace morvanel {

// A box name that fits a start request: 31 bytes and the terminating NUL.
constexpr int kStartNameCapacity = 32;
// Arguments of one start: a 31-character text holds at most 15 (":x" each).
constexpr int kMaxStartArguments = 16;

enum StartArgumentKind : uint8_t {
    SA_NUMBER = 1,    // a constant, pushed as it is
    SA_VARIABLE = 2,  // an engine variable, read when the start is applied
    SA_NOTE = 3,      // a MIDI note, pushed as its period at the engine's rate when applied
};

struct START_ARGUMENT {
    uint8_t kind;
    uint8_t letter;  // SA_VARIABLE
    float value;     // SA_NUMBER: the number; SA_NOTE: the note number
};

// What a start text asks for: the box (by name and its hash) and the arguments to push, in
// written order. An empty name names no box.
struct START_REQUEST {
    char boxName[kStartNameCapacity];
    uint64_t nameHash;
    int32_t argumentCount;
    START_ARGUMENT arguments[kMaxStartArguments];
};

// The hash the box registry files a name under (64-bit FNV-1a).
constexpr uint64_t HashBoxName(std::string_view name) {
    uint64_t hash = 14695981039346656037ull;
    for (const char c : name) {
        hash ^= static_cast<uint8_t>(c);
        hash *= 1099511628211ull;
    }
    return hash;
}

// The literal start text of every spawn item (it names no box).
constexpr char kSpawnText[] = "[spawn]";

}  // namespace morvanel
