// A script compiled in its own instance through the public API, with its diagnostics split out
// of the parse log and its box names read from the box report.
#pragma once

#include <string>
#include <vector>

namespace morvanel::tool {

enum class Severity { Error, Warning, Note };

struct Diagnostic {
    int line = 0;
    int column = 0;
    Severity severity = Severity::Error;
    std::string message;
};

struct CompileResult {
    bool succeeded = false;  // the parse reached the end of the script
    std::vector<Diagnostic> diagnostics;
    std::string report;  // the box report JSON
    std::vector<std::string> boxNames;
};

// Splits a parse log into its diagnostics; the success line is not one of them.
std::vector<Diagnostic> SplitLog(const std::string& log, bool& succeeded);

// The box names listed in a box report.
std::vector<std::string> BoxNamesOf(const std::string& report);

// Compiles `script` in a scratch instance of its own and collects what the compiler said.
CompileResult CompileScript(const std::string& script, int sampleRate);

// "FILE:LINE:COLUMN: error: MESSAGE", as compilers write it.
std::string FormatDiagnostic(const std::string& file, const Diagnostic& diagnostic);

// Whether a start text ("name:arg") starts a voice of the script: its name is in the report, or
// (when exported boxes hide the others from the report) a trial start in a scratch instance plays.
bool StartTextNamesBox(const std::string& script, int sampleRate, const std::string& text,
                       const std::vector<std::string>& boxNames);

// Reads a whole file; false when it cannot be read.
bool ReadTextFile(const std::string& path, std::string& text);

}  // namespace morvanel::tool
