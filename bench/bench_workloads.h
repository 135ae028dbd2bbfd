// The musical workloads the benchmark and the instruction-count driver share, and the set-up
// that starts their voices.
#pragma once

#include <cstring>
#include <string>
#include <vector>

#include "api/instance_registry.h"
#include "morvanel.h"

namespace morvanel::bench {

constexpr int kRate = 48000;
constexpr int kBlock = 256;

struct Workload {
    const char* name;
    const char* script;
    const char* box;
};

// (1) A one-item looping square box; (2) the same with a fade and a period written by an
// assignment every sample; (3) a song box calling a note box with two arguments every 100
// samples, so instances are created and destroyed on the audio path.
inline constexpr Workload kWorkloads[] = {
    {"square", "sq = { @loop sqr(100) }", "sq"},
    {"faded", "fv = { vol(0) fadein(480000) %p = 90 @loop %p = 190 - %p sqr(%p) }", "fv"},
    {"melody",
     "note:%p:%v = dur(100) { vol(%v) @loop sqr(%p) }\n"
     "song = { @loop note:100:0.5 note:90:0.6 note:80:0.7 note:75:0.8 }",
     "song"},
};

inline const Workload* FindWorkload(const char* name) {
    for (const Workload& workload : kWorkloads) {
        if (std::strcmp(workload.name, name) == 0) return &workload;
    }
    return nullptr;
}

// Turns the voice-by-voice rendering of independent voices off, so the sample-by-sample path
// can be measured on its own.
inline void UseSamplePath(int id) {
    if (HostInstance* host = InstanceRegistry::Get().Find(id)) host->engine->player.voiceMajor = false;
}

// A script of about `bytes` bytes that uses every construct of the language.
inline std::string GeneratedScript(size_t bytes) {
    std::string script = "bpm(132)\nglobal(%g, 0.5)\nccvar(74, f)\npckey(1, box0)\n";
    for (int box = 0; script.size() < bytes; ++box) {
        const std::string name = "box" + std::to_string(box);
        script += "// box " + std::to_string(box) + "\n";
        script += "[" + name + "*:%a:%b group(g" + std::to_string(box % 7) + ") maxinst(4, 1)] = dur(~0.5) if(%g) {\n";
        script += "  vol(0.5) fadein(!0.25) own\n  @loop sqr(@440) saw(#69) noise5(c4) noise17e(%a) out(-0.5) ?\n";
        script += "  %c = (%a + 2 * %b) \\ 7 - sin2pi(%c / 3) + _%f + ~0.001 + !%g + @220 + #60 + ?\n";
        script += "  `_0-5123456789?` push(%c) pop(%d) print(%d)\n";
        script += "  while(%d) { @loop out(%d) %d = %d - 1 }\n  @release fadeout(~0.1)\n}\n";
        if (box > 0) {
            script += "caller" + std::to_string(box) + " = { box" + std::to_string(box - 1) + ":1:2 3 4:5 c5 }\n";
        }
        if (box % 50 == 0) script += "midikey(" + std::to_string(box % 128) + ", " + name + ")\n";
    }
    return script;
}

// An instance with `voices` voices of the workload's box started, past their first samples.
inline int StartInstance(const Workload& workload, int voices, bool samplePath) {
    const int id = NewInstance(kRate);
    if (samplePath) UseSamplePath(id);
    std::vector<float> out(kBlock);
    ParseString(workload.script, id);
    GetBuffer(1, out.data(), id);
    while (GetResponseString(0, id)[0] != '\0') {
    }
    for (int started = 0; started < voices; started += 48) {
        for (int i = started; i < voices && i < started + 48; ++i) StartVoice(workload.box, id);
        GetBuffer(1, out.data(), id);
    }
    GetBuffer(kBlock, out.data(), id);
    return id;
}

}  // namespace morvanel::bench
