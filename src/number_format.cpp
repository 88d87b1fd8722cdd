#include "number_format.h"

#include <array>
#include <bit>
#include <charconv>
#include <cmath>
#include <cstring>
#include <iterator>
#include <limits>

#include "powers_of_ten_table.h"

// std::to_chars with a precision formats as printf's %f and %e do in the C locale,
// correctly rounded with exact ties to even (libstdc++ uses Ryu printf), and writes
// inf, -inf, nan and -nan as glibc does. test_number_format.cpp holds both to snprintf.

namespace {

// "00" to "99": two digits a lookup, so that the six decimals do not wait on one division
// after another.
constexpr auto two_digits = [] {
    std::array<char, 200> t{};
    for (int i = 0; i < 100; ++i) {
        t[static_cast<std::size_t>(2 * i)] = static_cast<char>('0' + i / 10);
        t[static_cast<std::size_t>(2 * i + 1)] = static_cast<char>('0' + i % 10);
    }
    return t;
}();

// The six digits of r < 10^6, leading zeros included.
char* put_six_digits(char* p, std::uint32_t r)
{
    std::memcpy(p, &two_digits[2 * (r / 10000)], 2);
    std::memcpy(p + 2, &two_digits[2 * (r / 100 % 100)], 2);
    std::memcpy(p + 4, &two_digits[2 * (r % 100)], 2);
    return p + 6;
}

// Where long double is the x87 format (64-bit significand), %e's seven digits come from one
// extended-precision multiplication, m = |v| * 10^(6 - e), e the decimal exponent: with
// the power correctly rounded and the product rounded once, m is within
// 2^-63 * 10^7 < 2^-39 of the exact value, so rounding m to the nearest integer gives
// printf's digits unless the exact value lies that near a half. Values within 2^-30 of
// one (about two in a billion), subnormals, infinities and NaNs are left to std::to_chars.
// (The significand is read from the value's first eight bytes, as x87 stores it.)
constexpr bool extended_at_hand =
    std::numeric_limits<long double>::digits == 64 && std::endian::native == std::endian::little;
constexpr int least_power = -302;  // 6 - e for the largest normal double (e = 308)
constexpr int most_power = 314;    // and for the smallest (e = -308)
constexpr long double near_half = 0x1p-30L;

// 10^k for k from least_power to most_power: a table read on each call, not asked for
// through a function, which kept the value in memory around it. Written out by its script
// rather than made with strtold as the program starts, which took a fifth of a
// millisecond of every run's start.
constexpr const auto& powers_of_ten = powers_of_ten_table;
static_assert(std::size(powers_of_ten_table) == most_power - least_power + 1);

// Two digits and the sign of %e's exponent, or three where it has them.
char* put_exponent(char* p, int e)
{
    *p++ = 'e';
    *p++ = e < 0 ? '-' : '+';
    const auto magnitude = static_cast<unsigned>(e < 0 ? -e : e);
    if (magnitude >= 100)
        *p++ = static_cast<char>('0' + magnitude / 100);
    std::memcpy(p, &two_digits[2 * (magnitude % 100)], 2);
    return p + 2;
}

}  // namespace

char* write_fixed6(char* p, double v)
{
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const int biased_exp = static_cast<int>(bits >> 52 & 0x7ff);
    if (biased_exp >= 1023 + 40) {
        // |v| >= 2^40, inf or nan: rare in the output, left to the general method.
        return std::to_chars(p, p + fixed6_room, v, std::chars_format::fixed, 6).ptr;
    }
    // Fast path for |v| < 2^40: v * 10^6 rounded to an integer, computed exactly.
    // v = m * 2^e, so v * 10^6 = m * 15625 * 2^(e + 6) with m * 15625 < 2^67.
    std::uint64_t millionths = 0;
    if (biased_exp >= 1023 - 30) {
        // Below 2^-30 (< 0.0000005) the value rounds to zero; here 7 <= shift <= 76.
        const std::uint64_t m = (bits & ((std::uint64_t{1} << 52) - 1)) | std::uint64_t{1} << 52;
        const int shift = 1075 - biased_exp - 6;
        const unsigned __int128 scaled = static_cast<unsigned __int128>(m) * 15625;
        millionths = static_cast<std::uint64_t>(scaled >> shift);
        const unsigned __int128 rest = scaled & ((static_cast<unsigned __int128>(1) << shift) - 1);
        const unsigned __int128 half = static_cast<unsigned __int128>(1) << (shift - 1);
        if (rest > half || (rest == half && (millionths & 1) != 0))
            ++millionths;
    }
    if (bits >> 63 != 0)
        *p++ = '-';  // also for -0.0 and negative values rounding to zero, as printf does
    p = std::to_chars(p, p + integer_room, millionths / 1000000).ptr;
    *p++ = '.';
    return put_six_digits(p, static_cast<std::uint32_t>(millionths % 1000000));
}

