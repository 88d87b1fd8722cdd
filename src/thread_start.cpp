#include "thread_start.h"

#include <atomic>

#if defined(__linux__)
#include <pthread.h>
#include <sched.h>
#endif

struct core_placement::impl {
#if defined(__linux__)
    cpu_set_t usable;  // every core the process may use
    cpu_set_t first;   // where the thread starts
#endif
    // 0 until the starting thread has placed the new one: 1 placed, 2 left where it was.
    std::atomic<int> placed = 0;
};

core_placement::core_placement(std::unique_ptr<impl> i) : impl_(std::move(i))
{
}

core_placement::~core_placement() = default;

std::shared_ptr<core_placement> core_placement::make(int k)
{
#if defined(__linux__)
    auto i = std::make_unique<impl>();
    if (sched_getaffinity(0, sizeof i->usable, &i->usable) != 0)
        return nullptr;
    const int cores = CPU_COUNT(&i->usable);
    if (cores < 2)
        return nullptr;
    CPU_ZERO(&i->first);
    if (k < 0) {
        i->first = i->usable;
        const int mine = sched_getcpu();
        if (mine >= 0 && mine < CPU_SETSIZE)
            CPU_CLR(mine, &i->first);
        if (CPU_COUNT(&i->first) == 0)
            return nullptr;
    } else {
        int left = k % cores;
        for (int cpu = 0; cpu < CPU_SETSIZE; ++cpu) {
            if (CPU_ISSET(cpu, &i->usable) && left-- == 0) {
                CPU_SET(cpu, &i->first);
                break;
            }
        }
    }
    return std::make_shared<core_placement>(std::move(i));
#else
    (void)k;
    return nullptr;
#endif
}

void core_placement::place(std::thread::native_handle_type thread)
{
#if defined(__linux__)
    // A thread still queued behind this one moves at once.
    const bool placed = pthread_setaffinity_np(thread, sizeof impl_->first, &impl_->first) == 0;
#else
    (void)thread;
    const bool placed = false;
#endif
    impl_->placed = placed ? 1 : 2;
    impl_->placed.notify_one();
}

void core_placement::arrive()
{
    impl_->placed.wait(0);
#if defined(__linux__)
    if (impl_->placed == 1)
        pthread_setaffinity_np(pthread_self(), sizeof impl_->usable, &impl_->usable);
#endif
}
