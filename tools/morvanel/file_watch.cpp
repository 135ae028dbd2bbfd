// inotify and polling for one file.
#include "file_watch.h"

#include <sys/inotify.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace morvanel::tool {

namespace {

constexpr auto kQuiet = std::chrono::milliseconds(100);
constexpr auto kPollEvery = std::chrono::milliseconds(250);
constexpr auto kDeletedAfter = std::chrono::seconds(2);

}  // namespace

CFileWatch::~CFileWatch() {
    if (notify >= 0) close(notify);
}

bool CFileWatch::Start(const std::string& watched, bool polling, std::string& error) {
    path = watched;
    const size_t slash = path.find_last_of('/');
    const std::string folder = slash == std::string::npos ? "." : slash == 0 ? "/" : path.substr(0, slash);
    name = slash == std::string::npos ? path : path.substr(slash + 1);
    known = Read();
    if (!known.exists) {
        error = std::strerror(ENOENT);
        return false;
    }
    polled = known;
    lastPoll = Clock::now();
    if (polling) return true;
    notify = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (notify < 0) return true;
    const uint32_t events = IN_CLOSE_WRITE | IN_MODIFY | IN_ATTRIB | IN_CREATE | IN_DELETE | IN_MOVED_FROM | IN_MOVED_TO |
                            IN_DELETE_SELF | IN_MOVE_SELF;
    if (inotify_add_watch(notify, folder.c_str(), events) < 0) {
        // Out of watches, or a file system without inotify: poll instead.
        close(notify);
        notify = -1;
    }
    return true;
}

CFileWatch::SIGNATURE CFileWatch::Read() const {
    SIGNATURE signature;
    struct stat status {};
    if (stat(path.c_str(), &status) != 0 || !S_ISREG(status.st_mode)) return signature;
    signature.exists = true;
    signature.inode = status.st_ino;
    signature.size = status.st_size;
    signature.modified = static_cast<long long>(status.st_mtim.tv_sec) * 1000000000LL + status.st_mtim.tv_nsec;
    signature.changed = static_cast<long long>(status.st_ctim.tv_sec) * 1000000000LL + status.st_ctim.tv_nsec;
    return signature;
}

bool CFileWatch::Same(const SIGNATURE& a, const SIGNATURE& b) {
    return a.exists == b.exists && a.inode == b.inode && a.size == b.size && a.modified == b.modified &&
           a.changed == b.changed;
}

void CFileWatch::DrainEvents() {
    alignas(struct inotify_event) char buffer[16384];
    for (;;) {
        const ssize_t count = read(notify, buffer, sizeof buffer);
        if (count <= 0) return;
        for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(struct inotify_event)) <= count;) {
            const auto* event = reinterpret_cast<const struct inotify_event*>(buffer + at);
            const bool ours = event->len > 0 && name == event->name;
            // An overflowed queue may have lost our event; a folder that went away took the file.
            const bool unsure = (event->mask & (IN_Q_OVERFLOW | IN_DELETE_SELF | IN_MOVE_SELF | IN_IGNORED)) != 0;
            if (ours || unsure) {
                pending = true;
                lastEvent = Clock::now();
            }
            at += static_cast<ssize_t>(sizeof(struct inotify_event) + event->len);
        }
    }
}

FileChange CFileWatch::Check() {
    const auto now = Clock::now();
    if (notify >= 0) {
        DrainEvents();
    } else if (now - lastPoll >= kPollEvery) {
        lastPoll = now;
        const SIGNATURE signature = Read();
        if (!Same(signature, polled)) {
            polled = signature;
            pending = true;
            lastEvent = now;
        }
    }
    if (missing) {
        if (!Read().exists) {
            if (now - missingSince < kDeletedAfter) return FileChange::None;
            missing = false;
            pending = false;
            return FileChange::Deleted;
        }
        // It is back: report it once it has been quiet for a moment.
        missing = false;
        pending = true;
        lastEvent = now;
    }
    if (!pending || now - lastEvent < kQuiet) return FileChange::None;
    pending = false;
    const SIGNATURE signature = Read();
    if (!signature.exists) {
        missing = true;
        missingSince = now;
        return FileChange::None;
    }
    if (Same(signature, known)) return FileChange::None;
    known = signature;
    return FileChange::Saved;
}

}  // namespace morvanel::tool
