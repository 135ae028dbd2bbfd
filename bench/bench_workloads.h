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
    if (HostInstance* host = InstanceRegistry::Get().Find(id)) host->engine->voiceMajor = false;
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
