// Compiling box definitions and their bodies.
#include "compile/definition.h"

#include "compile/commands.h"
#include "compile/expression.h"
#include "compile/model.h"
#include "engine/engine.h"
#include "script/box_header.h"
#include "script/parser.h"

namespace morvanel {

namespace {

// Working state of one body while it is compiled.
struct BodyState {
    CSequence* sequence;
    std::vector<std::string> callArgs;
    std::string callName;
    int squashIndex = 0;
    bool callPending = false;
};

bool CanBeginElement(int32_t kind) {
    switch (kind) {
        case TK_BQ_DIGIT:
        case TK_IDENT:
        case TK_SEQ_COMMAND:
        case TK_CONDITION:
        case TK_LABEL:
        case TK_COLON:
        case TK_NUMBER:
        case TK_PERCENT:
        case TK_NOTE:
        case TK_LBRACE:
        case TK_LBRACKET:
        case TK_QUESTION:
        case TK_BACKQUOTE:
            return true;
        default:
            return false;
    }
}

void EmitPending(BodyState& body) {
    EmitBoxCall(*body.sequence, body.callName, body.callArgs);
}

// Ends the element loop at a token that cannot begin an element.
const char* EndBody(const char* cursor, ParseContext& context, BodyState& body, int32_t kind) {
    if (kind != TK_RBRACE) {
        ReportError(context, "Unexpected token\n");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (body.callPending) EmitPending(body);
    body.sequence->FinishSequence();
    return cursor;
}

void AppendSample(CSequence& sequence, int32_t kind, PARAM_VALUE value = PARAM_VALUE{}) {
    SEQUENCE_ITEM item;
    item.kind = kind;
    item.value = std::move(value);
    sequence.AppendItem(std::move(item));
}

// The backquoted block, from just after its opening backquote to just after its closing one.
const char* ParseBackquoted(const char* cursor, ParseContext& context, BodyState& body, bool& finished) {
    Token token;
    for (;;) {
        NextToken(cursor, token, LEX_BACKQUOTE);
        if (!CanBeginElement(token.kind)) {
            finished = true;
            return EndBody(cursor, context, body, token.kind);
        }
        if (!AdvanceToken(cursor, context, LEX_BACKQUOTE)) return nullptr;
        switch (token.kind) {
            case TK_BACKQUOTE:
                return cursor;
            case TK_BQ_DIGIT:
                AppendSample(*body.sequence, SI_SAMPLE, PARAM_VALUE::Float(static_cast<float>(token.text[0] - '5') * 0.25f));
                break;
            case TK_IDENT:
                body.sequence->AppendBoxCall(token.text);
                break;
            case TK_QUESTION:
                AppendSample(*body.sequence, SI_NOISE_SAMPLE);
                break;
            default:
                ReportError(context, "Unexpected token\n");
                return nullptr;
        }
    }
}

const char* ParseBoxCall(CEngine& engine, const char* cursor, ParseContext& context, BodyState& body) {
    BOX_HEADER header;
    body.callArgs.clear();
    cursor = ParseBoxHeader(&engine, cursor, context, header);
    body.callName = header.name;
    body.callArgs = header.parameters;
    if (cursor == nullptr) return nullptr;
    if (!EmitBoxCall(*body.sequence, body.callName, body.callArgs)) {
        ReportError(context, "Box does not exist");
        return nullptr;
    }
    body.squashIndex = static_cast<int>(body.callArgs.size()) - 1;
    return cursor;
}

// Squashing a number or note: it replaces one of the last call's arguments.
const char* SquashValue(const char* cursor, ParseContext& context, BodyState& body, const Token& token) {
    if (body.callPending) {
        EmitPending(body);
        body.squashIndex = static_cast<int>(body.callArgs.size()) - 1;
    }
    if (body.callArgs.empty()) {
        ReportError(context, "There's no param to squash.\n");
        return nullptr;
    }
    body.callArgs.push_back(token.kind == TK_NOTE ? "#" + token.text : token.text);
    const int index = body.squashIndex;
    if (index >= 0 && index < static_cast<int>(body.callArgs.size())) {
        body.callArgs.erase(body.callArgs.begin() + index);
    }
    body.callPending = true;
    return AdvanceToken(cursor, context, LEX_STMT) ? cursor : nullptr;
}

}  // namespace

bool EmitBoxCall(CSequence& sequence, const std::string& name, const std::vector<std::string>& arguments) {
    CEngine& engine = *sequence.engine;
    if (engine.FindBox(name) == nullptr) return false;
    for (const std::string& argument : arguments) {
        const std::string text = argument + " ";
        const int32_t first = PeekKind(text.c_str(), LEX_EXPR);
        if (first != TK_NUMBER && first != TK_PERCENT && first != TK_NOTE && first != TK_HASH) continue;
        // Errors inside an argument count positions within the argument and stay out of the log.
        ParseContext argumentContext;
        EXPRESSION_NODE root;
        if (ParseExpression(sequence, text.c_str(), argumentContext, root) == nullptr) continue;
        const EXPRESSION* expression = FinishExpression(root, argumentContext);
        if (expression == nullptr) continue;
        SEQUENCE_ITEM item;
        item.kind = SI_PUSH;
        item.target.expression = expression;
        sequence.AppendItem(std::move(item));
    }
    sequence.AppendBoxCall(name);
    return true;
}

const char* ParseSequenceBody(CEngine& engine, const char* cursor, ParseContext& context, CBox* box) {
    if (box == nullptr) {
        ReportError(context, "Parsing sequence for an unknown box\n");
        return nullptr;
    }
    BodyState body;
    body.sequence = box->NewSequence();
    CSequence& sequence = *body.sequence;

    const char* result = [&]() -> const char* {
        if (PeekTokenIs(cursor, LEX_STMT, TK_CONDITION)) {
            cursor = ParseConditions(engine, cursor, context, sequence);
            if (cursor == nullptr) return nullptr;
        }
        if (!PeekTokenIs(cursor, LEX_STMT, TK_LBRACE)) {
            ReportError(context, "Expected '{'\n");
            return nullptr;
        }
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;

        if (box->sequences.size() == 1) {
            for (auto letter = box->paramLetters.rbegin(); letter != box->paramLetters.rend(); ++letter) {
                const VariableDeclaration* declaration = DeclareVariable(sequence, static_cast<uint8_t>(*letter));
                if (declaration == nullptr) {
                    ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
                    return nullptr;
                }
                AppendSample(sequence, SI_POP, PARAM_VALUE::Variable(declaration->slot));
            }
        }

        Token token;
        for (;;) {
            NextToken(cursor, token, LEX_STMT);
            if (!CanBeginElement(token.kind)) return EndBody(cursor, context, body, token.kind);

            if (token.kind == TK_NUMBER || token.kind == TK_NOTE) {
                cursor = SquashValue(cursor, context, body, token);
                if (cursor == nullptr) return nullptr;
                continue;
            }
            if (token.kind == TK_COLON) {
                if (--body.squashIndex < 0) {
                    ReportError(context, "You went too far with param squashing.\n");
                    return nullptr;
                }
                body.callPending = false;
                if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
                continue;
            }

            if (body.callPending) {
                EmitPending(body);
                body.squashIndex = static_cast<int>(body.callArgs.size()) - 1;
            }
            body.callPending = false;

            switch (token.kind) {
                case TK_BACKQUOTE: {
                    if (!AdvanceToken(cursor, context, LEX_BACKQUOTE)) return nullptr;
                    bool finished = false;
                    cursor = ParseBackquoted(cursor, context, body, finished);
                    if (cursor == nullptr || finished) return cursor;
                    break;
                }
                case TK_QUESTION:
                    AppendSample(sequence, SI_NOISE_SAMPLE);
                    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
                    break;
                case TK_IDENT:
                case TK_LBRACKET:
                    cursor = ParseBoxCall(engine, cursor, context, body);
                    break;
                case TK_LBRACE:
                case TK_CONDITION:
                    cursor = ParseBoxDefinition(engine, cursor, context, &sequence);
                    break;
                case TK_LABEL:
                    cursor = ParseLabel(cursor, context, sequence);
                    break;
                case TK_SEQ_COMMAND:
                case TK_PERCENT:
                    cursor = ParseCommand(engine, cursor, context, sequence);
                    break;
                default:
                    ReportError(context, "Unexpected token\n");
                    return nullptr;
            }
            if (cursor == nullptr) return nullptr;
        }
    }();

    // A body that failed still ends in SI_END, so nothing can run past its items.
    if (result == nullptr) sequence.FinishSequence();
    return result;
}

const char* ParseBoxDefinition(CEngine& engine, const char* cursor, ParseContext& context, CSequence* enclosing) {
    if (context.nesting >= kMaxNesting) {
        ReportError(context, "Bodies nested too deeply (more than %d levels)\n", kMaxNesting);
        return nullptr;
    }
    if (enclosing != nullptr) {
        CBox* box = engine.CreateBox("", false, false, enclosing);
        SEQUENCE_ITEM call;
        call.kind = SI_CALL;
        call.target.box = box;
        enclosing->AppendItem(std::move(call));
        enclosing->nestedBoxes.emplace(static_cast<int64_t>(enclosing->nestedBoxes.size()), box);
        ++context.nesting;
        const char* result = ParseSequenceBody(engine, cursor, context, box);
        --context.nesting;
        return result;
    }

    BOX_HEADER header;
    cursor = ParseBoxHeader(&engine, cursor, context, header);
    if (cursor == nullptr) return nullptr;
    const bool redefine = engine.FindBox(header.name) != nullptr;
    CBox* box = engine.CreateBox(header.name, redefine, header.exported != 0, nullptr);
    if (!header.groupName.empty()) box->SetGroup(engine.groups.GroupIdFor(header.groupName));
    box->maxInstances = header.maxInstances;
    box->stopExcess = header.stopExcess != 0;
    if (box->maxInstances > 0 && box->groupId == 0) box->SetGroup(engine.groups.GroupIdFor("_default_"));

    // A redefinition that fails while still waiting is withdrawn: it must never take over.
    auto withdraw = [&]() -> const char* {
        if (redefine) {
            CBox* registered = engine.FindBox(header.name);
            if (registered != nullptr && registered->pending == box) {
                registered->pending = nullptr;
                engine.DestroyBox(box);
            }
        }
        return nullptr;
    };

    for (const std::string& parameter : header.parameters) {
        const uint8_t letter = parameter.size() >= 2 ? static_cast<uint8_t>(parameter[1]) : 0;
        if (DeclareVariable(*box, letter) == nullptr) {
            ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
            return withdraw();
        }
        box->paramLetters.push_back(static_cast<char>(letter));
    }

    if (!PeekTokenIs(cursor, LEX_STMT, TK_EQUALS)) {
        ReportError(context, "Expected '='\n");
        return withdraw();
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return withdraw();

    bool first = true;
    for (;;) {
        const int32_t kind = PeekKind(cursor, LEX_STMT);
        if (kind != TK_LBRACE && !(first && kind == TK_CONDITION)) return cursor;
        ++context.nesting;
        const char* next = ParseSequenceBody(engine, cursor, context, box);
        --context.nesting;
        if (next == nullptr) return withdraw();
        cursor = next;
        first = false;
    }
}

}  // namespace morvanel
