// Reading a script's outline with the compiler's grammar: top level, global commands, box
// headers, bodies, calls with parameter squashing, commands, conditions and expressions.
#include "script_outline.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <limits>

namespace morvanel::tool {

namespace {

constexpr int kMaxNesting = 200;  // the compiler refuses bodies nested deeper
constexpr int kHighestKey = 255;  // keys beyond the note table are never mapped

bool IsPercent(Tok kind) { return kind == Tok::Percent || kind == Tok::Fail; }

bool CanBeginElement(Tok kind) {
    switch (kind) {
        case Tok::BqDigit: case Tok::Ident: case Tok::SeqCommand: case Tok::Condition: case Tok::Label:
        case Tok::Colon: case Tok::Number: case Tok::Percent: case Tok::Fail: case Tok::Note:
        case Tok::LBrace: case Tok::LBracket: case Tok::Question: case Tok::Backquote:
            return true;
        default:
            return false;
    }
}

bool IsUnitPrefix(Tok kind) {
    return kind == Tok::Tilde || kind == Tok::Bang || kind == Tok::At || kind == Tok::Hash || kind == Tok::Minus;
}

// Float to integer as the compiler converts: toward zero, saturating, NaN to 0.
int64_t Truncate(double value) {
    if (std::isnan(value)) return 0;
    if (value >= 9.2e18) return std::numeric_limits<int64_t>::max();
    if (value <= -9.2e18) return std::numeric_limits<int64_t>::min();
    return static_cast<int64_t>(value);
}

double NoteFrequency(int64_t note) {
    if (note <= 0 || note > 255) return 0.0;
    return 13.75 * std::pow(2.0, (static_cast<double>(note) - 9.0) / 12.0);
}

struct CONSTANT {
    Tok prefix = Tok::End;
    LEXED_TOKEN value;
    bool closed = false;
};

struct BODY_STATE {
    std::vector<std::string> callArgs;
    std::string callName;
    size_t callAt = 0;
    int squashIndex = 0;
    bool callPending = false;
};

class COutlineReader {
public:
    COutlineReader(SCRIPT_OUTLINE& outline, int sampleRate) : out(outline), src(outline.source), sampleRate(sampleRate) {}

    // A start text is a box header: its name and its arguments after ':'.
    bool ReadHeader(OUTLINE_BOX& header) { return ReadBoxHeader(header); }

    void Read() {
        for (;;) {
            const LEXED_TOKEN token = Peek();
            if (token.kind == Tok::End) {
                out.complete = true;
                break;
            }
            bool ok;
            if (token.kind == Tok::Ident || token.kind == Tok::LBracket) {
                ok = ReadBoxDefinition(-1);
            } else if (token.kind == Tok::GlobalCommand) {
                ok = ReadGlobalCommand();
            } else {
                ok = Stop("top", token);
            }
            if (!ok) break;
        }
        if (!out.complete) ScanLaterDefinitions();
        for (size_t i = 0; i < out.boxes.size(); ++i) {
            if (!out.boxes[i].name.empty()) out.named[out.boxes[i].name] = static_cast<int>(i);
        }
        for (const auto& [key, box] : keyMap) {
            if (!out.keys.empty() && out.keys.back().box == box && out.keys.back().high == key - 1) {
                out.keys.back().high = key;
            } else {
                out.keys.push_back({key, key, box});
            }
        }
    }

private:
    // Past the point where the compiler stops, finds what looks like a box definition at the top
    // level (a name, its header, then '='), so a note can say that a box is defined further down.
    void ScanLaterDefinitions() {
        size_t depth = out.stop.openBraces.size();
        for (size_t at = out.stop.at; at < src.size();) {
            const LEXED_TOKEN token = ScanToken(src, at, LexMode::Stmt);
            if (token.kind == Tok::End) break;
            at = std::max(token.end, at + 1);
            if (token.kind == Tok::LBrace) ++depth;
            if (token.kind == Tok::RBrace && depth > 0) --depth;
            if (token.kind != Tok::Ident || depth > 0) continue;
            LEXED_TOKEN next = ScanToken(src, token.end, LexMode::Stmt);
            if (next.kind == Tok::Star) next = ScanToken(src, next.end, LexMode::Stmt);
            while (next.kind == Tok::Colon) {
                next = ScanToken(src, ScanToken(src, next.end, LexMode::Stmt).end, LexMode::Stmt);
            }
            if (next.kind == Tok::Equals || next.kind == Tok::BoxOption || next.kind == Tok::RBracket) {
                out.laterBoxes.emplace(token.text, token.begin);
            }
        }
    }

