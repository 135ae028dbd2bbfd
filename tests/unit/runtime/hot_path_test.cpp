// The steady-state render path allocates nothing. Global operator new and delete are replaced
// for the whole test binary; they count only between StartCounting and StopCounting.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <new>
#include <vector>

#include "morvanel.h"
#include "support/render_support.h"

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

void Count() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

void* Allocate(std::size_t size) {
    Count();
    void* memory = std::malloc(size != 0 ? size : 1);
    if (memory == nullptr) throw std::bad_alloc();
    return memory;
}

void* AllocateAligned(std::size_t size, std::align_val_t alignment) {
    Count();
    std::size_t align = static_cast<std::size_t>(alignment);
    if (align < sizeof(void*)) align = sizeof(void*);
    void* memory = nullptr;
    if (posix_memalign(&memory, align, size != 0 ? size : 1) != 0) throw std::bad_alloc();
    return memory;
}

void* AllocateOrNull(std::size_t size) noexcept {
    Count();
    return std::malloc(size != 0 ? size : 1);
}

void* AllocateAlignedOrNull(std::size_t size, std::align_val_t alignment) noexcept {
    try {
        return AllocateAligned(size, alignment);
    } catch (...) {
        return nullptr;
    }
}

}  // namespace

void* operator new(std::size_t size) { return Allocate(size); }
void* operator new[](std::size_t size) { return Allocate(size); }
void* operator new(std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new[](std::size_t size, const std::nothrow_t&) noexcept { return AllocateOrNull(size); }
void* operator new(std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new[](std::size_t size, std::align_val_t alignment) { return AllocateAligned(size, alignment); }
void* operator new(std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return AllocateAlignedOrNull(size, alignment);
}
void* operator new[](std::size_t size, std::align_val_t alignment, const std::nothrow_t&) noexcept {
    return AllocateAlignedOrNull(size, alignment);
}
void operator delete(void* memory) noexcept { std::free(memory); }
void operator delete[](void* memory) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t) noexcept { std::free(memory); }
void operator delete(void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete[](void* memory, std::size_t, std::align_val_t) noexcept { std::free(memory); }
void operator delete(void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }
void operator delete[](void* memory, std::align_val_t, const std::nothrow_t&) noexcept { std::free(memory); }

namespace {

using morvanel::testing::Compiled;
using morvanel::testing::Instance;
using morvanel::testing::VoiceCount;

TEST(HotPath, SteadyStateRenderOf64SquareVoicesAllocatesNothing) {
    Instance instance;
    ASSERT_TRUE(Compiled(instance.Parse("s = { @loop sqr(100) }")));
    // The command ring holds 64 entries: start in two halves.
    for (int half = 0; half < 2; ++half) {
        for (int i = 0; i < 32; ++i) ASSERT_NE(instance.Start("s"), 0);
        instance.Render(1);
    }
    ASSERT_EQ(VoiceCount(instance), 64u);
    std::vector<float> buffer(512);
    GetBuffer(static_cast<int>(buffer.size()), buffer.data(), instance.id());  // warm up

    allocations.store(0);
    counting.store(true);
    const int rendered = GetBuffer(static_cast<int>(buffer.size()), buffer.data(), instance.id());
    counting.store(false);

    EXPECT_EQ(rendered, 512);
    EXPECT_EQ(allocations.load(), 0);
    // All 64 voices sound: 32 of them one sample behind the others, so the sum is +-6.4 or 0.
    int loud = 0;
    for (const float sample : buffer) loud += sample == 6.4f || sample == -6.4f;
    EXPECT_GT(loud, 400);
    EXPECT_EQ(VoiceCount(instance), 64u);
}

}  // namespace
