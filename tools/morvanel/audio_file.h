// Writing rendered samples to WAV, FLAC, OGG or AIFF through libsndfile.
#pragma once

#include <string>
#include <vector>

namespace morvanel::tool {

enum class SampleFormat { Pcm16, Pcm24, Float32 };

struct AudioFormat {
    int container = 0;  // libsndfile major format
    int encoding = 0;   // libsndfile subtype
    std::string name;   // "WAV", "FLAC", ...
};

// Chooses the container from the file name's extension and the encoding from `bits` ("16", "24",
// "32f", or "" for the container's default). Returns false with a message for unsupported pairs.
bool ChooseFormat(const std::string& path, const std::string& bits, AudioFormat& format, std::string& error);

// Writes mono samples; the file appears only when it was written whole (it is written beside the
// target under a temporary name and renamed). Returns false with a message otherwise.
bool WriteAudioFile(const std::string& path, const AudioFormat& format, int sampleRate,
                    const std::vector<float>& samples, std::string& error);

}  // namespace morvanel::tool
