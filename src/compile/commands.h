// Sequence commands (value commands, print, push, pop, own, spawn, assignments), labels and the
// conditions dur, if and while: each compiles into items or fields of a sequence.
#pragma once

#include <memory>

#include "program/expression.h"
#include "program/model.h"
#include "program/units.h"
#include "script/lexer.h"

namespace morvanel {

struct EXPRESSION_NODE;

// Compiles one command or assignment at its first token; the cursor after it, or null.
const char* ParseCommand(const CLOCK& clock, const char* cursor, ParseContext& context, CSequence& sequence);

// Consumes an @loop or @release label and marks the next appended item. Never fails.
const char* ParseLabel(const char* cursor, ParseContext& context, CSequence& sequence);

// Reads dur, if and while before a body's '{'; the cursor at the first other token, or null.
const char* ParseConditions(const CLOCK& clock, const char* cursor, ParseContext& context, CSequence& sequence);

// Compiles `root`'s tree into an item's expression, reporting a tree too deep to evaluate.
std::unique_ptr<const EXPRESSION> FinishExpression(const EXPRESSION_NODE& root, ParseContext& context);

}  // namespace morvanel
