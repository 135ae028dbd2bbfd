// Box definitions and sequence bodies: headers, bodies, nested bodies, backquoted waveforms, box
// calls with arguments and parameter squashing.
#pragma once

#include <string>
#include <vector>

#include "program/program.h"
#include "script/lexer.h"

namespace morvanel {

// Compiles one definition; `enclosing` is null for a top-level definition and the enclosing
// sequence for a nested body. Returns the cursor after it, or null after reporting an error.
const char* ParseBoxDefinition(CProgram& program, const char* cursor, ParseContext& context, CSequence* enclosing);

// Compiles one body of `box` into a new sequence; the cursor after its '}', or null.
const char* ParseSequenceBody(CProgram& program, const char* cursor, ParseContext& context, CBox* box);

// Appends the pushes of `arguments` and the call of the named box; false when no box has the name.
bool EmitBoxCall(CProgram& program, CSequence& sequence, const std::string& name,
                 const std::vector<std::string>& arguments);

}  // namespace morvanel
