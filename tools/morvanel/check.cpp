// `morvanel check`: compile and lint scripts, and report in compiler form or as JSON.
#include <cstdio>

#include "commands.h"
#include "explain.h"
#include "report_json.h"
#include "session.h"

namespace morvanel::tool {

int RunCheck(const CheckOptions& options, OutputRouting& routing) {
    int status = 0;
    std::vector<CHECKED_SCRIPT> checked;
    for (const std::string& path : options.scripts) {
        CHECKED_SCRIPT script;
        script.path = path != "-" ? path : options.stdinName.empty() ? "<stdin>" : options.stdinName;
        std::string text;
        if (!ReadScript(path, text, script.readError)) {
            std::fprintf(stderr, "morvanel: cannot read '%s': %s\n", script.path.c_str(), script.readError.c_str());
            status = 1;
        } else {
            script.analysis = AnalyseScript(text, options.rate, routing, true);
            for (const Diagnostic& diagnostic : script.analysis.diagnostics) {
                PrintDiagnostic(stderr, script.path, script.analysis.outline.source, diagnostic);
            }
            if (!script.analysis.compiled.succeeded || (options.werror && script.analysis.warnings > 0)) status = 1;
        }
        if (options.json) checked.push_back(std::move(script));
    }
    if (options.json) {
        std::fputs(FormatCheckReport(checked).c_str(), routing.Results());
        std::fflush(routing.Results());
    }
    return status;
}

}  // namespace morvanel::tool
