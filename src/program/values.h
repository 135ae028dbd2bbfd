// Reading a compiled value (a PARAM_VALUE): a constant as it is, a variable from a state, with its
// unit applied at the rate and tempo of the moment. The compiler reads constants with it, the
// runtime reads item arguments, durations and conditions every sample.
#pragma once

#include "program/param_value.h"
#include "program/units.h"
#include "vars/variables.h"

namespace morvanel {

// The value of `value`: a variable reads its slot in `state` (0.0 without a state); a unit other
// than plain or negated needs `clock` (0.0 without one).
float EvaluateValueWithUnit(const PARAM_VALUE& value, const CNumericVariablesState* state, const CLOCK* clock);

// The same, with the cases every sample meets (plain numbers and variables) inline.
inline float EvaluateValue(const PARAM_VALUE& value, const CNumericVariablesState* state, const CLOCK* clock) {
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
    return EvaluateValueWithUnit(value, state, clock);
}

}  // namespace morvanel
