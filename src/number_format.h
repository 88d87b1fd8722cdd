// Appends numbers to a string as the same bytes glibc's printf writes for them in the C
// locale and the default rounding mode (round to nearest, exact ties to even), without
// printf's cost. Every result is correctly rounded from the double's exact value.
#pragma once

#include <cstdint>
#include <string>

// printf("%f", v): "-0.000000" for -0.0 and for negative values that round to zero;
// "inf", "-inf", "nan", "-nan" (the NaN's sign bit decides).
void append_fixed6(std::string& out, double v);

// printf("%e", v): d.dddddde+XX, the exponent signed and at least two digits long.
void append_exp6(std::string& out, double v);

// printf("%lld", v).
void append_integer(std::string& out, std::int64_t v);
