// libsndfile output with an all-or-nothing rename.
#include "audio_file.h"

#include <sndfile.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cstdio>

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

}  // namespace

bool ChooseFormat(const std::string& path, const std::string& bits, AudioFormat& format, std::string& error) {
    const std::string extension = LowerExtension(path);
    if (extension == "wav") {
        format = {SF_FORMAT_WAV, SF_FORMAT_FLOAT, "WAV"};
    } else if (extension == "flac") {
        format = {SF_FORMAT_FLAC, SF_FORMAT_PCM_24, "FLAC"};
    } else if (extension == "ogg" || extension == "oga") {
        format = {SF_FORMAT_OGG, SF_FORMAT_VORBIS, "OGG"};
    } else if (extension == "aiff" || extension == "aif") {
        format = {SF_FORMAT_AIFF, SF_FORMAT_FLOAT, "AIFF"};
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
    } else if (bits == "24") {
        format.encoding = SF_FORMAT_PCM_24;
    } else if (bits == "32f") {
        if (format.container == SF_FORMAT_FLAC) {
            error = "FLAC stores integer samples only: use --bits 16 or 24";
            return false;
        }
        format.encoding = SF_FORMAT_FLOAT;
    } else {
        error = "--bits takes 16, 24 or 32f, not '" + bits + "'";
        return false;
    }
    return true;
}

bool WriteAudioFile(const std::string& path, const AudioFormat& format, int sampleRate,
                    const std::vector<float>& samples, std::string& error) {
    SF_INFO info{};
    info.samplerate = sampleRate;
    info.channels = 1;
    info.format = format.container | format.encoding;
    if (!sf_format_check(&info)) {
        error = format.name + " cannot hold this sample rate and encoding";
        return false;
    }
    const std::string partial = path + ".partial-" + std::to_string(getpid());
    SNDFILE* file = sf_open(partial.c_str(), SFM_WRITE, &info);
    if (file == nullptr) {
        error = "cannot write '" + path + "': " + sf_strerror(nullptr);
        return false;
    }
    // Integer encodings clip instead of wrapping when a sample exceeds full scale.
    sf_command(file, SFC_SET_CLIPPING, nullptr, SF_TRUE);
    // The PEAK chunk of float files carries the time of writing: without it, the same render
    // gives the same bytes.
    sf_command(file, SFC_SET_ADD_PEAK_CHUNK, nullptr, SF_FALSE);
    const sf_count_t frames = static_cast<sf_count_t>(samples.size());
    const sf_count_t written = frames > 0 ? sf_writef_float(file, samples.data(), frames) : 0;
    const int closeStatus = sf_close(file);
    if (written != frames || closeStatus != 0) {
        std::remove(partial.c_str());
        error = "writing '" + path + "' failed";
        return false;
    }
    if (std::rename(partial.c_str(), path.c_str()) != 0) {
        std::remove(partial.c_str());
        error = "cannot write '" + path + "'";
        return false;
    }
    return true;
}

}  // namespace morvanel::tool
