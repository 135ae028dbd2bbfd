// The parser driver: the top-level loop over global commands and box definitions.
#include "compile/parser.h"

#include <cstdio>

#include "compile/definition.h"
#include "script/diagnostics.h"

namespace morvanel {

std::string ParseScript(COMPILE_TARGET& target, const char* script) {
    ParseContext context;
    uint32_t parsedBoxes = 0;
    uint32_t parsedCommands = 0;
    const char* cursor = script != nullptr ? script : "";
    for (;;) {
        const int32_t kind = PeekKind(context, cursor, LEX_STMT);
        if (kind == TK_END) {
            ReportError(context, "Compilation successful. Parsed %d boxes and %d commands.\n",
                        static_cast<int>(parsedBoxes), static_cast<int>(parsedCommands));
            break;
        }
        if (kind == TK_IDENT || kind == TK_LBRACKET) {
            cursor = ParseBoxDefinition(target.program, cursor, context, nullptr);
            ++parsedBoxes;
        } else if (kind == TK_GLOBAL_COMMAND) {
            cursor = ParseGlobalCommand(target, cursor, context);
            ++parsedCommands;
        } else {
            ReportError(context, "Syntax error. A global command or a box identifier expected.\n");
            break;
        }
        if (cursor == nullptr) break;
    }
    std::fflush(stdout);
    return std::move(context.log);
}

}  // namespace morvanel
