// The compiled script: boxes, their sequences and the items a sequence runs, plus the group
// registry that pools instance limits across boxes.
#pragma once

#include <cstdint>
#include <map>
#include <memory_resource>
#include <memory>
#include <string>
#include <vector>

#include "compile/param_value.h"
#include "runtime/instance_data.h"
#include "vars/variables.h"

namespace morvanel {

class CEngine;
class CBox;
struct EXPRESSION;

enum ItemKind : int32_t {
#define ITEM_KIND(name, number, producesSample) name = number,
#include "compile/item_kinds.def"
#undef ITEM_KIND
};

// The item kind's name ("SI_SQR"), or "SI_?" for a number no kind has.
const char* ItemKindName(int32_t kind);

// One step of a sequence. The sequence owns the expression of SI_LET, SI_PRINT and SI_PUSH;
// SI_CALL refers to its box without owning it.
struct SEQUENCE_ITEM {
    int32_t kind = 0;
    PARAM_VALUE value;
    union Target {
        const EXPRESSION* expression;
        CBox* box;
    } target{nullptr};
};

extern std::atomic<int64_t> nextSequenceSerial;

class CSequence final : public CNumericVariablesOwner {
public:
    CSequence(CEngine* engine, CBox* box, int64_t serial);
    ~CSequence() override;

    CNumericVariablesOwner* GetParentOwner() const override;
    std::string GetName() const override;

    // Appends `item` (taking ownership of its text and expression) and applies pending labels.
    void AppendItem(SEQUENCE_ITEM item);
    // Appends SI_CALL of the named box when it is registered; otherwise appends nothing.
    void AppendBoxCall(const std::string& name);
    // Closes the body with SI_END and fixes the loop and release points. Idempotent.
    void FinishSequence();
    bool IsFinished() const { return finished; }

    CEngine* engine;
    CBox* box;
    int64_t serial;
    std::vector<SEQUENCE_ITEM> items;
    const SEQUENCE_ITEM* loopStart = nullptr;
    const SEQUENCE_ITEM* releaseStart = nullptr;
    int32_t loopIndex = 0;
    int32_t releaseIndex = -1;
    std::map<int64_t, CBox*> nestedBoxes;  // owned: destroyed with the sequence
    PARAM_VALUE duration = PARAM_VALUE::Integer(-1);
    PARAM_VALUE condition = PARAM_VALUE::Float(1.0f);
    bool looping = false;
    bool conditionIsWhile = false;
    bool loopLabelPending = false;
    bool releaseLabelPending = false;
    // Whether running the sequence is invisible to other voices: -1 until the runtime first asks.
    int8_t independence = -1;
    // Whether the sequence loops over exactly one square or saw item: -1 until first asked.
    int8_t steadyShape = -1;
    std::pmr::map<int64_t, SEQUENCE_INSTANCE_DATA> instances;  // records from the engine's pool

private:
    bool finished = false;
};

class CBox final : public CNumericVariablesOwner {
public:
    CBox(CEngine* engine, std::string name, bool exported, CSequence* parentSequence);
    ~CBox() override;

    CNumericVariablesOwner* GetParentOwner() const override;
    std::string GetName() const override;

    CSequence* NewSequence();
    void SetGroup(int64_t groupId);

    CEngine* engine;
    CSequence* parentSequence;
    std::string name;
    uint64_t nameHash;  // HashBoxName(name): the registry's index files the box under it
    std::vector<std::unique_ptr<CSequence>> sequences;  // ascending serial order
    std::pmr::map<int64_t, BOX_INSTANCE_DATA> instances;  // records from the engine's pool
    std::vector<char> paramLetters;
    bool exported;
    int32_t maxInstances = -1;
    bool stopExcess = false;
    int64_t groupId = 0;
    const std::vector<CBox*>* groupMembers = nullptr;  // the group's list, resolved when joined
    // The registered box's entry in the engine's name map, so a replacement rewrites it in place.
    CBox** registryEntry = nullptr;
    // A redefinition waiting for this box's last instance to end (owned until it takes over).
    CBox* pending = nullptr;
    CBox* nextRetired = nullptr;  // in the engine's list of replaced boxes not yet freed
    bool primed = false;          // the record pool has made room for this box's instances
};

class CBoxGroups {
public:
    // The id of the named group, created (with an id from the instance id counter) when new.
    int64_t GroupIdFor(const std::string& name);
    void Join(int64_t groupId, CBox* box);
    void Leave(int64_t groupId, CBox* box);
    const std::vector<CBox*>* Members(int64_t groupId) const;
    void Clear();

    std::map<std::string, int64_t> idsByName;
    std::map<int64_t, std::string> namesById;
    std::map<int64_t, std::vector<CBox*>> members;
};

}  // namespace morvanel
