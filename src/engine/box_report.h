// The box report: a JSON list of the named boxes and their parameter letters.
#pragma once

#include <cstdint>
#include <string>

namespace morvanel {

class CEngine;

// The report text. Caller holds the engine's sharedStateLock or runs on the audio thread.
std::string BuildBoxReport(const CEngine& engine);

// Writes the report into `destination` when it is shorter than capacity - 1; otherwise leaves
// an empty text (a report is never truncated).
void WriteBoxReport(const CEngine& engine, char* destination, int32_t capacity);

}  // namespace morvanel
