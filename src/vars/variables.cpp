// Declaration up the owner chain and binding of states.
#include "vars/variables.h"

#include <algorithm>
#include <cstring>

namespace morvanel {

CNumericVariablesState::CNumericVariablesState(CNumericVariablesOwner* stateOwner, std::pmr::memory_resource* resource)
    : slots(nullptr), slotCount(0), owner(stateOwner) {
    slotCount = SlotCountOf(stateOwner);
    slotResource = resource != nullptr ? resource : std::pmr::new_delete_resource();
    void* storage = slotResource->allocate(sizeof(VariableSlot) * slotCount, alignof(VariableSlot));
    std::memset(storage, 0, sizeof(VariableSlot) * slotCount);
    slots = static_cast<VariableSlot*>(storage);
}

CNumericVariablesState::CNumericVariablesState(CNumericVariablesOwner* stateOwner, VariableSlot* storage,
                                               int32_t count)
    : slots(storage), slotCount(count), owner(stateOwner) {
    // A call's records carry a slot or two: plain stores beat a call to memset.
    for (int32_t index = 0; index < count; ++index) {
        storage[index].bound = 0;
        storage[index].holdsValue = 0;
        storage[index].valueRef = nullptr;
    }
}

CNumericVariablesState::~CNumericVariablesState() {
    if (slotResource != nullptr) {
        slotResource->deallocate(slots, sizeof(VariableSlot) * slotCount, alignof(VariableSlot));
    }
}

int FindOwnVariable(const CNumericVariablesOwner& owner, uint8_t letter) {
    auto found = owner.declarations.find(letter);
    if (found == owner.declarations.end() || found->second.scopeKind != 0) return -1;
    return found->second.targetSlot;
}

const VariableDeclaration* DeclareVariable(CNumericVariablesOwner& owner, uint8_t letter) {
    auto existing = owner.declarations.find(letter);
    if (existing != owner.declarations.end()) return &existing->second;

    const int32_t next = static_cast<int32_t>(owner.declarations.size());
    if (next >= kMaxVariableSlots) return nullptr;

    int32_t levels = 0;
    const CNumericVariablesOwner* current = &owner;
    int found = -1;
    while (current != nullptr) {
        found = FindOwnVariable(*current, letter);
        if (found >= 0) break;
        current = current->GetParentOwner();
        ++levels;
    }

    // Own letters were answered above, so a letter found on the way up belongs to an ancestor.
    VariableDeclaration declaration{};
    if (found < 0) {
        declaration = {0, 0, next, next};
    } else {
        declaration = {current->scopeKind, levels, found, next};
    }
    return AddDeclaration(owner, letter, declaration);
}

const VariableDeclaration* AddDeclaration(CNumericVariablesOwner& owner, uint8_t letter, const VariableDeclaration& declaration) {
    owner.declarationsBySlot.push_back(declaration);
    return &owner.declarations.emplace(letter, declaration).first->second;
}

VariableSlot* GetSlot(CNumericVariablesState& state, uint8_t letter) {
    if (state.owner == nullptr) return nullptr;
    auto found = state.owner->declarations.find(letter);
    if (found == state.owner->declarations.end()) return nullptr;
    const int32_t index = found->second.slot;
    if (index < 0 || index >= state.slotCount) return nullptr;
    return &state.slots[index];
}

void BindState(CNumericVariablesState& state) {
    if (state.owner == nullptr) return;
    for (const VariableDeclaration& declaration : state.owner->declarationsBySlot) {
        if (declaration.slot < 0 || declaration.slot >= state.slotCount) continue;
        VariableSlot& slot = state.slots[declaration.slot];
        if (slot.bound) continue;
        slot.bound = 1;
        if (declaration.scopeKind != 0) {
            CNumericVariablesState* scope = state.GetScopeState(declaration.scopeKind, declaration.levels);
            if (scope != nullptr && declaration.targetSlot >= 0 && declaration.targetSlot < scope->slotCount) {
                VariableSlot& target = scope->slots[declaration.targetSlot];
                if (target.holdsValue || !target.bound) {
                    if (!target.bound) {
                        target.bound = 1;
                        target.holdsValue = 1;
                        target.value = 0.0f;
                    }
                    slot.holdsValue = 0;
                    slot.valueRef = &target.value;
                    continue;
                }
                // The target itself refers further up: share its final destination.
                slot.holdsValue = 0;
                slot.valueRef = target.valueRef;
                if (slot.valueRef != nullptr) continue;
            }
        }
        slot.holdsValue = 1;
        slot.value = 0.0f;
    }
}

}  // namespace morvanel
