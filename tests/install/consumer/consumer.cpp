// A C++ program built against an installed Morvanel: the C header used from C++ (its extern "C"
// block), an instance owned by a small RAII wrapper, and a diagnostic read back from the log.
#include <morvanel.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string>
#include <string_view>
#include <vector>

#ifndef EXPECTED_VERSION
#error "build with -DEXPECTED_VERSION=\"x.y.z\", the version the package reported"
#endif

namespace {

class Instance {
public:
    explicit Instance(int rate) : id_(NewInstance(rate)) {}
    ~Instance() { DestroyInstance(id_); }
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    std::string Parse(const std::string& script) {
        const int serial = ParseString(script.c_str(), id_);
        float first = 0.0f;
        GetBuffer(1, &first, id_);
        return GetResponseString(serial, id_);
    }
    std::vector<float> Render(int count) {
        std::vector<float> samples(static_cast<size_t>(count));
        GetBuffer(count, samples.data(), id_);
        return samples;
    }
    int id() const { return id_; }

private:
    int id_;
};

int Fail(const std::string& what) {
    std::fprintf(stderr, "consumer.cpp: %s\n", what.c_str());
    return 1;
}

}  // namespace

int main() {
    if (std::string_view(MORVANEL_VERSION) != EXPECTED_VERSION) {
        return Fail(std::string("header version ") + MORVANEL_VERSION + ", package version " + EXPECTED_VERSION);
    }
    Instance instance(44100);
    const std::string bad = instance.Parse("ok = { sqr(@440) }\nbpm 120\n");
    if (bad.find("LINE 2 COLUMN 4: Expected a '('") == std::string::npos) return Fail("unexpected log: " + bad);

    const std::string log = instance.Parse("tone = dur(~0.01) { @loop saw(@441) }");
    if (log.find("Compilation successful") == std::string::npos) return Fail("unexpected log: " + log);
    StartVoice("tone", instance.id());
    const std::vector<float> samples = instance.Render(882);
    const auto loudest = std::max_element(samples.begin(), samples.end(),
                                          [](float a, float b) { return std::fabs(a) < std::fabs(b); });
    if (std::fabs(*loudest) < 0.05f) return Fail("the tone is silent");
    if (MorvanelActiveVoices(instance.id()) != 0) return Fail("the tone did not end after 10 ms");
    std::printf("consumer.cpp: Morvanel %s, peak %.2f\n", MORVANEL_VERSION, static_cast<double>(std::fabs(*loudest)));
    return 0;
}
