#include "heap_setup.h"

#include <cstdint>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

#if defined(__GLIBC__) && defined(__linux__)
#include <malloc.h>
#include <sys/mman.h>
#include <unistd.h>
#endif

void prepare_heap()
{
#if defined(__GLIBC__) && defined(__linux__)
    // A motif's lines are a large string, written and freed when its turn comes. A fixed
    // threshold keeps such blocks mapped on their own and returned when freed; the
    // allocator's self-raising one would keep them in the heaps of eight threads, and the
    // run's memory would grow with its output. Other allocators have no such setting.
    constexpr std::size_t own_mapping = 256 * 1024;
    mallopt(M_MMAP_THRESHOLD, static_cast<int>(own_mapping));
    // One heap for every thread: each worker's own heap came from the system a 4 KiB page
    // at a time, a fault each (some 2,700 more on two cores than on one for 20,000
    // sequences, mostly the lines parked for their turn), while the main heap below is
    // grown in large pages. The workers allocate little, outside the scan and analysis.
    mallopt(M_ARENA_MAX, 1);

    // Loading tens of megabytes of sequences in 4 KiB pages costs a fault per page, and on
    // a virtual machine those faults were a third of the loading time, which no other core
    // can share. The heap is grown once by a large step, and that step is marked for 2 MiB
    // pages where the system gives them on request. Only what is touched is used; where
    // large pages are not available the hint does nothing.
    constexpr std::size_t step = std::size_t{64} << 20;
    constexpr std::uintptr_t large_page = std::uintptr_t{2} << 20;
    mallopt(M_TOP_PAD, static_cast<int>(step));
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
