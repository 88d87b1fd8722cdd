#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <unistd.h>

#include "heap_setup.h"

namespace {

// Whether /proc/self/smaps marks the mapping that holds `p` for large pages ("hg").
bool marked_for_large_pages(const void* p)
{
    const auto at = reinterpret_cast<std::uintptr_t>(p);
    std::ifstream smaps("/proc/self/smaps");
    bool inside = false;
    for (std::string line; std::getline(smaps, line);) {
        std::uintptr_t first = 0, end = 0;
        char dash = 0;
        if (std::istringstream(line) >> std::hex >> first >> dash >> end && dash == '-')
            inside = first <= at && at < end;
        else if (inside && line.rfind("VmFlags:", 0) == 0)
            return (line + " ").find(" hg ") != std::string::npos;
    }
    return false;
}

}  // namespace

// A thread's heaps get large pages: its first as it starts, and each further one as
// blocks reach it, as the sequences read on a thread of their own fill them.
TEST(HeapSetup, AThreadsOwnHeapsAreMarkedForLargePages)
{
#if !(defined(__GLIBC__) && defined(__linux__)) || defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the heaps of glibc's own allocator on Linux only";
#else
    if (std::ifstream("/sys/kernel/mm/transparent_hugepage/enabled").fail())
        GTEST_SKIP() << "no large pages on this system";
    bool own = false, first_marked = false, later_apart = false, later_marked = false;
    std::thread([&] {
        prepare_thread_heap();
        void* first = std::malloc(64);
        own = reinterpret_cast<std::uintptr_t>(first) > reinterpret_cast<std::uintptr_t>(sbrk(0));
        first_marked = marked_for_large_pages(first);
        // More than one heap holds, in blocks below the size mapped on its own.
        std::vector<void*> blocks;
        thread_heap_pages pages;
        for (int i = 0; i < 800; ++i)
            pages.cover(blocks.emplace_back(std::malloc(100 * 1024)));
        later_apart =
            reinterpret_cast<std::uintptr_t>(blocks.back()) >> 26 != reinterpret_cast<std::uintptr_t>(first) >> 26;
        later_marked = marked_for_large_pages(blocks.back());
        for (void* b : blocks)
            std::free(b);
        std::free(first);
    }).join();
    if (!own)
        GTEST_SKIP() << "this thread allocated from the main heap";
    EXPECT_TRUE(first_marked);
    EXPECT_TRUE(later_apart);
    EXPECT_TRUE(later_marked);
#endif
}
