// File-descriptor plumbing for the library's standard output.
#include "output_routing.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstring>
#include <string>

namespace morvanel::tool {

namespace {

bool IsParseDiagnostic(const std::string& line) {
    int lineNumber = 0;
    int column = 0;
    int consumed = 0;
    return std::sscanf(line.c_str(), "LINE %d COLUMN %d: %n", &lineNumber, &column, &consumed) == 2 && consumed > 0;
}

void Forward(int from) {
    std::string pending;
    char chunk[4096];
    for (;;) {
        const ssize_t count = read(from, chunk, sizeof chunk);
        if (count <= 0) break;
        pending.append(chunk, static_cast<size_t>(count));
        size_t newline;
        while ((newline = pending.find('\n')) != std::string::npos) {
            const std::string line = pending.substr(0, newline + 1);
            pending.erase(0, newline + 1);
            if (!IsParseDiagnostic(line)) std::fputs(line.c_str(), stderr);
        }
    }
    if (!pending.empty() && !IsParseDiagnostic(pending)) std::fputs(pending.c_str(), stderr);
    close(from);
}

}  // namespace

OutputRouting::OutputRouting() {
    std::fflush(stdout);
    const int saved = dup(STDOUT_FILENO);
    results = saved >= 0 ? fdopen(saved, "w") : stdout;
    silenced = open("/dev/null", O_WRONLY);
    Silence();
}

OutputRouting::~OutputRouting() {
    StopForwarding();
    if (results != nullptr && results != stdout) {
        std::fflush(results);
        dup2(fileno(results), STDOUT_FILENO);
        std::fclose(results);
    }
    if (silenced >= 0) close(silenced);
}

void OutputRouting::Silence() {
    StopForwarding();
    std::fflush(stdout);
    if (silenced >= 0) dup2(silenced, STDOUT_FILENO);
}

void OutputRouting::ForwardToStderr() {
    StopForwarding();
    int ends[2];
    if (pipe(ends) != 0) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        return;
    }
    std::fflush(stdout);
    dup2(ends[1], STDOUT_FILENO);
    close(ends[1]);
    pipeRead = ends[0];
    forwarder = std::thread(Forward, pipeRead);
}

void OutputRouting::StopForwarding() {
    if (!forwarder.joinable()) return;
    std::fflush(stdout);
    // Closing the pipe's last write end lets the forwarder drain it and finish.
    if (silenced >= 0) dup2(silenced, STDOUT_FILENO);
    forwarder.join();
    pipeRead = -1;
}

}  // namespace morvanel::tool
