// The parser driver: top-level constructs, global commands and the diagnostic log.
#pragma once

#include <cstdint>

#include "script/lexer.h"

// Lets GCC and Clang check the format strings of printf-like functions; other compilers skip it.
#if defined(__GNUC__)
#define MORVANEL_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define MORVANEL_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace morvanel {

class CEngine;

// Deepest nesting of bodies and of parenthesised expressions a script may use. Real scripts stay
// far below it; it keeps hostile text from exhausting the stack.
constexpr int32_t kMaxNesting = 200;

// Writes "LINE %d COLUMN %d: " and the formatted message to standard output and appends both to
// the log (each piece cut at 1023 characters).
void ReportError(ParseContext& context, const char* format, ...) MORVANEL_PRINTF_FORMAT(2, 3);

// Audio thread, inside the tick. Compiles `script` into `engine` and posts the parse log as the
// response `serial` (not when serial is 0).
void ParseScript(CEngine& engine, const char* script, int64_t serial);

// Parses one global command at its keyword; the position after it, or null to end the parse.
const char* ParseGlobalCommand(CEngine& engine, const char* position, ParseContext& context);

}  // namespace morvanel
