// Keeps the tool's standard output for its own results: the library prints diagnostics and
// `print` lines to standard output, which the tool silences or forwards to standard error.
#pragma once

#include <cstdio>
#include <thread>

namespace morvanel::tool {

class OutputRouting {
public:
    // Takes over file descriptor 1; Results() writes to the original standard output.
    OutputRouting();
    ~OutputRouting();
    OutputRouting(const OutputRouting&) = delete;
    OutputRouting& operator=(const OutputRouting&) = delete;

    FILE* Results() const { return results; }
    // The library's output is dropped.
    void Silence();
    // The library's output goes to standard error, without the parse diagnostics, which the tool
    // reports itself in compiler form.
    void ForwardToStderr();

private:
    void StopForwarding();

    FILE* results = nullptr;
    int silenced = -1;
    int pipeRead = -1;
    std::thread forwarder;
};

}  // namespace morvanel::tool
