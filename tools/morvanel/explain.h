// What the tool adds to the compiler's messages, whose text stays as the library writes it: the
// token each one is about, shown with a caret under its source line, and notes that say what to
// change.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "session.h"

namespace morvanel::tool {

// Points each diagnostic at the first token after its reported position and adds notes from the
// outline (the name looked for, "did you mean", an unclosed '{'). When the compiler stopped
// without a message, adds an error that says where and why.
void ExplainDiagnostics(const SCRIPT_OUTLINE& outline, bool succeeded, std::vector<Diagnostic>& diagnostics);

// The closest of `candidates` to `word` when it is close enough to be a likely typo, else "".
std::string SuggestName(const std::string& word, const std::vector<std::string>& candidates);

// "FILE:LINE:COLUMN: error: MESSAGE", then the source line with a caret and the notes.
void PrintDiagnostic(FILE* out, const std::string& file, const std::string& source, const Diagnostic& diagnostic);

// A diagnostic of the tool's own, at the token starting at `at`.
Diagnostic MakeDiagnostic(const std::string& source, Severity severity, size_t at, size_t end, std::string message);

}  // namespace morvanel::tool
