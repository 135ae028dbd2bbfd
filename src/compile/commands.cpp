// Sequence commands (value commands, print, push, pop, own, spawn, assignments), labels and
// the conditions dur, if and while.
#include "compile/commands.h"

#include <cstring>
#include <string>

#include "compile/expression.h"
#include "compile/model.h"
#include "engine/engine.h"
#include "script/constants.h"
#include "script/parser.h"
#include "script/start_text.h"

namespace morvanel {

namespace {

struct ValueCommand {
    const char* word;
    int32_t kind;
};

const ValueCommand kValueCommands[] = {
    {"fadeout", SI_FADEOUT}, {"fadein", SI_FADEIN}, {"vol", SI_VOL},     {"sqr", SI_SQR},
    {"saw", SI_SAW},         {"noise5", SI_NOISE5}, {"noise17e", SI_NOISE17E}, {"out", SI_OUT},
};

void AppendSimple(CSequence& sequence, int32_t kind, PARAM_VALUE value = PARAM_VALUE{}) {
    SEQUENCE_ITEM item;
    item.kind = kind;
    item.value = std::move(value);
    sequence.AppendItem(std::move(item));
}

void AppendExpression(CSequence& sequence, int32_t kind, const EXPRESSION* expression, PARAM_VALUE value = PARAM_VALUE{}) {
    SEQUENCE_ITEM item;
    item.kind = kind;
    item.value = std::move(value);
    item.target.expression = expression;
    sequence.AppendItem(std::move(item));
}

// print(...) and push(...): a parenthesised expression.
const char* ParseExpressionCommand(const char* cursor, ParseContext& context, CSequence& sequence, int32_t kind) {
    if (!PeekTokenIs(cursor, LEX_STMT, TK_LPAREN)) {
        ReportError(context, "Expected '('");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    EXPRESSION_NODE root;
    cursor = ParseExpression(sequence, cursor, context, root);
    if (cursor == nullptr) return nullptr;
    if (!PeekTokenIs(cursor, LEX_STMT, TK_RPAREN)) {
        ReportError(context, "Expected ')'");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    const EXPRESSION* expression = FinishExpression(root, context);
    if (expression == nullptr) return nullptr;
    AppendExpression(sequence, kind, expression);
    return cursor;
}

const char* ParseAssignment(const char* cursor, ParseContext& context, CSequence& sequence, uint8_t letter) {
    const VariableDeclaration* declaration = DeclareVariable(sequence, letter);
    if (declaration == nullptr) {
        ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
        return nullptr;
    }
    const int32_t slot = declaration->slot;
    if (!PeekTokenIs(cursor, LEX_STMT, TK_EQUALS)) {
        ReportError(context, "Expected '='");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    EXPRESSION_NODE root;
    cursor = ParseExpression(sequence, cursor, context, root);
    if (cursor == nullptr) {
        ReportError(context, "Couldn't parse the expression");
        return nullptr;
    }
    const EXPRESSION* expression = FinishExpression(root, context);
    if (expression == nullptr) return nullptr;
    AppendExpression(sequence, SI_LET, expression, PARAM_VALUE::Variable(slot));
    return cursor;
}

}  // namespace

const EXPRESSION* FinishExpression(const EXPRESSION_NODE& root, ParseContext& context) {
    std::unique_ptr<EXPRESSION> expression = CompileExpression(root);
    if (expression == nullptr) {
        ReportError(context, "Expression too complex to evaluate\n");
        return nullptr;
    }
    return expression.release();
}

const char* ParseCommand(CEngine& engine, const char* cursor, ParseContext& context, CSequence& sequence) {
    Token command;
    NextToken(cursor, command, LEX_STMT);
    const bool isVariable = command.kind == TK_PERCENT;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    const std::string& word = command.text;

    for (const ValueCommand& valueCommand : kValueCommands) {
        if (isVariable || word != valueCommand.word) continue;
        PARAM_VALUE value;
        int closed = 0;
        cursor = ReadConstant(&engine, &sequence, cursor, context, closed, value);
        if (cursor == nullptr) return nullptr;
        FoldUnit(value, engine);
        if (valueCommand.kind == SI_FADEOUT && !closed) {
            ReportError(context, "fadeout expects only a single parameter\n");
            return nullptr;
        }
        AppendSimple(sequence, valueCommand.kind, std::move(value));
        return cursor;
    }
    if (!isVariable) {
        if (word == "own") {
            AppendSimple(sequence, SI_OWN);
            return cursor;
        }
        if (word == "print") return ParseExpressionCommand(cursor, context, sequence, SI_PRINT);
        if (word == "push") return ParseExpressionCommand(cursor, context, sequence, SI_PUSH);
        if (word == "pop") {
            PARAM_VALUE value;
            int closed = 0;
            cursor = ReadConstant(&engine, &sequence, cursor, context, closed, value);
            if (cursor == nullptr) return nullptr;
            if (value.kind != VK_VARIABLE) {
                ReportError(context, "Variable name expected\n");
                return nullptr;
            }
            AppendSimple(sequence, SI_POP, PARAM_VALUE::Variable(value.number.slot));
            return cursor;
        }
        if (word == "spawn") {
            SpawnStartRequest();  // built now, so the audio thread never builds it
            AppendSimple(sequence, SI_SPAWN, PARAM_VALUE::Literal(kSpawnText));
            return cursor;
        }
        ReportError(context, "WARNING: Unknown command %s ignored\n", word.c_str());
        return cursor;
    }
    return ParseAssignment(cursor, context, sequence, static_cast<uint8_t>(word[1]));
}

const char* ParseLabel(const char* cursor, ParseContext& context, CSequence& sequence) {
    Token label;
    NextToken(cursor, label, LEX_STMT);
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (label.text == "loop") {
        sequence.looping = true;
        sequence.loopLabelPending = true;
    } else if (label.text == "release") {
        sequence.releaseLabelPending = true;
    }
    return cursor;
}

const char* ParseConditions(CEngine& engine, const char* cursor, ParseContext& context, CSequence& sequence) {
    Token keyword;
    while (NextToken(cursor, keyword, LEX_STMT) != nullptr && keyword.kind == TK_CONDITION) {
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        PARAM_VALUE value;
        int closed = 0;
        cursor = ReadConstant(&engine, &sequence, cursor, context, closed, value);
        if (cursor == nullptr) return nullptr;
        if (!closed) {
            if (keyword.text == "dur") {
                ReportError(context, "dur expects only a single parameter\n");
            } else {
                ReportError(context, "'%s' expects only a single parameter\n", keyword.text.c_str());
            }
            return nullptr;
        }
        FoldUnit(value, engine);
        if (keyword.text == "dur") {
            sequence.duration = value;
        } else {
            sequence.condition = value;
            sequence.conditionIsWhile = keyword.text == "while";
        }
    }
    return cursor;
}

}  // namespace morvanel
