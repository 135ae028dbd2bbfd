// The parser driver: a script's top level, global commands and box definitions in turn, and the
// parse log. Runs on the audio thread, inside the tick, and allocates freely.
#pragma once

#include <cstdint>
#include <string>

#include "program/program.h"
#include "script/lexer.h"

namespace morvanel {

// Deepest nesting of bodies and of parenthesised expressions a script may use. Real scripts stay
// far below it; it keeps hostile text from exhausting the stack.
constexpr int32_t kMaxNesting = 200;

// What a script does beyond the program it compiles into: the engine answers these.
class CScriptEvents {
public:
    virtual ~CScriptEvents() = default;
    // run(name): posts a voice start of the box.
    virtual void RunBox(const char* boxName) = 0;
    // midikey(low, high, name): maps the keys (within 0..255) to the box and posts a notice per
    // key; false when no box has the name.
    virtual bool MapMidiKeys(int32_t low, int32_t high, const std::string& boxName) = 0;
};

// The program a parse writes into, with its globals, and where its events go.
struct COMPILE_TARGET {
    CProgram& program;
    CNumericVariablesOwner& globalScope;   // global and ccvar declare here
    CNumericVariablesState& globalValues;  // bound after every global command; global() writes here
    CScriptEvents& events;
};

// Compiles `script` into the target and returns the parse log, which ends with the success line
// when everything compiled. The first error ends the parse and keeps what was compiled before it.
std::string ParseScript(COMPILE_TARGET& target, const char* script);

// Parses one global command at its keyword; the position after it, or null to end the parse.
const char* ParseGlobalCommand(COMPILE_TARGET& target, const char* position, ParseContext& context);

}  // namespace morvanel
