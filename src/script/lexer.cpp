// Tokens of the script language: blanks, note names, the character machine, the backquote
// table and keyword classification.
#include "script/lexer.h"

#include <cstring>
#include <string_view>

namespace morvanel {

namespace {

bool IsBlank(unsigned char byte) { return static_cast<signed char>(byte) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

// Tries a note name at `pos`: a letter A..G or a..g, an optional '#' or 'b', one octave digit.
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
    token.text = std::to_string(semitone + 12 * (octave + 1));
    return p;
}

struct Keyword {
    std::string_view word;  // compared by length first: most words are no keyword at all
    int32_t kind;
};

// Classification order matters only where a word could match twice, which none can; the table
// keeps the language's keyword list in one place.
const Keyword kKeywords[] = {
    {"sin2pi", TK_SIN2PI},
    {"maxinst", TK_BOX_OPTION}, {"group", TK_BOX_OPTION},
    {"dur", TK_CONDITION}, {"if", TK_CONDITION}, {"while", TK_CONDITION},
    {"fadeout", TK_SEQ_COMMAND}, {"fadein", TK_SEQ_COMMAND}, {"vol", TK_SEQ_COMMAND},
    {"own", TK_SEQ_COMMAND}, {"print", TK_SEQ_COMMAND}, {"let", TK_SEQ_COMMAND},
    {"push", TK_SEQ_COMMAND}, {"pop", TK_SEQ_COMMAND}, {"sqr", TK_SEQ_COMMAND},
    {"saw", TK_SEQ_COMMAND}, {"noise5", TK_SEQ_COMMAND}, {"noise17e", TK_SEQ_COMMAND},
    {"spawn", TK_SEQ_COMMAND}, {"out", TK_SEQ_COMMAND},
    {"@loop", TK_LABEL}, {"@release", TK_LABEL},
    {"samplerate", TK_GLOBAL_COMMAND}, {"bpm", TK_GLOBAL_COMMAND}, {"buffer", TK_GLOBAL_COMMAND},
    {"framelength", TK_GLOBAL_COMMAND}, {"midikey", TK_GLOBAL_COMMAND}, {"pckey", TK_GLOBAL_COMMAND},
    {"ccvar", TK_GLOBAL_COMMAND}, {"run", TK_GLOBAL_COMMAND}, {"global", TK_GLOBAL_COMMAND},
};

void ClassifyKeyword(Token& token) {
    for (const Keyword& keyword : kKeywords) {
        if (token.text == keyword.word) {
            token.kind = keyword.kind;
            if (keyword.kind == TK_LABEL) token.text.erase(0, 1);
            return;
        }
    }
}

// Sets a single-byte token and returns the position after it.
const char* Single(const char* pos, Token& token, int32_t kind, bool withText) {
    token.kind = kind;
    if (withText) token.text.assign(1, *pos);
    return pos + 1;
}

const char* ScanBackquoted(const char* pos, Token& token) {
    const char c = *pos;
    if (c >= '1' && c <= '9') {
        token.kind = TK_BQ_DIGIT;
        token.text.assign(1, c);
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
        token.text.assign(1, c);
        return pos + 1;
    }
    token.kind = TK_END;
    return pos;
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

const char* NextToken(const char* pos, Token& token, LexMode mode) {
    if (pos == nullptr) {
        token.kind = TK_INVALID;
        return nullptr;
    }
    const bool backquotes = (mode & 0xFF) != 0;
    const bool newlineIsSpace = (mode & 0xFF00) != 0;

    // Step 1: blanks, and line breaks where they matter.
    while (*pos != '\0' && IsBlank(static_cast<unsigned char>(*pos))) {
        if (!newlineIsSpace && (*pos == '\r' || *pos == '\n')) {
            token.kind = TK_NEWLINE;
            return pos + 1;
        }
        ++pos;
    }
    if (*pos == '\0') {
        token.kind = TK_END;
        return pos;
    }

    // Step 2: note names, tried only at the first byte after blanks.
    if (!backquotes) {
        if (const char* after = ScanNoteName(pos, token)) return after;
    }

    // Step 3: the character machine.
    for (;;) {
        const char c = *pos;
        if (c == '/' && pos[1] == '/') {
            pos += 2;
            while (*pos != '\0' && *pos != '\n') ++pos;
            if (*pos == '\0') {
                token.kind = TK_END;
                return pos;
            }
            ++pos;
            while (*pos != '\0' && IsBlank(static_cast<unsigned char>(*pos))) ++pos;
            if (*pos == '\0') {
                token.kind = TK_END;
                return pos;
            }
            continue;
        }
        if (c == '/') return Single(pos, token, TK_SLASH, false);
        if (c == '`') return Single(pos, token, TK_BACKQUOTE, false);
        if (backquotes) return ScanBackquoted(pos, token);

        if (IsDigit(c) || c == '.') {
            const char* p = pos;
            while (IsDigit(*p) || *p == '.') ++p;
            token.text.assign(pos, p);
            if (*p == '\0') {
                token.kind = TK_END;
            } else {
                token.kind = token.text == "." ? TK_IDENT : TK_NUMBER;
            }
            return p;
        }
        if (IsLetter(c) || (newlineIsSpace && (c == '_' || c == '@'))) {
            const char* p = pos + 1;
            while (IsLetter(*p) || IsDigit(*p) || *p == '_' || *p == '#') ++p;
            token.text.assign(pos, p);
            if (*p == '\0') {
                token.kind = TK_END;
                return p;
            }
            token.kind = TK_IDENT;
            ClassifyKeyword(token);
            return p;
        }
        if (c == '"') {
            token.text.clear();
            const char* p = pos + 1;
            for (;;) {
                if (*p == '\0') {
                    token.kind = TK_END;
                    return p;
                }
                if (*p == '\\') {
                    if (p[1] == '\0') {
                        token.kind = TK_END;
                        return p + 1;
                    }
                    token.text.push_back(p[1]);
                    p += 2;
                    continue;
                }
                if (*p == '"') {
                    token.kind = TK_STRING;
                    return p + 1;
                }
                token.text.push_back(*p);
                ++p;
            }
        }
        if (c == '%') {
            const char next = pos[1];
            if (next == '\0') {
                token.kind = TK_END;
                token.text = "%";
                return pos + 1;
            }
            if (IsLetter(next) || IsDigit(next) || next == '_') {
                token.kind = TK_PERCENT;
                token.text.assign(pos, 2);
                return pos + 2;
            }
            token.kind = TK_PERCENT;
            token.text = "%";
            return nullptr;
        }
        if (c == '\\') {
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
        switch (c) {
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
}

bool AdvanceToken(const char*& cursor, ParseContext& context, LexMode mode) {
    Token scratch;
    const char* next = NextToken(cursor, scratch, mode);
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

bool PeekTokenIs(const char* pos, LexMode mode, int32_t kind) { return PeekKind(pos, mode) == kind; }

int32_t PeekKind(const char* pos, LexMode mode) {
    Token scratch;
    NextToken(pos, scratch, mode);
    return scratch.kind;
}

}  // namespace morvanel
