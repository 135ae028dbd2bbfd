// The box report: a JSON list of the named boxes and their parameter letters.
#pragma once

#include <cstddef>
#include <cstdint>

#include "program/box_registry.h"

namespace morvanel {

// Audio thread. Writes the report of the registered boxes into `destination` when it is shorter
// than capacity - 1 and returns its length; otherwise leaves an empty text and returns 0 (a report
// is never truncated). Allocates nothing.
size_t WriteBoxReport(const CBoxRegistry& boxes, char* destination, int32_t capacity);

}  // namespace morvanel
