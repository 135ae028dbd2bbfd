// Writing diagnostics.
#include "script/diagnostics.h"

#include <cstdarg>
#include <cstdio>

namespace morvanel {

void ReportError(ParseContext& context, const char* format, ...) {
    char prefix[1024];
    std::snprintf(prefix, sizeof prefix, "LINE %d COLUMN %d: ", context.line + 1, context.column + 1);
    char message[1024];
    va_list arguments;
    va_start(arguments, format);
    std::vsnprintf(message, sizeof message, format, arguments);
    va_end(arguments);
    if (!context.quiet) {
        std::fputs(prefix, stdout);
        std::fputs(message, stdout);
    }
    context.log += prefix;
    context.log += message;
}

}  // namespace morvanel
