// File-descriptor plumbing for the library's standard output.
#include "output_routing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>

namespace morvanel::tool {

namespace {

bool IsParseDiagnostic(const std::string& line) {
    int lineNumber = 0;
    int column = 0;
    int consumed = 0;
    return std::sscanf(line.c_str(), "LINE %d COLUMN %d: %n", &lineNumber, &column, &consumed) == 2 && consumed > 0;
}

void Forward(int from, std::atomic<bool>* sawDepthWarning) {
    std::string pending;
    char chunk[4096];
    auto emit = [&](const std::string& line) {
        if (IsParseDiagnostic(line)) return;
        if (line.find(kDepthWarning) != std::string::npos) sawDepthWarning->store(true);
        std::fputs(line.c_str(), stderr);
    };
    for (;;) {
        const ssize_t count = read(from, chunk, sizeof chunk);
        if (count <= 0) break;
        pending.append(chunk, static_cast<size_t>(count));
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            emit(pending.substr(0, newline + 1));
            pending.erase(0, newline + 1);
        }
    }
    if (!pending.empty()) emit(pending);
    close(from);
}

}  // namespace

OutputRouting::OutputRouting() {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    results = saved >= 0 ? fdopen(saved, "w") : stdout;
    silenced = open("/dev/null", O_WRONLY | O_CLOEXEC);
    Silence();
}

OutputRouting::~OutputRouting() {
    // Whatever the library left in stdio's buffer belongs to the library, not to our results.
    Silence();
    if (results != nullptr && results != stdout) {
        std::fflush(results);
        dup2(fileno(results), STDOUT_FILENO);
        std::fclose(results);
    }
    if (silenced >= 0) close(silenced);
}

void OutputRouting::Silence() {
    StopForwarding();
    StopCapturing();
    std::fflush(stdout);
    if (silenced >= 0) dup2(silenced, STDOUT_FILENO);
}

void OutputRouting::ForwardToStderr() {
    Silence();
    int ends[2];
    if (pipe(ends) != 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        return;
    }
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    sawDepthWarning.store(false);
    forwarder = std::thread(Forward, ends[0], &sawDepthWarning);
}

void OutputRouting::Capture() {
    Silence();
    captured = std::tmpfile();
    capturedRead = 0;
    if (captured != nullptr) dup2(fileno(captured), STDOUT_FILENO);
}

std::string OutputRouting::TakeCaptured() {
    std::fflush(stdout);
    std::string text;
    if (captured == nullptr) return text;
    char chunk[4096];
    for (;;) {
        const ssize_t count = pread(fileno(captured), chunk, sizeof chunk, capturedRead);
        if (count <= 0) break;
        text.append(chunk, static_cast<size_t>(count));
        capturedRead += count;
    }
    return text;
}

void OutputRouting::StopForwarding() {
    if (!forwarder.joinable()) return;
    std::fflush(stdout);
    // Closing the pipe's last write end lets the forwarder drain it and finish.
    if (silenced >= 0) dup2(silenced, STDOUT_FILENO);
    forwarder.join();
}

void OutputRouting::StopCapturing() {
    if (captured == nullptr) return;
    std::fflush(stdout);
    if (silenced >= 0) dup2(silenced, STDOUT_FILENO);
    std::fclose(captured);
    captured = nullptr;
}

}  // namespace morvanel::tool
