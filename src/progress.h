// The "k/total" progress of a run on the messages stream. On a pipe or a file every step
// is a line of its own; on a terminal one line is rewritten in place (count, percent,
// elapsed and estimated time left) and ended with a line break at the last step.
#pragma once

#include <chrono>

class progress {
public:
    explicit progress(int total);
    // Motif `done` of `total` has finished (the sampled run: is about to start).
    void step(int done);

private:
    int total_;
    bool in_place_;
    std::chrono::steady_clock::time_point start_;
    std::chrono::steady_clock::time_point last_shown_;
};
