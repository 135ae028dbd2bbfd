// The box registry: named boxes by byte order of name and by the hash of their name, anonymous
// boxes of nested bodies, and redefinitions that wait for the old box's instances to end.
#include <algorithm>

#include "engine/box_report.h"
#include "engine/engine.h"
#include "engine/tables.h"
#include "runtime/voice.h"

namespace morvanel {

namespace {
constexpr int32_t kMidiKeyLimit = kNoteTableSize - 1;

bool AnyExported(const CEngine& engine) {
    return std::any_of(engine.boxes.begin(), engine.boxes.end(),
                       [](const auto& entry) { return entry.second->exported; });
}
}  // namespace

CBox* CEngine::FindBox(std::string_view name) const {
    auto found = boxes.find(name);
    return found == boxes.end() ? nullptr : found->second;
}

CBox* CEngine::PendingBoxFor(std::string_view name) const {
    const CBox* box = FindBox(name);
    return box != nullptr ? box->pending : nullptr;
}

bool CEngine::AnyPendingBox() const {
    return std::any_of(boxes.begin(), boxes.end(), [](const auto& entry) { return entry.second->pending != nullptr; });
}

CBox* CEngine::CreateBox(const std::string& name, bool redefine, bool exported, CSequence* parentSequence) {
    CBox* oldBox = FindBox(name);
    CBox* box = new CBox(this, name, exported, parentSequence);
    if (name.empty()) {
        anonymousBoxes.push_back(box);
    } else if (redefine && oldBox != nullptr) {
        // Only the newest redefinition takes over; the one it replaces is never referenced.
        if (CBox* superseded = std::exchange(oldBox->pending, box)) DestroyBox(superseded);
        if (oldBox->instances.empty()) ReplacePendingBox(oldBox);
    } else {
        auto [entry, inserted] = boxes.insert_or_assign(name, box);
        box->registryEntry = &entry->second;
        boxIndex.Insert(box);
    }
    if (exported) anyExported = true;
    return box;
}

void CEngine::UnregisterBox(CBox* box) {
    if (box->registryEntry != nullptr && *box->registryEntry == box) {
        boxIndex.Remove(box);
        boxes.erase(box->name);
    }
    box->registryEntry = nullptr;
    anyExported = AnyExported(*this);
    auto anonymous = std::find(anonymousBoxes.begin(), anonymousBoxes.end(), box);
    if (anonymous != anonymousBoxes.end()) anonymousBoxes.erase(anonymous);
}

void CEngine::ReplacePendingBox(CBox* oldBox) {
    if (oldBox == nullptr || oldBox->pending == nullptr || oldBox->registryEntry == nullptr) return;
    CBox* newBox = std::exchange(oldBox->pending, nullptr);
    // The name's entry and its index slot now hold the new box: nothing is looked up by name.
    *oldBox->registryEntry = newBox;
    newBox->registryEntry = std::exchange(oldBox->registryEntry, nullptr);
    boxIndex.Replace(oldBox, newBox);
    for (auto& [boxName, box] : boxes) {
        RedirectBoxReferences(*box, oldBox, newBox);
        if (box->pending != nullptr) RedirectBoxReferences(*box->pending, oldBox, newBox);
    }
    for (CBox* box : anonymousBoxes) RedirectBoxReferences(*box, oldBox, newBox);
    anyExported = AnyExported(*this);
    // Freeing the old box would give memory back on the audio thread, mid-play: it waits for the
    // next parse or reset. Nothing refers to it any more.
    oldBox->nextRetired = retiredBoxes;
    retiredBoxes = oldBox;
    PublishBoxReport();
}

void CEngine::FreeRetiredBoxes() {
    while (retiredBoxes != nullptr) {
        CBox* box = retiredBoxes;
        retiredBoxes = box->nextRetired;
        DestroyBox(box);
    }
}

void CEngine::DestroyBox(CBox* box) {
    if (box == nullptr) return;
    UnregisterBox(box);
    if (CBox* waiting = std::exchange(box->pending, nullptr)) DestroyBox(waiting);
    delete box;  // sequences destroy their nested boxes; the box leaves its group
}

void CEngine::DropAllBoxes() {
    FreeRetiredBoxes();
    std::vector<CBox*> named;
    for (auto& [name, box] : boxes) named.push_back(box);
    for (CBox* box : named) DestroyBox(box);
    boxes.clear();
    boxIndex.Clear();
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
    for (int64_t key = first; key <= last; ++key) {
        midiKeys[static_cast<int32_t>(key)] = boxName;
        PostResponse(*this, RESP_MIDIKEY, boxName.c_str(), static_cast<int32_t>(key), 0);
    }
    return true;
}

void CEngine::PublishBoxReport() {
    const size_t length = WriteBoxReport(*this, reportBuffer.get(), kReportBufferSize);
    published.PublishReport(reportBuffer.get(), length);
}

void CEngine::PublishKeyMap() {
    published.BeginKeys();
    for (int32_t key = 0; key < kMidiKeys; ++key) {
        auto mapped = midiKeys.find(key);
        published.PublishKey(key, mapped != midiKeys.end() ? mapped->second.c_str() : nullptr);
    }
    published.EndKeys();
}

void CEngine::PublishGlobals() {
    std::fill(std::begin(globalSlotOfLetter), std::end(globalSlotOfLetter), static_cast<int16_t>(-1));
    for (const auto& [letter, declaration] : declarations) {
        if (declaration.scopeKind != 0) continue;
        const int32_t slot = declaration.targetSlot;
        // Only bound slots that hold their value: SetVariable writes the value and nothing else.
        if (slot >= 0 && slot < kMaxVariableSlots && globalSlots[slot].bound && globalSlots[slot].holdsValue) {
            globalSlotOfLetter[letter] = static_cast<int16_t>(slot);
        }
    }
    published.BeginGlobals();
    for (int letter = 0; letter < 256; ++letter) {
        published.PublishGlobalSlot(static_cast<uint8_t>(letter), globalSlotOfLetter[letter]);
    }
    published.EndGlobals();
}

}  // namespace morvanel
