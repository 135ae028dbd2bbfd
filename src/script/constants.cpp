// Constant lists, unit folding and value reading.
#include "script/constants.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>

#include "engine/engine.h"
#include "engine/tables.h"
#include "script/parser.h"
#include "vars/numeric_cast.h"
#include "vars/variables.h"

namespace morvanel {

namespace {

int32_t UnitOfPrefix(int32_t prefixKind) {
    switch (prefixKind) {
        case TK_MINUS: return VU_NEGATED;
        case TK_TILDE: return VU_SECONDS;
        case TK_BANG: return VU_BEATS;
        case TK_AT: return VU_HERTZ;
        case TK_HASH: return VU_NOTE;
        default: return VU_PLAIN;
    }
}

// a * b, or the limit on the product's side when it does not fit. The bounds are tested by
// division, so nothing overflows on the way.
int64_t SaturatingMultiply(int64_t a, int64_t b) {
    const bool overflows = a > 0 ? (b > 0 ? a > INT64_MAX / b : b < INT64_MIN / a)
                                 : (b > 0 ? a < INT64_MIN / b : (a != 0 && b < INT64_MAX / a));
    if (overflows) return ((a < 0) != (b < 0)) ? INT64_MIN : INT64_MAX;
    return a * b;
}

}  // namespace

int64_t PeriodOfFrequency(double frequency, int32_t sampleRate) {
    if (!(frequency >= 0.1)) return 0;  // also NaN
    return ToInt64(static_cast<double>(sampleRate) / frequency);
}

const char* ReadConstant(CEngine& engine, CNumericVariablesOwner* owner, const char* position,
                         ParseContext& context, int& closed, PARAM_VALUE& value, std::string* writtenText) {
    const char* cursor = position;
    const int32_t opener = PeekKind(cursor, LEX_STMT);
    if (opener != TK_LPAREN && opener != TK_COMMA) {
        ReportError(context, "Expected '('\n");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (writtenText != nullptr) writtenText->clear();

    Token token;
    int32_t prefixKind = 0;
    NextToken(cursor, token, LEX_EXPR);
    if (token.kind == TK_TILDE || token.kind == TK_BANG || token.kind == TK_AT || token.kind == TK_HASH ||
        token.kind == TK_MINUS) {
        prefixKind = token.kind;
        if (writtenText != nullptr) *writtenText = token.text;
        if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
    }

    NextToken(cursor, token, LEX_STMT);
    const int32_t valueKind = token.kind;
    if (valueKind != TK_NUMBER && valueKind != TK_STRING && valueKind != TK_IDENT && valueKind != TK_PERCENT &&
        valueKind != TK_NOTE) {
        ReportError(context, "(E1) Expected a numeric constant\n");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (writtenText != nullptr) *writtenText += token.text;

    const int32_t closer = PeekKind(cursor, LEX_STMT);
    if (closer == TK_RPAREN) {
        if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
        closed = 1;
    } else if (closer == TK_COMMA) {
        closed = 0;
    } else {
        ReportError(context, "Expected ')' or ','\n");
        return nullptr;
    }

    const int32_t unit = valueKind == TK_NOTE ? VU_NOTE : UnitOfPrefix(prefixKind);
    if (valueKind == TK_PERCENT) {
        if (owner == nullptr) return nullptr;
        const VariableDeclaration* declaration = DeclareVariable(*owner, static_cast<uint8_t>(token.text[1]));
        if (declaration == nullptr) {
            ReportError(context, "Too many variables in one scope (at most %d)\n", kMaxVariableSlots);
            return nullptr;
        }
        value = PARAM_VALUE::Variable(declaration->slot, unit);
    } else if (valueKind == TK_STRING || valueKind == TK_IDENT) {
        char* copy = PARAM_VALUE::CopyText(token.text.c_str());
        delete[] value.text;
        value.kind = VK_TEXT;
        value.text = copy;
    } else {
        const double parsed = std::strtod(token.text.c_str(), nullptr);
        value = PARAM_VALUE::Float(static_cast<float>(parsed), unit);
        FoldUnit(value, engine);
    }
    return cursor;
}

void FoldUnit(PARAM_VALUE& value, const CEngine& engine) {
    if (value.kind != VK_FLOAT && value.kind != VK_INTEGER) return;
    const int32_t rate = engine.sampleRate;
    int64_t result = 0;
    if (value.kind == VK_FLOAT) {
        const float v = value.number.asFloat;
        switch (value.unit) {
            case VU_PLAIN: return;
            case VU_NEGATED: value = PARAM_VALUE::Float(-v); return;
            case VU_SECONDS: result = ToInt64(static_cast<float>(rate) * v); break;
            case VU_BEATS: result = ToInt64(std::floor(static_cast<float>(engine.SamplesPerBeat()) * v)); break;
            case VU_HERTZ: result = PeriodOfFrequency(static_cast<double>(v), rate); break;
            case VU_NOTE: result = PeriodOfFrequency(NoteFrequency(ToInt32(v)), rate); break;
            default: return;
        }
    } else {
        const int64_t i = value.number.asInteger;
        switch (value.unit) {
            case VU_PLAIN: return;
            case VU_NEGATED: value = PARAM_VALUE::Integer(i == INT64_MIN ? INT64_MAX : -i); return;
            case VU_SECONDS: result = SaturatingMultiply(i, rate); break;
            case VU_BEATS: result = SaturatingMultiply(i, engine.SamplesPerBeat()); break;
            case VU_HERTZ: result = PeriodOfFrequency(static_cast<double>(i), rate); break;
            case VU_NOTE: result = PeriodOfFrequency(NoteFrequency(static_cast<int32_t>(static_cast<uint32_t>(i))), rate); break;
            default: return;
        }
    }
    value = PARAM_VALUE::Integer(result);
}

float EvaluateValueWithUnit(const PARAM_VALUE& value, const CNumericVariablesState* state) {
    float base;
    switch (value.kind) {
        case VK_FLOAT: base = value.number.asFloat; break;
        case VK_INTEGER: base = static_cast<float>(value.number.asInteger); break;
        case VK_VARIABLE: base = state != nullptr ? ReadSlotAt(*state, value.number.slot) : 0.0f; break;
        default: base = 0.0f; break;
    }
    switch (value.unit) {
        case VU_PLAIN: return base;
        case VU_NEGATED: return -base;
        default: break;
    }
    // The remaining units need the rate and tempo of a running engine.
    if (state == nullptr || state->engine == nullptr) return 0.0f;
    const CEngine& engine = *state->engine;
    switch (value.unit) {
        case VU_SECONDS: return static_cast<float>(engine.sampleRate) * base;
        case VU_BEATS: return static_cast<float>(engine.SamplesPerBeat()) * base;
        case VU_HERTZ: return static_cast<float>(PeriodOfFrequency(static_cast<double>(base), engine.sampleRate));
        case VU_NOTE: return static_cast<float>(PeriodOfFrequency(NoteFrequency(ToInt32(base)), engine.sampleRate));
        default: return 0.0f;
    }
}

int32_t IntegerOfValue(const PARAM_VALUE& value) {
    switch (value.kind) {
        case VK_FLOAT: return ToInt32(value.number.asFloat);
        case VK_INTEGER: return SaturatingTruncate<int32_t>(static_cast<long double>(value.number.asInteger));
        case VK_TEXT:
        case VK_LITERAL: {
            const char* text = value.TextOrNull();
            if (text == nullptr) return 0;
            errno = 0;
            const long long parsed = std::strtoll(text, nullptr, 10);
            if (parsed > INT32_MAX) return INT32_MAX;
            if (parsed < INT32_MIN) return INT32_MIN;
            return static_cast<int32_t>(parsed);
        }
        default: return 0;
    }
}

}  // namespace morvanel
