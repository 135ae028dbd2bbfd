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
        const bool isMaxinst = option.token.keyword == KW_MAXINST;
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        PARAM_VALUE first;
        int closed = 0;
        const char* next = ReadConstant(clock, nullptr, cursor, context, closed, first);
        if (isMaxinst) {
            if (next == nullptr) {
                ReportError(context, "Error parsing maxinst parameter");
                return nullptr;
            }
            cursor = next;
            header.maxInstances = IntegerOfValue(first);
            if (!closed) {
                PARAM_VALUE second;
                next = ReadConstant(clock, nullptr, cursor, context, closed, second);
                if (next == nullptr) {
                    ReportError(context, "Error parsing the second maxinst parameter");
                    return nullptr;
                }
                cursor = next;
                header.stopExcess = IntegerOfValue(second) > 0 ? 1 : 0;
            }
        } else {
            if (next == nullptr) {
                ReportError(context, "Error parsing group parameter");
                return nullptr;
            }
            cursor = next;
            if (!closed) {
                ReportError(context, "group takes only a single parameter");
                return nullptr;
            }
            const char* text = first.kind == VK_TEXT ? first.text : nullptr;
            header.groupName = text != nullptr ? text : "_error";
        }
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
