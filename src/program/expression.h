// Compiled expressions: a postfix program of operations over a small value stack, built by the
// compiler from an expression tree and evaluated by the runtime without recursion.
#pragma once

#include <cstdint>
#include <vector>

#include "program/param_value.h"

namespace morvanel {

enum ExpressionKind : int32_t {
    EN_VALUE = 1,
    EN_RANDOM = 2,
    EN_ADD = 3,
    EN_SUB = 4,
    EN_MUL = 5,
    EN_DIV = 6,
    EN_MOD = 7,
    EN_WRAP = 8,
    EN_FLOOR = 9,
    EN_NEGATE = 11,
    EN_SIN2PI = 12,
    EN_SECONDS = 13,
    EN_BEATS = 14,
    EN_HERTZ = 15,
    EN_NOTE = 16,
};

inline bool IsBinaryExpression(int32_t kind) { return kind >= EN_ADD && kind <= EN_MOD; }

// One step of the postfix program: EN_VALUE and EN_RANDOM push, one-operand kinds replace the
// top, two-operand kinds combine the top two; kind 0 pushes 0.0 (an operator without operand).
struct EXPRESSION_OP {
    int32_t kind;
    PARAM_VALUE value;
};

// Shapes that most expressions of real scripts take, evaluated without the value stack.
enum ExpressionShape : int32_t {
    EX_PROGRAM = 0,  // anything: the postfix program runs
    EX_VALUE = 1,    // one value: ops[0]
    EX_BINARY = 2,   // ops[0] op ops[1], with ops[2] one of EN_ADD to EN_MOD
    EX_UNARY = 3,    // ops[1] applied to the value ops[0]: a unit, a function, a negation
};

struct EXPRESSION {
    std::vector<EXPRESSION_OP> ops;
    int32_t stackNeeded = 0;
    int32_t shape = EX_PROGRAM;
    // An expression of constants that a unit or a unit operator turns into samples (a pushed note
    // name, a length in seconds) depends on the clock alone: the runtime keeps its value with the
    // rate and tempo it was computed at. 1: such an expression, 0: not, -1: not looked at yet.
    // Written by the thread that plays the program, the only one that evaluates it.
    mutable int8_t clockOnly = -1;
    mutable int32_t foldedRate = 0;
    mutable float foldedBpm = 0.0f;
    mutable float folded = 0.0f;
};

// Whether evaluating `expression` draws a random number (null: no expression, no draw).
inline bool DrawsRandom(const EXPRESSION* expression) {
    if (expression == nullptr) return false;
    for (const EXPRESSION_OP& op : expression->ops) {
        if (op.kind == EN_RANDOM) return true;
    }
    return false;
}

// The deepest value stack a compiled expression may need; the compiler refuses deeper ones.
constexpr int32_t kMaxEvaluationStack = 512;

}  // namespace morvanel
