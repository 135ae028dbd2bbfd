// Fuzz target: any text as a voice start text, after a fixed script with parameters, groups,
// limits and globals; both through StartVoice (which refuses texts over 31 characters) and
// straight into the engine's start-text reader, which has no such limit.
#include <cstdint>
#include <mutex>
#include <string>

#include "api/instance_registry.h"
#include "compile/start_text.h"
#include "fuzz_support.h"
#include "morvanel.h"

namespace {

const char kScript[] =
    "global(%g, 2)\n"
    "tone:%p:%l = { dur(%l) { @loop sqr(%p) } }\n"
    "[kick group(drums) maxinst(2, 1)] = dur(100) { @loop noise5(3) }\n"
    "b:%a:%b = { out(%a) out(%b) push(%a) tone:%a:%b }\n"
    "deep = { deep }\n";

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    morvanel::fuzz::SilenceStdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const int id = NewInstance(48000);
    std::srand(1);
    ParseString(kScript, id);
    float buffer[256];
    GetBuffer(1, buffer, id);
    StartVoice(text.c_str(), id);
    GetBuffer(256, buffer, id);
    {
        morvanel::CEngine& engine = *morvanel::InstanceRegistry::Get().Find(id)->engine;
        // Any length reaches the reader here; the engine's start of what it read is applied at once.
        engine.player.StartVoice(morvanel::ParseStartText(text.c_str(), false), 99, 60, 0.5f);
    }
    for (int block = 0; block < 4; ++block) GetBuffer(256, buffer, id);
    DestroyInstance(id);
    return 0;
}
