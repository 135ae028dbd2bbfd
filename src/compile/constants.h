// Parenthesised constant lists with unit prefixes, the folding of a constant's unit into a plain
// sample count, and the integer of a value as box options read it.
#pragma once

#include <string>

#include "program/param_value.h"
#include "program/units.h"
#include "script/lexer.h"
#include "vars/variables.h"

namespace morvanel {

// Reads one list element (the '(' or ',' before it, an optional unit prefix, one value, then ')'
// consumed or ',' left). `owner` declares '%' variables; without one a variable is refused
// silently, so that the caller reports it in its own words. Returns the position after the
// element, or null (after reporting why, except in that case and for a '%' that cannot be lexed).
// Units are folded with `clock`; without one they stay as written.
const char* ReadConstant(const CLOCK* clock, CNumericVariablesOwner* owner, const char* position,
                         ParseContext& context, int& closed, PARAM_VALUE& value,
                         std::string* writtenText = nullptr);

// Turns a constant with a unit into a plain sample count, in place.
void FoldUnit(PARAM_VALUE& value, const CLOCK& clock);

// The integer of a value as box options read it: floats truncated, texts read as C integers.
int32_t IntegerOfValue(const PARAM_VALUE& value);

// The number a number or note token spells, as the C library reads decimal text.
double NumberOfToken(const Token& token);

}  // namespace morvanel
