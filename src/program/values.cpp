// Reading values with units.
#include "program/values.h"

namespace morvanel {

float EvaluateValueWithUnit(const PARAM_VALUE& value, const CNumericVariablesState* state, const CLOCK* clock) {
    float base;
    switch (value.kind) {
        case VK_FLOAT: base = value.number.asFloat; break;
        case VK_INTEGER: base = static_cast<float>(value.number.asInteger); break;
        case VK_VARIABLE: base = state != nullptr ? ReadSlotAt(*state, value.number.slot) : 0.0f; break;
        default: base = 0.0f; break;
    }
    if (value.unit == VU_PLAIN || value.unit == VU_NEGATED) return value.unit == VU_PLAIN ? base : -base;
    // The remaining units need the rate and tempo of a running engine.
    if (clock == nullptr) return 0.0f;
    return static_cast<float>(ApplyUnit(value.unit, base, *clock));
}

}  // namespace morvanel
