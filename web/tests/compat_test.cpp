// The stand-ins of compat/ under load, built for WebAssembly with the module's toolchain and run by
// module.test.mjs: random allocations of every size class and alignment through the pool resource,
// each block filled and checked before it is freed, containers on the pool, and atomic_ref. Exits
// with status 0 when everything held, 1 with a message otherwise.
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory_resource>
#include <vector>

namespace {

struct Block {
    unsigned char* data;
    size_t bytes;
    size_t alignment;
    unsigned char fill;
};

uint32_t state = 12345;
uint32_t Next() {
    state = state * 1664525u + 1013904223u;
    return state >> 8;
}

int Fail(const char* what, size_t index) {
    std::printf("FAIL: %s (block %zu)\n", what, index);
    return 1;
}

int PoolStress() {
    // The engine's own options: pools up to 64 KB, larger blocks straight from upstream.
    std::pmr::unsynchronized_pool_resource pool(std::pmr::pool_options{0, 64 * 1024});
    std::vector<Block> live;
    for (size_t round = 0; round < 60000; ++round) {
        const bool allocate = live.size() < 50 || (live.size() < 4000 && Next() % 3 != 0);
        if (allocate) {
            const uint32_t kind = Next() % 100;
            const size_t bytes = kind < 70 ? 1 + Next() % 256 : kind < 95 ? 1 + Next() % 70000 : 70000 + Next() % 300000;
            const size_t alignment = size_t{1} << (Next() % 7);  // 1 to 64
            auto* data = static_cast<unsigned char*>(pool.allocate(bytes, alignment));
            if (reinterpret_cast<uintptr_t>(data) % alignment != 0) return Fail("misaligned block", live.size());
            const auto fill = static_cast<unsigned char>(Next());
            std::memset(data, fill, bytes);
            live.push_back(Block{data, bytes, alignment, fill});
        } else {
            const size_t index = Next() % live.size();
            const Block block = live[index];
            for (size_t i = 0; i < block.bytes; ++i) {
                if (block.data[i] != block.fill) return Fail("a block was overwritten", index);
            }
            pool.deallocate(block.data, block.bytes, block.alignment);
            live[index] = live.back();
            live.pop_back();
        }
    }
    for (size_t index = 0; index < live.size(); ++index) {
        const Block& block = live[index];
        for (size_t i = 0; i < block.bytes; ++i) {
            if (block.data[i] != block.fill) return Fail("a block was overwritten", index);
        }
    }
    pool.release();  // the rest goes back at once; the pool stays usable
    void* again = pool.allocate(100, 8);
    pool.deallocate(again, 100, 8);
    return 0;
}

int Containers() {
    std::pmr::unsynchronized_pool_resource pool;
    std::pmr::map<int64_t, std::pmr::vector<int>> map(&pool);
    for (int64_t key = 0; key < 2000; ++key) {
        auto& values = map.try_emplace(key, &pool).first->second;
        for (int i = 0; i <= key % 50; ++i) values.push_back(static_cast<int>(key) + i);
    }
    for (int64_t key = 0; key < 2000; key += 2) map.erase(key);
    long long sum = 0;
    for (const auto& [key, values] : map) {
        if (values.get_allocator().resource() != &pool) return Fail("a vector left the pool", static_cast<size_t>(key));
        for (int value : values) sum += value;
    }
    long long expected = 0;
    for (int64_t key = 1; key < 2000; key += 2) {
        for (int i = 0; i <= key % 50; ++i) expected += key + i;
    }
    if (sum != expected) return Fail("container contents changed", 0);
    std::pmr::vector<int> copy(map.begin()->second);  // copies use the default resource, as specified
    if (copy.get_allocator().resource() != std::pmr::new_delete_resource()) return Fail("copy kept the pool", 0);
    return 0;
}

int AtomicRef() {
    alignas(std::atomic_ref<float>::required_alignment) float value = 1.5f;
    std::atomic_ref<float> ref(value);
    ref.store(2.25f, std::memory_order_relaxed);
    if (value != 2.25f || ref.load(std::memory_order_relaxed) != 2.25f) return Fail("atomic_ref", 0);
    return 0;
}

}  // namespace

int main() {
    const int failed = PoolStress() + Containers() + AtomicRef();
    if (failed == 0) std::printf("compat: ok\n");
    return failed == 0 ? 0 : 1;
}
