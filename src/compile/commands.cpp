// Sequence commands, labels and conditions. Commands are dispatched by keyword to the handlers
// the keyword list names.
#include "compile/commands.h"

#include <string>

#include "compile/constants.h"
#include "compile/expression_parser.h"
#include "compile/start_text.h"
#include "script/diagnostics.h"

namespace morvanel {

namespace {

// What a command handler works on: the cursor just after the command's keyword.
struct COMMAND_SITE {
    const CLOCK& clock;
    const char* cursor;
    ParseContext& context;
    CSequence& sequence;
    std::string_view word;
};

void AppendSimple(CSequence& sequence, int32_t kind, PARAM_VALUE value = PARAM_VALUE{}) {
    SEQUENCE_ITEM item;
    item.kind = kind;
    item.value = std::move(value);
    sequence.AppendItem(std::move(item));
}

void AppendExpression(CSequence& sequence, int32_t kind, std::unique_ptr<const EXPRESSION> expression,
                      PARAM_VALUE value = PARAM_VALUE{}) {
    SEQUENCE_ITEM item;
    item.kind = kind;
    item.value = std::move(value);
    item.expression = std::move(expression);
    sequence.AppendItem(std::move(item));
}

// sqr(...), vol(...) and the other commands of one value: a constant or a '%' variable.
const char* ValueCommand(COMMAND_SITE& site, int32_t kind) {
    PARAM_VALUE value;
    int closed = 0;
    const char* cursor = ReadConstant(&site.clock, &site.sequence, site.cursor, site.context, closed, value);
    if (cursor == nullptr) return nullptr;
    FoldUnit(value, site.clock);
    if (kind == SI_FADEOUT && !closed) {
        ReportError(site.context, "fadeout expects only a single parameter\n");
        return nullptr;
    }
    AppendSimple(site.sequence, kind, std::move(value));
    return cursor;
}

// print(...) and push(...): a parenthesised expression.
const char* ExpressionCommand(COMMAND_SITE& site, int32_t kind) {
    const char* cursor = site.cursor;
    ParseContext& context = site.context;
    if (!PeekTokenIs(context, cursor, LEX_STMT, TK_LPAREN)) {
        ReportError(context, "Expected '('");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    EXPRESSION_NODE root;
    cursor = ParseExpression(site.sequence, cursor, context, root);
    if (cursor == nullptr) return nullptr;
    if (!PeekTokenIs(context, cursor, LEX_STMT, TK_RPAREN)) {
        ReportError(context, "Expected ')'");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    std::unique_ptr<const EXPRESSION> expression = FinishExpression(root, context);
    if (expression == nullptr) return nullptr;
    AppendExpression(site.sequence, kind, std::move(expression));
    return cursor;
}

const char* CompileFadeOut(COMMAND_SITE& site) { return ValueCommand(site, SI_FADEOUT); }
const char* CompileFadeIn(COMMAND_SITE& site) { return ValueCommand(site, SI_FADEIN); }
const char* CompileVolume(COMMAND_SITE& site) { return ValueCommand(site, SI_VOL); }
const char* CompileSquare(COMMAND_SITE& site) { return ValueCommand(site, SI_SQR); }
const char* CompileSaw(COMMAND_SITE& site) { return ValueCommand(site, SI_SAW); }
const char* CompileNoise5(COMMAND_SITE& site) { return ValueCommand(site, SI_NOISE5); }
const char* CompileNoise17e(COMMAND_SITE& site) { return ValueCommand(site, SI_NOISE17E); }
const char* CompileOut(COMMAND_SITE& site) { return ValueCommand(site, SI_OUT); }
const char* CompilePrint(COMMAND_SITE& site) { return ExpressionCommand(site, SI_PRINT); }
const char* CompilePush(COMMAND_SITE& site) { return ExpressionCommand(site, SI_PUSH); }

const char* CompileOwn(COMMAND_SITE& site) {
    AppendSimple(site.sequence, SI_OWN);
    return site.cursor;
}

const char* CompilePop(COMMAND_SITE& site) {
    PARAM_VALUE value;
    int closed = 0;
    const char* cursor = ReadConstant(&site.clock, &site.sequence, site.cursor, site.context, closed, value);
    if (cursor == nullptr) return nullptr;
    if (value.kind != VK_VARIABLE) {
        ReportError(site.context, "Variable name expected\n");
        return nullptr;
    }
    AppendSimple(site.sequence, SI_POP, PARAM_VALUE::Variable(value.number.slot));
    return cursor;
}

const char* CompileSpawn(COMMAND_SITE& site) {
    SpawnStartRequest();  // read now, so that the audio thread finds it ready
    AppendSimple(site.sequence, SI_SPAWN, PARAM_VALUE::Literal(kSpawnText));
    return site.cursor;
}

// A keyword the language reserves without a command behind it ("let").
const char* CompileUnknownCommand(COMMAND_SITE& site) {
    ReportError(site.context, "WARNING: Unknown command %s ignored\n", std::string(site.word).c_str());
    return site.cursor;
}

// %x = expression
const char* ParseAssignment(COMMAND_SITE& site, uint8_t letter) {
    const char* cursor = site.cursor;
    ParseContext& context = site.context;
    const VariableDeclaration* declaration = DeclareVariable(site.sequence, letter);
    if (declaration == nullptr) {
        ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
        return nullptr;
    }
    const int32_t slot = declaration->slot;
    if (!PeekTokenIs(context, cursor, LEX_STMT, TK_EQUALS)) {
        ReportError(context, "Expected '='");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    EXPRESSION_NODE root;
    cursor = ParseExpression(site.sequence, cursor, context, root);
    if (cursor == nullptr) {
        ReportError(context, "Couldn't parse the expression");
        return nullptr;
    }
    std::unique_ptr<const EXPRESSION> expression = FinishExpression(root, context);
    if (expression == nullptr) return nullptr;
    AppendExpression(site.sequence, SI_LET, std::move(expression), PARAM_VALUE::Variable(slot));
    return cursor;
}

}  // namespace

std::unique_ptr<const EXPRESSION> FinishExpression(const EXPRESSION_NODE& root, ParseContext& context) {
    std::unique_ptr<EXPRESSION> expression = CompileExpression(root);
    if (expression == nullptr) ReportError(context, "Expression too complex to evaluate\n");
    return expression;
}

const char* ParseCommand(const CLOCK& clock, const char* cursor, ParseContext& context, CSequence& sequence) {
    const Token command = PeekToken(context, cursor, LEX_STMT).token;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    COMMAND_SITE site{clock, cursor, context, sequence, command.text};
    if (command.kind == TK_PERCENT) return ParseAssignment(site, static_cast<uint8_t>(command.text[1]));
    switch (command.keyword) {
#define FUNCTION(id, word)
#define BOX_OPTION(id, word)
#define CONDITION(id, word)
#define SEQUENCE_COMMAND(id, word, handler) \
    case id:                                \
        return handler(site);
#define LABEL(id, word)
#define GLOBAL_COMMAND(id, word, handler)
#include "script/keywords.def"
#undef FUNCTION
#undef BOX_OPTION
#undef CONDITION
#undef SEQUENCE_COMMAND
#undef LABEL
#undef GLOBAL_COMMAND
        default:
            return CompileUnknownCommand(site);
    }
}

const char* ParseLabel(const char* cursor, ParseContext& context, CSequence& sequence) {
    const KeywordId label = PeekToken(context, cursor, LEX_STMT).token.keyword;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (label == KW_LOOP) {
        sequence.looping = true;
        sequence.loopLabelPending = true;
    } else if (label == KW_RELEASE) {
        sequence.releaseLabelPending = true;
    }
    return cursor;
}

const char* ParseConditions(const CLOCK& clock, const char* cursor, ParseContext& context, CSequence& sequence) {
    for (;;) {
        const SCANNED_TOKEN& scanned = PeekToken(context, cursor, LEX_STMT);
        if (scanned.end == nullptr || scanned.token.kind != TK_CONDITION) return cursor;
        const Token keyword = scanned.token;
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        PARAM_VALUE value;
        int closed = 0;
        cursor = ReadConstant(&clock, &sequence, cursor, context, closed, value);
        if (cursor == nullptr) return nullptr;
        if (!closed) {
            if (keyword.keyword == KW_DUR) {
                ReportError(context, "dur expects only a single parameter\n");
            } else {
                ReportError(context, "'%s' expects only a single parameter\n", std::string(keyword.text).c_str());
            }
            return nullptr;
        }
        FoldUnit(value, clock);
        if (keyword.keyword == KW_DUR) {
            sequence.duration = value;
        } else {
            sequence.condition = value;
            sequence.conditionIsWhile = keyword.keyword == KW_WHILE;
        }
    }
}

}  // namespace morvanel
