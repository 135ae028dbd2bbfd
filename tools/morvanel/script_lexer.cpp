// Script tokens as the compiler scans them: blanks, note names, comments, the character machine,
// the backquote table and keyword classification.
#include "script_lexer.h"

namespace morvanel::tool {

namespace {

bool IsBlank(char c) { return static_cast<signed char>(c) <= 32; }
bool IsDigit(char c) { return c >= '0' && c <= '9'; }
bool IsLetter(char c) { return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }

struct KEYWORD {
    const char* word;
    Tok kind;
};

const KEYWORD kKeywords[] = {
    {"sin2pi", Tok::Sin2pi},       {"maxinst", Tok::BoxOption},   {"group", Tok::BoxOption},
    {"dur", Tok::Condition},       {"if", Tok::Condition},        {"while", Tok::Condition},
    {"fadeout", Tok::SeqCommand},  {"fadein", Tok::SeqCommand},   {"vol", Tok::SeqCommand},
    {"own", Tok::SeqCommand},      {"print", Tok::SeqCommand},    {"let", Tok::SeqCommand},
    {"push", Tok::SeqCommand},     {"pop", Tok::SeqCommand},      {"sqr", Tok::SeqCommand},
    {"saw", Tok::SeqCommand},      {"noise5", Tok::SeqCommand},   {"noise17e", Tok::SeqCommand},
    {"spawn", Tok::SeqCommand},    {"out", Tok::SeqCommand},      {"@loop", Tok::Label},
    {"@release", Tok::Label},      {"samplerate", Tok::GlobalCommand}, {"bpm", Tok::GlobalCommand},
    {"buffer", Tok::GlobalCommand}, {"framelength", Tok::GlobalCommand}, {"midikey", Tok::GlobalCommand},
    {"pckey", Tok::GlobalCommand}, {"ccvar", Tok::GlobalCommand}, {"run", Tok::GlobalCommand},
    {"global", Tok::GlobalCommand},
};

// A note name at `pos`: the MIDI number as text and the offset after it, or false.
bool ScanNoteName(std::string_view source, size_t pos, LEXED_TOKEN& token) {
    static const int kSemitones[7] = {9, 11, 0, 2, 4, 5, 7};  // A B C D E F G
    const char first = source[pos];
    int semitone;
    bool upper;
    if (first >= 'A' && first <= 'G') {
        semitone = kSemitones[first - 'A'];
        upper = true;
    } else if (first >= 'a' && first <= 'g') {
        semitone = kSemitones[first - 'a'];
        upper = false;
    } else {
        return false;
    }
    size_t p = pos + 1;
    if (p < source.size() && source[p] == '#') {
        ++semitone;
        ++p;
    } else if (p < source.size() && source[p] == 'b') {
        --semitone;
        ++p;
    }
    if (p >= source.size() || !IsDigit(source[p])) return false;
    token.kind = upper ? Tok::Number : Tok::Note;
    token.text = std::to_string(semitone + 12 * (source[p] - '0' + 1));
    token.end = p + 1;
    return true;
}

LEXED_TOKEN Single(size_t pos, Tok kind, std::string text = {}) {
    LEXED_TOKEN token;
    token.kind = kind;
    token.text = std::move(text);
    token.begin = pos;
    token.end = pos + 1;
    return token;
}

LEXED_TOKEN Backquoted(std::string_view source, size_t pos) {
    const char c = source[pos];
    if (c >= '1' && c <= '9') return Single(pos, Tok::BqDigit, std::string(1, c));
    if (c == '_') return Single(pos, Tok::BqDigit, "1");
    if (c == '0') return Single(pos, Tok::BqDigit, "5");
    if (c == '-') return Single(pos, Tok::BqDigit, "9");
    if (c == '?') return Single(pos, Tok::Question, "?");
    if (IsLetter(c) || c == '.') return Single(pos, Tok::Ident, std::string(1, c));
    LEXED_TOKEN end = Single(pos, Tok::End);
    end.end = pos;
    return end;
}

}  // namespace

LEXED_TOKEN ScanToken(std::string_view source, size_t pos, LexMode mode) {
    const bool backquotes = mode == LexMode::Backquote;
    const bool newlineIsSpace = mode != LexMode::Expr;
    LEXED_TOKEN token;
    auto atEnd = [&](size_t at) {
        token.kind = Tok::End;
        token.begin = at;
        token.end = at;
        return token;
    };

    while (pos < source.size() && IsBlank(source[pos])) {
        if (!newlineIsSpace && (source[pos] == '\r' || source[pos] == '\n')) return Single(pos, Tok::Newline);
        ++pos;
    }
    if (pos >= source.size()) return atEnd(pos);
    token.begin = pos;
    if (!backquotes && ScanNoteName(source, pos, token)) return token;

    for (;;) {
        const char c = source[pos];
        const char next = pos + 1 < source.size() ? source[pos + 1] : '\0';
        if (c == '/' && next == '/') {
            pos += 2;
            while (pos < source.size() && source[pos] != '\n') ++pos;
            if (pos >= source.size()) return atEnd(pos);
            ++pos;
            while (pos < source.size() && IsBlank(source[pos])) ++pos;
            if (pos >= source.size()) return atEnd(pos);
            token.begin = pos;
            continue;
        }
        if (c == '/') return Single(pos, Tok::Slash);
        if (c == '`') return Single(pos, Tok::Backquote);
        if (backquotes) return Backquoted(source, pos);

        if (IsDigit(c) || c == '.') {
            size_t p = pos;
            while (p < source.size() && (IsDigit(source[p]) || source[p] == '.')) ++p;
            token.text.assign(source.substr(pos, p - pos));
            token.end = p;
            token.kind = p >= source.size() ? Tok::End : token.text == "." ? Tok::Ident : Tok::Number;
            return token;
        }
        if (IsLetter(c) || (newlineIsSpace && (c == '_' || c == '@'))) {
            size_t p = pos + 1;
            while (p < source.size() && (IsLetter(source[p]) || IsDigit(source[p]) || source[p] == '_' || source[p] == '#')) ++p;
            token.text.assign(source.substr(pos, p - pos));
            token.end = p;
            if (p >= source.size()) {
                token.kind = Tok::End;
                return token;
            }
            token.kind = Tok::Ident;
            for (const KEYWORD& keyword : kKeywords) {
                if (token.text == keyword.word) {
                    token.kind = keyword.kind;
                    if (keyword.kind == Tok::Label) token.text.erase(0, 1);
                    break;
                }
            }
            return token;
        }
        if (c == '"') {
            size_t p = pos + 1;
            for (;;) {
                if (p >= source.size()) {
                    token.kind = Tok::End;
                    token.end = p;
                    return token;
                }
                if (source[p] == '\\') {
                    if (p + 1 >= source.size()) {
                        token.kind = Tok::End;
                        token.end = p + 1;
                        return token;
                    }
                    token.text.push_back(source[p + 1]);
                    p += 2;
                    continue;
                }
                if (source[p] == '"') {
                    token.kind = Tok::String;
                    token.end = p + 1;
                    return token;
                }
                token.text.push_back(source[p++]);
            }
        }
        if (c == '%') {
            if (pos + 1 >= source.size()) {
                token.kind = Tok::End;
                token.text = "%";
                token.end = pos + 1;
                return token;
            }
            token.end = pos + 2;
            if (IsLetter(next) || IsDigit(next) || next == '_') {
                token.kind = Tok::Percent;
                token.text = std::string(source.substr(pos, 2));
            } else {
                token.kind = Tok::Fail;
                token.text = "%";
            }
            return token;
        }
        if (c == '\\') {
            if (next == '\\') {
                token.kind = Tok::DoubleBackslash;
                token.end = pos + 2;
                return token;
            }
            if (pos + 1 >= source.size()) {
                token.kind = Tok::End;
                token.end = pos + 1;
                return token;
            }
            return Single(pos, Tok::Backslash);
        }
        switch (c) {
            case '{': return Single(pos, Tok::LBrace);
            case '}': return Single(pos, Tok::RBrace);
            case '=': return Single(pos, Tok::Equals);
            case ':': return Single(pos, Tok::Colon);
            case '[': return Single(pos, Tok::LBracket);
            case ']': return Single(pos, Tok::RBracket);
            case '(': return Single(pos, Tok::LParen);
            case ')': return Single(pos, Tok::RParen);
            case '+': return Single(pos, Tok::Plus);
            case '*': return Single(pos, Tok::Star);
            case ',': return Single(pos, Tok::Comma);
            case '?': return Single(pos, Tok::Question);
            case '-': return Single(pos, Tok::Minus, "-");
            case '~': return Single(pos, Tok::Tilde, "~");
            case '!': return Single(pos, Tok::Bang, "!");
            case '#': return Single(pos, Tok::Hash, "#");
            case '_':
                if (!newlineIsSpace) return Single(pos, Tok::Underscore);
                break;
            case '@':
                if (!newlineIsSpace) return Single(pos, Tok::At, "@");
                break;
            default: break;
        }
        return Single(pos, Tok::Invalid, std::string(1, c));
    }
}

bool LooksLikeNoteName(std::string_view word) {
    if (word.size() < 2 || word.size() > 3 || !IsLetter(word[0]) || !IsDigit(word.back())) return false;
    return word.size() == 2 || word[1] == '#' || word[1] == 'b';
}

bool IsNoteName(std::string_view word) {
    if (!LooksLikeNoteName(word)) return false;
    const char letter = word[0];
    return (letter >= 'A' && letter <= 'G') || (letter >= 'a' && letter <= 'g');
}

const char* const* KeywordList() {
    static const char* const kWords[] = {
        "maxinst", "group", "dur", "if", "while", "fadeout", "fadein", "vol", "own", "print", "push", "pop",
        "sqr", "saw", "noise5", "noise17e", "spawn", "out", "@loop", "@release", "samplerate", "bpm",
        "buffer", "framelength", "midikey", "pckey", "ccvar", "run", "global", "sin2pi", nullptr};
    return kWords;
}

}  // namespace morvanel::tool
