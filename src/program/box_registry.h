// The box registry: named boxes by byte order of name and by the hash of their name, anonymous
// boxes of nested bodies, redefinitions waiting for the old box's instances to end, and replaced
// boxes waiting to be freed. Audio thread only.
#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <string_view>
#include <vector>

#include "program/box_index.h"
#include "program/model.h"

namespace morvanel {

class CBoxRegistry {
public:
    explicit CBoxRegistry(CProgram* program) : program(program) {}
    ~CBoxRegistry();
    CBoxRegistry(const CBoxRegistry&) = delete;
    CBoxRegistry& operator=(const CBoxRegistry&) = delete;

    // The box registered under exactly `name`, or null (a tree lookup: compile time).
    CBox* FindBox(std::string_view name) const;
    // The same by the hash a start request carries: one probe of a flat table, no allocation.
    CBox* FindBox(uint64_t nameHash, std::string_view name) const { return index.Find(nameHash, name); }
    // Builds and registers a box: anonymous (empty name), waiting as a redefinition of a
    // registered box (`redefine`; it takes over at once when the old box has no instance), or
    // registered under its name.
    CBox* CreateBox(const std::string& name, bool redefine, bool exported, CSequence* parentSequence);
    // Swaps in the redefinition waiting for `oldBox`, repointing every call item, and sets the old
    // box aside; true when it did. Allocates and frees nothing.
    bool ReplacePendingBox(CBox* oldBox);
    // The redefinition waiting for the box registered under `name`, or null.
    CBox* PendingBoxFor(std::string_view name) const;
    bool AnyPendingBox() const;
    // Withdraws `box` when it is the redefinition waiting under `name`, and frees it.
    void WithdrawPending(std::string_view name, CBox* box);
    // Unregisters and frees a box with its sequences, nested boxes and waiting redefinition.
    void DestroyBox(CBox* box);
    // Frees the boxes that replacements set aside (parse and reset time).
    void FreeRetiredBoxes();
    // Frees every box.
    void DropAllBoxes();

    const std::map<std::string, CBox*, std::less<>>& Named() const { return boxes; }
    const std::vector<CBox*>& Anonymous() const { return anonymousBoxes; }
    const CBox* Retired() const { return retiredBoxes; }
    bool AnyExported() const { return anyExported; }
    // Changes whenever a box is created, replaced or freed, so that facts worked out about boxes
    // and their calls are known to be stale. Never 0.
    uint32_t Generation() const { return generation; }
    // Redefinitions waiting for their box's instances to end.
    int64_t PendingCount() const { return pendingCount; }

private:
    void Unregister(CBox* box);
    void RecomputeExported();

    CProgram* program;
    std::map<std::string, CBox*, std::less<>> boxes;  // by byte order of name
    CNameIndex<CBox> index;                           // the same boxes by the hash of their name
    std::vector<CBox*> anonymousBoxes;
    CBox* retiredBoxes = nullptr;  // through CBox::nextRetired
    int64_t exportedNamed = 0;     // exported boxes among `boxes`, so the flag is recomputed at once
    int64_t pendingCount = 0;
    uint32_t generation = 1;
    bool anyExported = false;
};

// Points every call item of `box` that calls `oldBox` at `newBox`.
void RedirectBoxReferences(CBox& box, const CBox* oldBox, CBox* newBox);

}  // namespace morvanel
