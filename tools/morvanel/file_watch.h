// Watching a script for saves: inotify on its folder (editors often save by writing a new file
// and renaming it over the old one), or polling its status where inotify cannot see changes
// (network and shared folders).
#pragma once

#include <sys/types.h>

#include <chrono>
#include <string>

namespace morvanel::tool {

enum class FileChange { None, Saved, Deleted };

class CFileWatch {
public:
    CFileWatch() = default;
    ~CFileWatch();
    CFileWatch(const CFileWatch&) = delete;
    CFileWatch& operator=(const CFileWatch&) = delete;

    // Starts watching `path`. With `polling`, or when inotify is not available, the file's status
    // is read four times a second instead. False with the reason when the file cannot be watched.
    bool Start(const std::string& path, bool polling, std::string& error);
    // The descriptor to wait on for changes, -1 when polling.
    int Descriptor() const { return notify; }
    bool Polling() const { return notify < 0; }
    // Called whenever the descriptor is readable and at least every 50 ms. Saved once a change has
    // been quiet for a moment (a save is often several writes); Deleted once the file has been
    // gone for two seconds (an editor's save or a version-control checkout removes and recreates
    // it faster than that).
    FileChange Check();

private:
    struct SIGNATURE {
        bool exists = false;
        ino_t inode = 0;
        off_t size = 0;
        long long modified = 0;  // nanoseconds
        long long changed = 0;
    };
    using Clock = std::chrono::steady_clock;

    SIGNATURE Read() const;
    static bool Same(const SIGNATURE& a, const SIGNATURE& b);
    void DrainEvents();

    std::string path;
    std::string name;  // the file's name in its folder
    int notify = -1;
    SIGNATURE known;   // the file as last reported
    SIGNATURE polled;  // the file at the last poll
    bool pending = false;  // a change was seen and has not been reported
    Clock::time_point lastEvent;
    Clock::time_point lastPoll;
    Clock::time_point missingSince;
    bool missing = false;
};

}  // namespace morvanel::tool
