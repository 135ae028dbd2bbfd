// Instance limits: maxinst over a box or its group.
#include <algorithm>
#include <utility>
#include <vector>

#include "runtime/player.h"

namespace morvanel {

int32_t CountInstances(const CBox& box, bool wholeGroup) {
    if (wholeGroup && box.groupId != 0) {
        if (box.groupMembers == nullptr) return 0;
        int64_t total = 0;
        for (const CBox* member : *box.groupMembers) total += CountInstances(*member, false);
        return static_cast<int32_t>(std::min<int64_t>(total, INT32_MAX));
    }
    return static_cast<int32_t>(std::min<int64_t>(box.instances.size(), INT32_MAX));
}

void EnforceMaxInstances(CPlayer& player, CBox& box) {
    const int32_t limit = box.maxInstances;
    if (limit <= 0) return;
    int64_t excess = static_cast<int64_t>(CountInstances(box, true)) - limit + 1;
    if (excess <= 0) return;

    // Oldest first across the whole group. Voices, not instances, are kept: retiring one voice
    // destroys instances (and may even free boxes) further down the list. The list reuses the
    // player's room; it grows only past the most instances a group ever had.
    auto& candidates = player.limitCandidates;
    candidates.clear();
    auto collect = [&candidates](const CBox& member) {
        for (const INSTANCE_LINK* link = member.instances.oldest; link != nullptr; link = link->newer) {
            const auto* instance = static_cast<const BOX_INSTANCE_DATA*>(link);
            candidates.emplace_back(instance->instanceId, instance->voice);
        }
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

}  // namespace morvanel
