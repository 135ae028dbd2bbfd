// The nine global commands, each a handler named beside its keyword in the keyword list.
#include <string>

#include "compile/constants.h"
#include "compile/parser.h"
#include "program/values.h"
#include "script/diagnostics.h"
#include "vars/numeric_cast.h"

namespace morvanel {

namespace {

// The handlers read their parenthesised values from `cursor` (at the '('); each returns the
// position after its command, or null to end the parse.
const char* ReadOne(COMPILE_TARGET& target, const char* cursor, ParseContext& context, PARAM_VALUE& value,
                    int* closed = nullptr, std::string* written = nullptr) {
    int listClosed = 0;
    const char* after =
        ReadConstant(&target.program.clock, &target.globalScope, cursor, context, listClosed, value, written);
    if (closed != nullptr) *closed = listClosed;
    return after;
}

const char* RunSampleRate(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE value;
    const char* result = ReadOne(target, cursor, context, value);
    if (result != nullptr) target.program.clock.sampleRate = ToInt32(EvaluateValue(value, nullptr, nullptr));
    return result;
}

const char* RunBpm(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE value;
    const char* result = ReadOne(target, cursor, context, value);
    if (result != nullptr) target.program.clock.bpm = EvaluateValue(value, nullptr, nullptr);
    return result;
}

const char* RunBuffer(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE value;
    const char* result = ReadOne(target, cursor, context, value);
    if (result != nullptr) ReportError(context, "DAC buffer cycle is not simulated.\n");
    return result;
}

const char* RunFrameLength(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE value;
    const char* result = ReadOne(target, cursor, context, value);
    if (result != nullptr) ReportError(context, "FPS cycle is not simulated.\n");
    return result;
}

const char* RunMidikey(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE first;
    PARAM_VALUE second;
    PARAM_VALUE third;
    // Every read is attempted even after one fails, so each reports its own error.
    const char* afterFirst = ReadOne(target, cursor, context, first);
    const char* afterSecond = ReadOne(target, afterFirst, context, second);
    const char* end = afterSecond;
    const PARAM_VALUE* name = &second;
    const int32_t low = ToInt32(EvaluateValue(first, nullptr, nullptr));
    int32_t high = low;
    if (second.kind == VK_FLOAT) {
        high = ToInt32(second.number.asFloat);
        end = ReadOne(target, afterSecond, context, third);
        name = &third;
    }
    if (afterFirst == nullptr || afterSecond == nullptr || end == nullptr) return nullptr;
    const char* boxName = name->TextOrNull();
    if (boxName == nullptr) {
        ReportError(context, "ERROR: Unknown error 17\n");
        return end;
    }
    if (!target.events.MapMidiKeys(low, high, boxName)) {
        ReportError(context, "ERROR: unknown box '%s' name\n", boxName);
        return nullptr;
    }
    return end;
}

// pckey(key, name): read and ignored; computer keys are the host's business.
const char* RunPckey(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE key;
    PARAM_VALUE name;
    const char* next = ReadOne(target, cursor, context, key);
    if (next == nullptr) return nullptr;
    return ReadOne(target, next, context, name);
}

const VariableDeclaration* DeclareGlobal(COMPILE_TARGET& target, uint8_t letter, ParseContext& context) {
    const VariableDeclaration* declaration = DeclareVariable(target.globalScope, letter);
    if (declaration == nullptr) {
        ReportError(context, "Too many global variables (at most %d)\n", kMaxVariableSlots);
    }
    return declaration;
}

// ccvar(controller, letter): declares the global the controller will write.
const char* RunCcvar(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE controller;
    PARAM_VALUE letter;
    const char* next = ReadOne(target, cursor, context, controller);
    if (next == nullptr) return nullptr;
    const char* result = ReadOne(target, next, context, letter);
    if (result == nullptr) return nullptr;
    const char* text = letter.TextOrNull();
    if (text == nullptr) {
        ReportError(context, "ccvar expects a variable letter (an identifier or a string) as its second value\n");
    } else if (DeclareGlobal(target, static_cast<uint8_t>(text[0]), context) == nullptr) {
        return nullptr;
    }
    return result;
}

// global(%x) declares a global (reading it declares it); global(%x, value) also sets it.
const char* RunGlobal(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE variable;
    std::string written;
    int closed = 0;
    const char* result = ReadOne(target, cursor, context, variable, &closed, &written);
    if (result == nullptr) return nullptr;
    // The letter is the second character of what was written ("%x").
    const uint8_t letter = written.size() >= 2 ? static_cast<uint8_t>(written[1]) : 0;
    BindState(target.globalValues);
    if (!closed) {
        PARAM_VALUE initial;
        result = ReadOne(target, result, context, initial);
        if (result == nullptr) return nullptr;
        const float start = EvaluateValue(initial, &target.globalValues, &target.program.clock);
        if (DeclareGlobal(target, letter, context) == nullptr) return nullptr;
        BindState(target.globalValues);
        if (VariableSlot* slot = GetSlot(target.globalValues, letter)) WriteSlot(*slot, start);
    }
    return result;
}

const char* RunRun(COMPILE_TARGET& target, const char* cursor, ParseContext& context) {
    PARAM_VALUE value;
    const char* result = ReadOne(target, cursor, context, value);
    if (result == nullptr) return nullptr;
    const char* boxName = value.TextOrNull();
    if (boxName == nullptr) {
        ReportError(context, "run expects a box name (an identifier or a string)\n");
    } else {
        target.events.RunBox(boxName);
    }
    return result;
}

}  // namespace

const char* ParseGlobalCommand(COMPILE_TARGET& target, const char* position, ParseContext& context) {
    const KeywordId keyword = PeekToken(context, position, LEX_STMT).token.keyword;
    const char* cursor = position;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (!PeekTokenIs(context, cursor, LEX_STMT, TK_LPAREN)) {
        ReportError(context, "%s", "Expected a '('\n");
        return nullptr;
    }
    const char* result = nullptr;
    switch (keyword) {
#define FUNCTION(id, word)
#define BOX_OPTION(id, word)
#define CONDITION(id, word)
#define SEQUENCE_COMMAND(id, word, handler)
#define LABEL(id, word)
#define GLOBAL_COMMAND(id, word, handler) \
    case id:                              \
        result = handler(target, cursor, context); \
        break;
#include "script/keywords.def"
#undef FUNCTION
#undef BOX_OPTION
#undef CONDITION
#undef SEQUENCE_COMMAND
#undef LABEL
#undef GLOBAL_COMMAND
        default:
            break;
    }
    // Values of any command may have declared global variables: bind them now, so that no global
    // slot is ever left unbound where a host or a voice could reach it.
    BindState(target.globalValues);
    return result;
}

}  // namespace morvanel
