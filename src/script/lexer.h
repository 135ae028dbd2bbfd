// The lexer: a pure function from a text position and a mode to one token. Parsers hold their
// own cursor and rescan for look-ahead; only AdvanceToken moves the line and column counter.
#pragma once

#include <cstdint>
#include <string>

namespace morvanel {

enum TokenKind : int32_t {
#define TOKEN_KIND(name, number) name = number,
#include "script/token_kinds.def"
#undef TOKEN_KIND
};

// The kind's name ("TK_IDENT"), or "TK_?" for a number no kind has.
const char* TokenKindName(int32_t kind);

struct Token {
    int32_t kind = 0;
    std::string text;
};

// Low byte: inside backquotes. High byte: line breaks are blanks and '_' and '@' may begin
// identifiers.
using LexMode = uint16_t;
constexpr LexMode LEX_EXPR = 0x000;
constexpr LexMode LEX_STMT = 0x100;
constexpr LexMode LEX_BACKQUOTE = 0x101;

struct ParseContext {
    int32_t line = 0;    // 0-based
    int32_t column = 0;  // 0-based
    std::string log;
    int32_t nesting = 0;  // current depth of nested bodies and parenthesised expressions
    bool quiet = false;   // diagnostics go to the log only, not to standard output
};

// Scans one token at `pos` without moving any line counter; parsers peek with this and commit
// with AdvanceToken. Returns null only for a null `pos` or a '%' followed by a byte that cannot
// name a variable.
const char* NextToken(const char* pos, Token& token, LexMode mode);

// Scans one token, moves `cursor` past it and counts lines and columns over the bytes passed.
// On a failed scan `cursor` becomes null, nothing is counted and the result is false.
bool AdvanceToken(const char*& cursor, ParseContext& context, LexMode mode);

// Whether the token at `pos` is of `kind`; the position does not move.
bool PeekTokenIs(const char* pos, LexMode mode, int32_t kind);

// The kind of the token at `pos`.
int32_t PeekKind(const char* pos, LexMode mode);

}  // namespace morvanel
