// Compiling scripts in scratch instances, reading what the compiler reports, and reading script
// files.
#include "session.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <regex>

#include "explain.h"
#include "lint.h"
#include "morvanel.h"
#include "output_routing.h"

namespace morvanel::tool {

namespace {

const char kSuccess[] = "Compilation successful.";
constexpr size_t kMaxScriptBytes = 16u << 20;

Severity SeverityOf(std::string& message) {
    static const char kWarning[] = "WARNING: ";
    static const char kError[] = "ERROR: ";
    if (message.rfind(kWarning, 0) == 0) {
        message.erase(0, sizeof kWarning - 1);
        return Severity::Warning;
    }
    if (message.rfind(kError, 0) == 0) {
        message.erase(0, sizeof kError - 1);
        return Severity::Error;
    }
    if (message.find("is not simulated") != std::string::npos) return Severity::Note;
    return Severity::Error;
}

std::string Trim(std::string text) {
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r' || text.back() == ' ')) text.pop_back();
    return text;
}

// The tool reads scripts with the compiler's grammar; where the two readings part, the notes and
// warnings cannot be trusted, and the tool says so instead of misleading.
void AddOutlineMismatch(SCRIPT_ANALYSIS& analysis) {
    const SCRIPT_OUTLINE& outline = analysis.outline;
    std::string differs;
    if (analysis.compiled.reachedEnd) {
        bool exported = false;
        std::vector<std::string> names;
        for (const auto& [name, box] : outline.named) {
            names.push_back(name);
            exported = exported || outline.boxes[static_cast<size_t>(box)].exported;
        }
        if (!outline.complete) {
            differs = "it stops reading where the compiler goes on";
        } else if (!exported && names != analysis.compiled.boxNames) {
            differs = "it finds other boxes than the compiler";
        }
    } else {
        // The parse ends at its last error; errors before it did not stop it.
        const auto& diagnostics = analysis.compiled.diagnostics;
        const auto last = std::find_if(diagnostics.rbegin(), diagnostics.rend(),
                                       [](const Diagnostic& diagnostic) { return diagnostic.severity == Severity::Error; });
        if (last != diagnostics.rend() && outline.stop.at != OffsetOf(outline.source, last->line, last->column)) {
            differs = "it stops elsewhere than the compiler";
        }
    }
    if (differs.empty()) return;
    Diagnostic note = MakeDiagnostic(outline.source, Severity::Note, 0, 0,
                                     "morvanel read this script differently from the compiler (" + differs +
                                         "): its notes and warnings may be wrong; please report the script");
    note.at = kNoOffset;
    analysis.diagnostics.push_back(std::move(note));
}

}  // namespace

std::vector<Diagnostic> SplitLog(const std::string& log, bool& succeeded) {
    static const std::regex prefix(R"(LINE (\d+) COLUMN (\d+): )");
    std::vector<Diagnostic> diagnostics;
    succeeded = false;
    auto begin = std::sregex_iterator(log.begin(), log.end(), prefix);
    const auto end = std::sregex_iterator();
    for (auto match = begin; match != end; ++match) {
        auto next = match;
        ++next;
        const size_t start = static_cast<size_t>(match->position() + match->length());
        const size_t stop = next == end ? log.size() : static_cast<size_t>(next->position());
        Diagnostic diagnostic;
        diagnostic.line = std::stoi((*match)[1]);
        diagnostic.column = std::stoi((*match)[2]);
        diagnostic.message = Trim(log.substr(start, stop - start));
        if (diagnostic.message.rfind(kSuccess, 0) == 0) {
            succeeded = true;
            continue;
        }
        diagnostic.severity = SeverityOf(diagnostic.message);
        diagnostics.push_back(std::move(diagnostic));
    }
    return diagnostics;
}

std::vector<std::string> BoxNamesOf(const std::string& report) {
    static const std::regex name(R"x("Name": "([^"]*)")x");
    std::vector<std::string> names;
    for (auto match = std::sregex_iterator(report.begin(), report.end(), name); match != std::sregex_iterator(); ++match) {
        names.push_back((*match)[1]);
    }
    return names;
}

CompileResult CompileScript(const std::string& script, int sampleRate) {
    CompileResult result;
    const int instance = NewInstance(sampleRate);
    const int serial = ParseString(script.c_str(), instance);
    float sample = 0.0f;
    GetBuffer(1, &sample, instance);
    const std::string log = GetResponseString(serial, instance);
    result.boxNames = BoxNamesOf(ReportBoxesAsJson(instance));
    DestroyInstance(instance);
    result.diagnostics = SplitLog(log, result.succeeded);
    result.reachedEnd = result.succeeded;
    for (const Diagnostic& diagnostic : result.diagnostics) {
        if (diagnostic.severity == Severity::Error) result.succeeded = false;
    }
    return result;
}

SCRIPT_ANALYSIS AnalyseScript(const std::string& script, int sampleRate, OutputRouting& routing, bool lint) {
    SCRIPT_ANALYSIS analysis;
    routing.Silence();
    analysis.outline = ReadOutline(script, sampleRate);
    analysis.compiled = CompileScript(script, sampleRate);
    analysis.diagnostics = analysis.compiled.diagnostics;
    ExplainDiagnostics(analysis.outline, analysis.compiled.succeeded, analysis.diagnostics);
    AddOutlineMismatch(analysis);
    if (lint && analysis.compiled.succeeded) {
        for (Diagnostic& warning : LintScript(analysis.outline, sampleRate, routing)) {
            analysis.diagnostics.push_back(std::move(warning));
        }
    }
    for (const Diagnostic& diagnostic : analysis.diagnostics) {
        if (diagnostic.severity == Severity::Error) ++analysis.errors;
        if (diagnostic.severity == Severity::Warning) ++analysis.warnings;
    }
    if (analysis.errors > 0) analysis.compiled.succeeded = false;
    return analysis;
}

bool ReadWholeFile(const std::string& path, size_t limit, const char* tooLarge, std::string& bytes,
                   std::string& error) {
    const bool standardInput = path == "-";
    const int fd = standardInput ? STDIN_FILENO : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = std::strerror(errno);
        return false;
    }
    struct stat status {};
    if (fstat(fd, &status) == 0 && S_ISDIR(status.st_mode)) {
        if (!standardInput) close(fd);
        error = std::strerror(EISDIR);
        return false;
    }
    bytes.clear();
    char chunk[65536];
    for (;;) {
        const ssize_t count = read(fd, chunk, sizeof chunk);
        if (count == 0) break;
        if (count < 0) {
            if (errno == EINTR) continue;
            error = std::strerror(errno);
            if (!standardInput) close(fd);
            return false;
        }
        if (bytes.size() + static_cast<size_t>(count) > limit) {
            error = tooLarge;
            if (!standardInput) close(fd);
            return false;
        }
        bytes.append(chunk, static_cast<size_t>(count));
    }
    if (!standardInput) close(fd);
    return true;
}

bool ReadScript(const std::string& path, std::string& text, std::string& error) {
    return ReadWholeFile(path, kMaxScriptBytes, "larger than 16 MiB, more than a script can be", text, error);
}

std::string WithoutRunCommands(const SCRIPT_OUTLINE& outline, std::vector<std::string>& startTexts) {
    std::string text = outline.source;
    for (const OUTLINE_COMMAND& command : outline.commands) {
        if (command.keyword != "run" || command.values.empty()) continue;
        const LEXED_TOKEN& value = command.values.front();
        if (value.kind != Tok::Ident && value.kind != Tok::String) continue;
        startTexts.push_back(value.text);
        for (size_t i = command.at; i < command.end && i < text.size(); ++i) {
            if (text[i] != '\n' && text[i] != '\r') text[i] = ' ';
        }
    }
    return text;
}

}  // namespace morvanel::tool
