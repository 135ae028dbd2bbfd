// Expressions: parsed into a tree of EXPRESSION_NODE, then flattened into a postfix program
// that evaluates without recursion, so that no expression can overflow the audio thread's stack.
#pragma once

#include <cstdint>
#include <memory>
#include <vector>

#include "compile/param_value.h"
#include "script/lexer.h"

namespace morvanel {

class CNumericVariablesOwner;
class CNumericVariablesState;

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

// A node owns its operands; destruction walks the tree iteratively.
struct EXPRESSION_NODE {
    int32_t kind = 0;
    PARAM_VALUE value;
    EXPRESSION_NODE* left = nullptr;
    EXPRESSION_NODE* right = nullptr;

    EXPRESSION_NODE() = default;
    EXPRESSION_NODE(const EXPRESSION_NODE&) = delete;
    EXPRESSION_NODE& operator=(const EXPRESSION_NODE&) = delete;
    ~EXPRESSION_NODE();
};

// One step of the postfix program: EN_VALUE and EN_RANDOM push, one-operand kinds replace the
// top, two-operand kinds combine the top two.
struct EXPRESSION_OP {
    int32_t kind;
    PARAM_VALUE value;
};

struct EXPRESSION {
    std::vector<EXPRESSION_OP> ops;
    int32_t stackNeeded = 0;
};

constexpr int32_t kMaxEvaluationStack = 512;

// Parses one expression at `cursor` into `node` (a fresh node that becomes the root), declaring
// variables in `owner`. Returns the cursor after it, or null after reporting an error.
const char* ParseExpression(CNumericVariablesOwner& owner, const char* cursor, ParseContext& context,
                            EXPRESSION_NODE& node);

// Flattens a tree into its postfix program; null when evaluating it would need more than
// kMaxEvaluationStack values (the nesting limit of the parser keeps real trees far below).
std::unique_ptr<EXPRESSION> CompileExpression(const EXPRESSION_NODE& root);

// Audio thread. The value of `expression` in `state` (the state's engine gives rate, tempo and
// tables; without a state the unit operators give 0). Allocates nothing; draws random numbers
// for '?'.
float EvaluateExpression(const EXPRESSION& expression, const CNumericVariablesState* state);

}  // namespace morvanel
