// A buffer's bytes left as they are when it grows, not zeroed: for buffers that are
// written before they are read. Zeroed, a few MiB of them cost a page fault for every
// 4 KiB, used or not (an input reader's 3 MiB, however short its file).
#pragma once

#include <memory>
#include <new>
#include <utility>

template <typename T>
struct uninitialised_allocator : std::allocator<T> {
    template <typename U>
    struct rebind {
        using other = uninitialised_allocator<U>;
    };
    uninitialised_allocator() = default;
    template <typename U>
    uninitialised_allocator(const uninitialised_allocator<U>&) noexcept
    {
    }
    // Made with no value: left as it is.
    template <typename U>
    void construct(U* p) noexcept
    {
        ::new (static_cast<void*>(p)) U;
    }
    template <typename U, typename... Args>
    void construct(U* p, Args&&... args)
    {
        ::new (static_cast<void*>(p)) U(std::forward<Args>(args)...);
    }
};
