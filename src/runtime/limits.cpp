// Instance limits (maxinst over a box or its group) and the repointing of call items when a
// redefined box takes over.
#include <algorithm>
#include <utility>
#include <vector>

#include "compile/model.h"
#include "engine/engine.h"
#include "runtime/voice.h"

namespace morvanel {

int32_t CountInstances(const CBox& box, bool wholeGroup) {
    if (wholeGroup && box.groupId != 0) {
        if (box.groupMembers == nullptr) return 0;
        int64_t total = 0;
        for (const CBox* member : *box.groupMembers) total += CountInstances(*member, false);
        return static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
    }
    return static_cast<int32_t>(std::min<size_t>(box.instances.size(), INT32_MAX));
}

void EnforceMaxInstances(CEngine& engine, CBox& box) {
    const int32_t limit = box.maxInstances;
    if (limit <= 0) return;
    int64_t excess = static_cast<int64_t>(CountInstances(box, true)) - limit + 1;
    if (excess <= 0) return;

    // Oldest first across the whole group. Voices, not instances, are kept: retiring one voice
    // destroys instances (and may even free boxes) further down the list. The list reuses the
    // engine's room; it grows only past the most instances a group ever had.
    auto& candidates = engine.limitCandidates;
    candidates.clear();
    auto collect = [&candidates](const CBox& member) {
        for (const auto& [id, instance] : member.instances) candidates.emplace_back(id, instance.voice);
    };
    if (box.groupMembers != nullptr) {
        for (const CBox* member : *box.groupMembers) collect(*member);
    } else {
        collect(box);
    }
    std::sort(candidates.begin(), candidates.end(),
              [](const auto& a, const auto& b) { return a.first < b.first; });

    const bool stop = box.stopExcess;
    for (const auto& [id, voice] : candidates) {
        if (excess <= 0) break;
        if (stop) {
            StopVoice(*voice);
        } else {
            voice->released = 1;
        }
        --excess;
    }
    candidates.clear();
}

void RedirectBoxReferences(CBox& box, const CBox* oldBox, CBox* newBox) {
    for (auto& sequence : box.sequences) {
        for (SEQUENCE_ITEM& item : sequence->items) {
            if (item.kind == SI_CALL && item.target.box == oldBox) item.target.box = newBox;
        }
        // Nested bodies are boxes of their own, listed with the anonymous boxes.
    }
}

}  // namespace morvanel
