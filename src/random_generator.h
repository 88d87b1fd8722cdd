// The run's random generator: the sample of the sampled run and the dealing of motifs to
// workers. The project's own, so that a seed draws the same numbers with any C library:
// it is the additive feedback generator that glibc's srand/rand use (31 words of state,
// r[i] = r[i - 3] + r[i - 31], the top 31 bits of each sum given out), seeded the same
// way, so seeds keep the numbers they gave before.
#pragma once

#include <array>
#include <cstdint>

class random_generator {
public:
    explicit random_generator(unsigned seed = 1) { seed_with(seed); }
    // As srand: seed 0 is taken as 1.
    void seed_with(unsigned seed);
    // As rand: 0 to 2^31 - 1.
    int next();

private:
    std::array<std::uint32_t, 31> r_{};
    int front_ = 3;  // r[i - 3]'s slot, which receives the sum
    int rear_ = 0;   // r[i - 31]'s slot
};

// The process-wide generator of a run: seeded once from -s, drawn on the main thread only.
void seed_random(unsigned seed);
int next_random();
