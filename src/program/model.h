// The compiled script: boxes, their sequences and the items a sequence runs, the group registry
// that pools instance limits across boxes, and the variable scope every voice shares.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "program/expression.h"
#include "program/param_value.h"
#include "vars/variables.h"

namespace morvanel {

class CBox;
class CProgram;

enum ItemKind : int32_t {
#define ITEM_KIND(name, number, producesSample) name = number,
#include "program/item_kinds.def"
#undef ITEM_KIND
};

// The item kind's name ("SI_SQR"), or "SI_?" for a number no kind has.
const char* ItemKindName(int32_t kind);

// One step of a sequence. `expression` is what SI_LET, SI_PRINT and SI_PUSH evaluate (owned);
// `callee` is the box of SI_CALL (the registry owns boxes).
struct SEQUENCE_ITEM {
    int32_t kind = 0;
    PARAM_VALUE value;
    std::unique_ptr<const EXPRESSION> expression;
    CBox* callee = nullptr;
};

// A link in the list of a box's live instances. The runtime's instance records derive from it, so
// that compiled boxes can count and walk their instances without knowing what an instance holds.
struct INSTANCE_LINK {
    INSTANCE_LINK* older = nullptr;
    INSTANCE_LINK* newer = nullptr;
};

// A box's live instances, oldest first: instances are appended as they are created, and ids only
// grow, so the list is also in ascending id order.
struct INSTANCE_LIST {
    INSTANCE_LINK* oldest = nullptr;
    INSTANCE_LINK* newest = nullptr;
    int64_t count = 0;

    bool empty() const { return count == 0; }
    int64_t size() const { return count; }
    void Append(INSTANCE_LINK* link);
    void Remove(INSTANCE_LINK* link);
};

extern std::atomic<int64_t> nextSequenceSerial;

class CSequence final : public CNumericVariablesOwner {
public:
    CSequence(CProgram* program, CBox* box, int64_t serial);
    ~CSequence() override;

    CNumericVariablesOwner* GetParentOwner() const override;
    std::string GetName() const override;

    // Appends `item` (taking ownership of its text and expression) and applies pending labels.
    void AppendItem(SEQUENCE_ITEM item);
    // Closes the body with SI_END and fixes the loop and release points. Idempotent.
    void FinishSequence();
    bool IsFinished() const { return finished; }

    CProgram* program;
    CBox* box;
    int64_t serial;
    std::vector<SEQUENCE_ITEM> items;
    const SEQUENCE_ITEM* loopStart = nullptr;
    const SEQUENCE_ITEM* releaseStart = nullptr;
    int32_t loopIndex = 0;
    int32_t releaseIndex = -1;
    std::map<int64_t, CBox*> nestedBoxes;  // in body order; owned: destroyed with the sequence
    PARAM_VALUE duration = PARAM_VALUE::Integer(-1);
    PARAM_VALUE condition = PARAM_VALUE::Float(1.0f);
    bool looping = false;
    bool conditionIsWhile = false;
    bool loopLabelPending = false;
    bool releaseLabelPending = false;
    // Facts about the items that the runtime works out once (a compiled sequence never changes):
    // whether running it is invisible to other voices, whether it loops over exactly one square or
    // saw item, and whether a loop run can take its loop body. -1 until first asked.
    int8_t independence = -1;
    int8_t steadyShape = -1;
    int8_t loopRunShape = -1;
    int8_t balancedPushes = -1;

private:
    bool finished = false;
};

class CBox final : public CNumericVariablesOwner {
public:
    CBox(CProgram* program, std::string name, bool exported, CSequence* parentSequence);
    ~CBox() override;

    CNumericVariablesOwner* GetParentOwner() const override;
    std::string GetName() const override;

    CSequence* NewSequence();
    void SetGroup(int64_t groupId);

    CProgram* program;
    CSequence* parentSequence;
    std::string name;
    uint64_t nameHash;  // HashBoxName(name): the registry's index files the box under it
    std::vector<std::unique_ptr<CSequence>> sequences;  // ascending serial order
    INSTANCE_LIST instances;                            // live instances, kept by the runtime
    std::vector<char> paramLetters;
    bool exported;
    int32_t maxInstances = -1;
    bool stopExcess = false;
    int64_t groupId = 0;
    const std::vector<CBox*>* groupMembers = nullptr;  // the group's list, resolved when joined
    // The registered box's entry in the registry's name map, so a replacement rewrites it in place.
    CBox** registryEntry = nullptr;
    // A redefinition waiting for this box's last instance to end (owned until it takes over).
    CBox* pending = nullptr;
    CBox* nextRetired = nullptr;  // in the registry's list of replaced boxes not yet freed
    bool primed = false;          // the runtime has made room for this box's instances
    // What the runtime worked out about playing this box and everything it calls, valid while the
    // registry's generation is `factsGeneration` (0: never worked out).
    uint32_t factsGeneration = 0;
    bool factsIndependent = false;
    bool factsReachesEngine = false;
    int8_t factsHeight = 0;
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

// The per-voice variables 'v' (velocity, slot 0) and 'n' (note, slot 1), shared by every voice;
// boxes' scopes hang below it, the globals above it.
class CVoiceDescription final : public CNumericVariablesOwner {
public:
    explicit CVoiceDescription(CNumericVariablesOwner* globals);
    CNumericVariablesOwner* GetParentOwner() const override { return globals; }
    std::string GetName() const override { return "voice_owner"; }

    CNumericVariablesOwner* globals;
    int32_t noteSlot;
    int32_t velocitySlot;
};

// Draws the next id for a box instance, sequence instance or group (one process-wide counter).
extern std::atomic<int64_t> nextInstanceId;
int64_t DrawInstanceId();

}  // namespace morvanel
