// Expression parsing (precedence climbing over the token stream), flattening and evaluation.
#include "compile/expression.h"

#include <cmath>
#include <cstdlib>
#include <utility>

#include "engine/engine.h"
#include "engine/tables.h"
#include "script/constants.h"
#include "script/parser.h"
#include "vars/numeric_cast.h"
#include "vars/variables.h"

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
    if (PeekTokenIs(cursor, LEX_EXPR, TK_DOUBLE_BACKSLASH)) {
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
        const int32_t kind = PeekKind(cursor, LEX_EXPR);
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
        const int32_t kind = PeekKind(cursor, LEX_EXPR);
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
    switch (PeekKind(cursor, LEX_EXPR)) {
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
    if (!PeekTokenIs(cursor, LEX_EXPR, TK_RPAREN)) {
        ReportError(context, "Expected ')'\n");
        return nullptr;
    }
    return AdvanceToken(cursor, context, LEX_EXPR) ? cursor : nullptr;
}

const char* ExpressionParser::Primary(const char* cursor, EXPRESSION_NODE& node) {
    Token token;
    const char* after = NextToken(cursor, token, LEX_EXPR);
    switch (token.kind) {
        case TK_SIN2PI: {
            if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
            if (!PeekTokenIs(cursor, LEX_EXPR, TK_LPAREN)) {
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
        // strtod rather than atof: MinGW builds take strtod from their own correctly rounded
        // conversion but atof from msvcrt.dll, whose rounding differs between Windows versions.
        case TK_NUMBER:
            node.kind = EN_VALUE;
            node.value = PARAM_VALUE::Float(static_cast<float>(std::strtod(token.text.c_str(), nullptr)));
            break;
        case TK_NOTE:
            node.kind = EN_VALUE;
            node.value = PARAM_VALUE::Float(static_cast<float>(std::strtod(token.text.c_str(), nullptr)), VU_NOTE);
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

bool IsBinary(int32_t kind) { return kind >= EN_ADD && kind <= EN_MOD; }

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
    return program;
}

float EvaluateExpression(const EXPRESSION& expression, const CNumericVariablesState* state) {
    float stack[kMaxEvaluationStack];
    int32_t top = 0;  // number of values on the stack
    const CEngine* engine = state != nullptr ? state->engine : nullptr;
    for (const EXPRESSION_OP& op : expression.ops) {
        switch (op.kind) {
            case EN_VALUE:
                stack[top++] = EvaluateValue(op.value, state);
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
        if (IsBinary(op.kind)) {
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
        float& x = stack[top - 1];
        switch (op.kind) {
            case EN_WRAP: x = x > 1.0f ? x - 1.0f : x; break;
            case EN_FLOOR: x = std::floor(x); break;
            case EN_NEGATE: x = -x; break;
            case EN_SIN2PI: {
                const int32_t index = ToInt32(static_cast<double>(x) * 65536.0) & 0xFFFF;
                x = static_cast<float>(SineTable[index]);
                break;
            }
            case EN_SECONDS: x = engine != nullptr ? x * static_cast<float>(engine->sampleRate) : 0.0f; break;
            case EN_BEATS: x = engine != nullptr ? x * static_cast<float>(engine->SamplesPerBeat()) : 0.0f; break;
            case EN_HERTZ:
                x = engine != nullptr ? static_cast<float>(PeriodOfFrequency(static_cast<double>(x), engine->sampleRate)) : 0.0f;
                break;
            case EN_NOTE:
                x = engine != nullptr ? static_cast<float>(PeriodOfFrequency(NoteFrequency(ToInt32(x)), engine->sampleRate))
                                      : 0.0f;
                break;
            default: x = 0.0f; break;
        }
    }
    return top > 0 ? stack[top - 1] : 0.0f;
}

}  // namespace morvanel
