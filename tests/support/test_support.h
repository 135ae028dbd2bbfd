// Helpers shared by the tests: an instance driven through the public API, with its parse log and
// rendered samples, and a capture of what the library prints.
#pragma once

#include <string>
#include <vector>

namespace morvanel::testing {

class Instance {
public:
    explicit Instance(int sampleRate = 48000);
    ~Instance();
    Instance(const Instance&) = delete;
    Instance& operator=(const Instance&) = delete;

    // Compiles `script` (one GetBuffer sample runs the parse) and returns its log.
    std::string Parse(const std::string& script);
    // Renders `count` samples.
    std::vector<float> Render(int count);
    int Start(const std::string& text);
    int id() const { return id_; }

private:
    int id_;
};

// Runs `action` with standard output captured and returns what it printed.
template <typename Action>
std::string CaptureStdout(Action&& action);

// The text of a whole file.
std::string ReadFile(const std::string& path);

}  // namespace morvanel::testing

#include <gtest/gtest.h>

template <typename Action>
std::string morvanel::testing::CaptureStdout(Action&& action) {
    ::testing::internal::CaptureStdout();
    action();
    return ::testing::internal::GetCapturedStdout();
}
