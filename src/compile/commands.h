// Sequence commands, labels and conditions: each compiles into items or fields of a sequence.
#pragma once

#include "script/lexer.h"

namespace morvanel {

class CEngine;
class CSequence;

// Compiles one command or assignment at its first token; the cursor after it, or null.
const char* ParseCommand(CEngine& engine, const char* cursor, ParseContext& context, CSequence& sequence);

// Consumes an @loop or @release label and marks the next appended item. Never fails.
const char* ParseLabel(const char* cursor, ParseContext& context, CSequence& sequence);

// Reads dur, if and while before a body's '{'; the cursor at the first other token, or null.
const char* ParseConditions(CEngine& engine, const char* cursor, ParseContext& context, CSequence& sequence);

// Compiles `node`'s tree into an item's expression, reporting a tree too deep to evaluate.
struct EXPRESSION;
struct EXPRESSION_NODE;
const EXPRESSION* FinishExpression(const EXPRESSION_NODE& root, ParseContext& context);

}  // namespace morvanel
