// Box headers: name, export mark, ':' parameters and the maxinst and group options.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "program/units.h"
#include "script/lexer.h"

namespace morvanel {

struct BOX_HEADER {
    std::string name;
    std::vector<std::string> parameters;
    uint8_t exported = 0;
    int32_t maxInstances = -1;
    uint8_t stopExcess = 0;
    std::string groupName;
};

// The text a ':' parameter keeps: a note name becomes the note operator and the note's number.
std::string ParameterText(const Token& token);

// Reads one header at `position` into `header` (reset first). Returns the position after it, or
// null after reporting an error; what was read before the error stays in `header`. Without a
// clock, option values keep their units unconverted (start texts read options only to skip them).
const char* ParseBoxHeader(const CLOCK* clock, const char* position, ParseContext& context, BOX_HEADER& header);

}  // namespace morvanel
