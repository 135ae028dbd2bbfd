// The box registry: named boxes by byte order of name, anonymous boxes of nested bodies, and
// redefinitions that wait for the old box's instances to end.
#include <algorithm>

#include "engine/engine.h"
#include "engine/tables.h"
#include "runtime/voice.h"

namespace morvanel {

namespace {
constexpr int32_t kMidiKeyLimit = kNoteTableSize - 1;
}  // namespace

CBox* CEngine::FindBox(const std::string& name) const {
    auto found = boxes.find(name);
    return found == boxes.end() ? nullptr : found->second;
}

CBox* CEngine::CreateBox(const std::string& name, bool redefine, bool exported, CSequence* parentSequence) {
    EngineGuard guard(sharedStateLock);
    CBox* oldBox = FindBox(name);
    CBox* box = new CBox(this, name, exported, parentSequence);
    if (name.empty()) {
        anonymousBoxes.push_back(box);
    } else if (redefine) {
        auto pending = pendingBoxes.find(name);
        if (pending != pendingBoxes.end()) {
            // Only the newest redefinition takes over; the one it replaces is never referenced.
            CBox* superseded = pending->second;
            pending->second = box;
            DestroyBox(superseded);
        } else {
            pendingBoxes.emplace(name, box);
        }
        if (oldBox != nullptr && oldBox->instances.empty()) ReplacePendingBox(oldBox);
    } else {
        boxes[name] = box;
    }
    if (exported) anyExported = true;
    return box;
}

void CEngine::UnregisterBox(CBox* box) {
    EngineGuard guard(sharedStateLock);
    for (auto entry = boxes.begin(); entry != boxes.end(); ++entry) {
        if (entry->second == box) {
            boxes.erase(entry);
            break;
        }
    }
    anyExported = std::any_of(boxes.begin(), boxes.end(), [](const auto& entry) { return entry.second->exported; });
    auto anonymous = std::find(anonymousBoxes.begin(), anonymousBoxes.end(), box);
    if (anonymous != anonymousBoxes.end()) anonymousBoxes.erase(anonymous);
}

void CEngine::ReplacePendingBox(CBox* oldBox) {
    if (oldBox == nullptr || oldBox->name.empty()) return;
    // Checked before locking: pendingBoxes changes only on this thread.
    auto pending = pendingBoxes.find(oldBox->name);
    if (pending == pendingBoxes.end()) return;

    EngineGuard guard(sharedStateLock);
    CBox* newBox = pending->second;
    const std::string name = oldBox->name;
    boxes[name] = newBox;
    for (auto& [boxName, box] : boxes) RedirectBoxReferences(*box, oldBox, newBox);
    for (CBox* box : anonymousBoxes) RedirectBoxReferences(*box, oldBox, newBox);
    for (auto& [boxName, box] : pendingBoxes) RedirectBoxReferences(*box, oldBox, newBox);
    DestroyBox(oldBox);
    pendingBoxes.erase(name);
}

void CEngine::DestroyBox(CBox* box) {
    if (box == nullptr) return;
    EngineGuard guard(sharedStateLock);
    UnregisterBox(box);
    delete box;  // sequences destroy their nested boxes; the box leaves its group
}

void CEngine::DropAllBoxes() {
    EngineGuard guard(sharedStateLock);
    std::vector<CBox*> named;
    for (auto& [name, box] : boxes) named.push_back(box);
    for (auto& [name, box] : pendingBoxes) named.push_back(box);
    boxes.clear();
    pendingBoxes.clear();
    for (CBox* box : named) DestroyBox(box);
    // Every anonymous box belongs to a sequence of a named box and went with it.
    anonymousBoxes.clear();
    anyExported = false;
}

bool CEngine::MapMidiKeys(int32_t low, int32_t high, const std::string& boxName) {
    if (FindBox(boxName) == nullptr) return false;
    // Keys beyond the note table cannot come from a keyboard; mapping them one by one would let
    // a script fill memory with billions of entries, so the range stops at the table's ends.
    const int32_t first = std::max(std::min(low, high), 0);
    const int32_t last = std::min(std::max(low, high), kMidiKeyLimit);
    EngineGuard guard(sharedStateLock);
    for (int64_t key = first; key <= last; ++key) {
        midiKeys[static_cast<int32_t>(key)] = boxName;
        PostResponse(*this, RESP_MIDIKEY, boxName.c_str(), static_cast<int32_t>(key), 0);
    }
    return true;
}

}  // namespace morvanel
