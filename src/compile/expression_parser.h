// Expression parsing: recursive descent over the token stream into a tree of EXPRESSION_NODE,
// then flattening of the tree into the postfix program that the runtime evaluates.
#pragma once

#include <cstdint>
#include <memory>

#include "program/expression.h"
#include "script/lexer.h"
#include "vars/variables.h"

namespace morvanel {

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

// Parses one expression at `cursor` into `node` (a fresh node that becomes the root), declaring
// variables in `owner`. Returns the cursor after it, or null after reporting an error.
const char* ParseExpression(CNumericVariablesOwner& owner, const char* cursor, ParseContext& context,
                            EXPRESSION_NODE& node);

// Flattens a tree into its postfix program; null when evaluating it would need more than
// kMaxEvaluationStack values (the nesting limit of the parser keeps real trees far below).
std::unique_ptr<EXPRESSION> CompileExpression(const EXPRESSION_NODE& root);

}  // namespace morvanel