    LEXED_TOKEN Peek(LexMode mode = LexMode::Stmt) const { return ScanToken(src, cursor, mode); }

    bool Advance(LexMode mode = LexMode::Stmt) {
        const LEXED_TOKEN token = Peek(mode);
        if (token.kind == Tok::Fail) return Stop("variable", token);
        cursor = token.end;
        return true;
    }

    // Records where the compiler stops (the first stop only) and returns false.
    bool Stop(const char* construct, const LEXED_TOKEN& token, const std::string& name = {}) {
        if (out.stop.at == kNoOffset) {
            out.stop.at = cursor;
            out.stop.construct = construct;
            out.stop.name = name;
            out.stop.token = token;
            out.stop.openBraces = braces;
        }
        return false;
    }

    int SamplesPerBeat() const {
        return static_cast<int>(Truncate(static_cast<double>(60.0f / bpm * static_cast<float>(sampleRate))));
    }

    // The value of a constant as the compiler folds and evaluates it without a variable state.
    double ValueOf(const CONSTANT& constant) const {
        if (constant.value.kind != Tok::Number && constant.value.kind != Tok::Note) {
            return 0.0;
        }
        const float v = static_cast<float>(std::strtod(constant.value.text.c_str(), nullptr));
        const Tok unit = constant.value.kind == Tok::Note ? Tok::Hash : constant.prefix;
        auto period = [&](double frequency) {
            return frequency >= 0.1 ? static_cast<double>(Truncate(sampleRate / frequency)) : 0.0;
        };
        switch (unit) {
            case Tok::Minus: return -static_cast<double>(v);
            case Tok::Tilde: return static_cast<double>(Truncate(static_cast<double>(static_cast<float>(sampleRate) * v)));
            case Tok::Bang:
                return static_cast<double>(Truncate(std::floor(static_cast<double>(static_cast<float>(SamplesPerBeat()) * v))));
            case Tok::At: return period(static_cast<double>(v));
            case Tok::Hash: return period(NoteFrequency(Truncate(static_cast<double>(v))));
            default: return static_cast<double>(v);
        }
    }

    static int IntegerOf(const CONSTANT& constant, double value) {
        if (constant.value.kind == Tok::Ident || constant.value.kind == Tok::String) {
            return std::atoi(constant.value.text.c_str());
        }
        const int64_t whole = Truncate(value);
        return static_cast<int>(std::clamp<int64_t>(whole, INT32_MIN, INT32_MAX));
    }

    bool ReadConstant(CONSTANT& constant, bool variablesAllowed = true) {
        const LEXED_TOKEN opener = Peek();
        if (opener.kind != Tok::LParen && opener.kind != Tok::Comma) return Stop("value-open", opener);
        if (!Advance()) return false;
        const LEXED_TOKEN prefix = Peek(LexMode::Expr);
        if (IsUnitPrefix(prefix.kind)) {
            constant.prefix = prefix.kind;
            if (!Advance(LexMode::Expr)) return false;
        }
        const LEXED_TOKEN value = Peek();
        if (value.kind != Tok::Number && value.kind != Tok::String && value.kind != Tok::Ident &&
            !IsPercent(value.kind) && value.kind != Tok::Note) {
            return Stop("value", value);
        }
        if (!Advance()) return false;
        constant.value = value;
        const LEXED_TOKEN closer = Peek();
        if (closer.kind == Tok::RParen) {
            if (!Advance()) return false;
            constant.closed = true;
        } else if (closer.kind == Tok::Comma) {
            constant.closed = false;
        } else {
            return Stop("value-close", closer);
        }
        if (!variablesAllowed && value.kind == Tok::Percent) return Stop("option-variable", value);
        return true;
    }

