// Keeps the sound systems' own chatter off the terminal: ALSA prints a page of complaints on a
// machine without a sound card, and JACK one when no server runs, each time a library looks.
#pragma once

#include <fcntl.h>
#include <unistd.h>

#include <cstdio>

namespace morvanel::tool {

// Sends standard error to /dev/null for the object's life. Control thread; nothing else may write
// to standard error meanwhile, since that would be lost too.
class CQuietStderr {
public:
    CQuietStderr() {
        std::fflush(stderr);
        saved = dup(STDERR_FILENO);
        const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
        if (saved >= 0 && null >= 0) dup2(null, STDERR_FILENO);
        if (null >= 0) close(null);
    }
    ~CQuietStderr() {
        if (saved < 0) return;
        dup2(saved, STDERR_FILENO);
        close(saved);
    }
    CQuietStderr(const CQuietStderr&) = delete;
    CQuietStderr& operator=(const CQuietStderr&) = delete;

private:
    int saved = -1;
};

}  // namespace morvanel::tool
