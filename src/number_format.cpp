#include "number_format.h"

#include <bit>
#include <charconv>

// std::to_chars with a precision formats as printf's %f and %e do in the C locale,
// correctly rounded with exact ties to even (libstdc++ uses Ryu printf), and writes
// inf, -inf, nan and -nan as glibc does. test_number_format.cpp holds both to snprintf.

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
    auto fraction = static_cast<std::uint32_t>(millionths % 1000000);
    for (int i = 5; i >= 0; --i) {
        p[i] = static_cast<char>('0' + fraction % 10);
        fraction /= 10;
    }
    return p + 6;
}

char* write_exp6(char* p, double v)
{
    // "-d.dddddde-XXX"
    return std::to_chars(p, p + exp6_room, v, std::chars_format::scientific, 6).ptr;
}

char* write_integer(char* p, std::int64_t v)
{
    return std::to_chars(p, p + integer_room, v).ptr;
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
