// Building the check report with nlohmann::json; names and messages that are not valid UTF-8
// are written with replacement characters rather than refused.
#include "report_json.h"

#include <algorithm>
#include <map>

#include <nlohmann/json.hpp>

namespace morvanel::tool {

namespace {

using Json = nlohmann::ordered_json;

const char* SeverityName(Severity severity) {
    switch (severity) {
        case Severity::Error: return "error";
        case Severity::Warning: return "warning";
        default: return "note";
    }
}

Json Position(const std::string& source, size_t offset) {
    int line = 0;
    int column = 0;
    LineColumnOf(source, offset, line, column);
    return Json{{"line", line}, {"column", column}};
}

Json DiagnosticJson(const std::string& source, const Diagnostic& diagnostic) {
    Json entry{{"line", diagnostic.line},
               {"column", diagnostic.column},
               {"severity", SeverityName(diagnostic.severity)},
               {"message", diagnostic.message}};
    if (diagnostic.at != kNoOffset) entry["token"] = Position(source, diagnostic.at);
    Json notes = Json::array();
    for (const NOTE& note : diagnostic.notes) {
        Json item{{"message", note.text}};
        if (note.at != kNoOffset) item.update(Position(source, note.at));
        notes.push_back(std::move(item));
    }
    entry["notes"] = std::move(notes);
    return entry;
}

Json BoxesJson(const SCRIPT_ANALYSIS& analysis) {
    const SCRIPT_OUTLINE& outline = analysis.outline;
    Json boxes = Json::array();
    std::vector<std::string> listed;
    for (size_t index = 0; index < outline.boxes.size(); ++index) {
        const OUTLINE_BOX& box = outline.boxes[index];
        const auto named = outline.named.find(box.name);
        if (box.name.empty() || named == outline.named.end() || named->second != static_cast<int>(index)) continue;
        Json parameters = Json::array();
        for (char letter : box.letters) parameters.push_back(std::string(1, letter));
        Json entry{{"name", box.name}};
        entry.update(Position(outline.source, box.at));
        entry["parameters"] = std::move(parameters);
        entry["exported"] = box.exported;
        entry["group"] = box.group.empty() ? Json(nullptr) : Json(box.group);
        entry["maxinst"] = box.maxInstances > 0 ? Json(box.maxInstances) : Json(nullptr);
        entry["stopExcess"] = box.stopExcess;
        boxes.push_back(std::move(entry));
        listed.push_back(box.name);
    }
    // Boxes the library reports that the outline did not reach still belong in the list.
    for (const std::string& name : analysis.compiled.boxNames) {
        if (std::find(listed.begin(), listed.end(), name) == listed.end()) boxes.push_back(Json{{"name", name}});
    }
    return boxes;
}

Json GroupsJson(const SCRIPT_OUTLINE& outline) {
    std::map<std::string, Json> groups;
    for (const auto& [name, index] : outline.named) {
        const OUTLINE_BOX& box = outline.boxes[static_cast<size_t>(index)];
        if (box.group.empty()) continue;
        Json& members = groups[box.group];
        if (members.is_null()) members = Json::array();
        members.push_back(name);
    }
    Json list = Json::array();
    for (auto& [name, members] : groups) list.push_back(Json{{"name", name}, {"boxes", std::move(members)}});
    return list;
}

Json ScriptJson(const CHECKED_SCRIPT& script) {
    Json entry{{"path", script.path}};
    if (!script.readError.empty()) {
        entry["compiled"] = false;
        entry["error"] = "cannot read: " + script.readError;
        entry["diagnostics"] = Json::array();
        entry["boxes"] = Json::array();
        entry["groups"] = Json::array();
        entry["midiKeys"] = Json::array();
        return entry;
    }
    const SCRIPT_ANALYSIS& analysis = script.analysis;
    entry["compiled"] = analysis.compiled.succeeded;
    Json diagnostics = Json::array();
    for (const Diagnostic& diagnostic : analysis.diagnostics) {
        diagnostics.push_back(DiagnosticJson(analysis.outline.source, diagnostic));
    }
    entry["diagnostics"] = std::move(diagnostics);
    entry["boxes"] = BoxesJson(analysis);
    entry["groups"] = GroupsJson(analysis.outline);
    Json keys = Json::array();
    for (const KEY_RANGE& range : analysis.outline.keys) {
        keys.push_back(Json{{"low", range.low}, {"high", range.high}, {"box", range.box}});
    }
    entry["midiKeys"] = std::move(keys);
    return entry;
}

}  // namespace

std::string FormatCheckReport(const std::vector<CHECKED_SCRIPT>& scripts) {
    Json files = Json::array();
    for (const CHECKED_SCRIPT& script : scripts) files.push_back(ScriptJson(script));
    const Json report{{"files", std::move(files)}};
    return report.dump(2, ' ', false, Json::error_handler_t::replace) + "\n";
}

}  // namespace morvanel::tool
