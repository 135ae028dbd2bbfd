// Single-letter numeric variables: compile-time scopes (owners) that resolve a letter to a slot
// once, and run-time states whose slots hold a float or point at an enclosing state's float.
#pragma once

#include <atomic>
#include <cstdint>
#include <map>
#include <memory_resource>
#include <string>
#include <vector>

namespace morvanel {

enum ScopeKind : int32_t {
    SCOPE_SEQUENCE = 1,
    SCOPE_BOX = 2,
    SCOPE_VOICE = 3,
    SCOPE_ENGINE = 4,
};

constexpr int kMaxVariableSlots = 128;

struct VariableDeclaration {
    int32_t scopeKind;   // 0: the owner's own variable; else the scope kind that holds the value
    int32_t levels;      // owner steps from the declaring owner to the holding owner
    int32_t targetSlot;  // slot of the value in the holding owner's states
    int32_t slot;        // slot of the letter in the declaring owner's own states
};

struct VariableSlot {
    uint8_t bound;
    uint8_t holdsValue;
    union {
        alignas(std::atomic_ref<float>::required_alignment) float value;
        float* valueRef;
    };
};

class CNumericVariablesOwner {
public:
    explicit CNumericVariablesOwner(int32_t kind) : scopeKind(kind) {}
    virtual ~CNumericVariablesOwner() = default;
    CNumericVariablesOwner(const CNumericVariablesOwner&) = delete;
    CNumericVariablesOwner& operator=(const CNumericVariablesOwner&) = delete;

    virtual CNumericVariablesOwner* GetParentOwner() const = 0;
    virtual std::string GetName() const = 0;

    std::map<uint8_t, VariableDeclaration> declarations;
    // The same declarations by slot, which binding walks on every call.
    std::vector<VariableDeclaration> declarationsBySlot;
    int32_t scopeKind;
};

// A run-time instance of an owner's variables. Its slots are sized by the declarations its owner
// has when the state is created: compiled owners never declare more afterwards, so a voice of a
// box with three variables carries three slots, not 128. The engine, whose globals grow with
// every script, keeps a fixed table of 128 instead.
class CNumericVariablesState {
public:
    // Slots for every declaration of `owner`, taken from `resource` (the heap when null).
    explicit CNumericVariablesState(CNumericVariablesOwner* owner, std::pmr::memory_resource* resource = nullptr);
    virtual ~CNumericVariablesState();
    CNumericVariablesState(const CNumericVariablesState&) = delete;
    CNumericVariablesState& operator=(const CNumericVariablesState&) = delete;

    // Answers the state of an enclosing scope, or null when there is none.
    virtual CNumericVariablesState* GetScopeState(int32_t kind, int32_t levels) = 0;
    virtual std::string GetName() const = 0;

    VariableSlot* slots;
    int32_t slotCount;
    CNumericVariablesOwner* owner;

protected:
    // Slots in storage the derived class owns; zero-filled here.
    CNumericVariablesState(CNumericVariablesOwner* owner, VariableSlot* storage, int32_t count);

private:
    std::pmr::memory_resource* slotResource = nullptr;  // null: `slots` is not ours to free
};

// The slots a state of `owner` carries: one per declaration, at least one, at most the limit.
inline int32_t SlotCountOf(const CNumericVariablesOwner* owner) {
    const size_t declared = owner != nullptr ? owner->declarationsBySlot.size() : 0;
    return declared < 1 ? 1 : declared > kMaxVariableSlots ? kMaxVariableSlots : static_cast<int32_t>(declared);
}

// The slot of `letter` when `owner` declares it as its own variable, else -1.
int FindOwnVariable(const CNumericVariablesOwner& owner, uint8_t letter);

// The owner's declaration of `letter`, created (own, or a reference to the nearest ancestor that
// owns the letter) when absent. Null when the owner already uses every one of its slots.
const VariableDeclaration* DeclareVariable(CNumericVariablesOwner& owner, uint8_t letter);

// Records `declaration` of `letter` in both of the owner's tables.
const VariableDeclaration* AddDeclaration(CNumericVariablesOwner& owner, uint8_t letter, const VariableDeclaration& declaration);

// The slot of `letter` in `state`, or null when its owner does not declare the letter.
VariableSlot* GetSlot(CNumericVariablesState& state, uint8_t letter);

// Sets up every declared but unbound slot; bound slots keep their values. A reference whose
// scope has no state becomes an own slot holding 0.0.
void BindState(CNumericVariablesState& state);

// Slot access shared by the audio thread and SetVariable: relaxed atomics, so a concurrent
// host write is never a data race. An unbound slot reads 0.0 and never follows a reference.
inline float ReadSlot(const VariableSlot& slot) {
    if (slot.holdsValue) return std::atomic_ref<float>(const_cast<float&>(slot.value)).load(std::memory_order_relaxed);
    if (!slot.bound || slot.valueRef == nullptr) return 0.0f;
    return std::atomic_ref<float>(*slot.valueRef).load(std::memory_order_relaxed);
}

inline void WriteSlot(VariableSlot& slot, float value) {
    if (!slot.bound) {
        // Never bound (declared after its state was bound): it becomes an own value.
        slot.bound = 1;
        slot.holdsValue = 1;
    }
    if (slot.holdsValue) {
        std::atomic_ref<float>(slot.value).store(value, std::memory_order_relaxed);
    } else if (slot.valueRef != nullptr) {
        std::atomic_ref<float>(*slot.valueRef).store(value, std::memory_order_relaxed);
    }
}

// Slot access by index with the bounds the runtime cannot otherwise trust.
inline float ReadSlotAt(const CNumericVariablesState& state, int32_t index) {
    if (index < 0 || index >= state.slotCount) return 0.0f;
    return ReadSlot(state.slots[index]);
}

inline void WriteSlotAt(CNumericVariablesState& state, int32_t index, float value) {
    if (index < 0 || index >= state.slotCount) return;
    WriteSlot(state.slots[index], value);
}

}  // namespace morvanel
