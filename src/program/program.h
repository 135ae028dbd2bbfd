// CProgram: everything a parse produces and playing reads. The clock, the voices' variable scope,
// the boxes and the groups that pool their instance limits. Audio thread only, like the parses
// that write it.
#pragma once

#include "program/box_registry.h"
#include "program/model.h"
#include "program/units.h"

namespace morvanel {

class CProgram {
public:
    // `globals` is the outermost variable scope (the engine's), above the voices' scope.
    CProgram(CNumericVariablesOwner* globals, int32_t sampleRate);
    ~CProgram();
    CProgram(const CProgram&) = delete;
    CProgram& operator=(const CProgram&) = delete;

    // What a reset drops: every box and group, and the tempo back to 120 (the rate stays).
    void Clear();

    CLOCK clock;
    CVoiceDescription voiceScope;
    CBoxGroups groups;
    CBoxRegistry boxes;
};

}  // namespace morvanel
