// `morvanel check`: compile scripts and report in compiler form.
#include <cstdio>

#include "commands.h"
#include "session.h"

namespace morvanel::tool {

int RunCheck(const CheckOptions& options, OutputRouting& routing) {
    routing.Silence();
    int status = 0;
    std::vector<std::pair<std::string, std::string>> reports;
    for (const std::string& path : options.scripts) {
        std::string script;
        if (!ReadTextFile(path, script)) {
            std::fprintf(stderr, "morvanel: cannot read '%s'\n", path.c_str());
            status = 1;
            continue;
        }
        const CompileResult result = CompileScript(script, options.rate);
        for (const Diagnostic& diagnostic : result.diagnostics) {
            std::fprintf(stderr, "%s\n", FormatDiagnostic(path, diagnostic).c_str());
        }
        if (!result.succeeded) status = 1;
        reports.emplace_back(path, result.report);
    }
    if (options.json) {
        FILE* out = routing.Results();
        if (reports.size() == 1) {
            std::fputs(reports.front().second.c_str(), out);
        } else {
            // Several scripts: one object, each script's report under its path.
            std::fputs("{", out);
            for (size_t i = 0; i < reports.size(); ++i) {
                std::string key;
                for (char c : reports[i].first) {
                    if (c == '"' || c == '\\') key.push_back('\\');
                    key.push_back(c);
                }
                std::fprintf(out, "%s\n\"%s\": %s", i == 0 ? "" : ",", key.c_str(), reports[i].second.c_str());
            }
            std::fputs("}\n", out);
        }
        std::fflush(out);
    }
    return status;
}

}  // namespace morvanel::tool
