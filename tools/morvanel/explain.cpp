// Notes under compiler errors and the clang-style source excerpt.
#include "explain.h"

#include <algorithm>

namespace morvanel::tool {

namespace {

// Optimal string alignment distance: edits, with a swap of two neighbours counted as one.
size_t EditDistance(const std::string& a, const std::string& b) {
    std::vector<std::vector<size_t>> d(a.size() + 1, std::vector<size_t>(b.size() + 1));
    for (size_t i = 0; i <= a.size(); ++i) d[i][0] = i;
    for (size_t j = 0; j <= b.size(); ++j) d[0][j] = j;
    for (size_t i = 1; i <= a.size(); ++i) {
        for (size_t j = 1; j <= b.size(); ++j) {
            const size_t cost = a[i - 1] == b[j - 1] ? 0 : 1;
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1, d[i - 1][j - 1] + cost});
            if (i > 1 && j > 1 && a[i - 1] == b[j - 2] && a[i - 2] == b[j - 1]) d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    }
    return d[a.size()][b.size()];
}

std::string TokenText(const std::string& source, const LEXED_TOKEN& token) {
    if (token.end <= token.begin || token.begin >= source.size()) return "";
    return source.substr(token.begin, token.end - token.begin);
}

std::string Position(const std::string& source, size_t offset) {
    int line = 0;
    int column = 0;
    LineColumnOf(source, offset, line, column);
    return "line " + std::to_string(line) + " column " + std::to_string(column);
}

bool IsStepWord(const std::string& word) {
    static const char* const kSteps[] = {"fadeout", "fadein", "vol", "own", "print", "push", "pop", "sqr",
                                         "saw", "noise5", "noise17e", "spawn", "out"};
    return std::find(std::begin(kSteps), std::end(kSteps), word) != std::end(kSteps);
}

// Boxes defined before `offset`, and every keyword: what a misspelt name most likely meant.
std::vector<std::string> NamesBefore(const SCRIPT_OUTLINE& outline, size_t offset) {
    std::vector<std::string> names;
    for (const OUTLINE_BOX& box : outline.boxes) {
        if (!box.name.empty() && box.at < offset) names.push_back(box.name);
    }
    for (const char* const* word = KeywordList(); *word != nullptr; ++word) names.emplace_back(*word);
    return names;
}

// Where `name` is defined after `offset`, or kNoOffset.
size_t DefinedAfter(const SCRIPT_OUTLINE& outline, const std::string& name, size_t offset) {
    for (const OUTLINE_BOX& box : outline.boxes) {
        if (box.name == name && box.at > offset) return box.at;
    }
    const auto later = outline.laterBoxes.find(name);
    return later == outline.laterBoxes.end() ? kNoOffset : later->second;
}

std::string NoteNameRule() {
    return "note names are a letter from a to g, an optional # or b, and one octave digit (a4, c#5, eb3)";
}

void AddUnclosedBraceNote(const SCRIPT_OUTLINE& outline, const Diagnostic& diagnostic, std::vector<NOTE>& notes) {
    if (outline.stop.openBraces.empty() || diagnostic.at < outline.source.size()) return;
    const size_t brace = outline.stop.openBraces.back();
    notes.push_back({"the text ends inside the body opened by this '{' at " + Position(outline.source, brace) +
                         ": it is never closed",
                     brace});
}

// Notes for the error the compiler stopped at, from what the outline was reading there.
void AddStopNotes(const SCRIPT_OUTLINE& outline, Diagnostic& diagnostic) {
    const OUTLINE_STOP& stop = outline.stop;
    const std::string& source = outline.source;
    const std::string& construct = stop.construct;
    const std::string tokenText = TokenText(source, stop.token);
    std::vector<NOTE>& notes = diagnostic.notes;

    if (construct == "call" || construct == "midikey") {
        const std::string& name = stop.name;
        if (const size_t later = DefinedAfter(outline, name, stop.at); later != kNoOffset) {
            notes.push_back({"'" + name + "' is defined below, at " + Position(source, later) +
                                 ": a box can only be used after its definition",
                             later});
        } else if (LooksLikeNoteName(name) && !IsNoteName(name)) {
            notes.push_back({"the compiler looked for a box named '" + name + "': it is not a note name, and " + NoteNameRule()});
        } else {
            std::string text = "no box named '" + name + "' is defined above this point";
            const std::string suggestion = SuggestName(name, NamesBefore(outline, stop.at));
            if (!suggestion.empty()) text += "; did you mean '" + suggestion + "'?";
            notes.push_back({text});
        }
    } else if (construct == "definition") {
        std::string text = "'" + stop.name + "' starts the definition of a box here, so '=' and a body must follow";
        std::string suggestion = SuggestName(stop.name, NamesBefore(outline, stop.at));
        if (!suggestion.empty()) {
            text += "; did you mean '" + suggestion + "'?";
            if (IsStepWord(suggestion)) text += " Steps such as " + suggestion + "(...) go inside a body: name = { ... }";
        }
        notes.push_back({text});
    } else if (construct == "top" || construct == "header") {
        if (IsNoteName(tokenText)) {
            notes.push_back({"'" + tokenText + "' reads as a note name, and box names cannot look like notes: rename it "
                             "('my_" + tokenText + "', '" + tokenText.substr(0, 1) + "_" + tokenText.substr(1) + "')"});
        } else if (stop.token.kind == Tok::SeqCommand || stop.token.kind == Tok::Condition ||
                   stop.token.kind == Tok::Label) {
            notes.push_back({"'" + tokenText + "' is a step: steps go inside the body of a box, as in name = { " +
                             (stop.token.kind == Tok::Label ? tokenText + " ..." : tokenText + "(...)") + " }"});
        } else if (stop.token.kind == Tok::GlobalCommand || stop.token.kind == Tok::BoxOption) {
            notes.push_back({"'" + tokenText + "' is a keyword and cannot name a box"});
        } else if (stop.token.kind == Tok::RBrace) {
            notes.push_back({"this '}' closes no body"});
        }
    } else if (construct == "value-close") {
        if (stop.token.kind == Tok::Plus || stop.token.kind == Tok::Minus || stop.token.kind == Tok::Star ||
            stop.token.kind == Tok::Slash || stop.token.kind == Tok::Backslash) {
            notes.push_back({"a step's argument is one value, not an expression: compute it in an assignment first, "
                             "as in %q = %p / 2  sqr(%q)"});
        }
    } else if (construct == "value") {
        if (stop.token.kind == Tok::LParen) {
            notes.push_back({"a step's argument is one value: a number, a note or a variable, without parentheses"});
        }
    } else if (construct == "squash") {
        notes.push_back({"a bare number or note plays the previous box call again with a new last argument, and "
                         "no call comes before it in this body"});
    }
    AddUnclosedBraceNote(outline, diagnostic, notes);
}

void PrintExcerpt(FILE* out, const std::string& source, size_t begin, size_t end) {
    if (begin == kNoOffset) return;
    if (begin >= source.size()) {
        // At the end of the text, point just after its last visible character.
        begin = source.size();
        while (begin > 0 && static_cast<signed char>(source[begin - 1]) <= 32) --begin;
        end = begin;
    }
    size_t lineStart = 0;
    if (begin > 0) {
        const size_t newline = source.rfind('\n', begin - 1);
        lineStart = newline == std::string::npos ? 0 : newline + 1;
    }
    size_t lineEnd = source.find('\n', begin);
    if (lineEnd == std::string::npos) lineEnd = source.size();
    std::string text = source.substr(lineStart, lineEnd - lineStart);
    if (!text.empty() && text.back() == '\r') text.pop_back();
    int line = 0;
    int column = 0;
    LineColumnOf(source, begin, line, column);
    const std::string number = std::to_string(line);
    std::string marker;
    for (size_t i = lineStart; i < begin; ++i) {
        const unsigned char byte = static_cast<unsigned char>(source[i]);
        if (byte == '\t') {
            marker.push_back('\t');
        } else if (byte < 0x80 || byte >= 0xC0) {
            marker.push_back(' ');
        }
    }
    marker.push_back('^');
    const size_t stop = std::min(end == kNoOffset ? begin : end, lineEnd);
    for (size_t i = begin + 1; i < stop; ++i) marker.push_back('~');
    std::fprintf(out, " %s | %s\n %*s | %s\n", number.c_str(), text.c_str(), static_cast<int>(number.size()), "",
                 marker.c_str());
}

}  // namespace

