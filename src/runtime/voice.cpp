// Voices and instance trees: the records' scopes, creating and destroying box and sequence
// instances, the argument stack, and stopping a voice.
#include "runtime/voice.h"

#include <algorithm>
#include <cstdio>
#include <new>
#include <utility>

#include "program/values.h"
#include "runtime/generators.h"
#include "runtime/player.h"
#include "vars/numeric_cast.h"

namespace morvanel {

namespace {
size_t StackBytes(int32_t room) { return sizeof(float) * static_cast<size_t>(room); }
}  // namespace

CVoice::CVoice(CPlayer* owningPlayer, CBox* box, int64_t id)
    : CNumericVariablesState(&owningPlayer->program.voiceScope, &owningPlayer->pool),
      player(owningPlayer),
      clock(&owningPlayer->program.clock),
      rootBox(box),
      voiceId(id) {}

CVoice::~CVoice() {
    FreeSpareCall(*this);
    if (stack != nullptr) player->pool.Give(stack, StackBytes(stackRoom));
}

CNumericVariablesState* CVoice::GetScopeState(int32_t kind, int32_t) {
    return kind == SCOPE_ENGINE ? &player->globalValues : nullptr;
}

namespace {

// A record's block: the record, then its slots, then (box instances) its sequence references.
constexpr size_t RoundUp(size_t bytes, size_t alignment) { return (bytes + alignment - 1) / alignment * alignment; }

template <typename Record>
VariableSlot* SlotsAfter(Record* record) {
    return reinterpret_cast<VariableSlot*>(reinterpret_cast<char*>(record) + RoundUp(sizeof(Record), alignof(VariableSlot)));
}

template <typename Record>
size_t SlotsEnd(const CNumericVariablesOwner& owner) {
    return RoundUp(sizeof(Record), alignof(VariableSlot)) + sizeof(VariableSlot) * static_cast<size_t>(SlotCountOf(&owner));
}

}  // namespace

size_t SequenceRecordBytes(const CSequence& sequence) { return SlotsEnd<SEQUENCE_INSTANCE_DATA>(sequence); }

size_t BoxRecordBytes(const CBox& box) {
    return RoundUp(SlotsEnd<BOX_INSTANCE_DATA>(box), alignof(SEQUENCE_INSTANCE_REF)) +
           sizeof(SEQUENCE_INSTANCE_REF) * box.sequences.size();
}

BOX_INSTANCE_DATA::BOX_INSTANCE_DATA(CBox* instanceBox, CVoice* instanceVoice, int64_t id)
    : CNumericVariablesState(instanceBox, SlotsAfter(this), SlotCountOf(instanceBox)),
      voice(instanceVoice),
      box(instanceBox),
      instanceId(id) {
    sequenceInstances.items = reinterpret_cast<SEQUENCE_INSTANCE_REF*>(
        reinterpret_cast<char*>(this) + RoundUp(SlotsEnd<BOX_INSTANCE_DATA>(*instanceBox), alignof(SEQUENCE_INSTANCE_REF)));
}

CNumericVariablesState* BOX_INSTANCE_DATA::GetScopeState(int32_t kind, int32_t) {
    if (kind == SCOPE_VOICE) return voice;
    if (kind == SCOPE_ENGINE) return voice != nullptr ? &voice->player->globalValues : nullptr;
    return nullptr;
}

std::string BOX_INSTANCE_DATA::GetName() const { return box->GetName() + "_" + std::to_string(instanceId); }

SEQUENCE_INSTANCE_DATA::SEQUENCE_INSTANCE_DATA(CSequence* instanceSequence, CBox* instanceBox,
                                               CVoice* instanceVoice, int64_t owningBoxInstanceId,
                                               SEQUENCE_INSTANCE_DATA* caller)
    : CNumericVariablesState(instanceSequence, SlotsAfter(this), SlotCountOf(instanceSequence)),
      sequence(instanceSequence),
      box(instanceBox),
      voice(instanceVoice),
      boxInstanceId(owningBoxInstanceId),
      parent(caller) {
    current = instanceSequence->items.data();
    oscillator.shiftRegister = lastNoiseRegister.load(std::memory_order_relaxed);
}

CNumericVariablesState* SEQUENCE_INSTANCE_DATA::GetScopeState(int32_t kind, int32_t levels) {
    switch (kind) {
        case SCOPE_SEQUENCE: {
            SEQUENCE_INSTANCE_DATA* current = this;
            for (int32_t step = 0; step < levels && current != nullptr; ++step) current = current->parent;
            return current;
        }
        case SCOPE_BOX: {
            SEQUENCE_INSTANCE_DATA* current = this;
            while (current != nullptr && current->box->parentSequence != nullptr) current = current->parent;
            return current != nullptr ? current->boxInstance : nullptr;
        }
        case SCOPE_VOICE: return voice;
        case SCOPE_ENGINE: return voice != nullptr ? &voice->player->globalValues : nullptr;
        default: return nullptr;
    }
}

std::string SEQUENCE_INSTANCE_DATA::GetName() const { return sequence->GetName() + "_I"; }

void PushArgument(CVoice& voice, float value) {
    if (voice.stackIndex < 1) {
        // Once per voice: a body that keeps pushing onto a full stack would otherwise print
        // thousands of lines per sample.
        if (!voice.warnedStackFull) {
            voice.warnedStackFull = true;
            std::printf("Warning: Max stack depth reached\n");
        }
        return;
    }
    const int32_t entry = kArgumentStackSize - voice.stackIndex;
    if (entry >= voice.stackRoom) {
        const int32_t room = voice.stack == nullptr ? kFirstStackRoom : kArgumentStackSize;
        auto* grown = static_cast<float*>(voice.player->pool.Take(StackBytes(room)));
        std::fill(grown, grown + room, 0.0f);
        if (voice.stack != nullptr) {
            std::copy(voice.stack, voice.stack + voice.stackRoom, grown);
            voice.player->pool.Give(voice.stack, StackBytes(voice.stackRoom));
        }
        voice.stack = grown;
        voice.stackRoom = room;
    }
    voice.stack[entry] = value;
    --voice.stackIndex;
}

float PopArgument(CVoice& voice) {
    if (voice.stackIndex >= kArgumentStackSize) return 0.0f;
    ++voice.stackIndex;
    return voice.stack[kArgumentStackSize - voice.stackIndex];
}

namespace {

SEQUENCE_INSTANCE_DATA* CreateSequenceInstance(CSequence& sequence, CBox& box, CVoice& voice,
                                               BOX_INSTANCE_DATA& boxInstance, SEQUENCE_INSTANCE_DATA* parent) {
    CRecordPool& pool = voice.player->pool;
    static_assert(alignof(SEQUENCE_INSTANCE_DATA) <= 16 && alignof(BOX_INSTANCE_DATA) <= 16);
    void* block = pool.Take(SequenceRecordBytes(sequence));
    auto* instance = new (block) SEQUENCE_INSTANCE_DATA(&sequence, &box, &voice, boxInstance.instanceId, parent);
    instance->boxInstance = &boxInstance;
    BindState(*instance);
    instance->remaining = ToInt64(EvaluateValue(sequence.duration, instance, voice.clock));
    return instance;
}

// Ends the calls the box instance's sequences are in, and lets go of a spare call made under one
// of them: its variables point into its caller, and once the caller is gone another record could
// take its place and its address.
void EndChildren(BOX_INSTANCE_DATA& instance) {
    CVoice& voice = *instance.voice;
    for (const SEQUENCE_INSTANCE_REF& reference : instance.sequenceInstances) {
        SEQUENCE_INSTANCE_DATA& state = *reference.state;
        if (BOX_INSTANCE_DATA* child = state.childInstance) {
            state.childInstanceId = 0;
            state.childBox = nullptr;
            state.childInstance = nullptr;
            DestroyBoxInstance(child);
        }
        if (voice.spareCaller == &state) FreeSpareCall(voice);
    }
}

// The box record and its sequences' records, which have no children left.
void FreeBoxRecords(BOX_INSTANCE_DATA* instance) {
    CRecordPool& pool = instance->voice->player->pool;
    for (const SEQUENCE_INSTANCE_REF& reference : instance->sequenceInstances) {
        SEQUENCE_INSTANCE_DATA* state = reference.state;
        const size_t bytes = SequenceRecordBytes(*state->sequence);
        state->~SEQUENCE_INSTANCE_DATA();
        pool.Give(state, bytes);
    }
    const size_t bytes = BoxRecordBytes(*instance->box);
    instance->~BOX_INSTANCE_DATA();
    pool.Give(instance, bytes);
}

// A new record's variables: own values are 0.0, references stay where binding pointed them.
void ClearOwnValues(CNumericVariablesState& state) {
    for (int32_t index = 0; index < state.slotCount; ++index) {
        if (state.slots[index].holdsValue) state.slots[index].value = 0.0f;
    }
}

}  // namespace

BOX_INSTANCE_DATA* CreateBoxInstance(CBox& box, CVoice& voice, SEQUENCE_INSTANCE_DATA* parent) {
    // Ids are drawn box first, then one per sequence: a box instance's id is below its sequences'.
    const int64_t id = DrawInstanceId();
    CRecordPool& pool = voice.player->pool;
    void* block = pool.Take(BoxRecordBytes(box));
    auto* instance = new (block) BOX_INSTANCE_DATA(&box, &voice, id);
    box.instances.Append(instance);
    BindState(*instance);
    for (const auto& sequence : box.sequences) {
        const int64_t sequenceId = DrawInstanceId();
        SEQUENCE_INSTANCE_DATA* state = CreateSequenceInstance(*sequence, box, voice, *instance, parent);
        // Counted as they are made: a sequence instance that fails part-way leaves a list that
        // destroying the box instance can still walk.
        instance->sequenceInstances.items[instance->sequenceInstances.count++] = {sequence->serial, sequenceId, state};
    }
    return instance;
}

void DestroyBoxInstance(BOX_INSTANCE_DATA* instance) {
    CBox& box = *instance->box;
    CPlayer& player = *instance->voice->player;
    EndChildren(*instance);
    box.instances.Remove(instance);
    FreeBoxRecords(instance);
    if (box.instances.empty()) player.BoxIdle(box);
}

BOX_INSTANCE_DATA* StartCall(CBox& box, CVoice& voice, SEQUENCE_INSTANCE_DATA& caller) {
    BOX_INSTANCE_DATA* instance = voice.spareCall;
    if (instance == nullptr || instance->box != &box || voice.spareCaller != &caller) {
        return CreateBoxInstance(box, voice, &caller);
    }
    voice.spareCall = nullptr;
    voice.spareCaller = nullptr;
    // What CreateBoxInstance does, in its order, less the pool and the binding.
    instance->instanceId = DrawInstanceId();
    box.instances.Append(instance);
    ClearOwnValues(*instance);
    for (SEQUENCE_INSTANCE_REF& reference : instance->sequenceInstances) {
        reference.id = DrawInstanceId();
        SEQUENCE_INSTANCE_DATA& state = *reference.state;
        static_cast<SEQUENCE_PLAY_STATE&>(state) = SEQUENCE_PLAY_STATE{};
        state.current = state.sequence->items.data();
        state.oscillator.shiftRegister = lastNoiseRegister.load(std::memory_order_relaxed);
        state.boxInstanceId = instance->instanceId;
        ClearOwnValues(state);
        state.remaining = ToInt64(EvaluateValue(state.sequence->duration, &state, voice.clock));
    }
    return instance;
}

void EndCall(BOX_INSTANCE_DATA* child, SEQUENCE_INSTANCE_DATA& caller) {
    CBox& box = *child->box;
    CVoice& voice = *child->voice;
    EndChildren(*child);
    box.instances.Remove(child);
    // A redefinition waiting for the box takes it over here and changes the records' shape.
    const bool keep = box.pending == nullptr && voice.player->reuseCalls;
    if (box.instances.empty()) voice.player->BoxIdle(box);
    if (!keep) {
        FreeBoxRecords(child);
        return;
    }
    FreeSpareCall(voice);
    voice.spareCall = child;
    voice.spareCaller = &caller;
}

void FreeSpareCall(CVoice& voice) {
    if (BOX_INSTANCE_DATA* spare = std::exchange(voice.spareCall, nullptr)) FreeBoxRecords(spare);
    voice.spareCaller = nullptr;
}

void StopVoice(CVoice& voice) {
    if (voice.stopped) return;
    voice.stopped = true;
    if (BOX_INSTANCE_DATA* root = voice.rootInstance) {
        voice.rootInstance = nullptr;
        voice.steadyRoot = nullptr;
        DestroyBoxInstance(root);
    }
}

}  // namespace morvanel
