// Loop runs: a sequence going round a short loop of assignments and tones (a glide, a sweep, a
// wobble) plays its samples from a small program built for the run, with the variables it reads
// and writes resolved to their storage, constants folded and the common expression shapes turned
// into one operation, so that a sample costs a few operations instead of the interpreter's walk.
// Each operation does exactly what the interpreter does for its item, in the same order, with
// the same rounding.
#pragma once

#include <cstdint>

#include "program/model.h"
#include "runtime/instance_data.h"
#include "runtime/voice.h"

namespace morvanel {

// The longest loop body a run takes.
constexpr int kMaxLoopOps = 16;

// Where an operand comes from: a constant, a float of variable storage, or (anything else, such as
// a variable with a unit) the interpreter's own reading of the item's value.
struct LOOP_OPERAND {
    const float* storage = nullptr;  // null: `constant`
    float constant = 0.0f;
};

struct LOOP_OP {
    int32_t code = 0;
    const SEQUENCE_ITEM* item = nullptr;
    float* target = nullptr;  // assignments: the variable's storage
    LOOP_OPERAND left;
    LOOP_OPERAND right;
    int32_t operation = 0;    // the expression's binary operator
    int64_t period = 0;       // tones with a constant period
    bool readByRule = false;  // the item's value is read by the interpreter's rule at each sample
    OSCILLATOR_STATE* oscillator = nullptr;
};

struct LOOP_PROGRAM {
    LOOP_OP ops[kMaxLoopOps];
    int32_t count = 0;
    int32_t at = 0;  // the op of the sequence's current item
};

// Builds the program of `leaf`'s loop, from its current item on; false when the loop holds an
// item a run cannot take (calls, noise, stack, prints, spawns), loops under a while condition,
// is being released, or has only one tone (a steady tone, which runs on its own).
bool BuildLoopProgram(SEQUENCE_INSTANCE_DATA& leaf, const CVoice& voice, LOOP_PROGRAM& program);

// One sample of the leaf from its program: the zero-time items up to the tone, then the tone,
// exactly as the interpreter's item loop.
float RunLoopSample(SEQUENCE_INSTANCE_DATA& leaf, LOOP_PROGRAM& program, CVoice& voice);

// Leaves the leaf's current item where the program stopped.
void FinishLoopRun(SEQUENCE_INSTANCE_DATA& leaf, const LOOP_PROGRAM& program);

}  // namespace morvanel
