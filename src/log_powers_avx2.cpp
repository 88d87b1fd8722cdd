// log(pow(m, e)) four at a time where the processor has AVX2 and FMA but not AVX-512: the
// arithmetic of log_powers_avx512.cpp, whose comment at the top gives its error bounds and
// why they settle the library's own result, operation for operation on four lanes. Where
// AVX2 lacks an instruction of that file its equivalent is exact: small integers converted
// through the bits of 1.5 * 2^52, the exponential's q and j from k by an exact division by
// 128 and floor, and 2^q R_hi as a product with 2^q (both normal), so each lane's result and
// each decision to hand a value to the library are those of the AVX-512 path.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <immintrin.h>

#include "log_powers.h"
#include "log_powers_tables.h"

namespace {

using namespace log_powers_tables;

struct dd {
    __m256d hi, lo;
};

TARNEL_LOG_POWERS_AVX2 inline __m256d splat(double v)
{
    return _mm256_set1_pd(v);
}

TARNEL_LOG_POWERS_AVX2 inline __m256i splat64(std::int64_t v)
{
    return _mm256_set1_epi64x(v);
}

TARNEL_LOG_POWERS_AVX2 inline __m256d abs_of(__m256d v)
{
    return _mm256_andnot_pd(splat(-0.0), v);
}

// hi + lo = a + b exactly, for any a and b.
TARNEL_LOG_POWERS_AVX2 inline dd two_sum(__m256d a, __m256d b)
{
    const __m256d s = _mm256_add_pd(a, b);
    const __m256d bb = _mm256_sub_pd(s, a);
    const __m256d e = _mm256_add_pd(_mm256_sub_pd(a, _mm256_sub_pd(s, bb)), _mm256_sub_pd(b, bb));
    return {s, e};
}

// The same where |a| >= |b|.
TARNEL_LOG_POWERS_AVX2 inline dd fast_two_sum(__m256d a, __m256d b)
{
    const __m256d s = _mm256_add_pd(a, b);
    return {s, _mm256_sub_pd(b, _mm256_sub_pd(s, a))};
}

// hi + lo = a b exactly.
TARNEL_LOG_POWERS_AVX2 inline dd two_prod(__m256d a, __m256d b)
{
    const __m256d p = _mm256_mul_pd(a, b);
    return {p, _mm256_fmsub_pd(a, b, p)};
}

// Horner's rule: c[0] + x (c[1] + x (... c[N-1])).
template <int N> TARNEL_LOG_POWERS_AVX2 inline __m256d horner(__m256d x, const double (&c)[N])
{
    __m256d p = splat(c[N - 1]);
    for (int i = N - 2; i >= 0; --i)
        p = _mm256_fmadd_pd(p, x, splat(c[i]));
    return p;
}

constexpr double log_series[] = {1.0 / 3, -1.0 / 4, 1.0 / 5, -1.0 / 6, 1.0 / 7, -1.0 / 8, 1.0 / 9, -1.0 / 10, 1.0 / 11};
constexpr double exp_series[] = {1.0 / 6, 1.0 / 24, 1.0 / 120, 1.0 / 720, 1.0 / 5040};

// Integers of magnitude below 2^51 to doubles and back: 1.5 * 2^52 has a unit ulp, and k
// added to its bits is the double 1.5 * 2^52 + k.
constexpr double integer_shift = 0x1.8p52;

TARNEL_LOG_POWERS_AVX2 inline __m256d to_double(__m256i k)
{
    const __m256i shift = _mm256_castpd_si256(splat(integer_shift));
    return _mm256_sub_pd(_mm256_castsi256_pd(_mm256_add_epi64(k, shift)), splat(integer_shift));
}

// For whole numbers x.
TARNEL_LOG_POWERS_AVX2 inline __m256i to_integer(__m256d x)
{
    const __m256i shift = _mm256_castpd_si256(splat(integer_shift));
    return _mm256_sub_epi64(_mm256_castpd_si256(_mm256_add_pd(x, splat(integer_shift))), shift);
}

// |v|'s ulp, for normal v whose exponent is above -970.
TARNEL_LOG_POWERS_AVX2 inline __m256d ulp_of(__m256d v)
{
    const __m256i exponent = _mm256_and_si256(_mm256_castpd_si256(v), splat64(0x7FF0000000000000));
    return _mm256_castsi256_pd(_mm256_sub_epi64(exponent, splat64(std::int64_t{52} << 52)));
}

// All ones in the lanes whose double v has fraction bits (so is no power of two).
TARNEL_LOG_POWERS_AVX2 inline __m256d not_power_of_two(__m256d v)
{
    const __m256i fraction = _mm256_and_si256(_mm256_castpd_si256(v), splat64(0x000FFFFFFFFFFFFF));
    return _mm256_andnot_pd(
        _mm256_castsi256_pd(_mm256_cmpeq_epi64(fraction, _mm256_setzero_si256())), _mm256_castsi256_pd(splat64(-1)));
}

// All ones where hi + lo, within err of the exact value, places it within `share` of hi's ulp.
TARNEL_LOG_POWERS_AVX2 inline __m256d settled(dd v, __m256d err, double share)
{
    const __m256d off = _mm256_add_pd(abs_of(v.lo), err);
    return _mm256_and_pd(
        _mm256_cmp_pd(off, _mm256_mul_pd(splat(share), ulp_of(v.hi)), _CMP_LE_OQ), not_power_of_two(v.hi));
}

// The table rows of four indices (each below 128), read as pairs of doubles: at[l] points at
// lane l's row. AVX2's gathers are slow on some processors (a microcoded instruction each).
struct rows {
    const double* at[4];
};

TARNEL_LOG_POWERS_AVX2 inline rows rows_of(const double* table, int stride, __m256i index)
{
    alignas(32) std::int64_t i[4];
    _mm256_store_si256(reinterpret_cast<__m256i*>(i), index);
    return {{table + stride * i[0], table + stride * i[1], table + stride * i[2], table + stride * i[3]}};
}

// Lane l's doubles `offset` and offset + 1 of its row, as two vectors.
TARNEL_LOG_POWERS_AVX2 inline dd pair_at(const rows& r, int offset)
{
    const auto pair = [&](int l) TARNEL_LOG_POWERS_AVX2 { return _mm_loadu_pd(r.at[l] + offset); };
    const __m256d even = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(0)), pair(2), 1);
    const __m256d odd = _mm256_insertf128_pd(_mm256_castpd128_pd256(pair(1)), pair(3), 1);
    return {_mm256_unpacklo_pd(even, odd), _mm256_unpackhi_pd(even, odd)};
}

