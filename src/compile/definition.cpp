// Compiling box definitions and their bodies.
#include "compile/definition.h"

#include <memory>

#include "compile/box_header.h"
#include "compile/commands.h"
#include "compile/expression_parser.h"
#include "compile/parser.h"
#include "compile/start_text.h"
#include "script/diagnostics.h"

namespace morvanel {

namespace {

// Working state of one body while it is compiled: the sequence and the last call, whose arguments
// numbers written after it may replace ("squashing").
struct BodyState {
    CProgram& program;
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

void EmitPending(BodyState& body) { EmitBoxCall(body.program, *body.sequence, body.callName, body.callArgs); }

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

// Appends a call of `name` when a box has that name.
void AppendCallByName(CProgram& program, CSequence& sequence, std::string_view name) {
    CBox* callee = program.boxes.FindBox(name);
    if (callee == nullptr) return;
    SEQUENCE_ITEM item;
    item.kind = SI_CALL;
    item.callee = callee;
    sequence.AppendItem(std::move(item));
}

// The backquoted block, from just after its opening backquote to just after its closing one.
const char* ParseBackquoted(const char* cursor, ParseContext& context, BodyState& body, bool& finished) {
    for (;;) {
        const Token token = PeekToken(context, cursor, LEX_BACKQUOTE).token;
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
                AppendCallByName(body.program, *body.sequence, token.text);
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

const char* ParseBoxCall(const char* cursor, ParseContext& context, BodyState& body) {
    BOX_HEADER header;
    body.callArgs.clear();
    cursor = ParseBoxHeader(&body.program.clock, cursor, context, header);
    body.callName = header.name;
    body.callArgs = header.parameters;
    if (cursor == nullptr) return nullptr;
    if (!EmitBoxCall(body.program, *body.sequence, body.callName, body.callArgs)) {
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
    body.callArgs.push_back(ParameterText(token));
    const int index = body.squashIndex;
    if (index >= 0 && index < static_cast<int>(body.callArgs.size())) {
        body.callArgs.erase(body.callArgs.begin() + index);
    }
    body.callPending = true;
    return AdvanceToken(cursor, context, LEX_STMT) ? cursor : nullptr;
}

// The first body of a box pops the box's parameters, last first, into variables of its own.
bool AppendParameterPops(CBox& box, CSequence& sequence, ParseContext& context) {
    for (auto letter = box.paramLetters.rbegin(); letter != box.paramLetters.rend(); ++letter) {
        const VariableDeclaration* declaration = DeclareVariable(sequence, static_cast<uint8_t>(*letter));
        if (declaration == nullptr) {
            ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
            return false;
        }
        AppendSample(sequence, SI_POP, PARAM_VALUE::Variable(declaration->slot));
    }
    return true;
}

// One element of a body that is not a squash; the cursor after it, or null. Sets `finished` when a
// backquoted block ran into the end of the body.
const char* ParseElement(const char* cursor, ParseContext& context, BodyState& body, const Token& token,
                         bool& finished) {
    switch (token.kind) {
        case TK_BACKQUOTE:
            if (!AdvanceToken(cursor, context, LEX_BACKQUOTE)) return nullptr;
            return ParseBackquoted(cursor, context, body, finished);
        case TK_QUESTION:
            AppendSample(*body.sequence, SI_NOISE_SAMPLE);
            return AdvanceToken(cursor, context, LEX_STMT) ? cursor : nullptr;
        case TK_IDENT:
        case TK_LBRACKET:
            return ParseBoxCall(cursor, context, body);
        case TK_LBRACE:
        case TK_CONDITION:
            return ParseBoxDefinition(body.program, cursor, context, body.sequence);
        case TK_LABEL:
            return ParseLabel(cursor, context, *body.sequence);
        case TK_SEQ_COMMAND:
        case TK_PERCENT:
            return ParseCommand(body.program.clock, cursor, context, *body.sequence);
        default:
            ReportError(context, "Unexpected token\n");
            return nullptr;
    }
}

// The elements of a body after its '{', up to and including its '}'.
const char* ParseElements(const char* cursor, ParseContext& context, BodyState& body) {
    for (;;) {
        const Token token = PeekToken(context, cursor, LEX_STMT).token;
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

        bool finished = false;
        cursor = ParseElement(cursor, context, body, token, finished);
        if (cursor == nullptr || finished) return cursor;
    }
}

// A push of one call argument, as the expression the argument spells would compile to.
std::unique_ptr<EXPRESSION> ArgumentExpression(CSequence& sequence, const START_ARGUMENT& argument) {
    EXPRESSION_NODE root;
    switch (argument.kind) {
        case SA_NUMBER:
            root.kind = EN_VALUE;
            root.value = PARAM_VALUE::Float(argument.value);
            break;
        case SA_VARIABLE: {
            const VariableDeclaration* declaration = DeclareVariable(sequence, argument.letter);
            if (declaration == nullptr) {
                // Errors inside an argument count positions within the argument and stay out of
                // the log.
                ParseContext argumentContext;
                ReportError(argumentContext, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
                return nullptr;
            }
            root.kind = EN_VALUE;
            root.value = PARAM_VALUE::Variable(declaration->slot);
            break;
        }
        case SA_NOTE:
            root.kind = EN_NOTE;
            root.left = new EXPRESSION_NODE;
            root.left->kind = EN_VALUE;
            root.left->value = PARAM_VALUE::Float(argument.value);
            break;
        default:
            return nullptr;
    }
    return CompileExpression(root);
}

}  // namespace

bool EmitBoxCall(CProgram& program, CSequence& sequence, const std::string& name,
                 const std::vector<std::string>& arguments) {
    if (program.boxes.FindBox(name) == nullptr) return false;
    for (const std::string& parameter : arguments) {
        START_ARGUMENT argument{};
        if (!ReadArgument(parameter, argument)) continue;
        std::unique_ptr<EXPRESSION> expression = ArgumentExpression(sequence, argument);
        if (expression == nullptr) continue;
        SEQUENCE_ITEM item;
        item.kind = SI_PUSH;
        item.expression = std::move(expression);
        sequence.AppendItem(std::move(item));
    }
    AppendCallByName(program, sequence, name);
    return true;
}

const char* ParseSequenceBody(CProgram& program, const char* cursor, ParseContext& context, CBox* box) {
    if (box == nullptr) {
        ReportError(context, "Parsing sequence for an unknown box\n");
        return nullptr;
    }
    BodyState body{program, box->NewSequence(), {}, {}};
    CSequence& sequence = *body.sequence;

    const char* result = [&]() -> const char* {
        if (PeekTokenIs(context, cursor, LEX_STMT, TK_CONDITION)) {
            cursor = ParseConditions(program.clock, cursor, context, sequence);
            if (cursor == nullptr) return nullptr;
        }
        if (!PeekTokenIs(context, cursor, LEX_STMT, TK_LBRACE)) {
            ReportError(context, "Expected '{'\n");
            return nullptr;
        }
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        if (box->sequences.size() == 1 && !AppendParameterPops(*box, sequence, context)) return nullptr;
        return ParseElements(cursor, context, body);
    }();

    // A body that failed still ends in SI_END, so nothing can run past its items.
    if (result == nullptr) sequence.FinishSequence();
    return result;
}

const char* ParseBoxDefinition(CProgram& program, const char* cursor, ParseContext& context, CSequence* enclosing) {
    if (context.nesting >= kMaxNesting) {
        ReportError(context, "Bodies nested too deeply (more than %d levels)\n", kMaxNesting);
        return nullptr;
    }
    if (enclosing != nullptr) {
        CBox* box = program.boxes.CreateBox("", false, false, enclosing);
        SEQUENCE_ITEM call;
        call.kind = SI_CALL;
        call.callee = box;
        enclosing->AppendItem(std::move(call));
        enclosing->nestedBoxes.emplace(static_cast<int64_t>(enclosing->nestedBoxes.size()), box);
        ++context.nesting;
        const char* result = ParseSequenceBody(program, cursor, context, box);
        --context.nesting;
        return result;
    }

    BOX_HEADER header;
    cursor = ParseBoxHeader(&program.clock, cursor, context, header);
    if (cursor == nullptr) return nullptr;
    const bool redefine = program.boxes.FindBox(header.name) != nullptr;
    CBox* box = program.boxes.CreateBox(header.name, redefine, header.exported != 0, nullptr);
    if (!header.groupName.empty()) box->SetGroup(program.groups.GroupIdFor(header.groupName));
    box->maxInstances = header.maxInstances;
    box->stopExcess = header.stopExcess != 0;
    if (box->maxInstances > 0 && box->groupId == 0) box->SetGroup(program.groups.GroupIdFor("_default_"));

    // A redefinition that fails while still waiting is withdrawn: it must never take over.
    auto withdraw = [&]() -> const char* {
        if (redefine) program.boxes.WithdrawPending(header.name, box);
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

    if (!PeekTokenIs(context, cursor, LEX_STMT, TK_EQUALS)) {
        ReportError(context, "Expected '='\n");
        return withdraw();
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return withdraw();

    bool first = true;
    for (;;) {
        const int32_t kind = PeekKind(context, cursor, LEX_STMT);
        if (kind != TK_LBRACE && !(first && kind == TK_CONDITION)) return cursor;
        ++context.nesting;
        const char* next = ParseSequenceBody(program, cursor, context, box);
        --context.nesting;
        if (next == nullptr) return withdraw();
        cursor = next;
        first = false;
    }
}

}  // namespace morvanel
