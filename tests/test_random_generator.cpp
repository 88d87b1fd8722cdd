// The run's own generator against the C library's rand(), whose numbers it keeps.
#include <gtest/gtest.h>

#include <cstdlib>
#include <random>
#include <vector>

#include "random_generator.h"

namespace {

TEST(RandomGenerator, DrawsWhatGlibcRandDrawsForTheSameSeed)
{
#if !defined(__GLIBC__)
    GTEST_SKIP() << "the numbers to keep are glibc's rand(), and this C library has another";
#else
    // 0 (taken as 1), the ends of the Schrage steps, seeds of 2^31 and more (negative -s).
    std::vector<unsigned> seeds{0, 1, 2, 99, 12345, 127772, 127773, 16807, 2147483646, 2147483647, 2147483648u,
        3000000000u, 4294967295u};
    std::mt19937 rng(20);
    for (int i = 0; i < 200; ++i)
        seeds.push_back(static_cast<unsigned>(rng()));
    for (const unsigned seed : seeds) {
        std::srand(seed);
        random_generator g(seed);
        for (int i = 0; i < 2000; ++i)
            ASSERT_EQ(g.next(), std::rand()) << "seed " << seed << ", draw " << i;
    }
#endif
}

TEST(RandomGenerator, RunGeneratorStartsOverAtEachSeed)
{
    seed_random(7);
    const int first = next_random();
    for (int i = 0; i < 100; ++i)
        next_random();
    seed_random(7);
    EXPECT_EQ(next_random(), first);
    random_generator own(7);
    EXPECT_EQ(own.next(), first);
    EXPECT_EQ(own.next(), next_random());
}

}  // namespace
