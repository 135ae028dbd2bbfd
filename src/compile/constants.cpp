// Constant lists and unit folding.
#include "compile/constants.h"

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdlib>
#include <limits>

#include "program/tables.h"
#include "script/diagnostics.h"
#include "vars/numeric_cast.h"

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

bool IsUnitPrefix(int32_t kind) {
    return kind == TK_TILDE || kind == TK_BANG || kind == TK_AT || kind == TK_HASH || kind == TK_MINUS;
}

// a x b, or the nearest end of the int64 range when the product does not fit.
int64_t SaturatingMultiply(int64_t a, int64_t b) {
    if (a == 0 || b == 0) return 0;
    const bool negative = (a < 0) != (b < 0);
    const uint64_t magnitudeA = a < 0 ? 0 - static_cast<uint64_t>(a) : static_cast<uint64_t>(a);
    const uint64_t magnitudeB = b < 0 ? 0 - static_cast<uint64_t>(b) : static_cast<uint64_t>(b);
    const uint64_t limit = negative ? static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) + 1
                                    : static_cast<uint64_t>(std::numeric_limits<int64_t>::max());
    if (magnitudeA > limit / magnitudeB) return negative ? INT64_MIN : INT64_MAX;
    const uint64_t magnitude = magnitudeA * magnitudeB;
    return negative ? static_cast<int64_t>(0 - magnitude) : static_cast<int64_t>(magnitude);
}

}  // namespace

double NumberOfToken(const Token& token) {
    // The view is not NUL-terminated where it stops: read a copy, so that "1e5" (a number and a
    // note) is read as 1, as its token says.
    return std::strtod(std::string(token.text).c_str(), nullptr);
}

const char* ReadConstant(const CLOCK* clock, CNumericVariablesOwner* owner, const char* position,
                         ParseContext& context, int& closed, PARAM_VALUE& value, std::string* writtenText) {
    const char* cursor = position;
    const int32_t opener = PeekKind(context, cursor, LEX_STMT);
    if (opener != TK_LPAREN && opener != TK_COMMA) {
        ReportError(context, "Expected '('\n");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (writtenText != nullptr) writtenText->clear();

    int32_t prefixKind = 0;
    const Token prefix = PeekToken(context, cursor, LEX_EXPR).token;
    if (IsUnitPrefix(prefix.kind)) {
        prefixKind = prefix.kind;
        if (writtenText != nullptr) *writtenText = prefix.text;
        if (!AdvanceToken(cursor, context, LEX_EXPR)) return nullptr;
    }

    const Token token = PeekToken(context, cursor, LEX_STMT).token;
    const int32_t valueKind = token.kind;
    if (valueKind != TK_NUMBER && valueKind != TK_STRING && valueKind != TK_IDENT && valueKind != TK_PERCENT &&
        valueKind != TK_NOTE) {
        ReportError(context, "(E1) Expected a numeric constant\n");
        return nullptr;
    }
    if (!AdvanceToken(cursor, context, LEX_STMT)) return nullptr;
    if (writtenText != nullptr) *writtenText += TokenText(token);

    const int32_t closer = PeekKind(context, cursor, LEX_STMT);
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
        char* copy = PARAM_VALUE::CopyText(TokenText(token).c_str());
        delete[] value.text;
        value.kind = VK_TEXT;
        value.text = copy;
    } else {
        value = PARAM_VALUE::Float(static_cast<float>(NumberOfToken(token)), unit);
        if (clock != nullptr) FoldUnit(value, *clock);
    }
    return cursor;
}

void FoldUnit(PARAM_VALUE& value, const CLOCK& clock) {
    if (value.kind != VK_FLOAT && value.kind != VK_INTEGER) return;
    if (value.unit == VU_PLAIN) return;
    if (value.kind == VK_FLOAT) {
        const float v = value.number.asFloat;
        if (value.unit == VU_NEGATED) {
            value = PARAM_VALUE::Float(-v);
            return;
        }
        if (value.unit < VU_SECONDS || value.unit > VU_NOTE) return;
        const double samples = ApplyUnit(value.unit, v, clock);
        // A constant's beats are floored before they are truncated (a run-time read is not).
        value = PARAM_VALUE::Integer(ToInt64(value.unit == VU_BEATS ? std::floor(samples) : samples));
        return;
    }
    // Integers keep integer arithmetic, saturating at the ends of the range.
    const int64_t i = value.number.asInteger;
    const int32_t rate = clock.sampleRate;
    int64_t result = 0;
    switch (value.unit) {
        case VU_NEGATED: value = PARAM_VALUE::Integer(i == INT64_MIN ? INT64_MAX : -i); return;
        case VU_SECONDS: result = SaturatingMultiply(i, rate); break;
        case VU_BEATS: result = SaturatingMultiply(i, clock.SamplesPerBeat()); break;
        case VU_HERTZ: result = PeriodOfFrequency(static_cast<double>(i), rate); break;
        case VU_NOTE: result = PeriodOfFrequency(NoteFrequency(static_cast<int32_t>(static_cast<uint32_t>(i))), rate); break;
        default: return;
    }
    value = PARAM_VALUE::Integer(result);
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

