#include "log_powers.h"

#include <cmath>
#include <cstdlib>  // defines __GLIBC__ where the C library is glibc

int log_powers_lanes()
{
    // The vector path relies on the library's pow and log being within 0.54 and 0.519 ulp
    // of the exact values, as glibc's are (and were correctly rounded before 2.28); another
    // library's results are left to it.
#if defined(__x86_64__) && defined(__GLIBC__)
    static const int lanes = [] {
        __builtin_cpu_init();
        if (!__builtin_cpu_supports("fma"))
            return 1;
        if (__builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512dq"))
            return 8;
        return __builtin_cpu_supports("avx2") ? 4 : 1;
    }();
    return lanes;
#else
    return 1;
#endif
}

std::size_t log_powers(std::span<const double> m, double e, std::span<double> out)
{
#if defined(__x86_64__)
    switch (log_powers_lanes()) {
    case 8:
        return log_powers_avx512(m.data(), e, out.data(), m.size());
    case 4:
        return log_powers_avx2(m.data(), e, out.data(), m.size());
    default:
        break;
    }
#endif
    for (std::size_t i = 0; i < m.size(); ++i)
        out[i] = std::log(std::pow(m[i], e));
    return m.size();
}
