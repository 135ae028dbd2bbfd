// Sequences, boxes, groups and the voices' scope: construction, item appending with labels,
// finishing a body, and the program that holds them.
#include "program/model.h"

#include <algorithm>

#include "program/program.h"
#include "program/start_request.h"

namespace morvanel {

std::atomic<int64_t> nextSequenceSerial{1024};
std::atomic<int64_t> nextInstanceId{1024};

int64_t DrawInstanceId() { return nextInstanceId.fetch_add(1, std::memory_order_relaxed); }

const char* ItemKindName(int32_t kind) {
    switch (kind) {
#define ITEM_KIND(name, number, producesSample) case number: return #name;
#include "program/item_kinds.def"
#undef ITEM_KIND
        default: return "SI_?";
    }
}

void INSTANCE_LIST::Append(INSTANCE_LINK* link) {
    link->older = newest;
    link->newer = nullptr;
    if (newest != nullptr) {
        newest->newer = link;
    } else {
        oldest = link;
    }
    newest = link;
    ++count;
}

void INSTANCE_LIST::Remove(INSTANCE_LINK* link) {
    (link->older != nullptr ? link->older->newer : oldest) = link->newer;
    (link->newer != nullptr ? link->newer->older : newest) = link->older;
    link->older = nullptr;
    link->newer = nullptr;
    --count;
}

CSequence::CSequence(CProgram* owningProgram, CBox* owningBox, int64_t sequenceSerial)
    : CNumericVariablesOwner(SCOPE_SEQUENCE), program(owningProgram), box(owningBox), serial(sequenceSerial) {}

CSequence::~CSequence() {
    for (auto& [key, nested] : nestedBoxes) program->boxes.DestroyBox(nested);
    nestedBoxes.clear();
}

CNumericVariablesOwner* CSequence::GetParentOwner() const {
    if (box->parentSequence != nullptr) return box->parentSequence;
    return box;
}

std::string CSequence::GetName() const { return "sequence_of_" + box->GetName(); }

void CSequence::AppendItem(SEQUENCE_ITEM item) {
    items.push_back(std::move(item));
    const int32_t index = static_cast<int32_t>(items.size()) - 1;
    if (releaseLabelPending) {
        releaseIndex = index;
        releaseLabelPending = false;
    }
    if (loopLabelPending) {
        loopIndex = index;
        loopLabelPending = false;
    }
}

void CSequence::FinishSequence() {
    if (finished) return;
    finished = true;
    SEQUENCE_ITEM end;
    end.kind = SI_END;
    items.push_back(std::move(end));
    const int32_t last = static_cast<int32_t>(items.size()) - 1;
    if (releaseIndex == -1) releaseIndex = last;
    loopIndex = std::clamp(loopIndex, 0, last);
    releaseIndex = std::clamp(releaseIndex, 0, last);
    // WARNING: items must not grow after this point: both labels point into the vector.
    loopStart = &items[loopIndex];
    releaseStart = &items[releaseIndex];
}

CBox::CBox(CProgram* owningProgram, std::string boxName, bool isExported, CSequence* parent)
    : CNumericVariablesOwner(SCOPE_BOX),
      program(owningProgram),
      parentSequence(parent),
      name(std::move(boxName)),
      nameHash(HashBoxName(name)),
      exported(isExported) {}

CBox::~CBox() {
    sequences.clear();
    if (groupId != 0) program->groups.Leave(groupId, this);
}

CNumericVariablesOwner* CBox::GetParentOwner() const { return &program->voiceScope; }

std::string CBox::GetName() const { return "box_" + name; }

CSequence* CBox::NewSequence() {
    const int64_t serial = nextSequenceSerial.fetch_add(1, std::memory_order_relaxed);
    sequences.push_back(std::make_unique<CSequence>(program, this, serial));
    return sequences.back().get();
}

void CBox::SetGroup(int64_t id) {
    program->groups.Join(id, this);
    groupId = id;
    groupMembers = program->groups.Members(id);
}

int64_t CBoxGroups::GroupIdFor(const std::string& name) {
    auto found = idsByName.find(name);
    if (found != idsByName.end()) return found->second;
    const int64_t id = DrawInstanceId();
    idsByName.emplace(name, id);
    namesById.emplace(id, name);
    members.emplace(id, std::vector<CBox*>{});
    return id;
}

void CBoxGroups::Join(int64_t id, CBox* box) { members[id].push_back(box); }

void CBoxGroups::Leave(int64_t id, CBox* box) {
    auto found = members.find(id);
    if (found == members.end()) return;
    auto& list = found->second;
    auto position = std::find(list.begin(), list.end(), box);
    if (position != list.end()) list.erase(position);
}

const std::vector<CBox*>* CBoxGroups::Members(int64_t id) const {
    auto found = members.find(id);
    return found == members.end() ? nullptr : &found->second;
}

void CBoxGroups::Clear() {
    idsByName.clear();
    namesById.clear();
    members.clear();
}

CVoiceDescription::CVoiceDescription(CNumericVariablesOwner* globalScope)
    : CNumericVariablesOwner(SCOPE_VOICE), globals(globalScope) {
    DeclareVariable(*this, 'v');
    DeclareVariable(*this, 'n');
    velocitySlot = FindOwnVariable(*this, 'v');
    noteSlot = FindOwnVariable(*this, 'n');
}

CProgram::CProgram(CNumericVariablesOwner* globals, int32_t sampleRate) : voiceScope(globals), boxes(this) {
    clock.sampleRate = sampleRate;
}

CProgram::~CProgram() { boxes.DropAllBoxes(); }

void CProgram::Clear() {
    boxes.DropAllBoxes();
    groups.Clear();
    clock.bpm = 120.0f;
}

}  // namespace morvanel
