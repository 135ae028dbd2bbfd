// Registering, replacing and freeing boxes.
#include "program/box_registry.h"

#include <algorithm>
#include <utility>

#include "program/program.h"

namespace morvanel {

CBoxRegistry::~CBoxRegistry() { DropAllBoxes(); }

CBox* CBoxRegistry::FindBox(std::string_view name) const {
    auto found = boxes.find(name);
    return found == boxes.end() ? nullptr : found->second;
}

CBox* CBoxRegistry::PendingBoxFor(std::string_view name) const {
    const CBox* box = FindBox(name);
    return box != nullptr ? box->pending : nullptr;
}

bool CBoxRegistry::AnyPendingBox() const {
    return std::any_of(boxes.begin(), boxes.end(), [](const auto& entry) { return entry.second->pending != nullptr; });
}

// Whether any registered box is exported; a redefinition that is still waiting does not count.
void CBoxRegistry::RecomputeExported() { anyExported = exportedNamed > 0; }

namespace {
void NextGeneration(uint32_t& generation) {
    if (++generation == 0) generation = 1;
}
}  // namespace

CBox* CBoxRegistry::CreateBox(const std::string& name, bool redefine, bool exported, CSequence* parentSequence) {
    NextGeneration(generation);
    CBox* oldBox = FindBox(name);
    CBox* box = new CBox(program, name, exported, parentSequence);
    if (name.empty()) {
        anonymousBoxes.push_back(box);
    } else if (redefine && oldBox != nullptr) {
        // Only the newest redefinition takes over; the one it replaces is never referenced.
        if (CBox* superseded = std::exchange(oldBox->pending, box)) {
            --pendingCount;
            DestroyBox(superseded);
        }
        ++pendingCount;
        if (oldBox->instances.empty()) ReplacePendingBox(oldBox);
    } else {
        auto [entry, inserted] = boxes.insert_or_assign(name, box);
        box->registryEntry = &entry->second;
        index.Insert(box);
        if (exported) ++exportedNamed;
    }
    // An exported redefinition narrows the report at once, although it is not registered yet.
    if (exported) anyExported = true;
    return box;
}

void CBoxRegistry::Unregister(CBox* box) {
    if (box->registryEntry != nullptr && *box->registryEntry == box) {
        index.Remove(box);
        boxes.erase(box->name);
        if (box->exported) --exportedNamed;
    }
    box->registryEntry = nullptr;
    RecomputeExported();
    auto anonymous = std::find(anonymousBoxes.begin(), anonymousBoxes.end(), box);
    if (anonymous != anonymousBoxes.end()) anonymousBoxes.erase(anonymous);
}

bool CBoxRegistry::ReplacePendingBox(CBox* oldBox) {
    if (oldBox == nullptr || oldBox->pending == nullptr || oldBox->registryEntry == nullptr) return false;
    CBox* newBox = std::exchange(oldBox->pending, nullptr);
    --pendingCount;
    NextGeneration(generation);
    // The name's entry and its index slot now hold the new box: nothing is looked up by name.
    *oldBox->registryEntry = newBox;
    newBox->registryEntry = std::exchange(oldBox->registryEntry, nullptr);
    index.Replace(oldBox, newBox);
    exportedNamed += (newBox->exported ? 1 : 0) - (oldBox->exported ? 1 : 0);
    for (auto& [boxName, box] : boxes) {
        RedirectBoxReferences(*box, oldBox, newBox);
        if (box->pending != nullptr) RedirectBoxReferences(*box->pending, oldBox, newBox);
    }
    for (CBox* box : anonymousBoxes) RedirectBoxReferences(*box, oldBox, newBox);
    RecomputeExported();
    // Freeing the old box would give memory back on the audio thread, mid-play: it waits for the
    // next parse or reset. Nothing refers to it any more.
    oldBox->nextRetired = retiredBoxes;
    retiredBoxes = oldBox;
    return true;
}

void CBoxRegistry::WithdrawPending(std::string_view name, CBox* box) {
    CBox* registered = FindBox(name);
    if (registered == nullptr || registered->pending != box) return;
    registered->pending = nullptr;
    --pendingCount;
    DestroyBox(box);
}

void CBoxRegistry::FreeRetiredBoxes() {
    while (retiredBoxes != nullptr) {
        CBox* box = retiredBoxes;
        retiredBoxes = box->nextRetired;
        DestroyBox(box);
    }
}

void CBoxRegistry::DestroyBox(CBox* box) {
    if (box == nullptr) return;
    NextGeneration(generation);
    Unregister(box);
    if (CBox* waiting = std::exchange(box->pending, nullptr)) {
        --pendingCount;
        DestroyBox(waiting);
    }
    delete box;  // sequences destroy their nested boxes; the box leaves its group
}

void CBoxRegistry::DropAllBoxes() {
    FreeRetiredBoxes();
    // Emptied first, so that freeing thousands of boxes does not search the lists for each.
    std::vector<CBox*> named;
    for (auto& [name, box] : boxes) {
        box->registryEntry = nullptr;
        named.push_back(box);
    }
    boxes.clear();
    index.Clear();
    exportedNamed = 0;
    NextGeneration(generation);
    // Every anonymous box belongs to a sequence of a named box and goes with it.
    anonymousBoxes.clear();
    for (CBox* box : named) DestroyBox(box);
    anyExported = false;
}

void RedirectBoxReferences(CBox& box, const CBox* oldBox, CBox* newBox) {
    for (auto& sequence : box.sequences) {
        for (SEQUENCE_ITEM& item : sequence->items) {
            if (item.kind == SI_CALL && item.callee == oldBox) item.callee = newBox;
        }
        // Nested bodies are boxes of their own, listed with the anonymous boxes.
    }
}

}  // namespace morvanel