char* write_exp6(char* p, double v)
{
    const auto bits = std::bit_cast<std::uint64_t>(v);
    const int biased_exp = static_cast<int>(bits >> 52 & 0x7ff);
    if ((bits << 1) == 0) {  // zero: the p-value of most written sites
        if (bits >> 63 != 0)
            *p++ = '-';
        std::memcpy(p, "0.000000e+00", 12);
        return p + 12;
    }
    if (extended_at_hand && biased_exp != 0 && biased_exp != 0x7ff) {
        // 2^b <= |v| < 2^(b + 1): the decimal exponent is floor(b log10 2) or one more
        // (b * 78913 / 2^18 is that floor for every b of a double).
        const int b = biased_exp - 1023;
        int e = (b * 78913) >> 18;
        const auto magnitude = static_cast<long double>(std::bit_cast<double>(bits & ~(std::uint64_t{1} << 63)));
        long double m = magnitude * powers_of_ten[static_cast<std::size_t>(6 - e - least_power)];
        // Past 9999999.5 the digits are those of the next exponent: ten times fewer, they
        // round to 1000000 where the exponent was right and m rounded up to 10^7. Too near
        // that half to tell which side it lies on, v is left to the general method.
        const bool next = m > 9999999.5L;
        bool clear = std::fabs(m - 9999999.5L) > near_half;
        if (next) {
            ++e;
            m = magnitude * powers_of_ten[static_cast<std::size_t>(6 - e - least_power)];
        }
        // m + 2^63 has units in its last place: its significand's low bits are m rounded to
        // an integer (a conversion to an integer would switch the x87 rounding mode twice).
        const long double shifted = m + 0x1p63L;
        const long double fraction = m - (shifted - 0x1p63L);  // exact, within a half
        clear = clear && 0.5L - std::fabs(fraction) > near_half;
        if (clear) {
            std::uint64_t significand = 0;
            std::memcpy(&significand, &shifted, sizeof significand);
            const auto digits = static_cast<std::uint32_t>(significand - (std::uint64_t{1} << 63));
            if (bits >> 63 != 0)
                *p++ = '-';
            p[0] = static_cast<char>('0' + digits / 1000000);
            p[1] = '.';
            return put_exponent(put_six_digits(p + 2, digits % 1000000), e);
        }
    }
    // "-d.dddddde-XXX"
    return std::to_chars(p, p + exp6_room, v, std::chars_format::scientific, 6).ptr;
}

namespace {

// The four digits of v < 10^4, leading zeros included.
char* put_four_digits(char* p, std::uint32_t v)
{
    std::memcpy(p, &two_digits[2 * (v / 100)], 2);
    std::memcpy(p + 2, &two_digits[2 * (v % 100)], 2);
    return p + 4;
}

// The digits of v < 10^4, without leading zeros.
char* put_short(char* p, std::uint32_t v)
{
    if (v < 10) {
        *p = static_cast<char>('0' + v);
        return p + 1;
    }
    if (v < 100) {
        std::memcpy(p, &two_digits[2 * v], 2);
        return p + 2;
    }
    if (v < 1000) {
        *p = static_cast<char>('0' + v / 100);
        std::memcpy(p + 1, &two_digits[2 * (v % 100)], 2);
        return p + 3;
    }
    return put_four_digits(p, v);
}

}  // namespace

char* write_integer(char* p, std::int64_t v)
{
    // Coordinates, the most of a line's integers, are below 10^9. Split at 10^4, both
    // halves' digit pairs come from independent divisions by constants instead of one
    // chain of them after a loop that counts the digits.
    if (v < 0 || v >= 1'000'000'000)
        return std::to_chars(p, p + integer_room, v).ptr;
    const auto u = static_cast<std::uint32_t>(v);
    if (u < 10000)
        return put_short(p, u);
    const std::uint32_t upper = u / 10000;  // 1 to 99999
    if (upper >= 10000) {
        *p++ = static_cast<char>('0' + upper / 10000);
        p = put_four_digits(p, upper % 10000);
    } else {
        p = put_short(p, upper);
    }
    return put_four_digits(p, u % 10000);
}

void append_fixed6(std::string& out, double v)
{
    char text[fixed6_room];
    out.append(text, write_fixed6(text, v));
}

void append_exp6(std::string& out, double v)
{
    char text[exp6_room];
    out.append(text, write_exp6(text, v));
}

void append_integer(std::string& out, std::int64_t v)
{
    char text[integer_room];
    out.append(text, write_integer(text, v));
}