    bool ReadGlobalCommand() {
        const LEXED_TOKEN keyword = Peek();
        if (!Advance()) return false;
        if (Peek().kind != Tok::LParen) return Stop("command-open", Peek(), keyword.text);
        OUTLINE_COMMAND command;
        command.keyword = keyword.text;
        command.at = keyword.begin;
        auto read = [&](CONSTANT& constant) {
            if (!ReadConstant(constant)) return false;
            command.values.push_back(constant.value);
            command.prefixes.push_back(constant.prefix);
            return true;
        };
        const std::string& word = keyword.text;
        CONSTANT first;
        if (!read(first)) return false;
        if (word == "samplerate") {
            sampleRate = static_cast<int>(std::clamp<int64_t>(Truncate(ValueOf(first)), INT32_MIN, INT32_MAX));
        } else if (word == "bpm") {
            bpm = static_cast<float>(ValueOf(first));
        } else if (word == "midikey") {
            CONSTANT second;
            if (!read(second)) return false;
            const int low = IntegerOf(first, ValueOf(first));
            int high = low;
            const CONSTANT* name = &second;
            CONSTANT third;
            if (second.value.kind == Tok::Number && (second.prefix == Tok::End || second.prefix == Tok::Minus)) {
                high = IntegerOf(second, ValueOf(second));
                if (!read(third)) return false;
                name = &third;
            }
            if (name->value.kind == Tok::Ident || name->value.kind == Tok::String) {
                if (defined.count(name->value.text) == 0) return Stop("midikey", name->value, name->value.text);
                const int from = std::max(std::min(low, high), 0);
                const int to = std::min(std::max(low, high), kHighestKey);
                for (int key = from; key <= to; ++key) keyMap[key] = name->value.text;
            }
        } else if (word == "pckey") {
            CONSTANT second;
            if (!read(second)) return false;
        } else if (word == "ccvar") {
            CONSTANT letter;
            if (!read(letter)) return false;
            if ((letter.value.kind == Tok::Ident || letter.value.kind == Tok::String) && !letter.value.text.empty()) {
                AddGlobal(letter.value.text[0]);
            }
        } else if (word == "global") {
            if (first.value.kind == Tok::Percent) AddGlobal(first.value.text[1]);
            if (!first.closed) {
                CONSTANT initial;
                if (!read(initial)) return false;
            }
        }
        if (first.value.kind == Tok::Percent && word != "global") AddGlobal(first.value.text[1]);
        command.end = cursor;
        out.commands.push_back(std::move(command));
        return true;
    }

    void AddGlobal(char letter) {
        if (out.globals.find(letter) == std::string::npos) out.globals.push_back(letter);
    }

    bool ReadBoxHeader(OUTLINE_BOX& header) {
        const bool bracketed = Peek().kind == Tok::LBracket;
        if (bracketed && !Advance()) return false;
        const LEXED_TOKEN name = Peek();
        if (name.kind != Tok::Ident) return Stop("header", name);
        header.name = name.text;
        header.at = name.begin;
        if (!Advance()) return false;
        if (Peek().kind == Tok::Star) {
            header.exported = true;
            if (!Advance()) return false;
        }
        while (Peek().kind == Tok::Colon) {
            if (!Advance()) return false;
            const LEXED_TOKEN parameter = Peek();
            if (parameter.kind != Tok::Ident && parameter.kind != Tok::Number && parameter.kind != Tok::Percent &&
                parameter.kind != Tok::Note) {
                return Stop("parameter", parameter, header.name);
            }
            header.parameters.push_back(parameter.kind == Tok::Note ? "#" + parameter.text : parameter.text);
            if (!Advance()) return false;
        }
        for (LEXED_TOKEN option = Peek(); option.kind == Tok::BoxOption; option = Peek()) {
            if (!Advance()) return false;
            CONSTANT first;
            if (!ReadConstant(first, false)) return false;
            if (option.text == "maxinst") {
                header.maxInstances = IntegerOf(first, ValueOf(first));
                if (!first.closed) {
                    CONSTANT second;
                    if (!ReadConstant(second, false)) return false;
                    header.stopExcess = IntegerOf(second, ValueOf(second)) > 0;
                }
            } else {
                if (!first.closed) return Stop("group", Peek(), header.name);
                header.group = first.value.kind == Tok::Ident || first.value.kind == Tok::String ? first.value.text : "_error";
            }
        }
        if (bracketed) {
            if (Peek().kind != Tok::RBracket) return Stop("header-close", Peek(), header.name);
            if (!Advance()) return false;
        }
        header.headerEnd = cursor;
        return true;
    }

