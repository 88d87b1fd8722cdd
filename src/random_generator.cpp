#include "random_generator.h"

void random_generator::seed_with(unsigned seed)
{
    if (seed == 0)
        seed = 1;
    // r[i] = 16807 r[i - 1] mod (2^31 - 1) by Schrage's method, on 32-bit signed words
    // as the reference computes it: a seed of 2^31 or more starts as a negative word.
    auto word = static_cast<std::int32_t>(seed);
    r_[0] = seed;
    for (std::size_t i = 1; i < r_.size(); ++i) {
        const std::int64_t hi = word / 127773;
        const std::int64_t lo = word % 127773;
        std::int64_t next = 16807 * lo - 2836 * hi;
        if (next < 0)
            next += 2147483647;
        word = static_cast<std::int32_t>(next);
        r_[i] = static_cast<std::uint32_t>(word);
    }
    front_ = 3;
    rear_ = 0;
    // The first 310 outputs are discarded, to mix the linear start away.
    for (int i = 0; i < 310; ++i)
        next();
}

int random_generator::next()
{
    const std::uint32_t sum = r_[static_cast<std::size_t>(front_)] += r_[static_cast<std::size_t>(rear_)];
    front_ = front_ + 1 == 31 ? 0 : front_ + 1;
    rear_ = rear_ + 1 == 31 ? 0 : rear_ + 1;
    return static_cast<int>(sum >> 1);
}

namespace {

random_generator& run_generator()
{
    static random_generator generator;
    return generator;
}

}  // namespace

void seed_random(unsigned seed)
{
    run_generator().seed_with(seed);
}

int next_random()
{
    return run_generator().next();
}
