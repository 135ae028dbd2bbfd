// Parenthesised constant lists with unit prefixes, compile-time unit folding and the run-time
// reading of a PARAM_VALUE.
#pragma once

#include <string>

#include "compile/param_value.h"
#include "script/lexer.h"
#include "vars/variables.h"

namespace morvanel {

class CEngine;
class CNumericVariablesOwner;
class CNumericVariablesState;

// Reads one list element (the '(' or ',' before it, an optional unit prefix, one value, then ')'
// consumed or ',' left). `owner` declares '%' variables; without one a variable is refused
// silently, so that the caller reports it in its own words. Returns the position after the
// element, or null (after reporting why, except in that case and for a '%' that cannot be lexed).
// Units are folded with the rate and tempo of `engine`; without one they stay as written.
const char* ReadConstant(const CEngine* engine, CNumericVariablesOwner* owner, const char* position,
                         ParseContext& context, int& closed, PARAM_VALUE& value,
                         std::string* writtenText = nullptr);

// Turns a constant with a unit into a plain sample count, in place.
void FoldUnit(PARAM_VALUE& value, const CEngine& engine);

// The value of `value` at run time; variables are read in `state` (0.0 without one) and units
// are applied with the rate and tempo of the state's engine.
float EvaluateValueWithUnit(const PARAM_VALUE& value, const CNumericVariablesState* state);

// The same, with the cases every sample meets (plain numbers and variables) inline.
inline float EvaluateValue(const PARAM_VALUE& value, const CNumericVariablesState* state) {
    if (value.unit == VU_PLAIN) {
        switch (value.kind) {
            case VK_FLOAT: return value.number.asFloat;
            case VK_INTEGER: return static_cast<float>(value.number.asInteger);
            case VK_VARIABLE:
                if (state != nullptr) return ReadSlotAt(*state, value.number.slot);
                break;
            default: break;
        }
    }
    return EvaluateValueWithUnit(value, state);
}

// The integer of a value as box options read it: floats truncated, texts read as C integers.
int32_t IntegerOfValue(const PARAM_VALUE& value);

// The period in samples of `frequency` at `sampleRate`; 0 below 0.1 Hz (and for NaN).
int64_t PeriodOfFrequency(double frequency, int32_t sampleRate);

}  // namespace morvanel
