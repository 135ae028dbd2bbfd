// The files that define workloads add them to the list through these.
#pragma once

#include <string>
#include <vector>

#include "sound_plan.h"

namespace morvanel::bench {

void AddToneWorkloads(std::vector<SOUND_WORKLOAD>& workloads);
void AddExampleWorkloads(std::vector<SOUND_WORKLOAD>& workloads);

// The size of a 2400-sample melody voice's state in its hand-written loop.
extern const size_t kMelodyLoopVoiceBytes;

// The example script examples/<name>.mv without its run(...) lines, so that compiling it starts
// nothing. Exits with a message when the file cannot be read: the workloads are defined by it.
std::string ExampleScript(const char* name);

}  // namespace morvanel::bench
