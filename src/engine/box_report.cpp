// Building the box report from fixed pieces.
#include "engine/box_report.h"

#include <cstdio>
#include <cstring>

#include "engine/engine.h"

namespace morvanel {

namespace {

// Parameter letters come from single script characters; one that JSON cannot carry raw (a
// quote, a backslash, a control byte such as the NUL a one-character parameter yields) is
// written as an escape so the report stays valid JSON.
void AppendLetter(std::string& out, char letter) {
    const unsigned char byte = static_cast<unsigned char>(letter);
    if (letter == '"' || letter == '\\') {
        out.push_back('\\');
        out.push_back(letter);
    } else if (byte < 0x20 || byte >= 0x7F) {
        char escape[8];
        std::snprintf(escape, sizeof escape, "\\u%04x", byte);
        out += escape;
    } else {
        out.push_back(letter);
    }
}

}  // namespace

std::string BuildBoxReport(const CEngine& engine) {
    std::string report = "[";
    bool first = true;
    for (const auto& [name, box] : engine.boxes) {
        if (engine.anyExported && !box->exported) continue;
        if (!first) report += ",";
        first = false;
        report += "\n";
        report += "  { \"Name\": \"";
        report += name;
        report += "\" ";
        if (!box->paramLetters.empty()) {
            report += ", \"Parameters\": [ ";
            for (size_t i = 0; i < box->paramLetters.size(); ++i) {
                if (i > 0) report += ", ";
                report += "\"";
                AppendLetter(report, box->paramLetters[i]);
                report += "\"";
            }
            report += " ] ";
        }
        report += "}";
    }
    report += "\n]\n";
    return report;
}

void WriteBoxReport(const CEngine& engine, char* destination, int32_t capacity) {
    if (destination == nullptr || capacity <= 0) return;
    destination[0] = '\0';
    const std::string report = BuildBoxReport(engine);
    if (static_cast<int64_t>(report.size()) < static_cast<int64_t>(capacity) - 1) {
        std::memcpy(destination, report.c_str(), report.size() + 1);
    }
}

}  // namespace morvanel
