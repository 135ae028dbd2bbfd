// Reading start texts and call arguments.
#include "compile/start_text.h"

#include <cstring>

#include "compile/box_header.h"
#include "compile/constants.h"
#include "script/lexer.h"

namespace morvanel {

// A parameter is one token of a header; read as an expression, it is a number, a variable, or
// the note operator before a number (the form a note name takes in a header).
bool ReadArgument(const std::string& parameter, START_ARGUMENT& argument) {
    const std::string text = parameter + " ";
    Token token;
    NextToken(text.c_str(), token, LEX_EXPR);
    switch (token.kind) {
        case TK_NUMBER:
            argument = {SA_NUMBER, 0, static_cast<float>(NumberOfToken(token))};
            return true;
        case TK_PERCENT:
            argument = {SA_VARIABLE, static_cast<uint8_t>(token.text[1]), 0.0f};
            return true;
        case TK_NOTE:
            argument = {SA_NOTE, 0, static_cast<float>(NumberOfToken(token))};
            return true;
        case TK_HASH: {
            // A note reaches the start as '#' and its number: the note operator of expressions.
            const char* after = NextToken(text.c_str(), token, LEX_EXPR);
            NextToken(after, token, LEX_EXPR);
            if (token.kind != TK_NUMBER) return false;
            argument = {SA_NOTE, 0, static_cast<float>(NumberOfToken(token))};
            return true;
        }
        default:
            return false;
    }
}

START_REQUEST ParseStartText(const char* text, bool quiet) {
    START_REQUEST request{};
    const std::string startText = std::string(text != nullptr ? text : "") + " ";
    ParseContext context;
    context.quiet = quiet;
    BOX_HEADER header;
    // After a header error the start goes on with what was read before it.
    ParseBoxHeader(nullptr, startText.c_str(), context, header);
    if (header.name.size() >= static_cast<size_t>(kStartNameCapacity)) return request;
    std::memcpy(request.boxName, header.name.c_str(), header.name.size() + 1);
    request.nameHash = HashBoxName(header.name);
    for (const std::string& parameter : header.parameters) {
        if (request.argumentCount == kMaxStartArguments) break;
        START_ARGUMENT argument{};
        if (ReadArgument(parameter, argument)) request.arguments[request.argumentCount++] = argument;
    }
    return request;
}

const START_REQUEST& SpawnStartRequest() {
    static const START_REQUEST request = ParseStartText(kSpawnText, true);
    return request;
}

}  // namespace morvanel
