// The linter: warnings read from the outline, and a short dry render that finds calls nested
// deeper than the engine plays.
#include "lint.h"

#include <algorithm>
#include <chrono>
#include <set>

#include "explain.h"
#include "morvanel.h"
#include "output_routing.h"

namespace morvanel::tool {

namespace {

constexpr int kEndlessDepth = 1 << 20;
// Each outermost box plays for a tenth of a second in the dry render. Scripts with so many boxes
// that this would pass kDryRenderBudget samples, or boxes so slow that it would pass
// kDryRenderTime, leave the rest to the reading of the call graph, which finds the same depths.
constexpr int kDryRenderDivisor = 10;
constexpr int64_t kDryRenderBudget = 4'000'000;
constexpr auto kDryRenderTime = std::chrono::seconds(3);

// Walks the call graph depth first without recursion (a script can chain thousands of boxes):
// `finish(box, cyclic)` runs once every callee of `box` has finished; `cyclic` tells that one of
// them leads back to a box still being walked, so the calls never bottom out.
template <typename Callees, typename Finish>
void WalkCalls(size_t boxCount, Callees callees, Finish finish) {
    enum : char { kNew, kOpen, kDone };
    std::vector<char> state(boxCount, kNew);
    struct FRAME {
        int box;
        std::vector<int> callees;
        size_t next = 0;
        bool cyclic = false;
    };
    std::vector<FRAME> stack;
    for (size_t root = 0; root < boxCount; ++root) {
        if (state[root] != kNew) continue;
        stack.push_back({static_cast<int>(root), callees(static_cast<int>(root))});
        state[root] = kOpen;
        while (!stack.empty()) {
            FRAME& frame = stack.back();
            if (frame.next < frame.callees.size()) {
                const int callee = frame.callees[frame.next++];
                if (state[static_cast<size_t>(callee)] == kOpen) {
                    frame.cyclic = true;
                } else if (state[static_cast<size_t>(callee)] == kNew) {
                    state[static_cast<size_t>(callee)] = kOpen;
                    stack.push_back({callee, callees(callee)});
                }
                continue;
            }
            finish(frame.box, frame.cyclic);
            state[static_cast<size_t>(frame.box)] = kDone;
            stack.pop_back();
        }
    }
}

// Which boxes take time when called: their first body lasts (its dur says so, or an item plays).
class CTimeFinder {
public:
    explicit CTimeFinder(const SCRIPT_OUTLINE& outline) : outline(outline), takes(outline.boxes.size()) {
        auto callees = [&](int box) {
            std::vector<int> called;
            const OUTLINE_BOX& record = outline.boxes[static_cast<size_t>(box)];
            if (record.bodies.empty()) return called;
            for (const OUTLINE_ITEM& item : outline.bodies[static_cast<size_t>(record.bodies.front())].items) {
                if (item.kind == ItemKind::Call && item.box >= 0) called.push_back(item.box);
            }
            return called;
        };
        // A box that calls itself is taken to play, so that only certain silences are reported.
        WalkCalls(outline.boxes.size(), callees, [&](int box, bool cyclic) {
            const OUTLINE_BOX& record = outline.boxes[static_cast<size_t>(box)];
            takes[static_cast<size_t>(box)] = cyclic || (!record.bodies.empty() && Body(record.bodies.front()));
        });
    }

    bool Box(int box) const { return takes[static_cast<size_t>(box)]; }

    bool Body(int body) const {
        const OUTLINE_BODY& record = outline.bodies[static_cast<size_t>(body)];
        if (record.duration == Duration::Positive || record.duration == Duration::Unknown) return true;
        if (record.duration == Duration::Zero) return false;
        return Items(body, 0, record.items.size());
    }