    bool ReadBoxDefinition(int enclosingBody) {
        if (nesting >= kMaxNesting) return Stop("nesting", Peek());
        if (enclosingBody >= 0) {
            OUTLINE_BOX nested;
            nested.at = Peek().begin;
            nested.enclosingBody = enclosingBody;
            out.boxes.push_back(nested);
            const int box = static_cast<int>(out.boxes.size()) - 1;
            Append(enclosingBody, {ItemKind::Call, box, nested.at});
            ++nesting;
            const bool ok = ReadBody(box);
            --nesting;
            return ok;
        }
        OUTLINE_BOX header;
        if (!ReadBoxHeader(header)) return false;
        if (header.maxInstances > 0 && header.group.empty()) header.group = "_default_";
        for (const std::string& parameter : header.parameters) {
            header.letters.push_back(parameter.size() >= 2 ? parameter[1] : '\0');
        }
        out.boxes.push_back(header);
        const int box = static_cast<int>(out.boxes.size()) - 1;
        defined[header.name] = box;
        if (Peek().kind != Tok::Equals) return Stop("definition", Peek(), header.name);
        if (!Advance()) return false;
        for (bool first = true;; first = false) {
            const Tok kind = Peek().kind;
            if (kind != Tok::LBrace && !(first && kind == Tok::Condition)) return true;
            ++nesting;
            const bool ok = ReadBody(box);
            --nesting;
            if (!ok) return false;
        }
    }

    void Append(int body, OUTLINE_ITEM item) {
        OUTLINE_BODY& target = out.bodies[static_cast<size_t>(body)];
        const int index = static_cast<int>(target.items.size());
        if (target.loopPending) {
            target.loopIndex = index;
            target.loopPending = false;
        }
        if (target.releasePending) {
            target.releaseIndex = index;
            target.releasePending = false;
        }
        target.items.push_back(item);
    }

    // The call as the compiler emits it: one push per argument that gives a value, then the call.
    void EmitCall(int body, const BODY_STATE& state) {
        OUTLINE_CALL call;
        call.name = state.callName;
        call.arguments = state.callArgs;
        const auto found = defined.find(state.callName);
        call.callee = found == defined.end() ? -1 : found->second;
        call.body = body;
        call.pushed = PushedArguments(state.callArgs);
        call.at = state.callAt;
        call.end = cursor;
        if (call.callee >= 0) {
            for (int i = 0; i < call.pushed; ++i) Append(body, {ItemKind::Quiet, -1, state.callAt});
            Append(body, {ItemKind::Call, call.callee, state.callAt});
        }
        out.calls.push_back(call);
    }

    bool EndBody(int body, BODY_STATE& state, const LEXED_TOKEN& token) {
        if (token.kind != Tok::RBrace) return Stop("body", token);
        out.bodies[static_cast<size_t>(body)].close = token.begin;
        if (!Advance()) return false;
        braces.pop_back();
        if (state.callPending) EmitCall(body, state);
        return true;
    }

