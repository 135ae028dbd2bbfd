// Keeps the tool's standard output for its own results: the library prints diagnostics and
// `print` lines to standard output, which the tool silences, forwards to standard error, or
// captures to read back.
#pragma once

#include <atomic>
#include <cstdio>
#include <string>
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
    // The library's output is kept until TakeCaptured() reads it.
    void Capture();
    // What the library printed since the last call, while capturing.
    std::string TakeCaptured();
    // Whether the forwarded output said that calls nested too deep and the engine fell silent.
    bool SawDepthWarning() const { return sawDepthWarning.load(); }

private:
    void StopForwarding();
    void StopCapturing();

    FILE* results = nullptr;
    int silenced = -1;
    FILE* captured = nullptr;
    long capturedRead = 0;
    std::thread forwarder;
    std::atomic<bool> sawDepthWarning{false};
};

// The line the engine prints once when calls nest deeper than it allows.
constexpr const char* kDepthWarning = "WARNING: Max depth reached";

}  // namespace morvanel::tool
