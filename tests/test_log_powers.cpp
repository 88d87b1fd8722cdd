#include <gtest/gtest.h>

#include <bit>
#include <cfloat>
#include <cmath>
#include <cstdint>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc
#include <random>
#include <span>
#include <vector>

#include "log_powers.h"

namespace {

std::uint64_t bits(double v)
{
    return std::bit_cast<std::uint64_t>(v);
}

using path_fn = std::size_t (*)(const double*, double, double*, std::size_t);

std::size_t dispatched(const double* m, double e, double* out, std::size_t n)
{
    return log_powers(std::span<const double>(m, n), e, std::span<double>(out, n));
}

// Compares `path` (log_powers itself unless given) with the library's own log(pow(m, e))
// for every value; returns how many it handed over.
std::size_t expect_library_bits(const std::vector<double>& m, double e, const char* what, path_fn path = dispatched)
{
    std::vector<double> out(m.size());
    const std::size_t handed = path(m.data(), e, out.data(), m.size());
    for (std::size_t i = 0; i < m.size(); ++i) {
        const double want = std::log(std::pow(m[i], e));
        EXPECT_EQ(bits(out[i]), bits(want))
            << what << ": m " << std::hexfloat << m[i] << " e " << e << " gave " << out[i] << ", the library " << want;
    }
    return handed;
}

// Products of w quotients whose scores lie within +-6, as motifs' best windows do.
std::vector<double> scores_of_width(int w, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> m;
    for (int i = 0; i < 3000; ++i)
        m.push_back(std::exp(static_cast<double>(w) * (unit(rng) - 0.5) * 12.0));
    return m;
}

std::vector<double> hard_cases(int w, std::mt19937_64& rng)
{
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<double> hard;
    // Scores near 0 (powers near 1), where the logarithm's relative precision counts.
    for (int i = 0; i < 500; ++i)
        hard.push_back(
            std::exp(static_cast<double>(w) * (unit(rng) - 0.5) * std::ldexp(1.0, -static_cast<int>(unit(rng) * 60))));
    // Every binade, and each table interval's ends.
    for (int i = 0; i < 500; ++i)
        hard.push_back(std::ldexp(1.0 + unit(rng), static_cast<int>(unit(rng) * 2045.0) - 1022));
    for (int i = 0; i < 128; ++i) {
        const double edge = 1.0 + i / 128.0;
        hard.insert(hard.end(), {edge, std::nextafter(edge, 0.0), std::nextafter(edge, 2.0), edge / 2, 3.0 * edge});
    }
    // Exact powers, and the ends of the range worked out (subnormals, the largest
    // double, 1 and its neighbours, |ln m| / w about 700).
    for (int k = 2; k <= 12; ++k)
        hard.push_back(std::pow(static_cast<double>(k), w));
    hard.insert(hard.end(),
        {DBL_MIN, std::nextafter(DBL_MIN, 0.0), DBL_TRUE_MIN, DBL_MAX, 1.0, std::nextafter(1.0, 0.0),
            std::nextafter(1.0, 2.0), std::exp(699.9), std::exp(700.1), std::exp(-699.9), std::exp(-700.1),
            std::exp(-708.0)});
    return hard;
}

}  // namespace

TEST(LogPowers, SameBitsAsTheLibraryForScoresOfEveryWidth)
{
    std::mt19937_64 rng(20261209);
    std::size_t handed = 0;
    std::size_t scores = 0;
    for (int w = 1; w <= 30; ++w) {
        const double e = 1.0 / static_cast<double>(w);
        const std::vector<double> m = scores_of_width(w, rng);
        scores += m.size();
        handed += expect_library_bits(m, e, "scores");
        expect_library_bits(hard_cases(w, rng), e, "hard cases");
    }
    // Most go the fast way where there is one: the library's own bounds leave a tenth or so.
    if (log_powers_lanes() > 1)
        EXPECT_LT(handed, scores / 4) << handed << " of " << scores << " handed to the library";
    else
        EXPECT_EQ(handed, scores);
}

TEST(LogPowers, EachVectorPathThisProcessorHasGivesTheLibrarysBits)
{
    // log_powers takes the widest path only: on a processor with AVX-512, the AVX2 one is
    // run here or nowhere.
#if defined(__x86_64__) && defined(__GLIBC__)
    __builtin_cpu_init();
    const bool fma = __builtin_cpu_supports("fma");
    const struct {
        const char* name;
        bool has;
        path_fn run;
    } paths[] = {
        {"AVX-512", fma && __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"), log_powers_avx512},
        {"AVX2", fma && __builtin_cpu_supports("avx2"), log_powers_avx2}};
    int run = 0;
    for (const auto& path : paths) {
        if (!path.has)
            continue;
        ++run;
        std::mt19937_64 rng(20261211);
        for (int w = 1; w <= 30; ++w) {
            const double e = 1.0 / static_cast<double>(w);
            const std::vector<double> m = scores_of_width(w, rng);
            EXPECT_LT(expect_library_bits(m, e, path.name, path.run), m.size() / 4) << path.name << ", width " << w;
            expect_library_bits(hard_cases(w, rng), e, path.name, path.run);
        }
    }
    if (run == 0)
        GTEST_SKIP() << "no vector path on this processor";
#else
    GTEST_SKIP() << "the vector paths are for x86-64 with glibc";
#endif
}

TEST(LogPowers, EveryLengthFillsItsOwnResultsOnly)
{
    // Lengths around the vectors of 4 and 8 and the lists' chunks of 256, with values handed over
    // (subnormals) among them: no result may land elsewhere or past the end.
    for (const std::size_t n : {0u, 1u, 3u, 4u, 5u, 7u, 8u, 9u, 255u, 256u, 257u, 1031u}) {
        std::vector<double> m(n);
        for (std::size_t i = 0; i < n; ++i)
            m[i] = i % 5 == 3 ? DBL_TRUE_MIN * static_cast<double>(i + 1) : 1.0 + static_cast<double>(i) / 3.0;
        std::vector<double> out(n + 8, -123.0);
        log_powers(m, 1.0 / 7.0, std::span<double>(out.data(), n));
        for (std::size_t i = 0; i < n; ++i)
            ASSERT_EQ(bits(out[i]), bits(std::log(std::pow(m[i], 1.0 / 7.0)))) << "length " << n << ", value " << i;
        for (std::size_t i = n; i < n + 8; ++i)
            ASSERT_EQ(out[i], -123.0) << "length " << n << ": written past the end";
    }
}