    // Whether items [from, to) of a body play at least one sample.
    bool Items(int body, size_t from, size_t to) const {
        const OUTLINE_BODY& record = outline.bodies[static_cast<size_t>(body)];
        for (size_t i = from; i < to && i < record.items.size(); ++i) {
            const OUTLINE_ITEM& item = record.items[i];
            if (item.kind == ItemKind::Sound) return true;
            if (item.kind == ItemKind::Call && item.box >= 0 && Box(item.box)) return true;
        }
        return false;
    }

private:
    const SCRIPT_OUTLINE& outline;
    std::vector<bool> takes;
};

// The deepest chain of calls under each box, with the callee that leads down it.
class CDepthFinder {
public:
    explicit CDepthFinder(const SCRIPT_OUTLINE& outline)
        : outline(outline), depth(outline.boxes.size()), next(outline.boxes.size(), -1) {
        auto callees = [&](int box) {
            std::vector<int> called;
            for (int body : outline.boxes[static_cast<size_t>(box)].bodies) {
                for (const OUTLINE_ITEM& item : outline.bodies[static_cast<size_t>(body)].items) {
                    if (item.kind == ItemKind::Call && item.box >= 0) called.push_back(item.box);
                }
            }
            return called;
        };
        WalkCalls(outline.boxes.size(), callees, [&](int box, bool cyclic) {
            int deepest = cyclic ? kEndlessDepth : 0;
            for (int callee : callees(box)) {
                const int below = std::min(depth[static_cast<size_t>(callee)], kEndlessDepth - 1) + 1;
                if (below > deepest || (cyclic && next[static_cast<size_t>(box)] < 0)) {
                    deepest = std::max(deepest, below);
                    next[static_cast<size_t>(box)] = callee;
                }
            }
            depth[static_cast<size_t>(box)] = deepest;
        });
    }

    int Depth(int box) const { return depth[static_cast<size_t>(box)]; }

    // "a -> b -> { } -> c", at most `limit` steps.
    std::string Chain(int box, int limit) const {
        std::string chain;
        std::set<int> seen;
        for (int step = 0; box >= 0 && step < limit; ++step) {
            const OUTLINE_BOX& record = outline.boxes[static_cast<size_t>(box)];
            if (!chain.empty()) chain += " -> ";
            chain += record.name.empty() ? "{ }" : record.name;
            if (!seen.insert(box).second) return chain;
            box = next[static_cast<size_t>(box)];
        }
        if (box >= 0) chain += " -> ...";
        return chain;
    }

private:
    const SCRIPT_OUTLINE& outline;
    std::vector<int> depth;
    std::vector<int> next;
};

std::string Quoted(const std::string& name) { return "'" + name + "'"; }

std::vector<std::string> NamedBoxes(const SCRIPT_OUTLINE& outline) {
    std::vector<std::string> names;
    for (const auto& [name, box] : outline.named) names.push_back(name);
    return names;
}

std::string EffectOfZero(const std::string& command) {
    if (command == "sqr" || command == "saw" || command == "noise5" || command == "noise17e") {
        return "a period of 0 plays silence";
    }
    if (command == "out") return "it plays 0";
    if (command == "vol") return "the volume becomes 0";
    if (command == "fadein" || command == "fadeout") return "the fade takes 0 samples";
    if (command == "dur") return "the body lasts 0 samples";
    return "the condition is always false";
}

void LintValues(const SCRIPT_OUTLINE& outline, std::vector<Diagnostic>& warnings) {
    for (const OUTLINE_VALUE& value : outline.values) {
        const std::string written = outline.source.substr(value.token.begin, value.token.end - value.token.begin);
        const std::string shown = value.token.kind == Tok::Ident ? Quoted(written) : written;
        Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, value.token.begin, value.token.end,
                                            shown + " is not a number, a note or a variable, so " + value.command +
                                                "(" + written + ") reads it as 0: " + EffectOfZero(value.command));
        if (value.token.kind == Tok::Ident && LooksLikeNoteName(value.token.text) && !IsNoteName(value.token.text)) {
            warning.notes.push_back({Quoted(value.token.text) + " is not a note name: note names are a letter from a to "
                                     "g, an optional # or b, and one octave digit (a4, c#5, eb3)"});
        }
        warnings.push_back(std::move(warning));
    }
}

void LintCalls(const SCRIPT_OUTLINE& outline, std::vector<Diagnostic>& warnings) {
    std::set<size_t> reported;
    for (const OUTLINE_CALL& call : outline.calls) {
        if (!reported.insert(call.at).second) continue;
        if (call.backquoted) {
            if (call.callee >= 0) continue;
            Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, call.at, call.end,
                                                Quoted(call.name) + " in a drawn waveform names no box defined above "
                                                "it, so it plays nothing");
            const auto later = outline.named.find(call.name);
            if (later != outline.named.end()) {
                warning.notes.push_back({"the box " + Quoted(call.name) + " is defined below: move its definition "
                                         "above this line", outline.boxes[static_cast<size_t>(later->second)].at});
            }
            warnings.push_back(std::move(warning));
            continue;
        }
        if (call.callee < 0) continue;  // the compiler already stopped there
        const OUTLINE_BOX& callee = outline.boxes[static_cast<size_t>(call.callee)];
        const std::string problem = ArgumentCountProblem(callee, call.pushed, "this call");
        if (problem.empty()) continue;
        Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, call.at, call.end, problem);
        for (const std::string& argument : call.arguments) {
            if (argument.empty() || argument[0] == '#' || argument[0] == '%' || (argument[0] >= '0' && argument[0] <= '9') ||
                argument[0] == '.') {
                continue;
            }
            std::string note = Quoted(argument) + " is a name, not a value, so it passes nothing";
            if (LooksLikeNoteName(argument) && !IsNoteName(argument)) note += " (it is not a note name either)";
            warning.notes.push_back({note});
        }
        warnings.push_back(std::move(warning));
    }
}

