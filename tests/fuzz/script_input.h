// One input of the script fuzz target, as a function: the fuzzer and the ordinary test suite's
// replay of saved inputs run exactly the same work.
#pragma once

#include <cstdlib>
#include <string>

#include "fuzz_support.h"
#include "morvanel.h"

namespace morvanel::fuzz {

// Compiles `script` on instance `id`, starts every box the report lists (at most eight, each bare
// and with two arguments) on top of the voices the script's own runs start, and renders about two
// thousand samples. Leaves the instance alive, with whatever still plays, for the caller to probe
// or destroy. The random seed is fixed so an input replays identically.
inline void RunScriptInput(const std::string& script, int id) {
    std::srand(1);
    const int serial = ParseString(script.c_str(), id);
    float buffer[512];
    GetBuffer(1, buffer, id);
    GetResponseString(serial, id);
    // A voice whose loop takes no time costs a thousand items a sample by design; a few of them
    // over a couple of thousand samples is plenty, and keeps each input well under a second.
    int started = 0;
    for (const std::string& name : BoxNamesOf(ReportBoxesAsJson(id))) {
        if (++started > 8) break;
        StartVoice(name.c_str(), id);
        StartVoice((name + ":1:2").c_str(), id);
    }
    for (int block = 0; block < 4; ++block) GetBuffer(512, buffer, id);
    ReleaseVoice(16385, id);
    GetBuffer(512, buffer, id);
}

}  // namespace morvanel::fuzz