// ln x for positive normal x.
TARNEL_LOG_POWERS_AVX2 dd log_dd(__m256d x)
{
    const __m256i bits = _mm256_castpd_si256(x);
    const __m256i index = _mm256_and_si256(_mm256_srli_epi64(bits, 45), splat64(127));
    const __m256i upper = _mm256_cmpgt_epi64(index, splat64(63));  // all ones: z >= 1.5
    const __m256i one_exponent = splat64(std::int64_t{1} << 52);
    __m256i z_bits = _mm256_or_si256(_mm256_and_si256(bits, splat64(0x000FFFFFFFFFFFFF)), splat64(0x3FF0000000000000));
    z_bits = _mm256_sub_epi64(z_bits, _mm256_and_si256(upper, one_exponent));
    __m256i k = _mm256_sub_epi64(_mm256_srli_epi64(bits, 52), splat64(1023));
    k = _mm256_sub_epi64(k, upper);
    const __m256d kd = to_double(k);
    const __m256d z = _mm256_castsi256_pd(z_bits);

    constexpr int stride = sizeof(log_entry) / sizeof(double);
    static_assert(stride == 5);
    const rows r = rows_of(&log_table[0].c, stride, index);
    const auto [c, inv_hi] = pair_at(r, 0);
    const auto [inv_lo, log_hi] = pair_at(r, 2);
    const __m256d log_lo = _mm256_setr_pd(r.at[0][4], r.at[1][4], r.at[2][4], r.at[3][4]);

    const __m256d d = _mm256_sub_pd(z, c);
    const dd r0 = two_prod(d, inv_hi);
    const __m256d r_hi = r0.hi;
    const __m256d r_lo = _mm256_fmadd_pd(d, inv_lo, r0.lo);
    const dd sq = two_prod(r_hi, r_hi);
    const __m256d tail = _mm256_mul_pd(_mm256_mul_pd(sq.hi, r_hi), horner(r_hi, log_series));

    const __m256d half = splat(0.5);
    const dd s1 = fast_two_sum(_mm256_mul_pd(kd, splat(ln2_hi)), log_hi);
    const dd s2 = fast_two_sum(s1.hi, r_hi);
    const dd s3 = fast_two_sum(s2.hi, _mm256_mul_pd(splat(-0.5), sq.hi));
    __m256d lo = _mm256_add_pd(_mm256_add_pd(s1.lo, s2.lo), s3.lo);
    lo = _mm256_fmadd_pd(kd, splat(ln2_lo), lo);
    lo = _mm256_add_pd(lo, log_lo);
    lo = _mm256_add_pd(lo, r_lo);
    lo = _mm256_fnmadd_pd(half, sq.lo, lo);
    lo = _mm256_fnmadd_pd(r_hi, r_lo, lo);
    lo = _mm256_add_pd(lo, tail);
    return fast_two_sum(s3.hi, lo);
}

