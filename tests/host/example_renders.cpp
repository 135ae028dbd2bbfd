// Renders every example through the public API, to files or against files rendered elsewhere,
// sample for sample. Windows builds compare their renders with the Linux library's this way.
//   morvanel_example_renders write EXAMPLES_DIR OUT_DIR
//   morvanel_example_renders compare EXAMPLES_DIR REFERENCE_DIR
// Random draws follow each platform's C rand, so only what comes before a script's first draw is
// rendered: the table below says how much that is for each example.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <set>
#include <string>
#include <vector>

#include "morvanel.h"

namespace {

constexpr int kSampleRate = 48000;
constexpr int kBlock = 4800;
constexpr long kMaxSamples = 60L * kSampleRate;
constexpr int kSkipped = 77;  // the test's SKIP_RETURN_CODE

struct Play {
    const char* example;  // file name without ".mv"
    const char* voice;    // started after the parse besides what the script runs; null for none
    long releaseAt;       // the sample at which that voice is released; 0 for never
    long samples;         // how many samples to render: 0 until every voice has ended, -1 none
    const char* why;      // why only a part or nothing is rendered
};

const Play kPlays[] = {
    {"arpeggio", nullptr, 0, 0, nullptr},
    {"coin", nullptr, 0, 0, nullptr},
    {"drums", nullptr, 0, -1, "its hi-hat draws random numbers from the first sample"},
    {"explosion", nullptr, 0, -1, "its noise draws random numbers from the first sample"},
    {"keyboard", nullptr, 0, 0, nullptr},
    {"laser", nullptr, 0, 0, nullptr},
    {"melody", nullptr, 0, 0, nullptr},
    {"pad", "pad:a3", 72000, 0, nullptr},
    {"siren", nullptr, 0, 0, nullptr},
};

bool ReadText(const std::filesystem::path& path, std::string& text) {
    std::FILE* file = std::fopen(path.string().c_str(), "rb");
    if (file == nullptr) return false;
    text.clear();
    char chunk[65536];
    size_t got;
    while ((got = std::fread(chunk, 1, sizeof chunk, file)) > 0) text.append(chunk, got);
    const bool ok = std::ferror(file) == 0;
    std::fclose(file);
    return ok;
}

// Renders one example into `samples`; false with a message on stderr when it cannot.
bool Render(const std::filesystem::path& script, const Play& play, std::vector<float>& samples) {
    std::string text;
    if (!ReadText(script, text)) {
        std::fprintf(stderr, "%s: cannot read %s\n", play.example, script.string().c_str());
        return false;
    }
    const int id = NewInstance(kSampleRate);
    const int serial = ParseString(text.c_str(), id);
    float block[kBlock];
    GetBuffer(1, block, id);  // the parse, and the script's own runs, start at this sample
    const std::string log = GetResponseString(serial, id);
    if (log.find("Compilation successful") == std::string::npos) {
        std::fprintf(stderr, "%s: did not compile:\n%s", play.example, log.c_str());
        DestroyInstance(id);
        return false;
    }
    samples.assign(1, block[0]);
    int voice = 0;
    if (play.voice != nullptr) voice = StartVoice(play.voice, id);
    while (true) {
        long count = kBlock;
        if (play.samples > 0) count = std::min<long>(count, play.samples - static_cast<long>(samples.size()));
        if (voice != 0 && play.releaseAt > static_cast<long>(samples.size())) {
            count = std::min<long>(count, play.releaseAt - static_cast<long>(samples.size()));
        }
        if (count <= 0) break;
        GetBuffer(static_cast<int>(count), block, id);
        samples.insert(samples.end(), block, block + count);
        if (voice != 0 && static_cast<long>(samples.size()) == play.releaseAt) ReleaseVoice(voice, id);
        if (play.samples == 0 && MorvanelActiveVoices(id) == 0) break;
        if (static_cast<long>(samples.size()) >= kMaxSamples) {
            std::fprintf(stderr, "%s: still sounding after %ld samples\n", play.example, kMaxSamples);
            DestroyInstance(id);
            return false;
        }
    }
    DestroyInstance(id);
    return true;
}

// Little-endian 32-bit floats, whatever the machine.
void Encode(const std::vector<float>& samples, std::string& bytes) {
    bytes.resize(samples.size() * 4);
    for (size_t i = 0; i < samples.size(); ++i) {
        uint32_t bits;
        std::memcpy(&bits, &samples[i], 4);
        for (int b = 0; b < 4; ++b) bytes[i * 4 + b] = static_cast<char>((bits >> (8 * b)) & 0xFF);
    }
}

uint32_t BitsAt(const std::string& bytes, size_t index) {
    uint32_t bits = 0;
    for (int b = 0; b < 4; ++b) bits |= static_cast<uint32_t>(static_cast<unsigned char>(bytes[index * 4 + b])) << (8 * b);
    return bits;
}

float FloatOf(uint32_t bits) {
    float value;
    std::memcpy(&value, &bits, 4);
    return value;
}

// Every example in the folder needs a line in the table, and every line its example.
bool CheckTableCoversFolder(const std::filesystem::path& folder) {
    std::set<std::string> listed;
    for (const Play& play : kPlays) listed.insert(play.example);
    std::set<std::string> found;
    std::error_code error;
    for (const auto& entry : std::filesystem::directory_iterator(folder, error)) {
        if (entry.path().extension() == ".mv") found.insert(entry.path().stem().string());
    }
    if (error) {
        std::fprintf(stderr, "cannot list %s: %s\n", folder.string().c_str(), error.message().c_str());
        return false;
    }
    bool ok = true;
    for (const std::string& name : found) {
        if (listed.count(name) == 0) {
            std::fprintf(stderr, "examples/%s.mv has no line in the table of %s: say how to render it\n", name.c_str(), __FILE__);
            ok = false;
        }
    }
    for (const std::string& name : listed) {
        if (found.count(name) == 0) {
            std::fprintf(stderr, "the table names %s, which is not in %s\n", name.c_str(), folder.string().c_str());
            ok = false;
        }
    }
    return ok;
}

int Run(const std::string& mode, const std::filesystem::path& examples, const std::filesystem::path& other) {
    if (!CheckTableCoversFolder(examples)) return 1;
    std::error_code error;
    if (mode == "write") std::filesystem::create_directories(other, error);
    int failures = 0;
    for (const Play& play : kPlays) {
        if (play.samples < 0) {
            std::printf("%-10s not rendered: %s\n", play.example, play.why);
            continue;
        }
        std::vector<float> samples;
        if (!Render(examples / (std::string(play.example) + ".mv"), play, samples)) {
            ++failures;
            continue;
        }
        std::string bytes;
        Encode(samples, bytes);
        const std::filesystem::path file = other / (std::string(play.example) + ".f32");
        const std::string part = play.why != nullptr ? std::string(" (only these: ") + play.why + ")" : "";
        if (mode == "write") {
            std::FILE* out = std::fopen(file.string().c_str(), "wb");
            bool written = out != nullptr && std::fwrite(bytes.data(), 1, bytes.size(), out) == bytes.size();
            if (out != nullptr) written = std::fclose(out) == 0 && written;
            if (!written) {
                std::fprintf(stderr, "%s: cannot write %s\n", play.example, file.string().c_str());
                ++failures;
                continue;
            }
            std::printf("%-10s %zu samples written%s\n", play.example, samples.size(), part.c_str());
            continue;
        }
        std::string reference;
        if (!ReadText(file, reference)) {
            std::fprintf(stderr, "%s: no reference render %s\n", play.example, file.string().c_str());
            ++failures;
            continue;
        }
        const size_t common = std::min(bytes.size(), reference.size()) / 4;
        size_t first = common;
        for (size_t i = 0; i < common && first == common; ++i) {
            if (BitsAt(bytes, i) != BitsAt(reference, i)) first = i;
        }
        if (first < common) {
            const uint32_t here = BitsAt(bytes, first);
            const uint32_t there = BitsAt(reference, first);
            std::fprintf(stderr, "%s: sample %zu differs: %.9g (0x%08x) here, %.9g (0x%08x) in the reference\n",
                         play.example, first, static_cast<double>(FloatOf(here)), here,
                         static_cast<double>(FloatOf(there)), there);
            ++failures;
        } else if (bytes.size() != reference.size()) {
            std::fprintf(stderr, "%s: %zu samples here, %zu in the reference\n", play.example, samples.size(),
                         reference.size() / 4);
            ++failures;
        } else {
            std::printf("%-10s %zu samples identical%s\n", play.example, samples.size(), part.c_str());
        }
    }
    return failures == 0 ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    const std::string mode = argc == 4 ? argv[1] : "";
    if (mode != "write" && mode != "compare") {
        std::fprintf(stderr, "usage: %s write|compare EXAMPLES_DIR RENDERS_DIR\n", argv[0]);
        return 2;
    }
    if (mode == "compare" && argv[3][0] == '\0') {
        std::printf("skipped: no reference renders to compare with (configure with -DMORVANEL_LINUX_RENDERS=DIR, "
                    "a folder that morvanel_example_renders of a Linux build wrote; scripts/windows.sh does)\n");
        return kSkipped;
    }
    return Run(mode, argv[2], argv[3]);
}
