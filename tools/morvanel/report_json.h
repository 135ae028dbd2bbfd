// The JSON report of `check --json`: one object, a list of files, each with its diagnostics,
// boxes (parameters, export mark, group, instance limit) and MIDI key map.
#pragma once

#include <string>
#include <vector>

#include "session.h"

namespace morvanel::tool {

struct CHECKED_SCRIPT {
    std::string path;       // as shown in messages ("<stdin>" for standard input)
    std::string readError;  // why the file could not be read, "" when it was
    SCRIPT_ANALYSIS analysis;
};

std::string FormatCheckReport(const std::vector<CHECKED_SCRIPT>& scripts);

}  // namespace morvanel::tool