// The bound on log_dd's error for its result v.
TARNEL_LOG_POWERS_AVX2 inline __m256d log_error(__m256d v)
{
    return _mm256_fmadd_pd(abs_of(v), splat(0x1p-62), splat(0x1p-78));
}

// exp(y) for |y.hi| <= 700, as 2^q times a double-double in [0.99, 2.01).
struct scaled {
    dd value;
    __m256d q;
};

TARNEL_LOG_POWERS_AVX2 scaled exp_dd(dd y)
{
    const __m256d k =
        _mm256_round_pd(_mm256_mul_pd(y.hi, splat(steps_per_unit)), _MM_FROUND_TO_NEAREST_INT | _MM_FROUND_NO_EXC);
    const __m256d t1 = _mm256_fnmadd_pd(k, splat(step_1), y.hi);  // exact
    const dd p2 = two_prod(k, splat(step_2));
    const dd u = two_sum(t1, _mm256_sub_pd(_mm256_setzero_pd(), p2.hi));
    __m256d t_lo = _mm256_sub_pd(u.lo, p2.lo);
    t_lo = _mm256_fnmadd_pd(k, splat(step_3), t_lo);
    t_lo = _mm256_add_pd(t_lo, y.lo);
    const __m256d t = u.hi;

    const dd sq = two_prod(t, t);
    const __m256d tail = _mm256_mul_pd(_mm256_mul_pd(sq.hi, t), horner(t, exp_series));
    dd q = fast_two_sum(t, _mm256_mul_pd(splat(0.5), sq.hi));
    __m256d q_lo = _mm256_fmadd_pd(splat(0.5), sq.lo, t_lo);
    q_lo = _mm256_fmadd_pd(t, t_lo, q_lo);
    q_lo = _mm256_add_pd(q_lo, tail);
    q.lo = _mm256_add_pd(q.lo, q_lo);

    // k = 128 q + j with j in [0, 128): k / 128 is exact, and so is k - 128 q.
    const __m256d q_scale = _mm256_floor_pd(_mm256_mul_pd(k, splat(1.0 / 128)));
    const __m256i j = to_integer(_mm256_fnmadd_pd(q_scale, splat(128.0), k));
    static_assert(sizeof(exp_entry) == 2 * sizeof(double));
    const auto [s_hi, s_lo] = pair_at(rows_of(&exp_table[0].hi, 2, j), 0);

    const dd m = two_prod(s_hi, q.hi);
    const dd a = fast_two_sum(s_hi, m.hi);
    __m256d lo = _mm256_add_pd(a.lo, m.lo);
    lo = _mm256_fmadd_pd(s_hi, q.lo, lo);
    lo = _mm256_add_pd(lo, s_lo);
    lo = _mm256_fmadd_pd(s_lo, q.hi, lo);
    return {two_sum(a.hi, lo), q_scale};
}

// 2^q for whole q in [-1022, 1023].
TARNEL_LOG_POWERS_AVX2 inline __m256d power_of_two(__m256d q)
{
    return _mm256_castsi256_pd(_mm256_slli_epi64(_mm256_add_epi64(to_integer(q), splat64(1023)), 52));
}

}  // namespace