    bool ReadBody(int box) {
        out.bodies.emplace_back();
        const int body = static_cast<int>(out.bodies.size()) - 1;
        out.bodies.back().box = box;
        out.boxes[static_cast<size_t>(box)].bodies.push_back(body);
        if (Peek().kind == Tok::Condition && !ReadConditions(body)) return false;
        const LEXED_TOKEN open = Peek();
        if (open.kind != Tok::LBrace) return Stop("body-open", open);
        out.bodies[static_cast<size_t>(body)].open = open.begin;
        if (!Advance()) return false;
        braces.push_back(open.begin);
        const OUTLINE_BOX& owner = out.boxes[static_cast<size_t>(box)];
        if (owner.bodies.size() == 1) {
            for (size_t i = 0; i < owner.letters.size(); ++i) Append(body, {ItemKind::Quiet, -1, open.begin});
        }

        BODY_STATE state;
        for (;;) {
            const LEXED_TOKEN token = Peek();
            if (!CanBeginElement(token.kind)) return EndBody(body, state, token);
            if (token.kind == Tok::Number || token.kind == Tok::Note) {
                if (state.callPending) {
                    EmitCall(body, state);
                    state.squashIndex = static_cast<int>(state.callArgs.size()) - 1;
                }
                if (state.callArgs.empty()) return Stop("squash", token);
                state.callArgs.push_back(token.kind == Tok::Note ? "#" + token.text : token.text);
                if (state.squashIndex >= 0 && state.squashIndex < static_cast<int>(state.callArgs.size())) {
                    state.callArgs.erase(state.callArgs.begin() + state.squashIndex);
                }
                state.callPending = true;
                if (!Advance()) return false;
                continue;
            }
            if (token.kind == Tok::Colon) {
                if (--state.squashIndex < 0) return Stop("colon", token);
                state.callPending = false;
                if (!Advance()) return false;
                continue;
            }
            if (state.callPending) {
                EmitCall(body, state);
                state.squashIndex = static_cast<int>(state.callArgs.size()) - 1;
            }
            state.callPending = false;

            bool ok = true;
            switch (token.kind) {
                case Tok::Backquote: {
                    if (!Advance(LexMode::Backquote)) return false;
                    bool finished = false;
                    ok = ReadBackquoted(body, state, finished);
                    if (!ok || finished) return ok;
                    break;
                }
                case Tok::Question:
                    Append(body, {ItemKind::Sound, -1, token.begin});
                    ok = Advance();
                    break;
                case Tok::Ident:
                case Tok::LBracket:
                    ok = ReadCall(body, state);
                    break;
                case Tok::LBrace:
                case Tok::Condition:
                    ok = ReadBoxDefinition(body);
                    break;
                case Tok::Label:
                    ok = ReadLabel(body);
                    break;
                default:
                    ok = ReadCommand(body);
                    break;
            }
            if (!ok) return false;
        }
    }

    bool ReadBackquoted(int body, BODY_STATE& state, bool& finished) {
        for (;;) {
            const LEXED_TOKEN token = Peek(LexMode::Backquote);
            if (!CanBeginElement(token.kind)) {
                finished = true;
                return EndBody(body, state, token);
            }
            if (!Advance(LexMode::Backquote)) return false;
            switch (token.kind) {
                case Tok::Backquote:
                    return true;
                case Tok::BqDigit:
                case Tok::Question:
                    Append(body, {ItemKind::Sound, -1, token.begin});
                    break;
                case Tok::Ident: {
                    OUTLINE_CALL call;
                    call.name = token.text;
                    const auto found = defined.find(token.text);
                    call.callee = found == defined.end() ? -1 : found->second;
                    call.body = body;
                    call.at = token.begin;
                    call.end = token.end;
                    call.backquoted = true;
                    if (call.callee >= 0) Append(body, {ItemKind::Call, call.callee, token.begin});
                    out.calls.push_back(call);
                    break;
                }
                default:
                    return Stop("body", token);
            }
        }
    }

    bool ReadCall(int body, BODY_STATE& state) {
        OUTLINE_BOX header;
        state.callArgs.clear();
        state.callAt = Peek().begin;
        const bool ok = ReadBoxHeader(header);
        state.callName = header.name;
        state.callArgs = header.parameters;
        if (!ok) return false;
        if (defined.count(header.name) == 0) {
            OUTLINE_CALL call;
            call.name = header.name;
            call.arguments = header.parameters;
            call.body = body;
            call.pushed = PushedArguments(header.parameters);
            call.at = state.callAt;
            call.end = cursor;
            out.calls.push_back(call);
            return Stop("call", Peek(), header.name);
        }
        EmitCall(body, state);
        state.squashIndex = static_cast<int>(state.callArgs.size()) - 1;
        return true;
    }