std::string SuggestName(const std::string& word, const std::vector<std::string>& candidates) {
    std::string best;
    size_t bestDistance = static_cast<size_t>(-1);
    const size_t limit = std::max<size_t>(1, word.size() / 3);
    for (const std::string& candidate : candidates) {
        if (candidate == word || candidate.empty()) continue;
        size_t distance = EditDistance(word, candidate);
        // A keyword typed with a longer ending ('volume' for 'vol') is a likely mistake too.
        const bool prefix = candidate.size() >= 3 && word.size() > candidate.size() && word.rfind(candidate, 0) == 0;
        if (distance > limit && !prefix) continue;
        if (prefix) distance = std::min(distance, limit);
        if (distance < bestDistance) {
            best = candidate;
            bestDistance = distance;
        }
    }
    return best;
}

Diagnostic MakeDiagnostic(const std::string& source, Severity severity, size_t at, size_t end, std::string message) {
    Diagnostic diagnostic;
    diagnostic.severity = severity;
    diagnostic.message = std::move(message);
    diagnostic.at = at;
    diagnostic.atEnd = end;
    LineColumnOf(source, at, diagnostic.line, diagnostic.column);
    return diagnostic;
}

void ExplainDiagnostics(const SCRIPT_OUTLINE& outline, bool succeeded, std::vector<Diagnostic>& diagnostics) {
    const std::string& source = outline.source;
    bool stopExplained = false;
    for (Diagnostic& diagnostic : diagnostics) {
        const size_t reported = OffsetOf(source, diagnostic.line, diagnostic.column);
        const LEXED_TOKEN next = ScanToken(source, reported, LexMode::Stmt);
        diagnostic.at = next.kind == Tok::End && next.end == next.begin ? std::min(next.begin, source.size()) : next.begin;
        diagnostic.atEnd = std::max(next.end, diagnostic.at + 1);
        if (diagnostic.severity != Severity::Error || stopExplained) continue;
        if (reported == outline.stop.at) {
            AddStopNotes(outline, diagnostic);
            // A missing box is best shown at its name rather than at what follows the call.
            if (outline.stop.construct == "midikey") {
                diagnostic.at = outline.stop.token.begin;
                diagnostic.atEnd = outline.stop.token.end;
            } else if (outline.stop.construct == "call" && !outline.calls.empty() && outline.calls.back().callee < 0) {
                diagnostic.at = outline.calls.back().at;
                diagnostic.atEnd = outline.calls.back().end;
            }
            stopExplained = true;
        } else if (diagnostic.message == "Unexpected token") {
            AddUnclosedBraceNote(outline, diagnostic, diagnostic.notes);
        }
    }
    bool anyError = false;
    for (const Diagnostic& diagnostic : diagnostics) anyError = anyError || diagnostic.severity == Severity::Error;
    if (succeeded || anyError) return;
    // The compiler gives up on a '%' that names no variable without saying so.
    if (outline.stop.construct == "variable") {
        Diagnostic error = MakeDiagnostic(source, Severity::Error, outline.stop.token.begin, outline.stop.token.end,
                                          "'%' must be followed by a letter, a digit or '_' that names a variable; "
                                          "the compiler stopped here without a message");
        diagnostics.push_back(std::move(error));
    } else {
        const size_t at = outline.stop.at == kNoOffset ? 0 : outline.stop.at;
        diagnostics.push_back(MakeDiagnostic(source, Severity::Error, at, at + 1, "the compiler stopped without a message"));
    }
}

void PrintDiagnostic(FILE* out, const std::string& file, const std::string& source, const Diagnostic& diagnostic) {
    const char* severity = diagnostic.severity == Severity::Error     ? "error"
                           : diagnostic.severity == Severity::Warning ? "warning"
                                                                      : "note";
    std::fprintf(out, "%s:%d:%d: %s: %s\n", file.c_str(), diagnostic.line, diagnostic.column, severity,
                 diagnostic.message.c_str());
    PrintExcerpt(out, source, diagnostic.at, diagnostic.atEnd);
    for (const NOTE& note : diagnostic.notes) {
        if (note.at == kNoOffset) {
            std::fprintf(out, "%s:%d:%d: note: %s\n", file.c_str(), diagnostic.line, diagnostic.column, note.text.c_str());
        } else {
            int line = 0;
            int column = 0;
            LineColumnOf(source, note.at, line, column);
            std::fprintf(out, "%s:%d:%d: note: %s\n", file.c_str(), line, column, note.text.c_str());
            PrintExcerpt(out, source, note.at, note.at + 1);
        }
    }
}

}  // namespace morvanel::tool
