// Building and running loop programs.
#include "runtime/loop_run.h"

#include <atomic>
#include <cmath>

#include "program/values.h"
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
};

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

void BuildAssignment(const SEQUENCE_ITEM& item, SEQUENCE_INSTANCE_DATA& leaf, LOOP_OP& op) {
    op.code = OP_LET;
    const EXPRESSION& expression = *item.expression;
    if (!ResolveTarget(item.value, leaf, op.target)) return;
    if (expression.shape == EX_VALUE && ResolveValue(expression.ops[0].value, leaf, op.left)) {
        op.code = OP_LET_VALUE;
    } else if (expression.shape == EX_BINARY && ResolveValue(expression.ops[0].value, leaf, op.left) &&
               ResolveValue(expression.ops[1].value, leaf, op.right)) {
        switch (expression.ops[2].kind) {
            case EN_ADD: op.code = OP_ADD; break;
            case EN_SUB: op.code = OP_SUB; break;
            case EN_MUL: op.code = OP_MUL; break;
            case EN_DIV: op.code = OP_DIV; break;
            default: op.code = OP_MOD; break;
        }
    }
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

int64_t PeriodOf(const LOOP_OP& op, SEQUENCE_INSTANCE_DATA& leaf, const CVoice& voice) {
    if (op.readByRule) return ToInt64(EvaluateValue(op.item->value, &leaf, voice.clock));
    return op.left.storage != &op.left.constant ? ToInt64(Load(op.left.storage)) : op.period;
}

}  // namespace

bool BuildLoopProgram(SEQUENCE_INSTANCE_DATA& leaf, const CVoice& voice, LOOP_PROGRAM& program) {
    CSequence& sequence = *leaf.sequence;
    if (!sequence.looping || sequence.conditionIsWhile || !leaf.started || leaf.remaining == 0) return false;
    if (voice.released && voice.releaseOwner == sequence.box) return false;
    if (HasSteadyShape(sequence)) return false;
    const SEQUENCE_ITEM* start = sequence.loopStart;
    const SEQUENCE_ITEM* stop = start;
    while (stop != sequence.releaseStart && stop->kind != SI_END) ++stop;
    const int32_t count = static_cast<int32_t>(stop - start);
    if (count == 0 || count > kMaxLoopOps || leaf.current < start || leaf.current > stop) return false;
    bool own = false;
    bool produces = false;
    for (const SEQUENCE_ITEM* item = start; item != stop; ++item) {
        own = own || item->kind == SI_OWN;
        produces = produces || item->kind == SI_SQR || item->kind == SI_SAW || item->kind == SI_OUT ||
                   item->kind == SI_SAMPLE;
    }
    if (!produces) return false;
    for (int32_t index = 0; index < count; ++index) {
        const SEQUENCE_ITEM& item = start[index];
        LOOP_OP& op = program.ops[index];
        op = LOOP_OP{};
        SetConstant(op.left, 0.0f);
        SetConstant(op.right, 0.0f);
        op.item = &item;
        switch (item.kind) {
            case SI_LET: BuildAssignment(item, leaf, op); break;
            case SI_VOL: op.code = OP_VOL; break;
            case SI_FADEIN: op.code = OP_FADEIN; break;
            case SI_FADEOUT: op.code = OP_FADEOUT; break;
            case SI_OWN: op.code = OP_OWN; break;
            case SI_SQR:
            case SI_SAW: BuildTone(item, leaf, !own, op); break;
            case SI_OUT:
            case SI_SAMPLE:
                op.code = OP_OUT;
                op.readByRule = !ResolveValue(item.value, leaf, op.left);
                break;
            default: return false;
        }
    }
    program.count = count;
    program.at = static_cast<int32_t>(leaf.current - start);
    return true;
}

void RunLoopSamples(SEQUENCE_INSTANCE_DATA& leaf, LOOP_PROGRAM& program, CVoice& voice, float* values, int count) {
    // The position lives in a register for the run: stores through variable storage could
    // otherwise be taken to change it.
    const LOOP_OP* const ops = program.ops;
    const int32_t size = program.count;
    int32_t at = program.at;
    for (int i = 0; i < count; ++i) {
        float value;
        for (;;) {
            // The end of the loop body: round again (no while condition, not being released).
            if (at == size) at = 0;
            const LOOP_OP& op = ops[at++];
            switch (op.code) {
                case OP_LET_VALUE: Store(op.target, Read(op.left)); continue;
                case OP_ADD: Store(op.target, Read(op.left) + Read(op.right)); continue;
                case OP_SUB: Store(op.target, Read(op.left) - Read(op.right)); continue;
                case OP_MUL: Store(op.target, Read(op.left) * Read(op.right)); continue;
                case OP_DIV: Store(op.target, Read(op.left) / Read(op.right)); continue;
                case OP_MOD: Store(op.target, std::fmod(Read(op.left), Read(op.right))); continue;
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
                    value = SquareSample(oscillator, PeriodOf(op, leaf, voice));
                    break;
                }
                case OP_SAW: {
                    UpdateFade(leaf);
                    OSCILLATOR_STATE& oscillator = op.oscillator != nullptr ? *op.oscillator : FindOscillator(leaf);
                    value = SawSample(oscillator, PeriodOf(op, leaf, voice));
                    break;
                }
                default:  // OP_OUT
                    UpdateFade(leaf);
                    value = op.readByRule ? EvaluateValue(op.item->value, &leaf, voice.clock) : Read(op.left);
                    break;
            }
            break;
        }
        // The end of the produced item, as the interpreter's Produce.
        if (leaf.remaining > 0) --leaf.remaining;
        leaf.started = 1;
        values[i] = value * leaf.volume;
    }
    program.at = at;
}

void FinishLoopRun(SEQUENCE_INSTANCE_DATA& leaf, const LOOP_PROGRAM& program) {
    leaf.current = leaf.sequence->loopStart + program.at;
}

}  // namespace morvanel
