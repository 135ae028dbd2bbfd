// The tool's own reading of script tokens, for the linter and the error notes. It follows the
// compiler's token rules so that the tool and the library agree on where every token starts.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace morvanel::tool {

enum class Tok {
    BqDigit, Ident, SeqCommand, GlobalCommand, Condition, BoxOption, Label, Colon, Number, String,
    Percent, Note, Equals, LBrace, RBrace, LParen, RParen, LBracket, RBracket, Comma, Plus, Minus,
    Star, Sin2pi, Slash, Backslash, DoubleBackslash, Underscore, Tilde, Bang, At, Hash, Question,
    Backquote, Invalid, Newline, End,
    Fail,  // a '%' followed by a byte that cannot name a variable: the compiler gives up there
};

// Expr: line breaks are tokens, '@' and '_' are operators. Stmt: line breaks are blanks.
// Backquote: level digits, one-letter names and '?'.
enum class LexMode { Expr, Stmt, Backquote };

struct LEXED_TOKEN {
    Tok kind = Tok::End;
    std::string text;  // identifiers, keywords, numbers, strings, variables; notes as MIDI numbers
    size_t begin = 0;  // offset of the token's first byte, after blanks and comments
    size_t end = 0;    // offset just after the token
};

// Scans the token at or after `pos`. `source` ends where the compiler stops reading: at its
// first NUL byte, which callers cut off beforehand.
LEXED_TOKEN ScanToken(std::string_view source, size_t pos, LexMode mode);

// Whether `word` is written like a note name (a letter, an optional '#' or 'b', one digit) and
// the name of a real note (the letter is A to G in either case).
bool LooksLikeNoteName(std::string_view word);
bool IsNoteName(std::string_view word);

// The language's keywords, for suggestions.
const char* const* KeywordList();

}  // namespace morvanel::tool
