// Appends numbers to a string as the same bytes glibc's printf writes for them in the C
// locale and the default rounding mode (round to nearest, exact ties to even), without
// printf's cost. Every result is correctly rounded from the double's exact value.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// printf("%f", v): "-0.000000" for -0.0 and for negative values that round to zero;
// "inf", "-inf", "nan", "-nan" (the NaN's sign bit decides).
void append_fixed6(std::string& out, double v);

// printf("%e", v): d.dddddde+XX, the exponent signed and at least two digits long.
void append_exp6(std::string& out, double v);

// printf("%lld", v).
void append_integer(std::string& out, std::int64_t v);

// The same bytes written at p, which has room for the bytes below; each returns the end.
inline constexpr std::size_t fixed6_room = 320;  // "-", 309 integer digits, ".", 6 decimals
inline constexpr std::size_t exp6_room = 32;
inline constexpr std::size_t integer_room = 24;
char* write_fixed6(char* p, double v);
char* write_exp6(char* p, double v);
char* write_integer(char* p, std::int64_t v);
