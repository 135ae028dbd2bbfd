// Evaluating compiled expressions on the audio thread.
#pragma once

#include <cmath>
#include <cstring>

#include "program/expression.h"
#include "program/tables.h"
#include "program/units.h"
#include "program/values.h"
#include "vars/numeric_cast.h"
#include "vars/variables.h"

namespace morvanel {

// sin2pi: the sine of `turns` whole turns, from the table, as every path computes it.
inline float SineOfTurns(float turns) {
    return static_cast<float>(SineTable[ToInt32(static_cast<double>(turns) * 65536.0) & 0xFFFF]);
}

// A one-operand operation (a unit, floor, wrap, negation, sin2pi) applied to `x`.
float ApplyUnaryExpression(int32_t kind, float x, const CLOCK* clock);

// The postfix program of `expression`, whatever its shape.
float RunExpressionProgram(const EXPRESSION& expression, const CNumericVariablesState* state, const CLOCK* clock);

// The value of `expression` by its shape, computed afresh.
inline float EvaluateAnyExpression(const EXPRESSION& expression, const CNumericVariablesState* state,
                                   const CLOCK* clock) {
    const EXPRESSION_OP* ops = expression.ops.data();
    switch (expression.shape) {
        case EX_VALUE:
            return EvaluateValue(ops[0].value, state, clock);
        case EX_BINARY: {
            const float left = EvaluateValue(ops[0].value, state, clock);
            const float right = EvaluateValue(ops[1].value, state, clock);
            switch (ops[2].kind) {
                case EN_ADD: return left + right;
                case EN_SUB: return left - right;
                case EN_MUL: return left * right;
                case EN_DIV: return left / right;
                default: return std::fmod(left, right);
            }
        }
        case EX_UNARY:
            return ApplyUnaryExpression(ops[1].kind, EvaluateValue(ops[0].value, state, clock), clock);
        default:
            return RunExpressionProgram(expression, state, clock);
    }
}

// The value of an expression that depends on the clock alone, computed again when the clock has
// changed since it was last computed; works out first whether the expression is one.
float EvaluateClockOnly(const EXPRESSION& expression, const CNumericVariablesState* state, const CLOCK* clock);

// The value of `expression` in `state` (variables) at `clock` (the unit operators give 0 without
// one). Allocates nothing and never recurses; draws random numbers for '?'. The common shapes
// compute what the program would, operand for operand, without its stack.
inline float EvaluateExpression(const EXPRESSION& expression, const CNumericVariablesState* state,
                                const CLOCK* clock) {
    if (expression.clockOnly != 0 && clock != nullptr) {
        if (expression.clockOnly > 0 && expression.foldedRate == clock->sampleRate &&
            std::memcmp(&expression.foldedBpm, &clock->bpm, sizeof(float)) == 0) {
            return expression.folded;
        }
        return EvaluateClockOnly(expression, state, clock);
    }
    return EvaluateAnyExpression(expression, state, clock);
}

}  // namespace morvanel
