// Threads started on a chosen core. Left to the system, a new thread was often queued
// behind the one that started it, on the same core, while the other core idled: on a
// two-core virtual machine half the starts, the median one 1.4 ms late (a run of the
// real data takes 55 ms).
#pragma once

#include <memory>
#include <thread>
#include <utility>

#include "heap_setup.h"

// Where a new thread starts, and its handshake with the thread that starts it.
class core_placement {
public:
    // On the k-th (counted round) of the cores this process may use, or, for a negative
    // k, on any of them but the caller's. Null where there is nothing to choose (one
    // core, or a system without affinities).
    static std::shared_ptr<core_placement> make(int k);

    // By the starting thread, once the new one exists.
    void place(std::thread::native_handle_type thread);
    // By the new thread, first: waits until it is placed, then lets itself run on every
    // core the process may use, as any other thread does.
    void arrive();

    struct impl;
    explicit core_placement(std::unique_ptr<impl> i);
    ~core_placement();

private:
    std::unique_ptr<impl> impl_;
};

// A thread of type Thread (std::thread or std::jthread) running body(), started where
// core_placement::make(k) chooses. Throws what Thread's constructor throws.
template <typename Thread, typename Body> Thread start_on_core(int k, Body body)
{
    std::shared_ptr<core_placement> placement = core_placement::make(k);
    Thread thread([placement, body = std::move(body)]() mutable {
        if (placement)
            placement->arrive();
        prepare_thread_heap();
        body();
    });
    if (placement)
        placement->place(thread.native_handle());
    return thread;
}
