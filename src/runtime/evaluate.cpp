// The postfix evaluator: one pass over the operations with a fixed stack on the audio thread's
// own stack.
#include "runtime/evaluate.h"

#include <cmath>
#include <cstdlib>

#include "vars/numeric_cast.h"

namespace morvanel {

float ApplyUnaryExpression(int32_t kind, float x, const CLOCK* clock) {
    switch (kind) {
        case EN_WRAP: return x > 1.0f ? x - 1.0f : x;
        case EN_FLOOR: return std::floor(x);
        case EN_NEGATE: return -x;
        case EN_SIN2PI: return SineOfTurns(x);
        case EN_SECONDS: return clock != nullptr ? static_cast<float>(ApplyUnit(VU_SECONDS, x, *clock)) : 0.0f;
        case EN_BEATS: return clock != nullptr ? static_cast<float>(ApplyUnit(VU_BEATS, x, *clock)) : 0.0f;
        case EN_HERTZ: return clock != nullptr ? static_cast<float>(ApplyUnit(VU_HERTZ, x, *clock)) : 0.0f;
        case EN_NOTE: return clock != nullptr ? static_cast<float>(ApplyUnit(VU_NOTE, x, *clock)) : 0.0f;
        default: return 0.0f;
    }
}

float RunExpressionProgram(const EXPRESSION& expression, const CNumericVariablesState* state, const CLOCK* clock) {
    float stack[kMaxEvaluationStack];
    int32_t top = 0;  // number of values on the stack
    for (const EXPRESSION_OP& op : expression.ops) {
        switch (op.kind) {
            case EN_VALUE:
                stack[top++] = EvaluateValue(op.value, state, clock);
                continue;
            case EN_RANDOM:
                stack[top++] = static_cast<float>(std::rand() % 1000) / 1000.0f;
                continue;
            case 0:
                stack[top++] = 0.0f;
                continue;
            default:
                break;
        }
        if (IsBinaryExpression(op.kind)) {
            const float right = stack[--top];
            float& left = stack[top - 1];
            switch (op.kind) {
                case EN_ADD: left = left + right; break;
                case EN_SUB: left = left - right; break;
                case EN_MUL: left = left * right; break;
                case EN_DIV: left = left / right; break;
                case EN_MOD: left = std::fmod(left, right); break;
                default: break;
            }
            continue;
        }
        stack[top - 1] = ApplyUnaryExpression(op.kind, stack[top - 1], clock);
    }
    return top > 0 ? stack[top - 1] : 0.0f;
}

namespace {

// Whether the expression reads nothing but constants and has a unit somewhere: only then is
// remembering its value worth a comparison at every evaluation.
bool DependsOnClockAlone(const EXPRESSION& expression) {
    bool unit = false;
    for (const EXPRESSION_OP& op : expression.ops) {
        if (op.kind == EN_RANDOM) return false;
        if (op.kind == EN_VALUE) {
            if (op.value.kind != VK_FLOAT && op.value.kind != VK_INTEGER) return false;
            unit = unit || op.value.unit != VU_PLAIN;
        } else if (op.kind >= EN_SECONDS && op.kind <= EN_NOTE) {
            unit = true;
        }
    }
    return unit;
}

}  // namespace

float EvaluateClockOnly(const EXPRESSION& expression, const CNumericVariablesState* state, const CLOCK* clock) {
    if (expression.clockOnly < 0) expression.clockOnly = DependsOnClockAlone(expression) ? 1 : 0;
    const float value = EvaluateAnyExpression(expression, state, clock);
    if (expression.clockOnly > 0) {
        expression.folded = value;
        expression.foldedRate = clock->sampleRate;
        expression.foldedBpm = clock->bpm;
    }
    return value;
}

}  // namespace morvanel
