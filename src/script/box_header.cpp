// Reading a box header.
#include "script/box_header.h"

#include "engine/engine.h"
#include "script/constants.h"
#include "script/parser.h"

namespace morvanel {

const char* ParseBoxHeader(const CEngine* engine, const char* position, ParseContext& context, BOX_HEADER& header) {
    header = BOX_HEADER{};
    const char* cursor = position;
    Token token;

    const bool bracketed = PeekTokenIs(cursor, LEX_STMT, TK_LBRACKET);
    if (bracketed && !AdvanceToken(cursor, context, LEX_STMT)) return nullptr;

    NextToken(cursor, token, LEX_STMT);
    if (token.kind != TK_IDENT) {
        ReportError(context, "%s", "A box name expected after '['\n");
        return nullptr;
    }
    header.name = token.text;
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;

    if (PeekTokenIs(cursor, LEX_STMT, TK_STAR)) {
        header.exported = 1;
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    }

    while (PeekTokenIs(cursor, LEX_STMT, TK_COLON)) {
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        const char* after = NextToken(cursor, token, LEX_STMT);
        if (after == nullptr ||
            (token.kind != TK_IDENT && token.kind != TK_NUMBER && token.kind != TK_PERCENT && token.kind != TK_NOTE)) {
            ReportError(context, "Expected an identifier or a numeric constant after ':'\n");
            return nullptr;
        }
        header.parameters.push_back(token.kind == TK_NOTE ? "#" + token.text : token.text);
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    }

    while (NextToken(cursor, token, LEX_STMT) != nullptr && token.kind == TK_BOX_OPTION) {
        const bool isMaxinst = token.text == "maxinst";
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        PARAM_VALUE first;
        int closed = 0;
        const char* next = ReadConstant(engine, nullptr, cursor, context, closed, first);
        if (isMaxinst) {
            if (next == nullptr) {
                ReportError(context, "Error parsing maxinst parameter");
                return nullptr;
            }
            cursor = next;
            header.maxInstances = IntegerOfValue(first);
            if (!closed) {
                PARAM_VALUE second;
                next = ReadConstant(engine, nullptr, cursor, context, closed, second);
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
        if (!PeekTokenIs(cursor, LEX_STMT, TK_RBRACKET)) {
            ReportError(context, "Expected ']'\n");
            return nullptr;
        }
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    }
    return cursor;
}

}  // namespace morvanel
