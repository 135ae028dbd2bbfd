// Working out play facts: a walk over a box's items and, through its call items, the boxes it
// calls, remembered per box for the registry's generation. The walk stops below the deepest level
// the engine plays, so it needs no memory and ends even when boxes call one another in a circle.
#include "runtime/play_facts.h"

#include <algorithm>

namespace morvanel {

namespace {

bool WritesEngineVariable(const CSequence& sequence, int32_t slot) {
    for (const auto& [letter, declaration] : sequence.declarations) {
        if (declaration.slot == slot) return declaration.scopeKind == SCOPE_ENGINE;
    }
    return false;
}

// Parameters a box's first body pops as it starts.
int32_t LeadingPops(const CBox& box) {
    if (box.sequences.empty()) return 0;
    int32_t pops = 0;
    for (const SEQUENCE_ITEM& item : box.sequences.front()->items) {
        if (item.kind != SI_POP) break;
        ++pops;
    }
    return pops;
}

// Whether every push of the sequence belongs to a call right after it whose box pops at least as
// many values as it starts: then the stack never grows past one call's arguments and a full
// stack, whose warning other voices' warnings would interleave with, cannot happen.
bool PushesAreBalanced(CSequence& sequence) {
    if (sequence.balancedPushes < 0) {
        bool balanced = true;
        const std::vector<SEQUENCE_ITEM>& items = sequence.items;
        for (size_t index = 0; index < items.size() && balanced;) {
            if (items[index].kind != SI_PUSH) {
                ++index;
                continue;
            }
            size_t run = 0;
            while (index < items.size() && items[index].kind == SI_PUSH) {
                ++run;
                ++index;
            }
            balanced = index < items.size() && items[index].kind == SI_CALL && items[index].callee != nullptr &&
                       static_cast<size_t>(LeadingPops(*items[index].callee)) >= run;
        }
        sequence.balancedPushes = balanced ? 1 : 0;
    }
    return sequence.balancedPushes == 1;
}

bool ItemStaysInItsVoice(const CSequence& sequence, const SEQUENCE_ITEM& item) {
    switch (item.kind) {
        case SI_SAMPLE:
        case SI_OUT:
        case SI_SAW:
        case SI_SQR:
        case SI_FADEOUT:
        case SI_FADEIN:
        case SI_VOL:
        case SI_OWN:
        case SI_END:
        case SI_CALL:  // judged with the box it calls
        case SI_PUSH:  // judged with the call that consumes it
            return !DrawsRandom(item.expression.get());
        case SI_LET:
            return !DrawsRandom(item.expression.get()) && !WritesEngineVariable(sequence, item.value.number.slot);
        case SI_POP:
            return !WritesEngineVariable(sequence, item.value.number.slot);
        default:
            // Noise (shared generators), spawns (commands) and prints (output order).
            return false;
    }
}

PLAY_FACTS Facts(CBox& box, const CBoxRegistry& registry, int depth) {
    if (depth >= kMaxPlayHeight) return {false, kMaxPlayHeight + 1, true};
    if (box.factsGeneration == registry.Generation()) {
        return {box.factsIndependent, box.factsHeight, box.factsReachesEngine};
    }
    bool independent = true;
    bool reachesEngine = false;
    int height = 1;
    for (const auto& owned : box.sequences) {
        CSequence& sequence = *owned;
        if (sequence.independence < 0) {
            const bool local = std::all_of(sequence.items.begin(), sequence.items.end(), [&](const SEQUENCE_ITEM& item) {
                return ItemStaysInItsVoice(sequence, item);
            });
            sequence.independence = local && PushesAreBalanced(sequence) ? 1 : 0;
        }
        independent = independent && sequence.independence == 1;
        for (const SEQUENCE_ITEM& item : sequence.items) {
            if ((item.kind == SI_LET || item.kind == SI_POP) && WritesEngineVariable(sequence, item.value.number.slot)) {
                reachesEngine = true;
            }
            if (item.kind == SI_SPAWN) reachesEngine = true;
            if (item.kind != SI_CALL || item.callee == nullptr) continue;
            const PLAY_FACTS called = Facts(*item.callee, registry, depth + 1);
            independent = independent && called.independent && item.callee->groupId == 0;
            reachesEngine = reachesEngine || called.reachesEngine;
            height = std::max(height, 1 + called.height);
        }
    }
    height = std::min(height, kMaxPlayHeight + 1);
    box.factsGeneration = registry.Generation();
    box.factsIndependent = independent && height <= kMaxPlayHeight;
    box.factsHeight = static_cast<int8_t>(height);
    box.factsReachesEngine = reachesEngine;
    return {box.factsIndependent, box.factsHeight, box.factsReachesEngine};
}

}  // namespace

PLAY_FACTS FactsOfBox(CBox& box, const CBoxRegistry& registry) { return Facts(box, registry, 0); }

}  // namespace morvanel
