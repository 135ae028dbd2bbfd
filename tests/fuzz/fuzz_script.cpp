// Fuzz target: any text as a script; then every box the report lists is started and the engine
// renders a few thousand samples (script_input.h, shared with the replay of saved inputs).
#include <cstdint>
#include <string>

#include "fuzz_support.h"
#include "morvanel.h"
#include "script_input.h"

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvanel::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string script(reinterpret_cast<const char*>(data), size);
    const int id = NewInstance(48000);
    morvanel::fuzz::RunScriptInput(script, id);
    DestroyInstance(id);
    return 0;
}
