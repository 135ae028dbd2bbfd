// Diagnostics of a parse: the "LINE %d COLUMN %d: " line that every compiler message starts with,
// written to standard output (unless the parse is quiet) and kept in the parse's log.
#pragma once

#include "script/lexer.h"

// Lets compilers that know printf formats check the arguments of ReportError.
#if defined(__GNUC__)
#define MORVANEL_PRINTF_FORMAT(formatIndex, firstArgument) __attribute__((format(printf, formatIndex, firstArgument)))
#else
#define MORVANEL_PRINTF_FORMAT(formatIndex, firstArgument)
#endif

namespace morvanel {

// Writes "LINE %d COLUMN %d: " (1-based, at the context's position) and the formatted message to
// standard output and appends both to the log; each piece is cut at 1023 characters.
void ReportError(ParseContext& context, const char* format, ...) MORVANEL_PRINTF_FORMAT(2, 3);

}  // namespace morvanel
