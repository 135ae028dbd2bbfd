// The box report: a JSON list of the named boxes and their parameter letters.
#pragma once

#include <cstddef>
#include <cstdint>

namespace morvanel {

class CEngine;

// Audio thread (or with the engine otherwise at rest). Writes the report into `destination` when
// it is shorter than capacity - 1 and returns its length; otherwise leaves an empty text and
// returns 0 (a report is never truncated). Allocates nothing.
size_t WriteBoxReport(const CEngine& engine, char* destination, int32_t capacity);

}  // namespace morvanel