void LintStarts(const SCRIPT_OUTLINE& outline, std::vector<Diagnostic>& warnings) {
    for (const OUTLINE_COMMAND& command : outline.commands) {
        if (command.values.empty()) continue;
        const LEXED_TOKEN& value = command.values.back();
        if (command.keyword == "midikey" && (value.kind == Tok::Ident || value.kind == Tok::String)) {
            const auto box = outline.named.find(value.text);
            if (box == outline.named.end()) continue;
            const std::string problem = ArgumentCountProblem(outline.boxes[static_cast<size_t>(box->second)], 0, "a MIDI key");
            if (!problem.empty()) {
                Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, value.begin, value.end, problem);
                warning.notes.push_back({"a voice started from a key has the note in %n and the velocity in %v"});
                warnings.push_back(std::move(warning));
            }
            continue;
        }
        if (command.keyword != "run" || (value.kind != Tok::Ident && value.kind != Tok::String)) continue;
        const START_TEXT start = ReadStartText(value.text);
        const std::string run = "run(" + outline.source.substr(value.begin, value.end - value.begin) + ")";
        std::string message;
        std::vector<NOTE> notes;
        const auto box = outline.named.find(start.name);
        if (value.text.size() > kMaxStartText) {
            message = run + " starts nothing: a start text holds at most " + std::to_string(kMaxStartText) +
                      " characters and this one has " + std::to_string(value.text.size());
        } else if (box == outline.named.end()) {
            message = run + " starts nothing: this script defines no box named " + Quoted(start.name);
            const std::string suggestion = SuggestName(start.name, NamedBoxes(outline));
            if (!suggestion.empty()) notes.push_back({"did you mean " + Quoted(suggestion) + "?"});
        } else {
            message = ArgumentCountProblem(outline.boxes[static_cast<size_t>(box->second)], start.pushed, run.c_str());
        }
        if (message.empty()) continue;
        Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, value.begin, value.end, message);
        warning.notes = std::move(notes);
        warnings.push_back(std::move(warning));
    }
}

void LintLoops(const SCRIPT_OUTLINE& outline, std::vector<Diagnostic>& warnings) {
    const CTimeFinder time(outline);
    for (size_t index = 0; index < outline.bodies.size(); ++index) {
        const OUTLINE_BODY& body = outline.bodies[index];
        if (!body.looping || body.whileCondition) continue;
        const size_t from = static_cast<size_t>(body.loopIndex);
        const size_t to = body.releaseIndex > body.loopIndex ? static_cast<size_t>(body.releaseIndex) : body.items.size();
        // A loop over no item at all ends the body at once: nothing repeats.
        if (from >= to) continue;
        if (time.Items(static_cast<int>(index), from, to)) continue;
        const size_t at = body.loopLabel != kNoOffset ? body.loopLabel : body.open;
        Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, at, at + 5,
                                            "this loop makes no samples: on every sample it runs until the engine's "
                                            "work limit and plays silence");
        warning.notes.push_back({"put a step that plays a sample (sqr, saw, noise5, noise17e, out, ?, a drawn "
                                 "waveform, or a call of a box that plays) between @loop and the end of the body"});
        warnings.push_back(std::move(warning));
    }
}

