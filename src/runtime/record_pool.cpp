// Size-class free lists over chunks from the heap.
#include "runtime/record_pool.h"

#include <algorithm>
#include <cassert>
#include <new>

namespace morvanel {

CRecordPool::~CRecordPool() {
    for (void* chunk : chunks) ::operator delete(chunk, std::align_val_t{kGranule});
}

void CRecordPool::Grow(size_t index, int64_t count) {
    const size_t blockSize = (index + 1) * kGranule;
    auto* chunk = static_cast<char*>(::operator new(blockSize * static_cast<size_t>(count), std::align_val_t{kGranule}));
    chunks.push_back(chunk);
    SizeClass& sizeClass = classes[index];
    for (int64_t i = count - 1; i >= 0; --i) {
        auto* block = reinterpret_cast<FreeBlock*>(chunk + static_cast<size_t>(i) * blockSize);
        block->next = sizeClass.free;
        sizeClass.free = block;
    }
    sizeClass.freeCount += count;
    sizeClass.total += count;
    blocksMade += count;
    ++heapRequests;
}

void* CRecordPool::do_allocate(size_t bytes, size_t alignment) {
    assert(alignment <= kGranule && "records need at most 16-byte alignment");
    (void)alignment;
    if (bytes == 0) bytes = 1;
    if (bytes > kLargestPooled) {
        ++heapRequests;
        return ::operator new(bytes, std::align_val_t{kGranule});
    }
    const size_t index = (bytes - 1) / kGranule;
    SizeClass& sizeClass = classes[index];
    if (sizeClass.free == nullptr) {
        // Out of room outside a parse: grow by half of what the size holds, at least 16 blocks.
        Grow(index, std::max<int64_t>(16, sizeClass.total / 2));
    }
    FreeBlock* block = sizeClass.free;
    sizeClass.free = block->next;
    --sizeClass.freeCount;
    ++sizeClass.inUse;
    sizeClass.busiest = std::max(sizeClass.busiest, sizeClass.inUse);
    return block;
}

void CRecordPool::do_deallocate(void* block, size_t bytes, size_t) {
    if (block == nullptr) return;
    if (bytes == 0) bytes = 1;
    if (bytes > kLargestPooled) {
        ::operator delete(block, std::align_val_t{kGranule});
        return;
    }
    SizeClass& sizeClass = classes[(bytes - 1) / kGranule];
    auto* freed = static_cast<FreeBlock*>(block);
    freed->next = sizeClass.free;
    sizeClass.free = freed;
    ++sizeClass.freeCount;
    --sizeClass.inUse;
}

int64_t CRecordPool::BlocksInUse() const {
    int64_t total = 0;
    for (const SizeClass& sizeClass : classes) total += sizeClass.inUse;
    return total;
}

void CRecordPool::Reserve(int64_t minimum) {
    for (size_t index = 0; index < kClasses; ++index) {
        SizeClass& sizeClass = classes[index];
        if (sizeClass.total == 0) continue;
        const int64_t wanted = std::max(minimum, 2 * sizeClass.busiest);
        if (sizeClass.freeCount < wanted) Grow(index, wanted - sizeClass.freeCount);
    }
}

}  // namespace morvanel
