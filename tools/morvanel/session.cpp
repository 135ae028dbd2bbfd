// Compiling scripts in scratch instances and reading what the compiler reports.
#include "session.h"

#include <fstream>
#include <regex>
#include <sstream>

#include "morvanel.h"

namespace morvanel::tool {

namespace {

const char kSuccess[] = "Compilation successful.";

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
    result.report = ReportBoxesAsJson(instance);
    DestroyInstance(instance);
    result.diagnostics = SplitLog(log, result.succeeded);
    for (const Diagnostic& diagnostic : result.diagnostics) {
        if (diagnostic.severity == Severity::Error) result.succeeded = false;
    }
    result.boxNames = BoxNamesOf(result.report);
    return result;
}

std::string FormatDiagnostic(const std::string& file, const Diagnostic& diagnostic) {
    const char* severity = diagnostic.severity == Severity::Error     ? "error"
                           : diagnostic.severity == Severity::Warning ? "warning"
                                                                      : "note";
    std::ostringstream line;
    line << file << ":" << diagnostic.line << ":" << diagnostic.column << ": " << severity << ": " << diagnostic.message;
    return line.str();
}

bool StartTextNamesBox(const std::string& script, int sampleRate, const std::string& text,
                       const std::vector<std::string>& boxNames) {
    std::string name = text;
    if (!name.empty() && name.front() == '[') name.erase(0, 1);
    name = name.substr(0, name.find_first_of(":*] \t"));
    for (const std::string& known : boxNames) {
        if (known == name) return true;
    }
    // The script's own run commands must not count: stop them before trying the text.
    const int instance = NewInstance(sampleRate);
    ParseString(script.c_str(), instance);
    float sample = 0.0f;
    GetBuffer(1, &sample, instance);
    StopAllVoices(instance);
    StartVoice(text.c_str(), instance);
    GetBuffer(1, &sample, instance);
    const bool playing = MorvanelActiveVoices(instance) > 0;
    DestroyInstance(instance);
    return playing;
}

bool ReadTextFile(const std::string& path, std::string& text) {
    std::ifstream file(path, std::ios::binary);
    if (!file) return false;
    std::ostringstream content;
    content << file.rdbuf();
    if (file.bad()) return false;
    text = content.str();
    return true;
}

}  // namespace morvanel::tool
