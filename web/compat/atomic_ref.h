// std::atomic_ref for standard libraries that predate it (the libc++ of Emscripten 3.1.6). The web
// build force-includes this header into the engine only when the toolchain lacks the type. It
// offers the operations the engine uses, load and store, on the compiler's atomic builtins, which
// act on the referenced object itself as the standard type does.
#ifndef MORVANEL_COMPAT_ATOMIC_REF_H
#define MORVANEL_COMPAT_ATOMIC_REF_H

#include <atomic>
#include <cstddef>
#include <type_traits>

#if !defined(__cpp_lib_atomic_ref)
namespace std {

template <class T>
class atomic_ref {
    static_assert(is_trivially_copyable_v<T>, "atomic_ref needs a trivially copyable type");

public:
    using value_type = T;
    static constexpr size_t required_alignment =
        (sizeof(T) & (sizeof(T) - 1)) == 0 && sizeof(T) > alignof(T) ? sizeof(T) : alignof(T);

    explicit atomic_ref(T& object) noexcept : object_(&object) {}
    atomic_ref(const atomic_ref&) noexcept = default;
    atomic_ref& operator=(const atomic_ref&) = delete;

    T load(memory_order order = memory_order_seq_cst) const noexcept {
        T value;
        __atomic_load(object_, &value, static_cast<int>(order));
        return value;
    }

    void store(T value, memory_order order = memory_order_seq_cst) const noexcept {
        __atomic_store(object_, &value, static_cast<int>(order));
    }

    operator T() const noexcept { return load(); }  // NOLINT: implicit as in the standard

private:
    T* object_;
};

}  // namespace std
#endif

#endif  // MORVANEL_COMPAT_ATOMIC_REF_H
