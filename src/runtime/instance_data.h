// The runtime records under a playing voice: box instances, sequence instances and the oscillator
// each sequence instance carries. Records come from the player's record pool.
#pragma once

#include <cstdint>
#include <memory_resource>
#include <string>
#include <vector>

#include "program/model.h"
#include "vars/variables.h"

namespace morvanel {

class CVoice;
struct SEQUENCE_INSTANCE_DATA;

struct OSCILLATOR_STATE {
    int64_t period = 480;
    int64_t halfPeriod = 240;
    int64_t phase = 0;
    uint8_t shiftRegister = 0;
    uint8_t level = 0;
    uint8_t latched = 0;
};

// One entry per sequence of the box, in serial order: the id the sequence instance is known by
// and the instance itself, resolved once so that rendering never searches for it.
struct SEQUENCE_INSTANCE_REF {
    int64_t serial;
    int64_t id;
    SEQUENCE_INSTANCE_DATA* state;
};

// The sequence instances of a box instance, in the record's own block.
struct SEQUENCE_INSTANCE_REFS {
    SEQUENCE_INSTANCE_REF* items = nullptr;
    int32_t count = 0;

    size_t size() const { return static_cast<size_t>(count); }
    SEQUENCE_INSTANCE_REF& front() const { return items[0]; }
    SEQUENCE_INSTANCE_REF& operator[](size_t index) const { return items[index]; }
    SEQUENCE_INSTANCE_REF* begin() const { return items; }
    SEQUENCE_INSTANCE_REF* end() const { return items + count; }
};

// A box instance; listed in its box's instances (the link), oldest first. One pool block holds
// the record, its variable slots and its sequence references (see BoxRecordBytes), so that a call
// takes one block per record instead of three.
struct BOX_INSTANCE_DATA final : CNumericVariablesState, INSTANCE_LINK {
    BOX_INSTANCE_DATA(CBox* box, CVoice* voice, int64_t id);

    CNumericVariablesState* GetScopeState(int32_t kind, int32_t levels) override;
    std::string GetName() const override;

    CVoice* voice;
    CBox* box;
    int64_t instanceId;
    SEQUENCE_INSTANCE_REFS sequenceInstances;
};

// Where a sequence instance stands in its body: everything a new instance starts from, apart from
// its place in the tree and its variables. A call that takes up the records of the call before it
// resets exactly this (see StartCall).
struct SEQUENCE_PLAY_STATE {
    const SEQUENCE_ITEM* current = nullptr;
    int64_t remaining = -1;
    float fadeTarget = 1.0f;
    float volume = 1.0f;
    float fadeStep = 0.0f;
    uint8_t own = 0;
    uint8_t started = 0;
    OSCILLATOR_STATE oscillator;
    int64_t childInstanceId = 0;
    CBox* childBox = nullptr;
    BOX_INSTANCE_DATA* childInstance = nullptr;  // the record behind childInstanceId
    // Set while the sequence sits in its one-item loop of a square or saw tone, so that its next
    // samples skip the item loop; cleared whenever anything else has to run.
    const SEQUENCE_ITEM* steadyTone = nullptr;
    OSCILLATOR_STATE* steadyOscillator = nullptr;
    int64_t steadyPeriod = 0;  // the tone's period when it is a constant; 0: read it every sample
};

// A sequence instance; its variable slots follow it in the same pool block.
struct SEQUENCE_INSTANCE_DATA final : CNumericVariablesState, SEQUENCE_PLAY_STATE {
    SEQUENCE_INSTANCE_DATA(CSequence* sequence, CBox* box, CVoice* voice, int64_t boxInstanceId,
                           SEQUENCE_INSTANCE_DATA* parent);

    CNumericVariablesState* GetScopeState(int32_t kind, int32_t levels) override;
    std::string GetName() const override;

    CSequence* sequence;
    CBox* box;
    CVoice* voice;
    int64_t boxInstanceId;
    SEQUENCE_INSTANCE_DATA* parent;
    BOX_INSTANCE_DATA* boxInstance = nullptr;  // the record behind boxInstanceId
};

// Whether a started body has played its duration out (an empty one: whether it has any left):
// its next step ends it and does nothing else.
inline bool HasPlayedOut(const SEQUENCE_INSTANCE_DATA& body) {
    if (body.sequence->items.size() <= 1) return body.remaining <= 0;
    return body.started && body.remaining == 0;
}

// The bytes of the one block each record takes.
size_t BoxRecordBytes(const CBox& box);
size_t SequenceRecordBytes(const CSequence& sequence);

}  // namespace morvanel