TARNEL_LOG_POWERS_AVX2 std::size_t log_powers_avx2(const double* m, double e, double* out, std::size_t n)
{
    // As in the AVX-512 path: values for the library listed as they turn up, worked out after
    // each chunk.
    constexpr std::size_t chunk = 256;
    constexpr std::int64_t has_power = std::int64_t{1} << 62;  // out[at] holds the power: its log is left
    // Two vectors a step, each stage of both in turn: one vector's chain of dependent
    // operations is long, and the two fill each other's waits.
    constexpr int streams = 2;
    constexpr std::size_t step = 4 * streams;
    std::int64_t handed_at[chunk];
    std::size_t handed = 0;
    const __m256d ev = splat(e);
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t end = std::min(n, start + chunk);
        std::size_t listed = 0;
        for (std::size_t i = start; i < end; i += step) {
            // The last step's values past n are 2, and are neither stored nor handed over.
            const std::size_t real = std::min(step, end - i);
            alignas(32) double x_in[step] = {2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0, 2.0};
            std::copy_n(m + i, real, x_in);
            __m256d x[streams];
            __m256d fast[streams];
            dd lm[streams];
            dd y[streams];
            scaled p[streams];
            for (int v = 0; v < streams; ++v) {
                x[v] = _mm256_load_pd(x_in + 4 * v);
                // Positive normal m only: as signed integers, negative doubles are below the least.
                const __m256i xb = _mm256_castpd_si256(x[v]);
                fast[v] = _mm256_castsi256_pd(_mm256_and_si256(_mm256_cmpgt_epi64(xb, splat64(0x000FFFFFFFFFFFFF)),
                    _mm256_cmpgt_epi64(splat64(0x7FF0000000000000), xb)));
            }
            for (int v = 0; v < streams; ++v)
                lm[v] = log_dd(x[v]);
            for (int v = 0; v < streams; ++v) {
                const dd y0 = two_prod(ev, lm[v].hi);
                y[v] = fast_two_sum(y0.hi, _mm256_fmadd_pd(ev, lm[v].lo, y0.lo));
                fast[v] = _mm256_and_pd(fast[v], _mm256_cmp_pd(abs_of(y[v].hi), splat(700.0), _CMP_LE_OQ));
            }
            for (int v = 0; v < streams; ++v)
                p[v] = exp_dd(y[v]);
            alignas(32) double results[step];
            unsigned power_lanes = 0;
            unsigned log_lanes = 0;
            for (int v = 0; v < streams; ++v) {
                // y's error is e times ln m's plus 2^-104 |y|; the exponential adds 2^-70.
                const __m256d y_err = _mm256_fmadd_pd(
                    ev, log_error(lm[v].hi), _mm256_fmadd_pd(abs_of(y[v].hi), splat(0x1p-104), splat(0x1p-70)));
                const __m256d power_settled =
                    _mm256_and_pd(fast[v], settled(p[v].value, _mm256_mul_pd(y_err, p[v].value.hi), 0.455));
                const __m256d power = _mm256_mul_pd(p[v].value.hi, power_of_two(p[v].q));
                // ln of the power as kept (see the AVX-512 path).
                const dd ls =
                    fast_two_sum(y[v].hi, _mm256_sub_pd(y[v].lo, _mm256_div_pd(p[v].value.lo, p[v].value.hi)));
                const __m256d log_settled =
                    _mm256_and_pd(_mm256_and_pd(power_settled, settled(ls, splat(0x1p-69), 0.48)),
                        _mm256_cmp_pd(abs_of(ls.hi), splat(0x1p-900), _CMP_GE_OQ));
                power_lanes |= static_cast<unsigned>(_mm256_movemask_pd(power_settled)) << 4 * v;
                log_lanes |= static_cast<unsigned>(_mm256_movemask_pd(log_settled)) << 4 * v;
                _mm256_store_pd(
                    results + 4 * v, _mm256_blendv_pd(ls.hi, power, _mm256_andnot_pd(log_settled, power_settled)));
            }
            std::copy_n(results, real, out + i);
            for (unsigned left = ~log_lanes & ((1u << real) - 1); left != 0; left &= left - 1) {
                const int lane = __builtin_ctz(left);
                handed_at[listed++] =
                    (static_cast<std::int64_t>(i) + lane) | ((power_lanes >> lane & 1) != 0 ? has_power : 0);
            }
        }
        for (std::size_t k = 0; k < listed; ++k) {
            const std::int64_t at = handed_at[k];
            const auto j = static_cast<std::size_t>(at & ~has_power);
            out[j] = std::log((at & has_power) != 0 ? out[j] : std::pow(m[j], e));
        }
        handed += listed;
    }
    return handed;
}
