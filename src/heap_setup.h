// How the process's memory allocator is set up before anything is loaded.
#pragma once

// Sets the allocator's thresholds and asks for the first part of the heap, where the
// sequences are loaded, to be backed by large pages. Call once, before the inputs are read.
void prepare_heap();