// The named box a body belongs to, through nested bodies.
int NamedOwner(const SCRIPT_OUTLINE& outline, int body) {
    int box = outline.bodies[static_cast<size_t>(body)].box;
    while (box >= 0 && outline.boxes[static_cast<size_t>(box)].enclosingBody >= 0) {
        box = outline.bodies[static_cast<size_t>(outline.boxes[static_cast<size_t>(box)].enclosingBody)].box;
    }
    return box;
}

// The boxes a host or a run command starts: those no other box calls, and those run starts.
std::vector<int> OutermostBoxes(const SCRIPT_OUTLINE& outline) {
    std::vector<bool> called(outline.boxes.size());
    for (const OUTLINE_CALL& call : outline.calls) {
        if (call.callee >= 0 && NamedOwner(outline, call.body) != call.callee) called[static_cast<size_t>(call.callee)] = true;
    }
    for (const OUTLINE_COMMAND& command : outline.commands) {
        if (command.keyword != "run" || command.values.empty()) continue;
        const auto box = outline.named.find(ReadStartText(command.values.front().text).name);
        if (box != outline.named.end()) called[static_cast<size_t>(box->second)] = false;
    }
    std::vector<int> outermost;
    for (const auto& [name, box] : outline.named) {
        if (!called[static_cast<size_t>(box)]) outermost.push_back(box);
    }
    std::sort(outermost.begin(), outermost.end());
    return outermost;
}

// Box names that run commands start.
std::set<std::string> RunNames(const SCRIPT_OUTLINE& outline) {
    std::set<std::string> names;
    for (const OUTLINE_COMMAND& command : outline.commands) {
        if (command.keyword == "run" && !command.values.empty()) names.insert(ReadStartText(command.values.front().text).name);
    }
    return names;
}

// Boxes whose voice stops the engine within a tenth of a second, played one at a time.
std::set<int> BoxesThatStopTheEngine(const SCRIPT_OUTLINE& outline, const std::vector<int>& boxes, int sampleRate,
                                     OutputRouting& routing) {
    std::set<int> stopping;
    std::vector<std::string> runs;
    const std::string script = WithoutRunCommands(outline, runs);
    const int64_t length = std::max(1, sampleRate / kDryRenderDivisor);
    if (static_cast<int64_t>(boxes.size()) * length > kDryRenderBudget) return stopping;
    routing.Capture();
    float buffer[256];
    int instance = -1;
    auto fresh = [&] {
        if (instance >= 0) DestroyInstance(instance);
        instance = NewInstance(sampleRate);
        ParseString(script.c_str(), instance);
        GetBuffer(1, buffer, instance);
        routing.TakeCaptured();
    };
    fresh();
    const auto started = std::chrono::steady_clock::now();
    for (int box : boxes) {
        if (std::chrono::steady_clock::now() - started > kDryRenderTime) break;
        const std::string& name = outline.boxes[static_cast<size_t>(box)].name;
        if (name.size() > kMaxStartText) continue;
        StartVoice(name.c_str(), instance);
        for (int64_t done = 0; done < length; done += 256) {
            GetBuffer(256, buffer, instance);
            if (MorvanelActiveVoices(instance) == 0) break;
        }
        if (routing.TakeCaptured().find(kDepthWarning) != std::string::npos) {
            stopping.insert(box);
            fresh();
        } else {
            StopAllVoices(instance);
            GetBuffer(1, buffer, instance);
        }
    }
    DestroyInstance(instance);
    routing.Silence();
    return stopping;
}

