// The registry's index of boxes by the hash of their name: every insert, replacement and removal
// in a long random sequence, with hashes forced to collide, agrees with an ordered map.
#include <gtest/gtest.h>

#include <map>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "program/box_index.h"

namespace {

struct FakeBox {
    std::string name;
    uint64_t nameHash;
};

TEST(BoxIndex, AgreesWithAMapThroughCollisionsRemovalsAndReplacements) {
    std::mt19937 random(99);
    morvanel::CNameIndex<FakeBox> index;
    std::map<std::string, FakeBox*> expected;
    std::vector<std::unique_ptr<FakeBox>> boxes;
    for (int step = 0; step < 20000; ++step) {
        // Few distinct hashes over many names: long probe chains that wrap around the table end.
        const std::string name = "n" + std::to_string(random() % 300);
        const uint64_t hash = (random() % 2 == 0) ? 7 : static_cast<uint64_t>(name.size() * 1000003u);
        auto found = expected.find(name);
        switch (random() % 3) {
            case 0:
                if (found == expected.end()) {
                    boxes.push_back(std::make_unique<FakeBox>(FakeBox{name, hash}));
                    index.Insert(boxes.back().get());
                    expected[name] = boxes.back().get();
                }
                break;
            case 1:
                if (found != expected.end()) {
                    index.Remove(found->second);
                    expected.erase(found);
                }
                break;
            default:
                if (found != expected.end()) {
                    boxes.push_back(std::make_unique<FakeBox>(FakeBox{name, found->second->nameHash}));
                    index.Replace(found->second, boxes.back().get());
                    found->second = boxes.back().get();
                }
                break;
        }
        if (step % 97 == 0) {
            for (int probe = 0; probe < 300; ++probe) {
                const std::string probeName = "n" + std::to_string(probe);
                auto entry = expected.find(probeName);
                const FakeBox* want = entry == expected.end() ? nullptr : entry->second;
                const uint64_t probeHash = want != nullptr ? want->nameHash : 7;
                ASSERT_EQ(index.Find(probeHash, probeName), want) << "step " << step << ", " << probeName;
            }
        }
    }
}

}  // namespace
