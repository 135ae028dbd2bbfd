// Box definitions and sequence bodies: headers, bodies, nested bodies, backquoted waveforms,
// box calls with arguments and parameter squashing.
#pragma once

#include <string>
#include <vector>

#include "script/lexer.h"

namespace morvanel {

class CBox;
class CEngine;
class CSequence;

// Compiles one definition; `enclosing` is null for a top-level definition and the enclosing
// sequence for a nested body. Returns the cursor after it, or null after reporting an error.
const char* ParseBoxDefinition(CEngine& engine, const char* cursor, ParseContext& context, CSequence* enclosing);

// Compiles one body of `box` into a new sequence; the cursor after its '}', or null.
const char* ParseSequenceBody(CEngine& engine, const char* cursor, ParseContext& context, CBox* box);

// Appends the pushes of `arguments` and the call of the named box; false when no box has the name.
bool EmitBoxCall(CSequence& sequence, const std::string& name, const std::vector<std::string>& arguments);

}  // namespace morvanel
