// The record pool: blocks come back for reuse, and once a parse has reserved room, starts and
// calls of every size seen so far are served without a heap request, up to twice the busiest
// moment; past that the pool grows by itself.
#include <gtest/gtest.h>

#include <vector>

#include "runtime/record_pool.h"

namespace {

TEST(RecordPool, ReservedRoomServesTwiceTheBusiestMomentWithoutTheHeap) {
    morvanel::CRecordPool pool;
    const size_t sizes[] = {8, 24, 200, 1028, 4096};
    // A busy moment: 40 blocks of each size at once.
    std::vector<std::pair<void*, size_t>> held;
    for (int i = 0; i < 40; ++i) {
        for (size_t size : sizes) held.emplace_back(pool.allocate(size, 8), size);
    }
    for (auto& [block, size] : held) pool.deallocate(block, size, 8);
    held.clear();

    pool.Reserve(16);
    const int64_t requests = pool.HeapRequests();
    for (int round = 0; round < 3; ++round) {
        for (int i = 0; i < 80; ++i) {
            for (size_t size : sizes) held.emplace_back(pool.allocate(size, 8), size);
        }
        for (auto& [block, size] : held) pool.deallocate(block, size, 8);
        held.clear();
    }
    EXPECT_EQ(pool.HeapRequests(), requests);

    // One more than reserved: the pool grows instead of failing.
    for (int i = 0; i < 81; ++i) held.emplace_back(pool.allocate(200, 8), 200);
    EXPECT_GT(pool.HeapRequests(), requests);
    // Every block is distinct and writable.
    for (size_t i = 0; i < held.size(); ++i) *static_cast<size_t*>(held[i].first) = i;
    for (size_t i = 0; i < held.size(); ++i) EXPECT_EQ(*static_cast<size_t*>(held[i].first), i);
    for (auto& [block, size] : held) pool.deallocate(block, size, 8);
}

}  // namespace
