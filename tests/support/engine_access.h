// For the few facts no render shows: the engine behind an instance id, reached through the
// library's own registry.
#pragma once

#include "api/instance_registry.h"
#include "engine/engine.h"
#include "support/test_support.h"

namespace morvanel::testing {

inline CEngine& EngineOf(int id) { return *InstanceRegistry::Get().Find(id)->engine; }
inline CEngine& EngineOf(const Instance& instance) { return EngineOf(instance.id()); }

}  // namespace morvanel::testing