    bool ReadLabel(int body) {
        const LEXED_TOKEN label = Peek();
        if (!Advance()) return false;
        OUTLINE_BODY& target = out.bodies[static_cast<size_t>(body)];
        if (label.text == "loop") {
            target.looping = true;
            target.loopPending = true;
            target.loopLabel = label.begin;
        } else {
            target.releasePending = true;
        }
        return true;
    }

    bool ReadCommand(int body) {
        const LEXED_TOKEN command = Peek();
        if (!Advance()) return false;
        if (command.kind == Tok::Percent) {
            if (Peek().kind != Tok::Equals) return Stop("assignment", Peek());
            if (!Advance() || !SkipExpression()) return false;
            Append(body, {ItemKind::Quiet, -1, command.begin});
            return true;
        }
        const std::string& word = command.text;
        struct VALUE_STEP {
            const char* word;
            ItemKind kind;
        };
        static const VALUE_STEP kValueSteps[] = {
            {"fadeout", ItemKind::Quiet}, {"fadein", ItemKind::Quiet}, {"vol", ItemKind::Quiet},
            {"sqr", ItemKind::Sound},     {"saw", ItemKind::Sound},    {"noise5", ItemKind::Sound},
            {"noise17e", ItemKind::Sound}, {"out", ItemKind::Sound},
        };
        for (const VALUE_STEP& step : kValueSteps) {
            if (word != step.word) continue;
            CONSTANT value;
            if (!ReadConstant(value)) return false;
            if (value.value.kind == Tok::Ident || value.value.kind == Tok::String) {
                out.values.push_back({word, value.value, value.prefix});
            }
            if (word == "fadeout" && !value.closed) return Stop("fadeout", Peek());
            Append(body, {step.kind, -1, command.begin});
            return true;
        }
        if (word == "own" || word == "spawn") {
            Append(body, {ItemKind::Quiet, -1, command.begin});
        } else if (word == "print" || word == "push") {
            if (Peek().kind != Tok::LParen) return Stop("expression-open", Peek(), word);
            if (!Advance() || !SkipExpression()) return false;
            if (Peek().kind != Tok::RParen) return Stop("expression-close", Peek(), word);
            if (!Advance()) return false;
            Append(body, {ItemKind::Quiet, -1, command.begin});
        } else if (word == "pop") {
            CONSTANT value;
            if (!ReadConstant(value)) return false;
            if (value.value.kind != Tok::Percent) return Stop("pop", value.value);
            Append(body, {ItemKind::Quiet, -1, command.begin});
        }
        return true;
    }

    bool ReadConditions(int body) {
        for (LEXED_TOKEN keyword = Peek(); keyword.kind == Tok::Condition; keyword = Peek()) {
            if (!Advance()) return false;
            CONSTANT value;
            if (!ReadConstant(value)) return false;
            if (!value.closed) return Stop("condition", Peek(), keyword.text);
            if (value.value.kind == Tok::Ident || value.value.kind == Tok::String) {
                out.values.push_back({keyword.text, value.value, value.prefix});
            }
            OUTLINE_BODY& target = out.bodies[static_cast<size_t>(body)];
            if (keyword.text == "dur") {
                if (value.value.kind == Tok::Percent) {
                    target.duration = Duration::Unknown;
                } else {
                    target.duration = ValueOf(value) >= 1.0 ? Duration::Positive : Duration::Zero;
                }
            } else {
                target.whileCondition = keyword.text == "while";
            }
        }
        return true;
    }

    bool SkipExpression() {
        if (Peek(LexMode::Expr).kind == Tok::DoubleBackslash && !Advance(LexMode::Expr)) return false;
        return SkipSum();
    }

    bool SkipSum() {
        if (!SkipTerm()) return false;
        for (Tok kind = Peek(LexMode::Expr).kind; kind == Tok::Plus || kind == Tok::Minus; kind = Peek(LexMode::Expr).kind) {
            if (!Advance(LexMode::Expr) || !SkipTerm()) return false;
        }
        return true;
    }

