// Fuzz target: any text as a script; then every box the report lists is started and the engine
// renders a few thousand samples.
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "morvanel.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvanel::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    const int id = NewInstance(48000);
    std::srand(1);
    const int serial = ParseString(script.c_str(), id);
    float buffer[512];
    GetBuffer(1, buffer, id);
    GetResponseString(serial, id);
    // A voice whose loop takes no time costs a thousand items a sample by design; a few of them
    // over a couple of thousand samples is plenty, and keeps each input well under a second.
    int started = 0;
    for (const std::string& name : morvanel::fuzz::BoxNamesOf(ReportBoxesAsJson(id))) {
        if (++started > 8) break;
        StartVoice(name.c_str(), id);
        StartVoice((name + ":1:2").c_str(), id);
    }
    for (int block = 0; block < 4; ++block) GetBuffer(512, buffer, id);
    ReleaseVoice(16385, id);
    GetBuffer(512, buffer, id);
    DestroyInstance(id);
    return 0;
}
