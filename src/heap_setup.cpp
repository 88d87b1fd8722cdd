#include "heap_setup.h"

#include <cstdint>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

// glibc's own allocator, which a sanitizer replaces with its own.
#if defined(__GLIBC__) && defined(__linux__) && !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
#define TARNEL_GLIBC_HEAPS 1
#endif

#if defined(TARNEL_GLIBC_HEAPS)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>

namespace {

constexpr std::size_t heap_step = std::size_t{64} << 20;
constexpr std::uintptr_t large_page = std::uintptr_t{2} << 20;
// The address space glibc reserves for a thread's heap, aligned to its size.
constexpr std::uintptr_t thread_heap_span = std::uintptr_t{64} << 20;

}  // namespace
#endif

void prepare_heap()
{
#if defined(TARNEL_GLIBC_HEAPS)
    // A motif's lines are a large string, written and freed when its turn comes. A fixed
    // threshold keeps such blocks mapped on their own and returned when freed; the
    // allocator's self-raising one would keep them in the heaps of eight threads, and the
    // run's memory would grow with its output. Other allocators have no such setting.
    constexpr std::size_t own_mapping = 256 * 1024;
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(own_mapping));
    // Each thread allocates from heaps of its own (the allocator's default), so that the
    // sequences read beside the motifs, and the workers, do not wait for each other's
    // allocations: with one heap for all, the motifs of the real data took twice as long
    // to read beside the sequences as alone, and the workers' lines were slower to build.

    // Loading tens of megabytes in 4 KiB pages costs a fault per page, and on a virtual
    // machine those faults were a third of the loading time, which no other core can
    // share. The heap is grown once by a large step, and that step is marked for 2 MiB
    // pages where the system gives them on request. Only what is touched is used; where
    // large pages are not available the hint does nothing. The same step makes each
    // thread's heap usable in full from the start, as its large pages need.
    mallopt(M_TOP_PAD, static_cast<int>(heap_step));
    void* grow = std::malloc(own_mapping - 4096);  // below the threshold: from the heap, which it grows by the step
    if (grow == nullptr)
        return;
    const auto first = (reinterpret_cast<std::uintptr_t>(grow) + large_page - 1) & ~(large_page - 1);
    const auto top = reinterpret_cast<std::uintptr_t>(sbrk(0));
    if (top > first + large_page)
        madvise(reinterpret_cast<void*>(first), (top - first) & ~(large_page - 1), MADV_HUGEPAGE);
    std::free(grow);
#endif
}

void thread_heap_pages::cover(const void* block)
{
#if defined(TARNEL_GLIBC_HEAPS)
    // A block above the main heap's top lies in a heap of a thread's own, which glibc
    // keeps in a span of address space aligned to its size.
    const auto at = reinterpret_cast<std::uintptr_t>(block);
    const std::uintptr_t span = at & ~(thread_heap_span - 1);
    if (block == nullptr || span == marked_ || at <= reinterpret_cast<std::uintptr_t>(sbrk(0)))
        return;
    madvise(reinterpret_cast<void*>(span), thread_heap_span, MADV_HUGEPAGE);
    marked_ = span;
#else
    (void)block;
#endif
}

void prepare_thread_heap()
{
    // The thread's first block binds it to its heap.
    void* first = std::malloc(64);
    thread_heap_pages().cover(first);
    std::free(first);
}
