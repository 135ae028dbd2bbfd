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

// The longest loop body a run takes, in items and in operations (an expression of several
// operators takes one operation per operator), and the temporaries its expressions may use.
constexpr int kMaxLoopItems = 16;
constexpr int kMaxLoopOps = 48;

// Where an operand comes from: a float of variable storage, or the operation's own constant.
// Operands always point somewhere, so reading one needs no test; the pointers into the program
// itself are why a built program is never copied.
struct LOOP_OPERAND {
    const float* storage;
    float constant;
};

// The members are set by the build, operation by operation; a program's unused operations are
// never read, so a program costs nothing to declare.
struct LOOP_OP {
    int32_t code;
    bool readByRule;  // the item's value is read by the interpreter's rule at each sample
    const SEQUENCE_ITEM* item;
    int32_t function;          // one-operand operations: the expression kind
    float* target;  // assignments and expression steps: the variable's or a temporary's storage
    LOOP_OPERAND left;
    LOOP_OPERAND right;
    int64_t period;  // tones with a constant period
    OSCILLATOR_STATE* oscillator;
};

// Where a step of a sweep run a piece at a time reads an operand: the lane of an earlier step of
// the same sample, a value that does not change during the piece, or the step's own result of the
// sample before.
constexpr int8_t kFromInvariant = -1;
constexpr int8_t kFromItself = -2;

// An arithmetic operation of a sweep, its operands resolved.
struct SWEEP_STEP {
    int32_t code;
    int32_t function;
    const float* left;
    const float* right;
    float* target;
    int8_t leftFrom;
    int8_t rightFrom;
};

// The sweep steps a piece-at-a-time run takes.
constexpr int kMaxLaneSteps = 8;

struct LOOP_PROGRAM {
    LOOP_PROGRAM() = default;
    LOOP_PROGRAM(const LOOP_PROGRAM&) = delete;
    LOOP_PROGRAM& operator=(const LOOP_PROGRAM&) = delete;

    LOOP_OP ops[kMaxLoopOps];
    float temporaries[kMaxLoopOps];  // the intermediate values of expressions, one per operation
    int32_t count = 0;
    int32_t at = 0;  // the first op of the sequence's current item
    // A sweep (a glide, a laser's fall, a siren): one square or saw tone and otherwise only
    // arithmetic, whose samples after the first tone run in a loop of their own. The tone's
    // index or -1, and the arithmetic in the order a sample runs it.
    int32_t sweepTone = -1;
    int32_t sweepCount = 0;
    bool sweepGlides = false;  // one step: the period's variable = itself +-*/ a constant
    SWEEP_STEP sweepSteps[kMaxLoopOps];
    // Whether the sweep runs a piece at a time, step by step over all the piece's samples: every
    // step reads only earlier steps of its sample, values the piece does not change, and its own
    // result of the sample before. Where the tone's period then comes from.
    bool sweepInLanes = false;
    int8_t periodFrom = kFromInvariant;
    const SEQUENCE_ITEM* stop = nullptr;  // the item after the loop body
    // A loop that draws random numbers: how many each sample draws, and where the run reads them.
    // They were drawn beforehand, in the order the interpreter would have drawn them among all
    // voices; after each sample the reading skips the numbers other parts of the voice draw.
    int32_t drawsPerSample = 0;
    int32_t drawSkip = 0;
    const int32_t* draws = nullptr;
    // Some assignment writes a variable outside the leaf's own slots (the box's, the voice's, a
    // caller's), which another body of the voice may read at the same sample.
    bool writesBeyondLeaf = false;
};

// Builds the program of `leaf`'s loop, from its current item on; false when the loop holds an
// item a run cannot take (calls, noise registers, stack, prints, spawns), loops under a while
// condition, is being released, or has only one tone (a steady tone, which runs on its own).
// Random draws (`?` in assignments, white noise) are taken only when `drawing`, and only in a
// loop with one item that produces, so that every sample draws the same count.
bool BuildLoopProgram(SEQUENCE_INSTANCE_DATA& leaf, const CVoice& voice, bool drawing, LOOP_PROGRAM& program);

// The leaf's next `count` samples from its program, into values[0, count): for each sample the
// zero-time items up to the tone, then the tone, exactly as the interpreter's item loop.
void RunLoopSamples(SEQUENCE_INSTANCE_DATA& leaf, LOOP_PROGRAM& program, CVoice& voice, float* values, int count);

// Leaves the leaf's current item where the program stopped.
void FinishLoopRun(SEQUENCE_INSTANCE_DATA& leaf, const LOOP_PROGRAM& program);

}  // namespace morvanel
