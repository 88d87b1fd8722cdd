// How the process's memory allocator is set up before anything is loaded.
#pragma once

#include <cstdint>

// Sets the allocator's thresholds and asks for the first part of the heap, where the
// motifs are loaded, to be backed by large pages. Call once, before the inputs are read.
void prepare_heap();

// Asks for large pages under the heaps of the calling thread as its blocks reach them:
// the allocator gives each thread heaps of its own, which the system would otherwise back
// a 4 KiB page at a time, a fault each.
class thread_heap_pages {
public:
    // Marks the heap that holds `block`, unless marked last or the main heap.
    void cover(const void* block);

private:
    std::uintptr_t marked_ = 0;
};

// Marks the calling thread's first heap. Called first by each thread the run starts for
// its work.
void prepare_thread_heap();
