// Shared by the fuzz targets: quiet standard output, a fixed random seed per input, and the box
// names of a report.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace morvanel::fuzz {

// The library prints diagnostics and `print` lines; thousands of inputs a second would flood the
// terminal and slow the fuzzer down.
inline void SilenceStdout() { std::freopen("/dev/null", "w", stdout); }

inline std::vector<std::string> BoxNamesOf(const std::string& report) {
    std::vector<std::string> names;
    const std::string key = "\"Name\": \"";
    for (size_t at = report.find(key); at != std::string::npos; at = report.find(key, at)) {
        at += key.size();
        const size_t end = report.find('"', at);
        if (end == std::string::npos) break;
        names.push_back(report.substr(at, end - at));
    }
    return names;
}

}  // namespace morvanel::fuzz
