// Instance lookup, creation and teardown.
#include "api/instance_registry.h"

namespace morvanel {

InstanceRegistry& InstanceRegistry::Get() {
    static InstanceRegistry registry;
    return registry;
}

HostInstance* InstanceRegistry::Find(int32_t id) {
    if (id < 0) return nullptr;
    if (id == 0) return defaultInstance.engine ? &defaultInstance : nullptr;
    if (id >= kFirstHostId && id - kFirstHostId < kDirectIds) return direct[static_cast<size_t>(id - kFirstHostId)];
    auto found = instances.find(id);
    return found == instances.end() ? nullptr : found->second.get();
}

namespace {
void Build(HostInstance& instance, int32_t sampleRate) {
    // The old router refers to the old engine: it goes first.
    instance.router.reset();
    instance.engine = std::make_unique<CEngine>(sampleRate);
    instance.router = std::make_unique<MidiRouter>(instance.engine.get());
}
}  // namespace

int32_t InstanceRegistry::Initialize(int32_t sampleRate) {
    Build(defaultInstance, sampleRate);
    return 0;
}

int32_t InstanceRegistry::NewInstance(int32_t sampleRate) {
    auto instance = std::make_unique<HostInstance>();
    Build(*instance, sampleRate);
    const int32_t id = nextHostInstanceId++;
    if (id - kFirstHostId < kDirectIds) direct[static_cast<size_t>(id - kFirstHostId)] = instance.get();
    instances[id] = std::move(instance);
    return id;
}

void InstanceRegistry::Destroy(int32_t id) {
    if (id <= 0) return;
    if (id >= kFirstHostId && id - kFirstHostId < kDirectIds) direct[static_cast<size_t>(id - kFirstHostId)] = nullptr;
    instances.erase(id);
}

}  // namespace morvanel
