// The scores' logarithms of powers, many at once: std::log(std::pow(m, e)) to the bit,
// worked out eight at a time where the processor has AVX-512 (x86-64), four at a time where
// it has AVX2 and FMA, where the C library is glibc; by the C library itself elsewhere and
// wherever the vector result could round otherwise.
#pragma once

#include <cstddef>
#include <span>

// out[i] = std::log(std::pow(m[i], e)) for positive finite m[i] and e in (0, 1], as this
// process's C library gives it. Returns how many were handed to the C library.
std::size_t log_powers(std::span<const double> m, double e, std::span<double> out);

// How many values log_powers works out at a time on this processor: 8, 4, or 1 where
// each goes to the C library.
int log_powers_lanes();

#if defined(__x86_64__)
#define TARNEL_LOG_POWERS __attribute__((target("avx512f,avx512dq,fma")))
// The vector path for n values: the same results, and the same count.
TARNEL_LOG_POWERS std::size_t log_powers_avx512(const double* m, double e, double* out, std::size_t n);
#define TARNEL_LOG_POWERS_AVX2 __attribute__((target("avx2,fma")))
// Four at a time, where the processor has AVX2 and FMA: the same results, and the same count.
TARNEL_LOG_POWERS_AVX2 std::size_t log_powers_avx2(const double* m, double e, double* out, std::size_t n);
#endif
