#include "mapped_memory.h"

#include <cstdint>
#include <sys/mman.h>

namespace {

constexpr std::size_t large_page = std::size_t{2} << 20;

}  // namespace

void* map_memory(std::size_t bytes, bool large_pages)
{
    // Mapped a large page longer, then trimmed to the aligned part inside.
    const std::size_t slack = large_pages ? large_page : 0;
    if (bytes == 0 || bytes > SIZE_MAX - slack)
        return nullptr;
    const std::size_t length = bytes + slack;
    void* map = mmap(nullptr, length, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (map == MAP_FAILED)
        return nullptr;
    if (!large_pages)
        return map;
    const auto start = reinterpret_cast<std::uintptr_t>(map);
    const std::uintptr_t aligned = (start + large_page - 1) & ~(large_page - 1);
    if (aligned > start)
        munmap(map, aligned - start);
    // Whole 4 KiB pages: the trimmed tail starts where the kept part's last page ends.
    const std::uintptr_t kept_end = (aligned + bytes + 4095) & ~std::uintptr_t{4095};
    if (start + length > kept_end)
        munmap(reinterpret_cast<void*>(kept_end), start + length - kept_end);
    auto* p = reinterpret_cast<void*>(aligned);
#if defined(MADV_HUGEPAGE)
    madvise(p, bytes, MADV_HUGEPAGE);  // a hint: refused, nothing changes
#endif
    return p;
}

void unmap_memory(void* p, std::size_t bytes)
{
    if (p != nullptr)
        munmap(p, bytes);
}
