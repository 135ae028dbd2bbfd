// Evaluating compiled expressions on the audio thread.
#pragma once

#include "program/expression.h"
#include "program/units.h"
#include "program/values.h"
#include "vars/variables.h"

namespace morvanel {

// The value of `expression` in `state` (variables) at `clock` (the unit operators give 0 without
// one). Allocates nothing and never recurses; draws random numbers for '?'.
float EvaluateExpression(const EXPRESSION& expression, const CNumericVariablesState* state, const CLOCK* clock);

}  // namespace morvanel
