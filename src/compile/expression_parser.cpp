// Expression parsing by recursive descent (a wrap over a sum of terms of unary operands over
// primaries), and flattening of the tree into its postfix program.
#include "compile/expression_parser.h"

#include <utility>
#include <vector>

#include "compile/constants.h"
#include "compile/parser.h"
#include "script/diagnostics.h"

namespace morvanel {

EXPRESSION_NODE::~EXPRESSION_NODE() {
    std::vector<EXPRESSION_NODE*> pending;
    if (left != nullptr) pending.push_back(std::exchange(left, nullptr));
    if (right != nullptr) pending.push_back(std::exchange(right, nullptr));
    while (!pending.empty()) {
        EXPRESSION_NODE* node = pending.back();
        pending.pop_back();
        if (node->left != nullptr) pending.push_back(std::exchange(node->left, nullptr));
        if (node->right != nullptr) pending.push_back(std::exchange(node->right, nullptr));
        delete node;
    }
}

namespace {

struct ExpressionParser {
    CNumericVariablesOwner& owner;
    ParseContext& context;

    const char* Expression(const char* cursor, EXPRESSION_NODE& node);
    const char* Sum(const char* cursor, EXPRESSION_NODE& node);
    const char* Term(const char* cursor, EXPRESSION_NODE& node);
    const char* Unary(const char* cursor, EXPRESSION_NODE& node);
    const char* Primary(const char* cursor, EXPRESSION_NODE& node);
    const char* Nested(const char* cursor, EXPRESSION_NODE& node);
};

// Moves the current root into a new left operand, so that the caller's node stays the root.
EXPRESSION_NODE* DetachInto(EXPRESSION_NODE& node) {
    auto* copy = new EXPRESSION_NODE;
    copy->kind = node.kind;
    copy->value = std::move(node.value);
    copy->left = std::exchange(node.left, nullptr);
    copy->right = std::exchange(node.right, nullptr);
    node.value = PARAM_VALUE{};
    return copy;
}

const char* ExpressionParser::Expression(const char* cursor, EXPRESSION_NODE& node) {
    if (PeekTokenIs(context, cursor, LEX_EXPR, TK_DOUBLE_BACKSLASH)) {
        if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
        auto* inner = new EXPRESSION_NODE;
        node.kind = EN_WRAP;
        node.left = inner;
        return Sum(cursor, *inner);
    }
    return Sum(cursor, node);
}

const char* ExpressionParser::Sum(const char* cursor, EXPRESSION_NODE& node) {
    cursor = Term(cursor, node);
    while (cursor != nullptr) {
        const int32_t kind = PeekKind(context, cursor, LEX_EXPR);
        if (kind != TK_PLUS && kind != TK_MINUS) break;
        if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
        auto* right = new EXPRESSION_NODE;
        EXPRESSION_NODE* left = DetachInto(node);
        node.kind = kind == TK_PLUS ? EN_ADD : EN_SUB;
        node.left = left;
        node.right = right;
        cursor = Term(cursor, *right);
    }
    return cursor;
}

const char* ExpressionParser::Term(const char* cursor, EXPRESSION_NODE& node) {
    cursor = Unary(cursor, node);
    while (cursor != nullptr) {
        const int32_t kind = PeekKind(context, cursor, LEX_EXPR);
        int32_t nodeKind;
        if (kind == TK_STAR) {
            nodeKind = EN_MUL;
        } else if (kind == TK_SLASH) {
            nodeKind = EN_DIV;
        } else if (kind == TK_BACKSLASH) {
            nodeKind = EN_MOD;
        } else {
            break;
        }
        if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
        auto* right = new EXPRESSION_NODE;
        EXPRESSION_NODE* left = DetachInto(node);
        node.kind = nodeKind;
        node.left = left;
        node.right = right;
        cursor = Unary(cursor, *right);
    }
    return cursor;
}

const char* ExpressionParser::Unary(const char* cursor, EXPRESSION_NODE& node) {
    int32_t prefix = 0;
    switch (PeekKind(context, cursor, LEX_EXPR)) {
        case TK_TILDE: prefix = EN_SECONDS; break;
        case TK_BANG: prefix = EN_BEATS; break;
        case TK_AT: prefix = EN_HERTZ; break;
        case TK_HASH: prefix = EN_NOTE; break;
        case TK_MINUS: prefix = EN_NEGATE; break;
        case TK_UNDERSCORE: prefix = EN_FLOOR; break;
        default: return Primary(cursor, node);
    }
    if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
    auto* operand = new EXPRESSION_NODE;
    node.kind = prefix;
    node.left = operand;
    return Primary(cursor, *operand);
}

// A parenthesised expression or a sin2pi argument: one nesting level deeper.
const char* ExpressionParser::Nested(const char* cursor, EXPRESSION_NODE& node) {
    if (context.nesting >= kMaxNesting) {
        ReportError(context, "Expression nested too deeply (more than %d levels)\n", kMaxNesting);
        return nullptr;
    }
    ++context.nesting;
    cursor = Expression(cursor, node);
    --context.nesting;
    if (cursor == nullptr) return nullptr;
    if (!PeekTokenIs(context, cursor, LEX_EXPR, TK_RPAREN)) {
        ReportError(context, "Expected ')'\n");
        return nullptr;
    }
    return AdvanceToken(cursor, context, LEX_EXPR) ? cursor : nullptr;
}

const char* ExpressionParser::Primary(const char* cursor, EXPRESSION_NODE& node) {
    const SCANNED_TOKEN scanned = PeekToken(context, cursor, LEX_EXPR);
    const Token& token = scanned.token;
    const char* after = scanned.end;
    switch (token.kind) {
        case TK_SIN2PI: {
            if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
            if (!PeekTokenIs(context, cursor, LEX_EXPR, TK_LPAREN)) {
                ReportError(context, "Expected '('\n");
                return nullptr;
            }
            if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
            auto* argument = new EXPRESSION_NODE;
            node.kind = EN_SIN2PI;
            node.left = argument;
            return Nested(cursor, *argument);
        }
        case TK_LPAREN:
            if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
            return Nested(cursor, node);
        case TK_NUMBER:
            node.kind = EN_VALUE;
            node.value = PARAM_VALUE::Float(static_cast<float>(NumberOfToken(token)));
            break;
        case TK_NOTE:
            node.kind = EN_VALUE;
            node.value = PARAM_VALUE::Float(static_cast<float>(NumberOfToken(token)), VU_NOTE);
            break;
        case TK_PERCENT: {
            if (after == nullptr) break;
            const VariableDeclaration* declaration = DeclareVariable(owner, static_cast<uint8_t>(token.text[1]));
            if (declaration == nullptr) {
                ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
                return nullptr;
            }
            node.kind = EN_VALUE;
            node.value = PARAM_VALUE::Variable(declaration->slot);
            break;
        }
        case TK_QUESTION:
            node.kind = EN_RANDOM;
            break;
        default:
            ReportError(context, "A variable, a numeric constant, '(', or '?' expected here.\n");
            return nullptr;
    }
    if (after == nullptr) return nullptr;
    return AdvanceToken(cursor, context, LEX_EXPR) ? cursor : nullptr;
}

}  // namespace

const char* ParseExpression(CNumericVariablesOwner& owner, const char* cursor, ParseContext& context,
                            EXPRESSION_NODE& node) {
    ExpressionParser parser{owner, context};
    return parser.Expression(cursor, node);
}

std::unique_ptr<EXPRESSION> CompileExpression(const EXPRESSION_NODE& root) {
    auto program = std::make_unique<EXPRESSION>();
    // Post-order walk with an explicit stack: trees built from long sums are arbitrarily deep.
    struct Visit {
        const EXPRESSION_NODE* node;
        bool expanded;
    };
    std::vector<Visit> work{{&root, false}};
    int32_t depth = 0;
    while (!work.empty()) {
        Visit visit = work.back();
        work.pop_back();
        const EXPRESSION_NODE* node = visit.node;
        if (!visit.expanded) {
            work.push_back({node, true});
            if (node->right != nullptr) work.push_back({node->right, false});
            if (node->left != nullptr) work.push_back({node->left, false});
            continue;
        }
        EXPRESSION_OP op{node->kind, {}};
        const int operands = (node->left != nullptr) + (node->right != nullptr);
        if (node->kind == EN_VALUE) op.value = node->value;
        if (operands == 0 && node->kind != EN_VALUE && node->kind != EN_RANDOM) {
            op.kind = 0;  // an unknown leaf reads as 0
        }
        depth += 1 - operands;
        program->stackNeeded = std::max(program->stackNeeded, depth + operands);
        program->ops.push_back(std::move(op));
    }
    if (program->stackNeeded > kMaxEvaluationStack) return nullptr;
    const std::vector<EXPRESSION_OP>& ops = program->ops;
    if (ops.size() == 1 && ops[0].kind == EN_VALUE) {
        program->shape = EX_VALUE;
    } else if (ops.size() == 3 && ops[0].kind == EN_VALUE && ops[1].kind == EN_VALUE && IsBinaryExpression(ops[2].kind)) {
        program->shape = EX_BINARY;
    } else if (ops.size() == 2 && ops[0].kind == EN_VALUE && !IsBinaryExpression(ops[1].kind) &&
               ops[1].kind != EN_VALUE && ops[1].kind != EN_RANDOM && ops[1].kind != 0) {
        program->shape = EX_UNARY;
    }
    return program;
}

}  // namespace morvanel
