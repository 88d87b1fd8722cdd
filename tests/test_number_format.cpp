// The number formatting against glibc's snprintf: every byte must agree.
#include <gtest/gtest.h>

#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "number_format.h"
#include "powers_of_ten_table.h"
#include "rounding.h"

namespace {

// Random values of each kind: the file runs in about 1 s in Release. Random bit patterns
// are mostly huge or tiny, slow for printf's %f, and so fewer.
constexpr int random_count = 200000;
constexpr int random_bits_count = random_count / 8;

std::string with_printf(const char* format, auto v)
{
    char text[400];
    return std::string(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, format, v)));
}

// Counts the values formatted unlike printf and keeps the first few.
struct checker {
    int failures = 0;
    std::string examples;

    void note(const std::string& what, const std::string& got, const std::string& want)
    {
        if (++failures <= 5)
            examples += what + ": got " + got + ", printf writes " + want + "\n";
    }
    void operator()(double v)
    {
        for (const bool exp : {false, true}) {
            std::string got;
            (exp ? append_exp6 : append_fixed6)(got, v);
            const std::string want = with_printf(exp ? "%e" : "%f", v);
            if (got != want)
                note(with_printf("%a", v), got, want);
        }
    }
    void with_neighbours(double v)
    {
        for (const double x : {v, std::nextafter(v, -INFINITY), std::nextafter(v, INFINITY)}) {
            (*this)(x);
            (*this)(-x);
        }
    }
    void integer(std::int64_t v)
    {
        std::string got;
        append_integer(got, v);
        const std::string want = with_printf("%lld", static_cast<long long>(v));
        if (got != want)
            note(want, got, want);
    }
};

TEST(NumberFormat, SpecialValuesAndExtremes)
{
    checker check;
    const double inf = std::numeric_limits<double>::infinity();
    for (const double v : {0.0, inf, std::nan(""), std::bit_cast<double>(std::uint64_t{0x7ff0000000000001}),
             std::numeric_limits<double>::denorm_min(), std::numeric_limits<double>::min(),
             std::numeric_limits<double>::max(), 1e-9, 0x1p-31, 0x1p-30, 0x1p40, 1e308, 0.9999995, 9.9999995})
        check.with_neighbours(v);
    for (int k = 0; k < 52; ++k)  // subnormals with one bit set, and all bits below it
        check.with_neighbours(std::bit_cast<double>((std::uint64_t{1} << k) | ((std::uint64_t{1} << k) - 1)));
    for (const std::int64_t v : {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max(),
             std::int64_t{0}, std::int64_t{-1}, std::int64_t{-9}, std::int64_t{10}})
        check.integer(v);
    for (std::int64_t p = 1; p <= std::numeric_limits<std::int64_t>::max() / 10; p *= 10)
        for (const std::int64_t v : {p - 1, p, p + 1, -p + 1, -p, -p - 1})
            check.integer(v);
    // Every number of up to five digits, and every count of ten thousands of up to five
    // digits above them: each length of either half of a coordinate.
    for (std::int64_t v = 0; v < 100000; ++v) {
        check.integer(v);
        check.integer(v * 10000 + 9999 - v % 10000);
    }
    EXPECT_EQ(check.failures, 0) << check.examples;

    std::string text;  // the forms the task names, spelled out
    for (const double v : {-0.0, -1e-9, -inf, -std::nan("")}) {
        append_fixed6(text, v);
        text += ' ';
    }
    append_exp6(text, 1e-300);
    text += ' ';
    append_exp6(text, 1e-5);
    EXPECT_EQ(text, "-0.000000 -0.000000 -inf -nan 1.000000e-300 1.000000e-05");
}

TEST(NumberFormat, PowersAndTies)
{
    checker check;
    for (int k = -1074; k <= 1023; ++k)
        check.with_neighbours(std::ldexp(1.0, k));
    for (int k = -324; k <= 308; ++k)
        for (const char* digits : {"1", "5", "9.9999995", "9.9999994999", "1.0000005", "1.25", "2.5"})
            check.with_neighbours(std::strtod((std::string(digits) + "e" + std::to_string(k)).c_str(), nullptr));
    // Exact ties: odd multiples of 2^-n hold many values ending in 5 one digit past the
    // last written, and so do integers of eight or more digits ending in 5.
    for (int n = 0; n <= 64; ++n)
        for (int j = 1; j < 1000; j += 2)
            check.with_neighbours(std::ldexp(j, -n));
    for (std::int64_t i = 10000005; i < 100000000; i += 39990)
        for (double scale = 1; scale < 1e8; scale *= 10)
            check.with_neighbours(static_cast<double>(i) * scale);
    EXPECT_EQ(check.failures, 0) << check.examples;
}

TEST(NumberFormat, RandomValues)
{
    checker check;
    std::mt19937_64 rng(20240611);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (int i = 0; i < random_bits_count; ++i)
        check(std::bit_cast<double>(rng()));
    for (int i = 0; i < random_count; ++i) {
        check((unit(rng) - 0.5) * 20);                            // scores
        check((unit(rng) - 0.5) * 200);                           // t values
        check(unit(rng));                                         // p-values
        check(std::pow(10.0, -330 * unit(rng)));                  // tiny p-values
        check(static_cast<double>(rng() % 40000001) / 2e6 - 10);  // near a %f tie
        check.integer(static_cast<std::int64_t>(rng()));
        check.integer(static_cast<std::int64_t>(rng() >> (rng() % 64)));
    }
    EXPECT_EQ(check.failures, 0) << check.examples;
}

}  // namespace

namespace {

TEST(Rounding, HalvesGoAwayFromZeroAsLroundDoes)
{
    // Ties of either sign, the doubles beside them, the last doubles with a fraction and
    // the first without, and a spread of the tables' values.
    std::vector<double> values;
    for (const double v : {0.0, 0.5, 1.5, 2.5, 254.5, 255.5, 0x1p52 - 0.5, 0x1p52, 0x1p53})
        for (const double sign : {1.0, -1.0}) {
            values.push_back(sign * v);
            values.push_back(std::nextafter(sign * v, 0.0));
            values.push_back(std::nextafter(sign * v, sign * HUGE_VAL));
        }
    std::mt19937_64 rng(20261209);
    std::uniform_real_distribution<double> spread(-70000.0, 70000.0);
    for (int i = 0; i < 100000; ++i)
        values.push_back(spread(rng));
    for (const double v : values)
        ASSERT_EQ(round_half_away(v), std::lround(v)) << std::hexfloat << v;
}

}  // namespace

// The written-out powers of ten are the ones strtold makes, correctly rounded, to the last
// bit: one ulp off, most %e digits still come out right.
TEST(NumberFormat, PowersOfTenAreCorrectlyRounded)
{
    if constexpr (std::numeric_limits<long double>::digits != 64)
        GTEST_SKIP() << "the table serves the x87 extended format only";
    for (int k = -302; k <= 314; ++k) {
        char text[16];
        std::snprintf(text, sizeof text, "1e%d", k);
        EXPECT_EQ(powers_of_ten_table[k + 302], std::strtold(text, nullptr)) << text;
    }
}
