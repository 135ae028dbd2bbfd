// Building and running loop programs.
#include "runtime/loop_run.h"

#include <algorithm>
#include <atomic>
#include <cmath>

#include "program/values.h"
#include "runtime/always_inline.h"
#include "runtime/evaluate.h"
#include "runtime/generators.h"
#include "runtime/steady_tone.h"
#include "vars/numeric_cast.h"

namespace morvanel {

namespace {

enum LoopOpCode : int32_t {
    OP_LET_VALUE = 1,    // target = left
    OP_ADD,              // target = left + right, and so on for the other binary operators
    OP_SUB,
    OP_MUL,
    OP_DIV,
    OP_MOD,
    OP_LET,              // any other assignment, as the interpreter evaluates it
    OP_VOL,
    OP_FADEIN,
    OP_FADEOUT,
    OP_OWN,
    OP_SQR,
    OP_SAW,
    OP_OUT,              // SI_OUT and SI_SAMPLE
    OP_SIN2PI,           // target = the one-operand function of left
    OP_UNARY,            // the other one-operand functions, by the interpreter's routine
    OP_RANDOM,           // target = the next drawn number as `?` reads it
    OP_NOISE,            // white noise from the next drawn number
};

// A drawn number as `?` and as white noise read it, by the interpreter's formulas.
float RandomOfDraw(int32_t draw) { return static_cast<float>(draw % 1000) / 1000.0f; }
float NoiseOfDraw(int32_t draw) { return static_cast<float>((draw & 1023) - 512) * 0.001953125f; }


// Variable storage is read and written as the interpreter's slot access does: relaxed atomics, so
// that a host writing a global at the same moment is no data race.
float Load(const float* storage) { return std::atomic_ref<float>(*const_cast<float*>(storage)).load(std::memory_order_relaxed); }
void Store(float* storage, float value) { std::atomic_ref<float>(*storage).store(value, std::memory_order_relaxed); }

float Read(const LOOP_OPERAND& operand) { return Load(operand.storage); }

void SetConstant(LOOP_OPERAND& operand, float value) {
    operand.constant = value;
    operand.storage = &operand.constant;
}

// Where a value without a unit is read from; false for what only the interpreter's reading does
// (units, slots not bound yet, whose first write binds them).
bool ResolveValue(const PARAM_VALUE& value, const CNumericVariablesState& state, LOOP_OPERAND& operand) {
    if (value.unit != VU_PLAIN) return false;
    switch (value.kind) {
        case VK_FLOAT: SetConstant(operand, value.number.asFloat); return true;
        case VK_INTEGER: SetConstant(operand, static_cast<float>(value.number.asInteger)); return true;
        case VK_VARIABLE: {
            const int32_t index = value.number.slot;
            if (index < 0 || index >= state.slotCount) {
                SetConstant(operand, 0.0f);
                return true;
            }
            const VariableSlot& slot = state.slots[index];
            if (slot.holdsValue) {
                operand.storage = &slot.value;
                return true;
            }
            if (!slot.bound || slot.valueRef == nullptr) return false;
            operand.storage = slot.valueRef;
            return true;
        }
        default: SetConstant(operand, 0.0f); return true;  // a text reads as 0
    }
}

// The storage an assignment writes; false where the interpreter's write would bind the slot first.
bool ResolveTarget(const PARAM_VALUE& value, SEQUENCE_INSTANCE_DATA& state, float*& target) {
    const int32_t index = value.number.slot;
    if (index < 0 || index >= state.slotCount) return false;
    VariableSlot& slot = state.slots[index];
    if (!slot.bound) return false;
    target = slot.holdsValue ? &slot.value : slot.valueRef;
    return target != nullptr;
}

// An operand of an expression being compiled: a constant, folded at build time, or storage read
// at each sample (a variable, or the temporary an earlier operation writes).
struct PENDING_OPERAND {
    bool constant;
    float value;
    const float* storage;
};

void Place(const PENDING_OPERAND& pending, LOOP_OPERAND& operand) {
    if (pending.constant) {
        SetConstant(operand, pending.value);
    } else {
        operand.storage = pending.storage;
    }
}

// The deepest operand stack an expression of a loop run may need.
constexpr int kMaxPendingOperands = 16;

// Compiles `expression` into operations from program.ops[count] on, the last of which writes
// `target`: constants and the parts made only of constants are folded (by the very routines the
// interpreter uses, so the values are the same), each remaining operator becomes one operation
// into a temporary. The rate and tempo do not change during a run, so units of constants fold
// too. A random draw becomes an operation that reads the next drawn number, when the run is
// `drawing`. False, with `count` unchanged, for what only the interpreter's evaluation does:
// draws in a run that is not drawing, variables not bound yet, programs too deep or too long.
bool CompileExpression(const EXPRESSION& expression, SEQUENCE_INSTANCE_DATA& leaf, const CLOCK* clock,
                       const SEQUENCE_ITEM& item, float* target, bool drawing, LOOP_PROGRAM& program,
                       int32_t& count) {
    PENDING_OPERAND stack[kMaxPendingOperands];
    int32_t top = 0;
    int32_t used = count;
    const auto emit = [&](int32_t code) -> LOOP_OP* {
        if (used == kMaxLoopOps) return nullptr;
        LOOP_OP& op = program.ops[used];
        op = LOOP_OP{};
        op.code = code;
        op.item = &item;
        SetConstant(op.left, 0.0f);
        SetConstant(op.right, 0.0f);
        op.target = &program.temporaries[used];
        ++used;
        return &op;
    };
    for (const EXPRESSION_OP& part : expression.ops) {
        if (part.kind == EN_VALUE || part.kind == 0) {
            if (top == kMaxPendingOperands) return false;
            PENDING_OPERAND& pushed = stack[top++];
            pushed = PENDING_OPERAND{true, 0.0f, nullptr};
            if (part.kind == 0) continue;
            const PARAM_VALUE& value = part.value;
            if (value.kind != VK_VARIABLE) {
                pushed.value = EvaluateValue(value, &leaf, clock);
            } else {
                LOOP_OPERAND resolved{};
                if (!ResolveValue(value, leaf, resolved)) return false;  // a unit, or not bound yet
                if (resolved.storage == &resolved.constant) {
                    pushed.value = resolved.constant;
                } else {
                    pushed = PENDING_OPERAND{false, 0.0f, resolved.storage};
                }
            }
            continue;
        }
        if (part.kind == EN_RANDOM) {
            if (!drawing || top == kMaxPendingOperands) return false;
            LOOP_OP* op = emit(OP_RANDOM);
            if (op == nullptr) return false;
            stack[top++] = PENDING_OPERAND{false, 0.0f, op->target};
            continue;
        }
        if (IsBinaryExpression(part.kind)) {
            if (top < 2) return false;
            const PENDING_OPERAND right = stack[--top];
            PENDING_OPERAND& left = stack[top - 1];
            if (left.constant && right.constant) {
                switch (part.kind) {
                    case EN_ADD: left.value = left.value + right.value; break;
                    case EN_SUB: left.value = left.value - right.value; break;
                    case EN_MUL: left.value = left.value * right.value; break;
                    case EN_DIV: left.value = left.value / right.value; break;
                    default: left.value = std::fmod(left.value, right.value); break;
                }
                continue;
            }
            LOOP_OP* op = emit(OP_ADD + (part.kind - EN_ADD));
            if (op == nullptr) return false;
            Place(left, op->left);
            Place(right, op->right);
            left = PENDING_OPERAND{false, 0.0f, op->target};
            continue;
        }
        if (top < 1) return false;
        PENDING_OPERAND& operand = stack[top - 1];
        if (operand.constant) {
            operand.value = ApplyUnaryExpression(part.kind, operand.value, clock);
            continue;
        }
        LOOP_OP* op = emit(part.kind == EN_SIN2PI ? OP_SIN2PI : OP_UNARY);
        if (op == nullptr) return false;
        op->function = part.kind;
        Place(operand, op->left);
        operand = PENDING_OPERAND{false, 0.0f, op->target};
    }
    const PENDING_OPERAND result = top > 0 ? stack[top - 1] : PENDING_OPERAND{true, 0.0f, nullptr};
    if (!result.constant && used > count && result.storage == &program.temporaries[used - 1]) {
        program.ops[used - 1].target = target;  // the last operation writes the variable itself
    } else {
        LOOP_OP* op = emit(OP_LET_VALUE);
        if (op == nullptr) return false;
        Place(result, op->left);
        op->target = target;
    }
    count = used;
    return true;
}

// An assignment: its expression compiled, or where that cannot be, one operation that evaluates
// it as the interpreter does (never one that draws: its draw would come at the wrong moment).
bool BuildAssignment(const SEQUENCE_ITEM& item, SEQUENCE_INSTANCE_DATA& leaf, const CLOCK* clock, bool drawing,
                     LOOP_PROGRAM& program, int32_t& count) {
    float* target = nullptr;
    if (ResolveTarget(item.value, leaf, target) &&
        CompileExpression(*item.expression, leaf, clock, item, target, drawing, program, count)) {
        return true;
    }
    if (count == kMaxLoopOps || DrawsRandom(item.expression.get())) return false;
    LOOP_OP& op = program.ops[count++];
    op = LOOP_OP{};
    op.code = OP_LET;
    op.item = &item;
    SetConstant(op.left, 0.0f);
    SetConstant(op.right, 0.0f);
    return true;
}

// A tone's period: a constant is converted once; a variable is read at each sample.
void BuildTone(const SEQUENCE_ITEM& item, SEQUENCE_INSTANCE_DATA& leaf, bool resolveOscillator, LOOP_OP& op) {
    op.code = item.kind == SI_SQR ? OP_SQR : OP_SAW;
    if (ResolveValue(item.value, leaf, op.left)) {
        if (op.left.storage == &op.left.constant) op.period = ToInt64(op.left.constant);
    } else {
        op.readByRule = true;
    }
    op.oscillator = resolveOscillator ? &FindOscillator(leaf) : nullptr;
}

MORVANEL_ALWAYS_INLINE int64_t PeriodOf(const LOOP_OP& op, SEQUENCE_INSTANCE_DATA& leaf, const CVoice& voice) {
    if (op.readByRule) return ToInt64(EvaluateValue(op.item->value, &leaf, voice.clock));
    return op.left.storage != &op.left.constant ? ToInt64(Load(op.left.storage)) : op.period;
}

// One operation of an expression or a plain assignment, by its code (a constant code lets the
// compiler keep only its case).
MORVANEL_ALWAYS_INLINE void ApplyArithmetic(int32_t code, int32_t function, const float* left, const float* right, float* target,
                            const CLOCK* clock) {
    switch (code) {
        case OP_LET_VALUE: Store(target, Load(left)); return;
        case OP_ADD: Store(target, Load(left) + Load(right)); return;
        case OP_SUB: Store(target, Load(left) - Load(right)); return;
        case OP_MUL: Store(target, Load(left) * Load(right)); return;
        case OP_DIV: Store(target, Load(left) / Load(right)); return;
        case OP_MOD: Store(target, std::fmod(Load(left), Load(right))); return;
        case OP_SIN2PI: Store(target, SineOfTurns(Load(left))); return;
        default: Store(target, ApplyUnaryExpression(function, Load(left), clock)); return;  // OP_UNARY
    }
}

bool IsArithmetic(int32_t code) {
    return (code >= OP_LET_VALUE && code <= OP_MOD) || code == OP_SIN2PI || code == OP_UNARY;
}

const SEQUENCE_ITEM* LoopBodyEnd(const CSequence& sequence) {
    const SEQUENCE_ITEM* stop = sequence.loopStart;
    while (stop != sequence.releaseStart && stop->kind != SI_END) ++stop;
    return stop;
}

// Whether the loop body is one a run can take: not a lone tone (a steady tone runs on its own),
// short enough, only items a run does, and at least one that produces a sample.
bool HasLoopRunShape(CSequence& sequence) {
    if (HasSteadyShape(sequence)) return false;
    const SEQUENCE_ITEM* const stop = LoopBodyEnd(sequence);
    const int64_t items = stop - sequence.loopStart;
    if (items == 0 || items > kMaxLoopItems) return false;
    bool produces = false;
    for (const SEQUENCE_ITEM* item = sequence.loopStart; item != stop; ++item) {
        switch (item->kind) {
            case SI_SQR:
            case SI_SAW:
            case SI_OUT:
            case SI_SAMPLE:
            case SI_NOISE_SAMPLE: produces = true; break;
            case SI_LET:
            case SI_VOL:
            case SI_FADEIN:
            case SI_FADEOUT:
            case SI_OWN: break;
            default: return false;
        }
    }
    return produces;
}

// The last step before `before` that writes `storage`, or -1.
int LastWriter(const LOOP_PROGRAM& program, const float* storage, int before) {
    for (int step = before - 1; step >= 0; --step) {
        if (program.sweepSteps[step].target == storage) return step;
    }
    return -1;
}

// Where step `step` reads `storage` in a piece-at-a-time run; false when it depends on a later
// step's result of the sample before, which only sample-by-sample order gives.
bool LaneSource(const LOOP_PROGRAM& program, const float* storage, int step, int8_t& from) {
    const int writer = LastWriter(program, storage, step);
    if (writer >= 0) {
        from = static_cast<int8_t>(writer);
        return true;
    }
    bool writtenAtOrAfter = false;
    for (int later = step + 1; later < program.sweepCount; ++later) {
        writtenAtOrAfter = writtenAtOrAfter || program.sweepSteps[later].target == storage;
    }
    if (writtenAtOrAfter) return false;
    from = program.sweepSteps[step].target == storage ? kFromItself : kFromInvariant;
    return true;
}

void FindLanes(LOOP_PROGRAM& program) {
    program.sweepInLanes = false;
    if (program.sweepGlides || program.sweepCount > kMaxLaneSteps) return;
    for (int step = 0; step < program.sweepCount; ++step) {
        SWEEP_STEP& each = program.sweepSteps[step];
        if (!LaneSource(program, each.left, step, each.leftFrom) || !LaneSource(program, each.right, step, each.rightFrom)) {
            return;
        }
    }
    const int writer = LastWriter(program, program.ops[program.sweepTone].left.storage, program.sweepCount);
    program.periodFrom = writer >= 0 ? static_cast<int8_t>(writer) : kFromInvariant;
    program.sweepInLanes = true;
}

// Marks the program a sweep when its body is one square or saw tone on a period read from storage
// with its oscillator known, and otherwise only arithmetic.
void FindSweep(LOOP_PROGRAM& program) {
    program.sweepTone = -1;
    program.sweepCount = 0;
    program.sweepGlides = false;
    int32_t tone = -1;
    for (int32_t index = 0; index < program.count; ++index) {
        const LOOP_OP& op = program.ops[index];
        if (IsArithmetic(op.code)) continue;
        if ((op.code != OP_SQR && op.code != OP_SAW) || op.readByRule || op.oscillator == nullptr || tone >= 0) return;
        tone = index;
    }
    if (tone < 0 || program.count < 2) return;
    for (int32_t step = 1; step < program.count; ++step) {
        const LOOP_OP& op = program.ops[(tone + step) % program.count];
        program.sweepSteps[program.sweepCount++] =
            SWEEP_STEP{op.code, op.function, op.left.storage, op.right.storage, op.target, kFromInvariant, kFromInvariant};
    }
    // A glide's shape: the one step moves the period's own variable by a constant.
    const LOOP_OP& only = program.ops[(tone + 1) % program.count];
    program.sweepGlides = program.sweepCount == 1 && only.code >= OP_ADD && only.code <= OP_DIV &&
                          only.left.storage == only.target && only.right.storage == &only.right.constant &&
                          program.ops[tone].left.storage == only.target;
    program.sweepTone = tone;
    FindLanes(program);
}

// Whether the operation writes a variable outside the leaf's own slots.
bool WritesBeyond(const LOOP_PROGRAM& program, const LOOP_OP& op, const SEQUENCE_INSTANCE_DATA& leaf) {
    const float* storage = nullptr;
    if (op.code == OP_LET) {
        // Written where the slot leads; a slot that is not bound yet becomes the leaf's own.
        const int32_t index = op.item->value.number.slot;
        if (index < 0 || index >= leaf.slotCount) return false;
        const VariableSlot& slot = leaf.slots[index];
        if (!slot.bound || slot.holdsValue) return false;
        storage = slot.valueRef;
    } else if (IsArithmetic(op.code) || op.code == OP_RANDOM) {
        storage = op.target;
    }
    if (storage == nullptr) return false;
    const auto* at = reinterpret_cast<const char*>(storage);
    const auto* temporaries = reinterpret_cast<const char*>(program.temporaries);
    const auto* slots = reinterpret_cast<const char*>(leaf.slots);
    const bool temporary = at >= temporaries && at < temporaries + sizeof program.temporaries;
    const bool own = at >= slots && at < slots + sizeof(VariableSlot) * static_cast<size_t>(leaf.slotCount);
    return !temporary && !own;
}

// Whether a drawing program draws the same count at every sample: one item produces, and the
// run starts just after it, so each sample runs the whole body once.
bool DrawsEvenly(const LOOP_PROGRAM& program) {
    int32_t producer = -1;
    for (int32_t index = 0; index < program.count; ++index) {
        const int32_t code = program.ops[index].code;
        if (code != OP_SQR && code != OP_SAW && code != OP_OUT && code != OP_NOISE) continue;
        if (producer >= 0) return false;
        producer = index;
    }
    return producer >= 0 && program.at % program.count == (producer + 1) % program.count;
}

}  // namespace

bool BuildLoopProgram(SEQUENCE_INSTANCE_DATA& leaf, const CVoice& voice, bool drawing, LOOP_PROGRAM& program) {
    CSequence& sequence = *leaf.sequence;
    if (!sequence.looping || sequence.conditionIsWhile || !leaf.started || leaf.remaining == 0) return false;
    // Whose loop a release ends is settled by the interpreter when no box holds it yet.
    if (voice.released && (voice.releaseOwner == nullptr || voice.releaseOwner == sequence.box)) return false;
    if (sequence.loopRunShape < 0) sequence.loopRunShape = HasLoopRunShape(sequence) ? 1 : 0;
    if (sequence.loopRunShape == 0) return false;
    const SEQUENCE_ITEM* start = sequence.loopStart;
    const SEQUENCE_ITEM* stop = LoopBodyEnd(sequence);
    if (leaf.current < start || leaf.current > stop) return false;
    bool own = false;
    for (const SEQUENCE_ITEM* item = start; item != stop; ++item) own = own || item->kind == SI_OWN;
    int32_t count = 0;
    program.at = -1;
    for (const SEQUENCE_ITEM* item = start; item != stop; ++item) {
        if (item == leaf.current) program.at = count;
        if (item->kind == SI_LET) {
            if (!BuildAssignment(*item, leaf, voice.clock, drawing, program, count)) return false;
            continue;
        }
        if (count == kMaxLoopOps) return false;
        LOOP_OP& op = program.ops[count++];
        op = LOOP_OP{};
        SetConstant(op.left, 0.0f);
        SetConstant(op.right, 0.0f);
        op.item = item;
        switch (item->kind) {
            case SI_VOL: op.code = OP_VOL; break;
            case SI_FADEIN: op.code = OP_FADEIN; break;
            case SI_FADEOUT: op.code = OP_FADEOUT; break;
            case SI_OWN: op.code = OP_OWN; break;
            case SI_SQR:
            case SI_SAW: BuildTone(*item, leaf, !own, op); break;
            case SI_OUT:
            case SI_SAMPLE:
                op.code = OP_OUT;
                op.readByRule = !ResolveValue(item->value, leaf, op.left);
                break;
            case SI_NOISE_SAMPLE:
                if (!drawing) return false;
                op.code = OP_NOISE;
                break;
            default: return false;
        }
    }
    program.count = count;
    if (program.at < 0) program.at = count;  // at the end of the body: round again first
    program.stop = stop;
    program.drawsPerSample = 0;
    program.drawSkip = 0;
    program.draws = nullptr;
    for (int32_t index = 0; index < count; ++index) {
        const int32_t code = program.ops[index].code;
        if (code == OP_RANDOM || code == OP_NOISE) ++program.drawsPerSample;
    }
    if (program.drawsPerSample > 0 && !DrawsEvenly(program)) return false;
    program.writesBeyondLeaf = false;
    for (int32_t index = 0; index < count; ++index) {
        program.writesBeyondLeaf = program.writesBeyondLeaf || WritesBeyond(program, program.ops[index], leaf);
    }
    FindSweep(program);
    return true;
}

namespace {

// One sample the general way: the operations from `at` up to and including the one that
// produces, exactly as the interpreter's item loop.
MORVANEL_ALWAYS_INLINE float RunOneSample(const LOOP_OP* ops, int32_t size, int32_t& at,
                                          SEQUENCE_INSTANCE_DATA& leaf, CVoice& voice, const int32_t*& draws) {
    for (;;) {
        // The end of the loop body: round again (no while condition, not being released).
        if (at == size) at = 0;
        const LOOP_OP& op = ops[at++];
        switch (op.code) {
            case OP_LET:
                WriteSlotAt(leaf, op.item->value.number.slot, EvaluateExpression(*op.item->expression, &leaf, voice.clock));
                continue;
            case OP_VOL: SetVolume(leaf, EvaluateValue(op.item->value, &leaf, voice.clock)); continue;
            case OP_FADEIN: StartFadeIn(leaf, ToInt64(EvaluateValue(op.item->value, &leaf, voice.clock))); continue;
            case OP_FADEOUT: StartFadeOut(leaf, ToInt64(EvaluateValue(op.item->value, &leaf, voice.clock))); continue;
            case OP_OWN: leaf.own = 1; continue;
            case OP_SQR: {
                UpdateFade(leaf);
                OSCILLATOR_STATE& oscillator = op.oscillator != nullptr ? *op.oscillator : FindOscillator(leaf);
                return SquareSample(oscillator, PeriodOf(op, leaf, voice));
            }
            case OP_SAW: {
                UpdateFade(leaf);
                OSCILLATOR_STATE& oscillator = op.oscillator != nullptr ? *op.oscillator : FindOscillator(leaf);
                return SawSample(oscillator, PeriodOf(op, leaf, voice));
            }
            case OP_OUT:
                UpdateFade(leaf);
                return op.readByRule ? EvaluateValue(op.item->value, &leaf, voice.clock) : Read(op.left);
            case OP_NOISE:
                UpdateFade(leaf);
                return NoiseOfDraw(*draws++);
            case OP_RANDOM: Store(op.target, RandomOfDraw(*draws++)); continue;
// One case per arithmetic code, each with the code constant, so that one jump reaches the operation.
#define MORVANEL_ARITHMETIC_CASE(CODE) \
    case CODE: ApplyArithmetic(CODE, op.function, op.left.storage, op.right.storage, op.target, voice.clock); continue;
            MORVANEL_ARITHMETIC_CASE(OP_LET_VALUE)
            MORVANEL_ARITHMETIC_CASE(OP_ADD)
            MORVANEL_ARITHMETIC_CASE(OP_SUB)
            MORVANEL_ARITHMETIC_CASE(OP_MUL)
            MORVANEL_ARITHMETIC_CASE(OP_DIV)
            MORVANEL_ARITHMETIC_CASE(OP_MOD)
            MORVANEL_ARITHMETIC_CASE(OP_SIN2PI)
            MORVANEL_ARITHMETIC_CASE(OP_UNARY)
#undef MORVANEL_ARITHMETIC_CASE
            default: continue;
        }
    }
}

// Samples [i, count) of a sweep (see LOOP_PROGRAM), the position just after its tone: the
// arithmetic in body order, then the tone, as the general way does them. A sweep's body changes
// no volume or fade, so without a fade running the volume stays as it is for the run; the
// oscillator is the leaf's alone, so it lives in registers until the run ends.
template <bool kSquare, int32_t kOnly, bool kFading>
void RunSweep(const LOOP_PROGRAM& program, SEQUENCE_INSTANCE_DATA& leaf, const CLOCK* clock, float* values, int i,
              int count) {
    const LOOP_OP& tone = program.ops[program.sweepTone];
    const float* const period = tone.left.storage;
    OSCILLATOR_STATE oscillator = *tone.oscillator;
    const float volume = leaf.volume;
    const int32_t arithmetic = program.sweepCount;
    // A glide's variable is read by nothing else in the run: it lives in a register and is
    // stored once at the end, so no sample waits for the store of the one before.
    float* const target = program.sweepSteps[0].target;
    float glide = kOnly != 0 ? Load(target) : 0.0f;
    const float by = kOnly != 0 ? Load(program.sweepSteps[0].right) : 0.0f;
    for (; i < count; ++i) {
        if constexpr (kOnly != 0) {
            glide = kOnly == OP_ADD ? glide + by : kOnly == OP_SUB ? glide - by : kOnly == OP_MUL ? glide * by : glide / by;
        } else {
            for (int32_t k = 0; k < arithmetic; ++k) {
                const SWEEP_STEP& each = program.sweepSteps[k];
                ApplyArithmetic(each.code, each.function, each.left, each.right, each.target, clock);
            }
        }
        if constexpr (kFading) UpdateFade(leaf);
        const int64_t samples = ToInt64(kOnly != 0 ? glide : Load(period));
        const float value = kSquare ? SquareSample(oscillator, samples) : SawSample(oscillator, samples);
        values[i] = value * (kFading ? leaf.volume : volume);
    }
    *tone.oscillator = oscillator;
    if constexpr (kOnly != 0) Store(target, glide);
}

template <bool kSquare, int32_t kOnly>
void RunSweepFaded(const LOOP_PROGRAM& program, SEQUENCE_INSTANCE_DATA& leaf, const CLOCK* clock, float* values,
                   int i, int count) {
    if (leaf.fadeStep != 0.0f) {
        RunSweep<kSquare, kOnly, true>(program, leaf, clock, values, i, count);
    } else {
        RunSweep<kSquare, kOnly, false>(program, leaf, clock, values, i, count);
    }
}

// The lane of one step over `n` samples: out[e] = left op right, where an operand is a lane of an
// earlier step, a value read once, or the step's own result of the sample before (`carried`, its
// value before the piece). The same operation on the same values as the sample-by-sample way.
template <typename OPERATION>
MORVANEL_ALWAYS_INLINE void RunLane(OPERATION operation, const float* left, const float* right, bool leftCarried,
                                    bool rightCarried, float carried, float* out, int n) {
    if (!leftCarried && !rightCarried) {
        for (int e = 0; e < n; ++e) out[e] = operation(left[e], right[e]);
        return;
    }
    for (int e = 0; e < n; ++e) {
        carried = operation(leftCarried ? carried : left[e], rightCarried ? carried : right[e]);
        out[e] = carried;
    }
}

// Samples [i, count) of a sweep whose steps run in lanes (see LOOP_PROGRAM::sweepInLanes): each
// step over a piece of samples, then the tone over the piece; the steps' last values are stored.
template <bool kSquare, bool kFading>
void RunSweepInLanes(const LOOP_PROGRAM& program, SEQUENCE_INSTANCE_DATA& leaf, const CLOCK* clock, float* values,
                     int i, int count) {
    constexpr int kLanes = 64;
    float lanes[kMaxLaneSteps][kLanes];
    float invariants[2][kLanes];
    const LOOP_OP& tone = program.ops[program.sweepTone];
    OSCILLATOR_STATE oscillator = *tone.oscillator;
    const float volume = leaf.volume;
    const int32_t steps = program.sweepCount;
    for (; i < count; i += kLanes) {
        const int n = std::min(kLanes, count - i);
        for (int32_t k = 0; k < steps; ++k) {
            const SWEEP_STEP& each = program.sweepSteps[k];
            const auto source = [&](int8_t from, const float* storage, float* room) -> const float* {
                if (from >= 0) return lanes[from];
                if (from == kFromInvariant) std::fill(room, room + n, Load(storage));
                return room;
            };
            const float* left = source(each.leftFrom, each.left, invariants[0]);
            const float* right = source(each.rightFrom, each.right, invariants[1]);
            const bool leftCarried = each.leftFrom == kFromItself;
            const bool rightCarried = each.rightFrom == kFromItself;
            const float carried = Load(each.target);
            float* out = lanes[k];
            const int32_t function = each.function;
            switch (each.code) {
                case OP_LET_VALUE: RunLane([](float a, float) { return a; }, left, right, leftCarried, rightCarried, carried, out, n); break;
                case OP_ADD: RunLane([](float a, float b) { return a + b; }, left, right, leftCarried, rightCarried, carried, out, n); break;
                case OP_SUB: RunLane([](float a, float b) { return a - b; }, left, right, leftCarried, rightCarried, carried, out, n); break;
                case OP_MUL: RunLane([](float a, float b) { return a * b; }, left, right, leftCarried, rightCarried, carried, out, n); break;
                case OP_DIV: RunLane([](float a, float b) { return a / b; }, left, right, leftCarried, rightCarried, carried, out, n); break;
                case OP_MOD:
                    RunLane([](float a, float b) { return std::fmod(a, b); }, left, right, leftCarried, rightCarried, carried, out, n);
                    break;
                case OP_SIN2PI:
                    RunLane([](float a, float) { return SineOfTurns(a); }, left, right, leftCarried, rightCarried, carried, out, n);
                    break;
                default:
                    RunLane([function, clock](float a, float) { return ApplyUnaryExpression(function, a, clock); }, left, right,
                            leftCarried, rightCarried, carried, out, n);
                    break;
            }
        }
        const float* period = program.periodFrom >= 0 ? lanes[program.periodFrom] : nullptr;
        const float fixedPeriod = period == nullptr ? Load(tone.left.storage) : 0.0f;
        for (int e = 0; e < n; ++e) {
            if constexpr (kFading) UpdateFade(leaf);
            const int64_t samples = ToInt64(period != nullptr ? period[e] : fixedPeriod);
            const float value = kSquare ? SquareSample(oscillator, samples) : SawSample(oscillator, samples);
            values[i + e] = value * (kFading ? leaf.volume : volume);
        }
        for (int32_t k = 0; k < steps; ++k) Store(program.sweepSteps[k].target, lanes[k][n - 1]);
    }
    *tone.oscillator = oscillator;
}

template <bool kSquare>
void RunSweepOf(const LOOP_PROGRAM& program, SEQUENCE_INSTANCE_DATA& leaf, const CLOCK* clock, float* values, int i,
                int count) {
    // A glide (a laser's fall) runs without any dispatch per sample.
    const int32_t only = program.sweepGlides ? program.sweepSteps[0].code : 0;
    if (program.sweepInLanes) {
        if (leaf.fadeStep != 0.0f) {
            RunSweepInLanes<kSquare, true>(program, leaf, clock, values, i, count);
        } else {
            RunSweepInLanes<kSquare, false>(program, leaf, clock, values, i, count);
        }
        return;
    }
    switch (only) {
        case OP_ADD: RunSweepFaded<kSquare, OP_ADD>(program, leaf, clock, values, i, count); return;
        case OP_SUB: RunSweepFaded<kSquare, OP_SUB>(program, leaf, clock, values, i, count); return;
        case OP_MUL: RunSweepFaded<kSquare, OP_MUL>(program, leaf, clock, values, i, count); return;
        case OP_DIV: RunSweepFaded<kSquare, OP_DIV>(program, leaf, clock, values, i, count); return;
        default: RunSweepFaded<kSquare, 0>(program, leaf, clock, values, i, count); return;
    }
}

}  // namespace

void RunLoopSamples(SEQUENCE_INSTANCE_DATA& leaf, LOOP_PROGRAM& program, CVoice& voice, float* values, int count) {
    // The position lives in a register for the run: stores through variable storage could
    // otherwise be taken to change it.
    const LOOP_OP* const ops = program.ops;
    const int32_t size = program.count;
    int32_t at = program.at;
    const int32_t* draws = program.draws;
    int i = 0;
    if (program.sweepTone >= 0) {
        // The general way up to the first tone, then the sweep's own loop.
        const int32_t afterTone = program.sweepTone + 1;
        const auto normal = [size](int32_t position) { return position == size ? 0 : position; };
        for (; i < count && normal(at) != normal(afterTone); ++i) {
            values[i] = RunOneSample(ops, size, at, leaf, voice, draws) * leaf.volume;
        }
        if (i < count) {
            if (ops[program.sweepTone].code == OP_SQR) {
                RunSweepOf<true>(program, leaf, voice.clock, values, i, count);
            } else {
                RunSweepOf<false>(program, leaf, voice.clock, values, i, count);
            }
            at = afterTone;
        }
    } else {
        const int32_t skip = program.drawSkip;
        for (; i < count; ++i) {
            values[i] = RunOneSample(ops, size, at, leaf, voice, draws) * leaf.volume;
            draws += skip;
        }
    }
    program.at = at;
    program.draws = draws;
    // The end of each produced item, as the interpreter's Produce, once for the run: nothing in
    // a loop body reads the count, and a run never outlasts a counted duration.
    if (leaf.remaining > 0) leaf.remaining = std::max<int64_t>(leaf.remaining - count, 0);
    leaf.started = 1;
}

void FinishLoopRun(SEQUENCE_INSTANCE_DATA& leaf, const LOOP_PROGRAM& program) {
    leaf.current = program.at == program.count ? program.stop : program.ops[program.at].item;
}

}  // namespace morvanel
