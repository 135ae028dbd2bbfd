// libsndfile output with an all-or-nothing rename or copy.
#include "audio_file.h"

#include <fcntl.h>
#include <sndfile.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

namespace morvanel::tool {

namespace {

std::string LowerExtension(const std::string& path) {
    const size_t slash = path.find_last_of('/');
    const size_t dot = path.find_last_of('.');
    if (dot == std::string::npos || (slash != std::string::npos && dot < slash)) return "";
    std::string extension = path.substr(dot + 1);
    std::transform(extension.begin(), extension.end(), extension.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return extension;
}

bool CopyAll(int from, int to, std::string& error) {
    if (lseek(from, 0, SEEK_SET) != 0) {
        error = std::strerror(errno);
        return false;
    }
    char chunk[65536];
    for (;;) {
        const ssize_t count = read(from, chunk, sizeof chunk);
        if (count == 0) return true;
        if (count < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            return false;
        }
        for (ssize_t done = 0; done < count;) {
            const ssize_t written = write(to, chunk + done, static_cast<size_t>(count - done));
            if (written < 0) {
                if (errno == EINTR) continue;
                error = std::strerror(errno);
                return false;
            }
            done += written;
        }
    }
}

}  // namespace

bool ChooseFormat(const std::string& path, const std::string& bits, AudioFormat& format, std::string& error) {
    const std::string extension = path == "-" ? "wav" : LowerExtension(path);
    if (extension == "wav") {
        format = {SF_FORMAT_WAV, SF_FORMAT_FLOAT, "WAV", false};
    } else if (extension == "flac") {
        format = {SF_FORMAT_FLAC, SF_FORMAT_PCM_24, "FLAC", true};
    } else if (extension == "ogg" || extension == "oga") {
        format = {SF_FORMAT_OGG, SF_FORMAT_VORBIS, "OGG", true};
    } else if (extension == "aiff" || extension == "aif") {
        format = {SF_FORMAT_AIFF, SF_FORMAT_FLOAT, "AIFF", false};
    } else {
        error = "cannot tell the audio format from '" + path + "': use .wav, .flac, .ogg or .aiff";
        return false;
    }
    if (bits.empty()) return true;
    if (format.container == SF_FORMAT_OGG) {
        error = "OGG files are Vorbis-encoded: --bits does not apply to them";
        return false;
    }
    if (bits == "16") {
        format.encoding = SF_FORMAT_PCM_16;
        format.clips = true;
    } else if (bits == "24") {
        format.encoding = SF_FORMAT_PCM_24;
        format.clips = true;
    } else if (bits == "32f") {
        if (format.container == SF_FORMAT_FLAC) {
            error = "FLAC stores integer samples only: use --bits 16 or 24";
            return false;
        }
        format.encoding = SF_FORMAT_FLOAT;
        format.clips = false;
    } else {
        error = "--bits takes 16, 24 or 32f, not '" + bits + "'";
        return false;
    }
    return true;
}

CAudioWriter::~CAudioWriter() { Abandon(); }

bool CAudioWriter::Open(const std::string& path, const AudioFormat& format, int sampleRate, int standardOutput,
                        std::string& error) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = format.container | format.encoding;
    if (!sf_format_check(&info)) {
        error = format.name + " cannot hold this sample rate and encoding";
        return false;
    }
    target = path == "-" ? "standard output" : path;
    struct stat status {};
    const bool exists = path != "-" && stat(path.c_str(), &status) == 0;
    int fd;
    if (path == "-" || (exists && !S_ISREG(status.st_mode))) {
        if (exists && S_ISDIR(status.st_mode)) {
            error = "cannot write '" + path + "': " + std::strerror(EISDIR);
            return false;
        }
        if (path == "-") {
            copyTo = standardOutput;
        } else {
            copyTo = open(path.c_str(), O_WRONLY | O_CLOEXEC);
            if (copyTo < 0) {
                error = "cannot write '" + path + "': " + std::strerror(errno);
                return false;
            }
            closeCopyTo = true;
        }
        spool = std::tmpfile();
        if (spool == nullptr) {
            error = std::string("cannot make a temporary file: ") + std::strerror(errno);
            return false;
        }
        fd = fileno(spool);
    } else {
        partial = path + ".partial-" + std::to_string(getpid());
        fd = open(partial.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0666);
        if (fd < 0) {
            error = "cannot write '" + path + "': " + std::strerror(errno);
            partial.clear();
            return false;
        }
    }
    file = sf_open_fd(fd, SFM_WRITE, &info, spool == nullptr ? SF_TRUE : SF_FALSE);
    if (file == nullptr) {
        if (spool == nullptr) close(fd);
        error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        Abandon();
        return false;
    }
    // Integer encodings clip instead of wrapping when a sample exceeds full scale.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The PEAK chunk of float files carries the time of writing: without it, the same render
    // gives the same bytes.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    return true;
}

bool CAudioWriter::Write(const float* samples, int64_t count, std::string& error) {
    if (file == nullptr) return false;
    if (count <= 0) return true;
    if (sf_writef_float(file, samples, count) != count) {
        error = "writing '" + target + "' failed: " + sf_strerror(file);
        return false;
    }
    return true;
}

bool CAudioWriter::Finish(std::string& error) {
    if (file == nullptr) return false;
    const int closed = sf_close(file);
    file = nullptr;
    if (closed != 0) {
        error = "writing '" + target + "' failed: " + sf_error_number(closed);
        Abandon();
        return false;
    }
    if (spool != nullptr) {
        std::string reason;
        const bool copied = CopyAll(fileno(spool), copyTo, reason);
        Abandon();
        if (!copied) error = "cannot write to " + target + ": " + reason;
        return copied;
    }
    if (std::rename(partial.c_str(), target.c_str()) != 0) {
        error = "cannot write '" + target + "': " + std::strerror(errno);
        Abandon();
        return false;
    }
    partial.clear();
    return true;
}

void CAudioWriter::Abandon() {
    if (file != nullptr) {
        sf_close(file);
        file = nullptr;
    }
    if (!partial.empty()) {
        std::remove(partial.c_str());
        partial.clear();
    }
    if (spool != nullptr) {
        std::fclose(spool);
        spool = nullptr;
    }
    if (closeCopyTo && copyTo >= 0) close(copyTo);
    copyTo = -1;
    closeCopyTo = false;
}

}  // namespace morvanel::tool
