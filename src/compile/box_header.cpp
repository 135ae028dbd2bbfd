// Reading a box header.
#include "compile/box_header.h"

#include "compile/constants.h"
#include "script/diagnostics.h"

namespace morvanel {

std::string ParameterText(const Token& token) {
    std::string text(token.kind == TK_NOTE ? "#" : "");
    text.append(token.text);
    return text;
}

namespace {

// maxinst(limit) or maxinst(limit, stop) and group(name), from the '(' on; the cursor after it.
const char* ParseOption(const CLOCK* clock, KeywordId keyword, const char* cursor, ParseContext& context,
                        BOX_HEADER& header) {
    PARAM_VALUE first;
    int closed = 0;
    const char* next = ReadConstant(clock, nullptr, cursor, context, closed, first);
    if (keyword == KW_MAXINST) {
        if (next == nullptr) {
            ReportError(context, "Error parsing maxinst parameter");
            return nullptr;
        }
        header.maxInstances = IntegerOfValue(first);
        if (closed) return next;
        PARAM_VALUE second;
        const char* after = ReadConstant(clock, nullptr, next, context, closed, second);
        if (after == nullptr) {
            ReportError(context, "Error parsing the second maxinst parameter");
            return nullptr;
        }
        header.stopExcess = IntegerOfValue(second) > 0 ? 1 : 0;
        return after;
    }
    if (next == nullptr) {
        ReportError(context, "Error parsing group parameter");
        return nullptr;
    }
    if (!closed) {
        ReportError(context, "group takes only a single parameter");
        return nullptr;
    }
    const char* text = first.kind == VK_TEXT ? first.text : nullptr;
    header.groupName = text != nullptr ? text : "_error";
    return next;
}

}  // namespace

const char* ParseBoxHeader(const CLOCK* clock, const char* position, ParseContext& context, BOX_HEADER& header) {
    header = BOX_HEADER{};
    const char* cursor = position;

    const bool bracketed = PeekTokenIs(context, cursor, LEX_STMT, TK_LBRACKET);
    if (bracketed && !AdvanceToken(cursor, context, LEX_STMT)) return nullptr;

    const Token name = PeekToken(context, cursor, LEX_STMT).token;
    if (name.kind != TK_IDENT) {
        ReportError(context, "%s", "A box name expected after '['\n");
        return nullptr;
    }
    header.name = name.text;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;

    if (PeekTokenIs(context, cursor, LEX_STMT, TK_STAR)) {
        header.exported = 1;
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    }

    while (PeekTokenIs(context, cursor, LEX_STMT, TK_COLON)) {
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        const SCANNED_TOKEN& scanned = PeekToken(context, cursor, LEX_STMT);
        const Token& token = scanned.token;
        if (scanned.end == nullptr ||
            (token.kind != TK_IDENT && token.kind != TK_NUMBER && token.kind != TK_PERCENT && token.kind != TK_NOTE)) {
            ReportError(context, "Expected an identifier or a numeric constant after ':'\n");
            return nullptr;
        }
        header.parameters.push_back(ParameterText(token));
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    }

    for (;;) {
        const SCANNED_TOKEN& option = PeekToken(context, cursor, LEX_STMT);
        if (option.end == nullptr || option.token.kind != TK_BOX_OPTION) break;
        const KeywordId keyword = option.token.keyword;
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        cursor = ParseOption(clock, keyword, cursor, context, header);
        if (cursor == nullptr) return nullptr;
    }

    if (bracketed) {
        if (!PeekTokenIs(context, cursor, LEX_STMT, TK_RBRACKET)) {
            ReportError(context, "Expected ']'\n");
            return nullptr;
        }
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    }
    return cursor;
}

}  // namespace morvanel
