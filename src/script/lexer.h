// The lexer: one token at a text position in one of three modes, as a view into the source. The
// parse context keeps the last two tokens it scanned, so the parsers' habit of peeking at a token
// and then advancing over it scans each token once, and no token allocates.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

namespace morvanel {

enum TokenKind : int32_t {
#define TOKEN_KIND(name, number) name = number,
#include "script/token_kinds.def"
#undef TOKEN_KIND
};

// The kind's name ("TK_IDENT"), or "TK_?" for a number no kind has.
const char* TokenKindName(int32_t kind);

enum KeywordId : int32_t {
    KW_NONE = 0,
#define FUNCTION(id, word) id,
#define BOX_OPTION(id, word) id,
#define CONDITION(id, word) id,
#define SEQUENCE_COMMAND(id, word, handler) id,
#define LABEL(id, word) id,
#define GLOBAL_COMMAND(id, word, handler) id,
#include "script/keywords.def"
#undef FUNCTION
#undef BOX_OPTION
#undef CONDITION
#undef SEQUENCE_COMMAND
#undef LABEL
#undef GLOBAL_COMMAND
};

struct Token {
    int32_t kind = 0;
    KeywordId keyword = KW_NONE;  // which keyword a keyword token is
    // The token's text: a view into the source, or into static text where the lexer spells it
    // (a note's number, a backquote digit); empty for punctuation. A string keeps its escapes
    // here: TokenText gives its content.
    std::string_view text;
    bool escaped = false;  // a string whose text still holds backslash escapes
    int32_t note = -1;     // the MIDI note number of a note name, else -1
};

// The token's text with a string's escapes resolved (allocates: compile time only).
std::string TokenText(const Token& token);

// Low byte: inside backquotes. High byte: line breaks are blanks and '_' and '@' may begin
// identifiers.
using LexMode = uint16_t;
constexpr LexMode LEX_EXPR = 0x000;
constexpr LexMode LEX_STMT = 0x100;
constexpr LexMode LEX_BACKQUOTE = 0x101;

// A token together with where it was scanned and where it ends (null: a '%' that names nothing).
struct SCANNED_TOKEN {
    const char* at = nullptr;
    LexMode mode = 0;
    Token token;
    const char* end = nullptr;
};

struct ParseContext {
    int32_t line = 0;    // 0-based
    int32_t column = 0;  // 0-based
    std::string log;
    int32_t nesting = 0;  // current depth of nested bodies and parenthesised expressions
    bool quiet = false;   // diagnostics go to the log only, not to standard output
    // The token under the cursor and the one looked at before it: peeks and advances over the
    // same position and mode reuse them instead of scanning again.
    SCANNED_TOKEN current;
    SCANNED_TOKEN previous;
};

// Scans one token at `pos` without moving any line counter. Returns the position after it, or
// null for a null `pos` or a '%' followed by a byte that cannot name a variable.
const char* NextToken(const char* pos, Token& token, LexMode mode);

// The token at `pos` in `mode`, scanned at most once while it stays one of the context's last two.
// The reference is valid until the next scan of another position: copy what must outlive it.
const SCANNED_TOKEN& PeekToken(ParseContext& context, const char* pos, LexMode mode);

inline int32_t PeekKind(ParseContext& context, const char* pos, LexMode mode) {
    return PeekToken(context, pos, mode).token.kind;
}
inline bool PeekTokenIs(ParseContext& context, const char* pos, LexMode mode, int32_t kind) {
    return PeekKind(context, pos, mode) == kind;
}

// Moves `cursor` past the token at it and counts lines and columns over the bytes passed. On a
// failed scan `cursor` becomes null, nothing is counted and the result is false.
bool AdvanceToken(const char*& cursor, ParseContext& context, LexMode mode);

}  // namespace morvanel
