// Writing rendered samples to WAV, FLAC, OGG or AIFF through libsndfile, block by block as they
// are rendered, so that a long render never sits in memory.
#pragma once

#include <cstdint>
#include <cstdio>
#include <string>

typedef struct sf_private_tag SNDFILE;

namespace morvanel::tool {

struct AudioFormat {
    int container = 0;  // libsndfile major format
    int encoding = 0;   // libsndfile subtype
    std::string name;   // "WAV", "FLAC", ...
    bool clips = false; // integer encodings cannot hold samples beyond full scale
};

// Chooses the container from the file name's extension ("-", standard output, is WAV) and the
// encoding from `bits` ("16", "24", "32f", or "" for the container's default). Returns false
// with a message for unsupported pairs.
bool ChooseFormat(const std::string& path, const std::string& bits, AudioFormat& format, std::string& error);

// One output file. The file appears only when Finish() succeeds: a regular file is written
// beside its target under a temporary name and renamed; standard output ("-") and other
// non-regular targets get a temporary file's bytes copied to them at the end. Anything not
// finished is removed when the writer is destroyed.
class CAudioWriter {
public:
    CAudioWriter() = default;
    ~CAudioWriter();
    CAudioWriter(const CAudioWriter&) = delete;
    CAudioWriter& operator=(const CAudioWriter&) = delete;

    // `standardOutput` is the descriptor "-" means.
    bool Open(const std::string& path, const AudioFormat& format, int sampleRate, int standardOutput, std::string& error);
    bool Write(const float* samples, int64_t count, std::string& error);
    bool Finish(std::string& error);
    void Abandon();

private:
    std::string target;
    std::string partial;  // the temporary name beside a regular target
    SNDFILE* file = nullptr;
    FILE* spool = nullptr;  // the temporary file copied to a non-regular target
    int copyTo = -1;
    bool closeCopyTo = false;
};

}  // namespace morvanel::tool
