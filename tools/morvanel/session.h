// A script compiled in its own instance through the public API, with its diagnostics split out
// of the parse log, explained with notes and joined by the linter's warnings.
#pragma once

#include <string>
#include <vector>

#include "script_outline.h"

namespace morvanel::tool {

class OutputRouting;

enum class Severity { Error, Warning, Note };

// A remark under a diagnostic; `at` is the offset it points at, kNoOffset for none.
struct NOTE {
    std::string text;
    size_t at = kNoOffset;
};

struct Diagnostic {
    int line = 0;    // as reported: the compiler's position, or the token a warning is about
    int column = 0;
    Severity severity = Severity::Error;
    std::string message;
    size_t at = kNoOffset;  // the token shown with a caret
    size_t atEnd = kNoOffset;
    std::vector<NOTE> notes;
};

struct CompileResult {
    bool succeeded = false;   // the parse reached the end of the script without an error
    bool reachedEnd = false;  // the parse reached the end of the script (some errors do not stop it)
    std::vector<Diagnostic> diagnostics;
    std::vector<std::string> boxNames;  // the names in the library's box report
};

struct SCRIPT_ANALYSIS {
    SCRIPT_OUTLINE outline;
    CompileResult compiled;
    std::vector<Diagnostic> diagnostics;  // the compiler's, explained, then the linter's warnings
    int errors = 0;
    int warnings = 0;
};

// Splits a parse log into its diagnostics; the success line is not one of them.
std::vector<Diagnostic> SplitLog(const std::string& log, bool& succeeded);

// The box names listed in a box report.
std::vector<std::string> BoxNamesOf(const std::string& report);

// Compiles `script` in a scratch instance of its own and collects what the compiler said.
CompileResult CompileScript(const std::string& script, int sampleRate);

// Compiles, explains and (when `lint` is set and the script compiles) lints a script. The
// library's printed output is dropped.
SCRIPT_ANALYSIS AnalyseScript(const std::string& script, int sampleRate, OutputRouting& routing, bool lint);

// Reads a whole file of at most `limit` bytes; "-" reads standard input. False with the reason
// ("No such file or directory", "Is a directory", ...) when it cannot, `tooLarge` over the limit.
bool ReadWholeFile(const std::string& path, size_t limit, const char* tooLarge, std::string& bytes,
                   std::string& error);

// Reads a whole script; "-" reads standard input. False with the reason ("No such file or
// directory", "Is a directory", ...) when it cannot. Texts over 16 MiB are refused.
bool ReadScript(const std::string& path, std::string& text, std::string& error);

// The script text with its run commands blanked out (same length, same line breaks), and the
// start texts those commands give, in order.
std::string WithoutRunCommands(const SCRIPT_OUTLINE& outline, std::vector<std::string>& startTexts);

}  // namespace morvanel::tool