void LintDepth(const SCRIPT_OUTLINE& outline, int sampleRate, OutputRouting& routing, std::vector<Diagnostic>& warnings) {
    const std::vector<int> outermost = OutermostBoxes(outline);
    const std::set<int> stopping = BoxesThatStopTheEngine(outline, outermost, sampleRate, routing);
    const CDepthFinder depth(outline);
    for (int box : outermost) {
        const int deepest = depth.Depth(box);
        if (deepest <= kDeepestCall && stopping.count(box) == 0) continue;
        const OUTLINE_BOX& record = outline.boxes[static_cast<size_t>(box)];
        std::string message;
        if (deepest >= kEndlessDepth) {
            message = "playing " + Quoted(record.name) + " stops the engine: it calls itself, so its calls nest "
                      "without end, and the engine plays at most " + std::to_string(kDeepestCall) + " levels of calls";
        } else if (deepest > kDeepestCall) {
            message = "playing " + Quoted(record.name) + " stops the engine: its calls nest " + std::to_string(deepest) +
                      " levels deep, and the engine plays at most " + std::to_string(kDeepestCall) +
                      " before it falls silent until the next compile";
        } else {
            message = "playing " + Quoted(record.name) + " for 0.1 s stopped the engine: its calls nested deeper than " +
                      std::to_string(kDeepestCall) + " levels";
        }
        Diagnostic warning = MakeDiagnostic(outline.source, Severity::Warning, record.at, record.at + record.name.size(),
                                            message);
        if (deepest > 0) warning.notes.push_back({"the deepest calls: " + depth.Chain(box, 16)});
        warnings.push_back(std::move(warning));
    }
}

void LintLongNames(const SCRIPT_OUTLINE& outline, std::vector<Diagnostic>& warnings) {
    const std::set<std::string> runs = RunNames(outline);
    for (int box : OutermostBoxes(outline)) {
        const OUTLINE_BOX& record = outline.boxes[static_cast<size_t>(box)];
        // A run of the box has its own warning.
        if (record.name.size() <= kMaxStartText || runs.count(record.name) > 0) continue;
        warnings.push_back(MakeDiagnostic(outline.source, Severity::Warning, record.at, record.at + record.name.size(),
                                          "the box name " + Quoted(record.name) + " has " +
                                              std::to_string(record.name.size()) + " characters: a start text holds at "
                                              "most " + std::to_string(kMaxStartText) + ", so run, StartVoice and MIDI "
                                              "keys cannot start it"));
    }
}

}  // namespace

bool LoopsUntilReleased(const SCRIPT_OUTLINE& outline, int box) {
    const OUTLINE_BOX& record = outline.boxes[static_cast<size_t>(box)];
    if (record.bodies.empty()) return false;
    const OUTLINE_BODY& first = outline.bodies[static_cast<size_t>(record.bodies.front())];
    return first.looping && !first.whileCondition && first.duration == Duration::None;
}

std::string ArgumentCountProblem(const OUTLINE_BOX& box, int given, const char* what) {
    const int expected = static_cast<int>(box.letters.size());
    if (given == expected) return "";
    std::string parameters;
    for (char letter : box.letters) parameters += std::string(parameters.empty() ? "%" : ":%") + letter;
    std::string text = Quoted(box.name) + " takes " + std::to_string(expected) + (expected == 1 ? " argument" : " arguments") +
                       (expected > 0 ? " (" + parameters + ")" : "") + " but " + what + " gives " + std::to_string(given);
    if (given < expected) {
        std::string unset;
        for (int i = 0; i < expected - given; ++i) unset += std::string(unset.empty() ? "%" : ", %") + box.letters[static_cast<size_t>(i)];
        text += ", so " + unset + (expected - given == 1 ? " reads 0" : " read 0");
    } else {
        text += ": the extra values are left on the voice's stack";
    }
    return text;
}

std::vector<Diagnostic> LintScript(const SCRIPT_OUTLINE& outline, int sampleRate, OutputRouting& routing) {
    std::vector<Diagnostic> warnings;
    if (outline.nulAt != kNoOffset) {
        warnings.push_back(MakeDiagnostic(outline.source, Severity::Warning, outline.nulAt, outline.nulAt + 1,
                                          "the script holds a NUL byte here: the compiler reads nothing after it"));
    }
    LintStarts(outline, warnings);
    LintLongNames(outline, warnings);
    LintCalls(outline, warnings);
    LintValues(outline, warnings);
    LintLoops(outline, warnings);
    LintDepth(outline, sampleRate, routing, warnings);
    std::stable_sort(warnings.begin(), warnings.end(), [](const Diagnostic& a, const Diagnostic& b) { return a.at < b.at; });
    return warnings;
}

}  // namespace morvanel::tool
