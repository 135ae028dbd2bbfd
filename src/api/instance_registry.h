// The process-wide registry of host instances: the static default instance 0 and the instances
// NewInstance hands out under ids 16, 17, ... (never reused).
#pragma once

#include <array>
#include <cstdint>
#include <map>
#include <memory>

#include "engine/engine.h"
#include "engine/midi_router.h"

namespace morvanel {

constexpr int kHostTextSize = 16384;

struct HostInstance {
    char text[kHostTextSize] = {};  // ReportBoxesAsJson's buffer
    std::unique_ptr<MidiRouter> router;
    std::unique_ptr<CEngine> engine;
};

class InstanceRegistry {
public:
    // The instance with `id`, or null when it is missing (negative, unknown, destroyed, or the
    // default instance before Initialize).
    HostInstance* Find(int32_t id);
    int32_t Initialize(int32_t sampleRate);
    int32_t NewInstance(int32_t sampleRate);
    void Destroy(int32_t id);

    static InstanceRegistry& Get();

private:
    static constexpr int32_t kFirstHostId = 16;
    // The first ids are also found by indexing, so that finding an instance (GetBuffer does it at
    // every call, on the audio thread) is one array read; later ids fall back to the map.
    static constexpr int32_t kDirectIds = 4096;

    HostInstance defaultInstance;
    std::map<int32_t, std::unique_ptr<HostInstance>> instances;
    std::array<HostInstance*, kDirectIds> direct{};
    int32_t nextHostInstanceId = kFirstHostId;
};

}  // namespace morvanel
