// What playing a box can touch beyond its own voice, worked out from its items and everything it
// calls: whether a voice of it may be rendered on its own, apart from the other voices, and how
// deep its calls nest.
#pragma once

#include <cstdint>

#include "program/box_registry.h"
#include "program/model.h"

namespace morvanel {

// Calls nest at most this deep under a voice's root before the engine halts.
constexpr int kMaxPlayHeight = 12;

struct PLAY_FACTS {
    // Nothing a voice of the box does can be seen by another voice, or see one: no random draws,
    // noise registers, prints, spawns, writes to globals, pushes that could overflow the stack,
    // and no calls of boxes in a group (whose instance order decides which voice a limit retires).
    bool independent;
    // Levels of box instances under and including the root; more than kMaxPlayHeight when the
    // calls nest too deep (or call in a circle), which halts the engine.
    int8_t height;
    // Some item writes a global variable (which other voices may read) or spawns (a command
    // that the engine's next sample applies, and that takes room in its command ring).
    bool reachesEngine;
};

// Audio thread; allocates nothing. Remembered on the box until the registry's generation changes.
PLAY_FACTS FactsOfBox(CBox& box, const CBoxRegistry& registry);

}  // namespace morvanel
