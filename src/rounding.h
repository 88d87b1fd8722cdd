// Rounding to the nearest integer, halves away from zero, without a library call.
#pragma once

#include <cmath>

// std::lround(x), inline where |x| < 2^52: the scan's tables round hundreds of values per
// motif, and the library's calls took 7% of a run of the real motifs over one sequence.
// There x - trunc(x) is exact, so the halves go away from zero as lround's do. Larger
// values, infinities and NaNs are left to the library.
inline long round_half_away(double x)
{
    if (!(std::fabs(x) < 0x1p52))
        return std::lround(x);
    const auto whole = static_cast<long long>(x);
    const double fraction = x - static_cast<double>(whole);
    return static_cast<long>(whole + (fraction >= 0.5) - (fraction <= -0.5));
}
