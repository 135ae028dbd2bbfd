// The parser driver: the top-level loop, the diagnostic log and the nine global commands.
#include "script/parser.h"

#include <cstdarg>
#include <cstdio>
#include <string>

#include "api/queues.h"
#include "compile/definition.h"
#include "engine/engine.h"
#include "script/constants.h"
#include "vars/numeric_cast.h"

namespace morvanel {

void ReportError(ParseContext& context, const char* format, ...) {
    char prefix[1024];
    std::snprintf(prefix, sizeof prefix, "LINE %d COLUMN %d: ", context.line + 1, context.column + 1);
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (!context.quiet) {
        std::fputs(prefix, stdout);
        std::fputs(message, stdout);
    }
    context.log += prefix;
    context.log += message;
}

namespace {

// The letter a global declaration names: the second character of its written text.
uint8_t LetterOf(const std::string& written) {
    return written.size() >= 2 ? static_cast<uint8_t>(written[1]) : 0;
}

const VariableDeclaration* DeclareGlobal(CEngine& engine, uint8_t letter, ParseContext& context) {
    const VariableDeclaration* declaration = DeclareVariable(engine, letter);
    if (declaration == nullptr) {
        ReportError(context, "Too many global variables (at most %d)\n", kMaxVariableSlots);
    }
    return declaration;
}

const char* ParseMidikey(CEngine& engine, const char* cursor, ParseContext& context) {
    PARAM_VALUE first;
    PARAM_VALUE second;
    PARAM_VALUE third;
    int closed = 0;
    // Every read is attempted even after one fails, so each reports its own error.
    const char* afterFirst = ReadConstant(&engine, &engine, cursor, context, closed, first);
    const char* afterSecond = ReadConstant(&engine, &engine, afterFirst, context, closed, second);
    const char* end = afterSecond;
    const PARAM_VALUE* name = &second;
    const int32_t low = ToInt32(EvaluateValue(first, nullptr));
    int32_t high = low;
    if (second.kind == VK_FLOAT) {
        high = ToInt32(second.number.asFloat);
        end = ReadConstant(&engine, &engine, afterSecond, context, closed, third);
        name = &third;
    }
    if (afterFirst == nullptr || afterSecond == nullptr || end == nullptr) return nullptr;
    const char* boxName = name->TextOrNull();
    if (boxName == nullptr) {
        ReportError(context, "ERROR: Unknown error 17\n");
        return end;
    }
    if (!engine.MapMidiKeys(low, high, boxName)) {
        ReportError(context, "ERROR: unknown box '%s' name\n", boxName);
        return nullptr;
    }
    return end;
}

}  // namespace

const char* ParseGlobalCommand(CEngine& engine, const char* position, ParseContext& context) {
    Token keyword;
    NextToken(position, keyword, LEX_STMT);
    const std::string word = keyword.text;
    const char* cursor = position;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (!PeekTokenIs(cursor, LEX_STMT, TK_LPAREN)) {
        ReportError(context, "%s", "Expected a '('\n");
        return nullptr;
    }

    PARAM_VALUE value;
    int closed = 0;
    const char* result = nullptr;
    if (word == "samplerate" || word == "bpm" || word == "buffer" || word == "framelength") {
        result = ReadConstant(&engine, &engine, cursor, context, closed, value);
        if (result == nullptr) return nullptr;
        if (word == "samplerate") {
            engine.sampleRate = ToInt32(EvaluateValue(value, nullptr));
        } else if (word == "bpm") {
            engine.bpm = EvaluateValue(value, nullptr);
        } else if (word == "buffer") {
            ReportError(context, "DAC buffer cycle is not simulated.\n");
        } else {
            ReportError(context, "FPS cycle is not simulated.\n");
        }
    } else if (word == "midikey") {
        result = ParseMidikey(engine, cursor, context);
    } else if (word == "pckey") {
        PARAM_VALUE name;
        const char* next = ReadConstant(&engine, &engine, cursor, context, closed, value);
        if (next == nullptr) return nullptr;
        result = ReadConstant(&engine, &engine, next, context, closed, name);
    } else if (word == "ccvar") {
        PARAM_VALUE letterValue;
        const char* next = ReadConstant(&engine, &engine, cursor, context, closed, value);
        if (next == nullptr) return nullptr;
        result = ReadConstant(&engine, &engine, next, context, closed, letterValue);
        if (result == nullptr) return nullptr;
        const char* text = letterValue.TextOrNull();
        if (text == nullptr) {
            ReportError(context, "ccvar expects a variable letter (an identifier or a string) as its second value\n");
        } else if (DeclareGlobal(engine, static_cast<uint8_t>(text[0]), context) == nullptr) {
            return nullptr;
        }
    } else if (word == "global") {
        std::string written;
        result = ReadConstant(&engine, &engine, cursor, context, closed, value, &written);
        if (result == nullptr) return nullptr;
        const uint8_t letter = LetterOf(written);
        BindState(engine);
        if (!closed) {
            PARAM_VALUE initial;
            result = ReadConstant(&engine, &engine, result, context, closed, initial);
            if (result == nullptr) return nullptr;
            const float start = EvaluateValue(initial, &engine);
            if (DeclareGlobal(engine, letter, context) == nullptr) return nullptr;
            BindState(engine);
            if (VariableSlot* slot = GetSlot(engine, letter)) WriteSlot(*slot, start);
        }
    } else if (word == "run") {
        result = ReadConstant(&engine, &engine, cursor, context, closed, value);
        if (result == nullptr) return nullptr;
        const char* boxName = value.TextOrNull();
        if (boxName == nullptr) {
            ReportError(context, "run expects a box name (an identifier or a string)\n");
        } else {
            PostCommand(engine, CMD_START_VOICE, boxName, 0, 0, 0.0f);
        }
    }
    // Values of any command may have declared engine variables: bind them now, so that no engine
    // slot is ever left unbound where a host or a voice could reach it.
    BindState(engine);
    return result;
}

void ParseScript(CEngine& engine, const char* script, int64_t serial) {
    ParseContext context;
    uint32_t parsedBoxes = 0;
    uint32_t parsedCommands = 0;
    const char* cursor = script != nullptr ? script : "";
    for (;;) {
        const int32_t kind = PeekKind(cursor, LEX_STMT);
        if (kind == TK_END) {
            ReportError(context, "Compilation successful. Parsed %d boxes and %d commands.\n",
                        static_cast<int>(parsedBoxes), static_cast<int>(parsedCommands));
            break;
        }
        if (kind == TK_IDENT || kind == TK_LBRACKET) {
            cursor = ParseBoxDefinition(engine, cursor, context, nullptr);
            ++parsedBoxes;
        } else if (kind == TK_GLOBAL_COMMAND) {
            cursor = ParseGlobalCommand(engine, cursor, context);
            ++parsedCommands;
        } else {
            ReportError(context, "Syntax error. A global command or a box identifier expected.\n");
            break;
        }
        if (cursor == nullptr) break;
    }
    std::fflush(stdout);
    if (serial != 0 && engine.responseCount.load() < kResponseSlots) {
        PostResponse(engine, RESP_PARSE_LOG, context.log.c_str(), 0, serial);
    }
}

}  // namespace morvanel
