// Tokens of the script language. A scan skips blanks and comments, tries a note name at the first
// byte after them (outside backquotes), and otherwise reads one token by its first byte: a number,
// a word (a keyword or an identifier), a string, a '%' variable, a backslash operator or a single
// punctuation byte. Inside backquotes a small table of level digits, letters and '?' applies.
#include "script/lexer.h"

#include <array>
#include <cstring>

namespace morvanel {

namespace {

bool IsBlank(unsigned char byte) { return static_cast<signed char>(byte) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// "0" to "255": the texts of note numbers, which the lexer spells rather than the source.
const std::array<std::array<char, 4>, 256> kNumberTexts = [] {
    std::array<std::array<char, 4>, 256> texts{};
    for (int n = 0; n < 256; ++n) {
        int at = 0;
        if (n >= 100) texts[n][at++] = static_cast<char>('0' + n / 100);
        if (n >= 10) texts[n][at++] = static_cast<char>('0' + n / 10 % 10);
        texts[n][at] = static_cast<char>('0' + n % 10);
    }
    return texts;
}();

std::string_view NumberText(int number) { return kNumberTexts[static_cast<size_t>(number)].data(); }

struct Keyword {
    std::string_view word;
    int32_t kind;
    KeywordId id;
};

const Keyword kKeywords[] = {
#define FUNCTION(id, word) {word, TK_SIN2PI, id},
#define BOX_OPTION(id, word) {word, TK_BOX_OPTION, id},
#define CONDITION(id, word) {word, TK_CONDITION, id},
#define SEQUENCE_COMMAND(id, word, handler) {word, TK_SEQ_COMMAND, id},
#define LABEL(id, word) {word, TK_LABEL, id},
#define GLOBAL_COMMAND(id, word, handler) {word, TK_GLOBAL_COMMAND, id},
#include "script/keywords.def"
#undef FUNCTION
#undef BOX_OPTION
#undef CONDITION
#undef SEQUENCE_COMMAND
#undef LABEL
#undef GLOBAL_COMMAND
};

// A word that spells a keyword takes the keyword's kind; a label drops its '@' from the text.
void ClassifyKeyword(Token& token) {
    for (const Keyword& keyword : kKeywords) {
        if (token.text == keyword.word) {
            token.kind = keyword.kind;
            token.keyword = keyword.id;
            if (keyword.kind == TK_LABEL) token.text.remove_prefix(1);
            return;
        }
    }
}

// Sets a token of one byte and returns the position after it.
const char* Single(const char* pos, Token& token, int32_t kind, bool withText) {
    token.kind = kind;
    if (withText) token.text = std::string_view(pos, 1);
    return pos + 1;
}

// A note name: a letter A..G or a..g, an optional '#' or 'b', one octave digit. Upper case gives
// the note's number as a plain number, lower case a note token (whose unit makes it a period).
const char* ScanNoteName(const char* pos, Token& token) {
    static const int kSemitones[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    const char first = pos[0];
    int semitone;
    bool upper;
    if (first >= 'A' && first <= 'G') {
        semitone = kSemitones[first - 'A'];
        upper = true;
    } else if (first >= 'a' && first <= 'g') {
        semitone = kSemitones[first - 'a'];
        upper = false;
    } else {
        return nullptr;
    }
    const char* p = pos + 1;
    if (*p == '#') {
        ++semitone;
        ++p;
    } else if (*p == 'b') {
        --semitone;
        ++p;
    }
    if (!IsDigit(*p)) return nullptr;
    const int octave = *p - '0';
    ++p;
    token.kind = upper ? TK_NUMBER : TK_NOTE;
    token.note = semitone + 12 * (octave + 1);  // 11 (Cb0) to 132 (B#9)
    token.text = NumberText(token.note);
    return p;
}

// Skips blanks; line breaks count as blanks only where `newlineIsSpace`. Returns where it stopped.
const char* SkipBlanks(const char* pos, bool newlineIsSpace) {
    while (*pos != '\0' && IsBlank(static_cast<unsigned char>(*pos))) {
        if (!newlineIsSpace && (*pos == '\r' || *pos == '\n')) return pos;
        ++pos;
    }
    return pos;
}

// A '//' comment runs to the end of its line; blanks after it go with it. Returns null at the end
// of the text.
const char* SkipComment(const char* pos) {
    pos += 2;
    while (*pos != '\0' && *pos != '\n') ++pos;
    if (*pos == '\0') return nullptr;
    ++pos;
    while (*pos != '\0' && IsBlank(static_cast<unsigned char>(*pos))) ++pos;
    return *pos == '\0' ? nullptr : pos;
}

const char* ScanBackquoted(const char* pos, Token& token) {
    const char c = *pos;
    if (c >= '1' && c <= '9') {
        token.kind = TK_BQ_DIGIT;
        token.text = std::string_view(pos, 1);
        return pos + 1;
    }
    switch (c) {
        case '_': token.kind = TK_BQ_DIGIT; token.text = "1"; return pos + 1;
        case '0': token.kind = TK_BQ_DIGIT; token.text = "5"; return pos + 1;
        case '-': token.kind = TK_BQ_DIGIT; token.text = "9"; return pos + 1;
        case '?': token.kind = TK_QUESTION; token.text = "?"; return pos + 1;
        default: break;
    }
    if (IsLetter(c) || c == '.') {
        token.kind = TK_IDENT;
        token.text = std::string_view(pos, 1);
        return pos + 1;
    }
    token.kind = TK_END;
    return pos;
}

// Digits and dots: a number, except a lone dot. The last token of a text is its end.
const char* ScanNumber(const char* pos, Token& token) {
    const char* p = pos;
    while (IsDigit(*p) || *p == '.') ++p;
    token.text = std::string_view(pos, static_cast<size_t>(p - pos));
    if (*p == '\0') {
        token.kind = TK_END;
    } else {
        token.kind = token.text == "." ? TK_IDENT : TK_NUMBER;
    }
    return p;
}

const char* ScanWord(const char* pos, Token& token) {
    const char* p = pos + 1;
    while (IsLetter(*p) || IsDigit(*p) || *p == '_' || *p == '#') ++p;
    token.text = std::string_view(pos, static_cast<size_t>(p - pos));
    if (*p == '\0') {
        token.kind = TK_END;
        return p;
    }
    token.kind = TK_IDENT;
    ClassifyKeyword(token);
    return p;
}

// A string between double quotes, kept with its escapes; an unclosed one is the end of the text.
const char* ScanString(const char* pos, Token& token) {
    const char* start = pos + 1;
    const char* p = start;
    for (;;) {
        if (*p == '\0') {
            token.kind = TK_END;
            break;
        }
        if (*p == '\\') {
            token.escaped = true;
            if (p[1] == '\0') {
                token.kind = TK_END;
                token.text = std::string_view(start, static_cast<size_t>(p - start) + 1);
                return p + 1;
            }
            p += 2;
            continue;
        }
        if (*p == '"') {
            token.kind = TK_STRING;
            token.text = std::string_view(start, static_cast<size_t>(p - start));
            return p + 1;
        }
        ++p;
    }
    token.text = std::string_view(start, static_cast<size_t>(p - start));
    return p;
}

const char* ScanPercent(const char* pos, Token& token) {
    const char next = pos[1];
    if (next == '\0') {
        token.kind = TK_END;
        token.text = std::string_view(pos, 1);
        return pos + 1;
    }
    token.kind = TK_PERCENT;
    if (IsLetter(next) || IsDigit(next) || next == '_') {
        token.text = std::string_view(pos, 2);
        return pos + 2;
    }
    token.text = std::string_view(pos, 1);
    return nullptr;
}

const char* ScanBackslash(const char* pos, Token& token) {
    if (pos[1] == '\\') {
        token.kind = TK_DOUBLE_BACKSLASH;
        return pos + 2;
    }
    if (pos[1] == '\0') {
        token.kind = TK_END;
        return pos + 1;
    }
    token.kind = TK_BACKSLASH;
    return pos + 1;
}

// Bytes that are tokens by themselves; '_' and '@' only where they cannot begin a word.
const char* ScanPunctuation(const char* pos, Token& token, bool newlineIsSpace) {
    switch (*pos) {
        case '{': return Single(pos, token, TK_LBRACE, false);
        case '}': return Single(pos, token, TK_RBRACE, false);
        case '=': return Single(pos, token, TK_EQUALS, false);
        case ':': return Single(pos, token, TK_COLON, false);
        case '[': return Single(pos, token, TK_LBRACKET, false);
        case ']': return Single(pos, token, TK_RBRACKET, false);
        case '(': return Single(pos, token, TK_LPAREN, false);
        case ')': return Single(pos, token, TK_RPAREN, false);
        case '+': return Single(pos, token, TK_PLUS, false);
        case '*': return Single(pos, token, TK_STAR, false);
        case ',': return Single(pos, token, TK_COMMA, false);
        case '?': return Single(pos, token, TK_QUESTION, false);
        case '-': return Single(pos, token, TK_MINUS, true);
        case '~': return Single(pos, token, TK_TILDE, true);
        case '!': return Single(pos, token, TK_BANG, true);
        case '#': return Single(pos, token, TK_HASH, true);
        case '_':
            if (!newlineIsSpace) return Single(pos, token, TK_UNDERSCORE, false);
            break;
        case '@':
            if (!newlineIsSpace) return Single(pos, token, TK_AT, true);
            break;
        default: break;
    }
    return Single(pos, token, TK_INVALID, true);
}

}  // namespace

const char* TokenKindName(int32_t kind) {
    switch (kind) {
#define TOKEN_KIND(name, number) case number: return #name;
#include "script/token_kinds.def"
#undef TOKEN_KIND
        default: return "TK_?";
    }
}

std::string TokenText(const Token& token) {
    if (!token.escaped) return std::string(token.text);
    std::string text;
    for (size_t i = 0; i < token.text.size(); ++i) {
        if (token.text[i] == '\\') {
            if (++i == token.text.size()) break;  // a backslash that ends the text escapes nothing
        }
        text.push_back(token.text[i]);
    }
    return text;
}

const char* NextToken(const char* pos, Token& token, LexMode mode) {
    token = Token{};
    if (pos == nullptr) {
        token.kind = TK_INVALID;
        return nullptr;
    }
    const bool backquotes = (mode & 0xFF) != 0;
    const bool newlineIsSpace = (mode & 0xFF00) != 0;

    pos = SkipBlanks(pos, newlineIsSpace);
    if (*pos == '\r' || *pos == '\n') {
        token.kind = TK_NEWLINE;
        return pos + 1;
    }
    if (*pos == '\0') {
        token.kind = TK_END;
        return pos;
    }
    // Note names only at the first byte after blanks: after a comment "c4" is an identifier.
    if (!backquotes) {
        if (const char* after = ScanNoteName(pos, token)) return after;
    }
    for (;;) {
        const char c = *pos;
        if (c == '/' && pos[1] == '/') {
            const char* after = SkipComment(pos);
            if (after == nullptr) {
                token.kind = TK_END;
                return pos + std::strlen(pos);  // the scan stops where the text does
            }
            pos = after;
            continue;
        }
        if (c == '/') return Single(pos, token, TK_SLASH, false);
        if (c == '`') return Single(pos, token, TK_BACKQUOTE, false);
        if (backquotes) return ScanBackquoted(pos, token);
        if (IsDigit(c) || c == '.') return ScanNumber(pos, token);
        if (IsLetter(c) || (newlineIsSpace && (c == '_' || c == '@'))) return ScanWord(pos, token);
        if (c == '"') return ScanString(pos, token);
        if (c == '%') return ScanPercent(pos, token);
        if (c == '\\') return ScanBackslash(pos, token);
        return ScanPunctuation(pos, token, newlineIsSpace);
    }
}

const SCANNED_TOKEN& PeekToken(ParseContext& context, const char* pos, LexMode mode) {
    if (context.current.at == pos && context.current.mode == mode && pos != nullptr) return context.current;
    std::swap(context.current, context.previous);
    if (context.current.at == pos && context.current.mode == mode && pos != nullptr) return context.current;
    context.current.at = pos;
    context.current.mode = mode;
    context.current.end = NextToken(pos, context.current.token, mode);
    return context.current;
}

bool AdvanceToken(const char*& cursor, ParseContext& context, LexMode mode) {
    const char* next = PeekToken(context, cursor, mode).end;
    if (next == nullptr) {
        cursor = nullptr;
        return false;
    }
    for (const char* p = cursor; p < next; ++p) {
        if (*p == '\n') {
            ++context.line;
            context.column = 0;
        } else if (*p != '\r') {
            ++context.column;
        }
    }
    cursor = next;
    return true;
}

}  // namespace morvanel
