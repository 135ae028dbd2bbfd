// Sequences, boxes and groups: construction, item appending with labels, finishing a body.
#include "compile/model.h"

#include <algorithm>

#include "compile/expression.h"
#include "engine/engine.h"
#include "runtime/voice.h"
#include "script/start_text.h"

namespace morvanel {

std::atomic<int64_t> nextSequenceSerial{1024};

const char* ItemKindName(int32_t kind) {
    switch (kind) {
#define ITEM_KIND(name, number, producesSample) case number: return #name;
#include "compile/item_kinds.def"
#undef ITEM_KIND
        default: return "SI_?";
    }
}

CSequence::CSequence(CEngine* engine, CBox* box, int64_t serial)
    : CNumericVariablesOwner(SCOPE_SEQUENCE), engine(engine), box(box), serial(serial), instances(&engine->instancePool) {}

CSequence::~CSequence() {
    instances.clear();
    for (SEQUENCE_ITEM& item : items) {
        if (item.kind == SI_LET || item.kind == SI_PRINT || item.kind == SI_PUSH) {
            delete item.target.expression;
            item.target.expression = nullptr;
        }
    }
    for (auto& [key, nested] : nestedBoxes) engine->DestroyBox(nested);
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

void CSequence::AppendBoxCall(const std::string& name) {
    CBox* callee = engine->FindBox(name);
    if (callee == nullptr) return;
    SEQUENCE_ITEM item;
    item.kind = SI_CALL;
    item.target.box = callee;
    AppendItem(std::move(item));
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
    loopStart = &items[loopIndex];
    releaseStart = &items[releaseIndex];
}

CBox::CBox(CEngine* engine, std::string boxName, bool isExported, CSequence* parent)
    : CNumericVariablesOwner(SCOPE_BOX),
      engine(engine),
      parentSequence(parent),
      name(std::move(boxName)),
      nameHash(HashBoxName(name)),
      instances(&engine->instancePool),
      exported(isExported) {}

CBox::~CBox() {
    instances.clear();
    sequences.clear();
    if (groupId != 0) engine->groups.Leave(groupId, this);
}

CNumericVariablesOwner* CBox::GetParentOwner() const { return engine->voiceDescription.get(); }

std::string CBox::GetName() const { return "box_" + name; }

CSequence* CBox::NewSequence() {
    const int64_t serial = nextSequenceSerial.fetch_add(1, std::memory_order_relaxed);
    sequences.push_back(std::make_unique<CSequence>(engine, this, serial));
    return sequences.back().get();
}

void CBox::SetGroup(int64_t id) {
    engine->groups.Join(id, this);
    groupId = id;
    groupMembers = engine->groups.Members(id);
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

}  // namespace morvanel
