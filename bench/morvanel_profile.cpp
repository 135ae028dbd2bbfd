// A fixed amount of rendering for instruction counting: `valgrind --tool=callgrind
// --toggle-collect=RenderBlocks` over this program counts only the instructions of the measured
// blocks (not parsing or starting voices), so dividing by the voice-samples rendered gives
// instructions per voice-sample that do not depend on the machine's load.
//   morvanel_profile <square|faded|melody> <voices> <blocks> [--sample-path]
//   morvanel_profile compile <bytes> <repeats>      (collect with --toggle-collect=*CompileScripts*)
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "bench_workloads.h"
#include "morvanel.h"

// Kept out of line so that the instruction counter can be switched on for it alone.
[[gnu::noinline]] double RenderBlocks(int id, int blocks, std::vector<float>& out) {
    double checksum = 0.0;
    for (int block = 0; block < blocks; ++block) {
        GetBuffer(static_cast<int>(out.size()), out.data(), id);
        checksum += static_cast<double>(out[0]);
    }
    return checksum;
}

// Compiles a generated script `repeats` times, each in a fresh instance.
[[gnu::noinline]] void CompileScripts(const std::string& script, int repeats) {
    std::vector<float> out(1);
    for (int i = 0; i < repeats; ++i) {
        const int id = NewInstance(morvanel::bench::kRate);
        ParseString(script.c_str(), id);
        GetBuffer(1, out.data(), id);
        DestroyInstance(id);
    }
}

int main(int argc, char** argv) {
    if (argc >= 4 && std::strcmp(argv[1], "compile") == 0) {
        const std::string script = morvanel::bench::GeneratedScript(static_cast<size_t>(std::atol(argv[2])));
        CompileScripts(script, std::atoi(argv[3]));
        std::printf("compiled %zu bytes %s times\n", script.size(), argv[3]);
        return 0;
    }
    if (argc < 4) {
        std::fprintf(stderr, "usage: %s <square|faded|melody> <voices> <blocks> [--sample-path]\n", argv[0]);
        return 2;
    }
    const morvanel::bench::Workload* workload = morvanel::bench::FindWorkload(argv[1]);
    if (workload == nullptr) {
        std::fprintf(stderr, "unknown workload '%s'\n", argv[1]);
        return 2;
    }
    const int voices = std::atoi(argv[2]);
    const int blocks = std::atoi(argv[3]);
    const bool samplePath = argc > 4 && std::strcmp(argv[4], "--sample-path") == 0;
    const int id = morvanel::bench::StartInstance(*workload, voices, samplePath);
    std::vector<float> out(morvanel::bench::kBlock);
    const double checksum = RenderBlocks(id, blocks, out);
    std::printf("%s: %d voices, %d blocks of %d, %lld voice-samples (checksum %g)\n", workload->name, voices,
                blocks, morvanel::bench::kBlock,
                static_cast<long long>(voices) * blocks * morvanel::bench::kBlock, checksum);
    DestroyInstance(id);
    return 0;
}
