// The tool's two commands.
#pragma once

#include <optional>
#include <string>
#include <vector>

#include "output_routing.h"

namespace morvanel::tool {

struct RenderOptions {
    std::string script;
    std::string output;  // empty: the script's name with .wav
    int rate = 48000;
    std::vector<std::string> voices;
    std::optional<double> seconds;
    double maxSeconds = 600.0;
    std::string bits;
    std::optional<unsigned> seed;
    std::optional<double> releaseAfter;  // release the --voice voices this far into the render
    bool normalize = false;
    bool quiet = false;
};

struct CheckOptions {
    std::vector<std::string> scripts;
    bool json = false;
    int rate = 48000;
};

// Each returns the process exit status; messages go to standard error, results to `routing`'s
// results stream.
int RunRender(const RenderOptions& options, OutputRouting& routing);
int RunCheck(const CheckOptions& options, OutputRouting& routing);

}  // namespace morvanel::tool
