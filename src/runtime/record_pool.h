// The pool that the runtime records of one engine come from: voices, box and sequence instances,
// their variable slots and argument stacks. Blocks are kept in free lists by size, so records that
// come and go reuse memory; parses reserve room ahead, so a voice start or a call in steady state
// never reaches the heap.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory_resource>
#include <vector>

namespace morvanel {

class CRecordPool final : public std::pmr::memory_resource {
public:
    CRecordPool() = default;
    ~CRecordPool() override;
    CRecordPool(const CRecordPool&) = delete;
    CRecordPool& operator=(const CRecordPool&) = delete;

    // Parse time. Tops up every size that has been used so far to room for `minimum` blocks, or
    // for twice its busiest moment when that is more. Allocates.
    void Reserve(int64_t minimum);

    // The runtime's own way in and out, for records of at most 16-byte alignment: a free block
    // of the size is taken or given back without the virtual call.
    void* Take(size_t bytes) {
        if (bytes - 1 < kLargestPooled) {
            SizeClass& sizeClass = classes[(bytes - 1) / kGranule];
            if (FreeBlock* block = sizeClass.free) {
                sizeClass.free = block->next;
                --sizeClass.freeCount;
                if (++sizeClass.inUse > sizeClass.busiest) sizeClass.busiest = sizeClass.inUse;
                return block;
            }
        }
        return do_allocate(bytes, kGranule);
    }
    void Give(void* block, size_t bytes) {
        if (block != nullptr && bytes - 1 < kLargestPooled) {
            SizeClass& sizeClass = classes[(bytes - 1) / kGranule];
            auto* freed = static_cast<FreeBlock*>(block);
            freed->next = sizeClass.free;
            sizeClass.free = freed;
            ++sizeClass.freeCount;
            --sizeClass.inUse;
            return;
        }
        do_deallocate(block, bytes, kGranule);
    }

    // Blocks that came from the heap so far, and the heap requests made for them: tests and
    // benchmarks read these to see whether steady play had to grow the pool.
    int64_t BlocksMade() const { return blocksMade; }
    // Blocks handed out and not given back: records still alive.
    int64_t BlocksInUse() const;
    int64_t HeapRequests() const { return heapRequests; }

private:
    static constexpr size_t kGranule = 16;
    static constexpr size_t kLargestPooled = 4096;
    static constexpr size_t kClasses = kLargestPooled / kGranule;

    struct FreeBlock {
        FreeBlock* next;
    };
    struct SizeClass {
        FreeBlock* free = nullptr;
        int64_t freeCount = 0;
        int64_t inUse = 0;
        int64_t busiest = 0;
        int64_t total = 0;
    };

    void* do_allocate(size_t bytes, size_t alignment) override;
    void do_deallocate(void* block, size_t bytes, size_t alignment) override;
    bool do_is_equal(const std::pmr::memory_resource& other) const noexcept override { return this == &other; }

    // Adds `count` blocks of class `index` from one heap request.
    void Grow(size_t index, int64_t count);

    SizeClass classes[kClasses];
    std::vector<void*> chunks;  // every heap request, freed with the pool
    int64_t blocksMade = 0;
    int64_t heapRequests = 0;
};

}  // namespace morvanel
