// Large buffers mapped from the system on their own, not carved from the heap. From the
// heap, the allocator writes its bookkeeping just past such a buffer, into pages never
// touched before, while it holds the heap's lock: every other thread that allocates then
// waits while the system clears those pages (on a virtual machine, 1 to 7 ms for a 2 MiB
// page, seen as waits for the lock in traces of two-core runs).
#pragma once

#include <cstddef>

// `bytes` of memory, each page zeroed by the system as it is first touched; with
// large_pages, aligned to 2 MiB and asked for in pages of that size where the system gives
// them. Null when the system has none to give.
void* map_memory(std::size_t bytes, bool large_pages);

// Gives back memory from map_memory, `bytes` being the size it was asked for.
void unmap_memory(void* p, std::size_t bytes);