    bool SkipTerm() {
        if (!SkipUnary()) return false;
        for (Tok kind = Peek(LexMode::Expr).kind; kind == Tok::Star || kind == Tok::Slash || kind == Tok::Backslash;
             kind = Peek(LexMode::Expr).kind) {
            if (!Advance(LexMode::Expr) || !SkipUnary()) return false;
        }
        return true;
    }

    bool SkipUnary() {
        const Tok kind = Peek(LexMode::Expr).kind;
        if ((IsUnitPrefix(kind) || kind == Tok::Underscore) && !Advance(LexMode::Expr)) return false;
        return SkipPrimary();
    }

    bool SkipPrimary() {
        const LEXED_TOKEN token = Peek(LexMode::Expr);
        switch (token.kind) {
            case Tok::Sin2pi:
                if (!Advance(LexMode::Expr)) return false;
                if (Peek(LexMode::Expr).kind != Tok::LParen) return Stop("expression-open", Peek(LexMode::Expr), "sin2pi");
                [[fallthrough]];
            case Tok::LParen: {
                if (nesting >= kMaxNesting) return Stop("nesting", token);
                ++nesting;
                const bool inner = Advance(LexMode::Expr) && SkipExpression();
                --nesting;
                if (!inner) return false;
                if (Peek(LexMode::Expr).kind != Tok::RParen) return Stop("expression-close", Peek(LexMode::Expr));
                return Advance(LexMode::Expr);
            }
            case Tok::Number:
            case Tok::Note:
            case Tok::Percent:
            case Tok::Fail:
            case Tok::Question:
                return Advance(LexMode::Expr);
            default:
                return Stop("expression", token);
        }
    }

    SCRIPT_OUTLINE& out;
    std::string_view src;
    size_t cursor = 0;
    int sampleRate;
    float bpm = 120.0f;
    int nesting = 0;
    std::map<std::string, int> defined;
    std::map<int, std::string> keyMap;
    std::vector<size_t> braces;
};

}  // namespace

SCRIPT_OUTLINE ReadOutline(const std::string& text, int sampleRate) {
    SCRIPT_OUTLINE outline;
    const size_t nul = text.find('\0');
    outline.source = text.substr(0, nul);
    outline.nulAt = nul == std::string::npos ? kNoOffset : nul;
    COutlineReader(outline, sampleRate).Read();
    return outline;
}

int PushedArguments(const std::vector<std::string>& arguments) {
    int pushed = 0;
    for (const std::string& argument : arguments) {
        const std::string text = argument + " ";
        const Tok first = ScanToken(text, 0, LexMode::Expr).kind;
        if (first == Tok::Number || first == Tok::Percent || first == Tok::Note || first == Tok::Hash) ++pushed;
    }
    return pushed;
}

START_TEXT ReadStartText(const std::string& text) {
    SCRIPT_OUTLINE outline;
    outline.source = text + " ";
    OUTLINE_BOX header;
    START_TEXT start;
    start.complete = COutlineReader(outline, 48000).ReadHeader(header);
    start.name = header.name;
    start.arguments = header.parameters;
    start.pushed = PushedArguments(header.parameters);
    return start;
}

void LineColumnOf(const std::string& source, size_t offset, int& line, int& column) {
    line = 1;
    column = 1;
    for (size_t i = 0; i < offset && i < source.size(); ++i) {
        if (source[i] == '\n') {
            ++line;
            column = 1;
        } else if (source[i] != '\r') {
            ++column;
        }
    }
}

size_t OffsetOf(const std::string& source, int line, int column) {
    int currentLine = 1;
    int currentColumn = 1;
    size_t i = 0;
    for (; i < source.size(); ++i) {
        if (currentLine == line && currentColumn >= column) break;
        if (source[i] == '\n') {
            if (currentLine == line) break;
            ++currentLine;
            currentColumn = 1;
        } else if (source[i] != '\r') {
            ++currentColumn;
        }
    }
    return i;
}

}  // namespace morvanel::tool
