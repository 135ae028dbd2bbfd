// Test helpers built on the public API.
#include "support/test_support.h"

#include <fstream>
#include <sstream>

#include "morvanel.h"

namespace morvanel::testing {

Instance::Instance(int sampleRate) : id_(NewInstance(sampleRate)) {}

Instance::~Instance() { DestroyInstance(id_); }

std::string Instance::Parse(const std::string& script) {
    const int serial = ParseString(script.c_str(), id_);
    float sample = 0.0f;
    GetBuffer(1, &sample, id_);
    return GetResponseString(serial, id_);
}

std::vector<float> Instance::Render(int count) {
    std::vector<float> samples(static_cast<size_t>(count));
    GetBuffer(count, samples.data(), id_);
    return samples;
}

int Instance::Start(const std::string& text) { return StartVoice(text.c_str(), id_); }

std::string ReadFile(const std::string& path) {
    std::ifstream file(path, std::ios::binary);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

}  // namespace morvanel::testing
