// log(pow(m, e)) eight at a time, each the C library's own result.
//
// The C library's pow and log are not correctly rounded, so the same bits cannot come from
// a formula of our own as such. They come from its error bounds instead: pow is within
// 0.54 ulp of the exact power, log within 0.519 ulp of the exact logarithm. Where the exact
// value lies within 0.455 ulp of a double (0.48 for log), every other double is at least
// 0.545 (0.52) ulp from it, and the library's result can only be that double. So each
// value is worked out here in double-double arithmetic and kept only where that, with its
// error bound, places the exact value that close to the double it rounds to; any other
// (about one in eight) is handed to the library, the power's logarithm alone where the
// power was kept. Values outside the range worked out here (m subnormal, |e ln m| > 700,
// results near 0 or powers of two, whose ulp below is half the one above) are handed over
// as well.
//
// ln x, x = 2^k z: z's top seven fraction bits index a point c of a table (halving z and
// raising k where z >= 1.5, so z lies in [0.75, 1.5)), and ln x = k ln 2 + ln c + ln(1 + r)
// with r = (z - c) / c. z - c is exact (the two are within a factor of two), and r is a
// double-double within 2^-110 of itself. |r| <= 2^-8, but 2^-7 beside 1, where c is 1 and
// ln c 0: so x near 1 loses no relative precision. ln(1 + r) is r - r^2/2, both as
// double-doubles, plus the series' terms r^3/3 to r^11/11 in double arithmetic (their sum
// is below |r|^3 / 2, and its rounding errors below 2^-49 |r|^3; the first term left out is
// below 2^-87). Adding the parts: k ln2_hi, ln c and r - r^2/2's leading words by exact
// two-sums, the rest (each below 2^-22) in double arithmetic. Altogether the error is below
// 2^-62 |ln x| + 2^-78: the small terms' rounding errors are below 2^-70, and |ln x| is at
// least 2^-8.5 except beside 1, where ln x is r within a factor of 1.01 and every error is a
// multiple of |r|^3 or of 2^-106 |r|.
//
// m^e = exp(y), y = e ln m (a double-double whose error is e times the logarithm's plus
// 2^-104 |y|): y = (128 q + j) ln2 / 128 + t, with |t| <= ln 2 / 256 < 2^-8.5. The step ln2/128
// is three doubles, the first of 36 bits, so that y_hi - k step_1 is exact by one fused
// multiply-add (for |k| < 2^17, and y_hi a multiple of 2^-61 wherever k is not 0), and the
// others make t a double-double within 2^-100. exp(t) - 1 = t + t^2/2 (double-double) plus
// t^3/6 to t^7/5040 (double; the first left out is below 2^-83); times 2^(j/128) from the
// table, the result's relative error is below 2^-70 beside y's error, which it carries as
// is. The scale 2^q is applied last, exactly: the result is normal.
//
// The logarithm of the power as kept, p = 2^q R_hi, needs no second logarithm: 2^q (R_hi +
// R_lo) is exp(y) within 2^-70, so ln p = y - ln(1 + R_lo / R_hi) within 2^-70, and the
// quotient (below 2^-52) is its own logarithm within 2^-105. y's own error does not count:
// y is only the number whose exponential p was rounded from.
//
// The tables (log_powers_tables.h) are within 2^-106 of their values.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <immintrin.h>

#include "log_powers.h"
#include "log_powers_tables.h"

namespace {

using namespace log_powers_tables;

// The zero-masked forms of some intrinsics below: GCC 12 warns on the plain ones, which
// start from an undefined vector.
struct dd {
    __m512d hi, lo;
};

TARNEL_LOG_POWERS inline __m512d splat(double v)
{
    return _mm512_set1_pd(v);
}

// hi + lo = a + b exactly, for any a and b.
TARNEL_LOG_POWERS inline dd two_sum(__m512d a, __m512d b)
{
    const __m512d s = _mm512_add_pd(a, b);
    const __m512d bb = _mm512_sub_pd(s, a);
    const __m512d e = _mm512_add_pd(_mm512_sub_pd(a, _mm512_sub_pd(s, bb)), _mm512_sub_pd(b, bb));
    return {s, e};
}

// The same where |a| >= |b|.
TARNEL_LOG_POWERS inline dd fast_two_sum(__m512d a, __m512d b)
{
    const __m512d s = _mm512_add_pd(a, b);
    return {s, _mm512_sub_pd(b, _mm512_sub_pd(s, a))};
}

// hi + lo = a b exactly.
TARNEL_LOG_POWERS inline dd two_prod(__m512d a, __m512d b)
{
    const __m512d p = _mm512_mul_pd(a, b);
    return {p, _mm512_fmsub_pd(a, b, p)};
}

// Horner's rule: c[0] + x (c[1] + x (... c[N-1])).
template <int N> TARNEL_LOG_POWERS inline __m512d horner(__m512d x, const double (&c)[N])
{
    __m512d p = splat(c[N - 1]);
    for (int i = N - 2; i >= 0; --i)
        p = _mm512_fmadd_pd(p, x, splat(c[i]));
    return p;
}

constexpr double log_series[] = {1.0 / 3, -1.0 / 4, 1.0 / 5, -1.0 / 6, 1.0 / 7, -1.0 / 8, 1.0 / 9, -1.0 / 10, 1.0 / 11};
constexpr double exp_series[] = {1.0 / 6, 1.0 / 24, 1.0 / 120, 1.0 / 720, 1.0 / 5040};

// |v|'s ulp, for normal v whose exponent is above -970.
TARNEL_LOG_POWERS inline __m512d ulp_of(__m512d v)
{
    const __m512i exponent = _mm512_and_si512(_mm512_castpd_si512(v), _mm512_set1_epi64(0x7FF0000000000000));
    return _mm512_castsi512_pd(_mm512_sub_epi64(exponent, _mm512_set1_epi64(std::int64_t{52} << 52)));
}

// Lanes whose double v has fraction bits (so is no power of two).
TARNEL_LOG_POWERS inline __mmask8 not_power_of_two(__m512d v)
{
    return _mm512_test_epi64_mask(_mm512_castpd_si512(v), _mm512_set1_epi64(0x000FFFFFFFFFFFFF));
}

// Lanes where hi + lo, within err of the exact value, places it within `share` of hi's ulp.
TARNEL_LOG_POWERS inline __mmask8 settled(dd v, __m512d err, double share)
{
    const __m512d off = _mm512_add_pd(_mm512_abs_pd(v.lo), err);
    return _mm512_cmp_pd_mask(off, _mm512_mul_pd(splat(share), ulp_of(v.hi)), _CMP_LE_OQ) & not_power_of_two(v.hi);
}

// ln x for positive normal x.
TARNEL_LOG_POWERS dd log_dd(__m512d x)
{
    const __m512i bits = _mm512_castpd_si512(x);
    const __m512i index = _mm512_and_si512(_mm512_maskz_srli_epi64(0xFF, bits, 45), _mm512_set1_epi64(127));
    const __mmask8 upper = _mm512_cmpge_epu64_mask(index, _mm512_set1_epi64(64));
    const __m512i one_exponent = _mm512_set1_epi64(std::int64_t{1} << 52);
    __m512i z_bits = _mm512_or_si512(
        _mm512_and_si512(bits, _mm512_set1_epi64(0x000FFFFFFFFFFFFF)), _mm512_set1_epi64(0x3FF0000000000000));
    z_bits = _mm512_mask_sub_epi64(z_bits, upper, z_bits, one_exponent);
    __m512i k = _mm512_sub_epi64(_mm512_maskz_srli_epi64(0xFF, bits, 52), _mm512_set1_epi64(1023));
    k = _mm512_mask_add_epi64(k, upper, k, _mm512_set1_epi64(1));
    const __m512d kd = _mm512_maskz_cvtepi64_pd(0xFF, k);
    const __m512d z = _mm512_castsi512_pd(z_bits);

    constexpr int stride = sizeof(log_entry) / sizeof(double);
    const __m512i at = _mm512_mullo_epi64(index, _mm512_set1_epi64(stride));
    const double* t = &log_table[0].c;
    const __m512d c = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, t, 8);
    const __m512d inv_hi = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, t + 1, 8);
    const __m512d inv_lo = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, t + 2, 8);
    const __m512d log_hi = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, t + 3, 8);
    const __m512d log_lo = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, t + 4, 8);

    const __m512d d = _mm512_sub_pd(z, c);
    const dd r0 = two_prod(d, inv_hi);
    const __m512d r_hi = r0.hi;
    const __m512d r_lo = _mm512_fmadd_pd(d, inv_lo, r0.lo);
    const dd sq = two_prod(r_hi, r_hi);
    const __m512d tail = _mm512_mul_pd(_mm512_mul_pd(sq.hi, r_hi), horner(r_hi, log_series));

    const __m512d half = splat(0.5);
    // Each leading word is at least the next in size (or 0): |k ln 2| >= 0.69 > |ln c| unless
    // k is 0, |ln c| > 0.0029 > |r| unless c is 1, and |r| > r^2.
    const dd s1 = fast_two_sum(_mm512_mul_pd(kd, splat(ln2_hi)), log_hi);
    const dd s2 = fast_two_sum(s1.hi, r_hi);
    const dd s3 = fast_two_sum(s2.hi, _mm512_mul_pd(splat(-0.5), sq.hi));
    __m512d lo = _mm512_add_pd(_mm512_add_pd(s1.lo, s2.lo), s3.lo);
    lo = _mm512_fmadd_pd(kd, splat(ln2_lo), lo);
    lo = _mm512_add_pd(lo, log_lo);
    lo = _mm512_add_pd(lo, r_lo);
    lo = _mm512_fnmadd_pd(half, sq.lo, lo);
    lo = _mm512_fnmadd_pd(r_hi, r_lo, lo);
    lo = _mm512_add_pd(lo, tail);
    return fast_two_sum(s3.hi, lo);
}

// The bound on log_dd's error for its result v.
TARNEL_LOG_POWERS inline __m512d log_error(__m512d v)
{
    return _mm512_fmadd_pd(_mm512_abs_pd(v), splat(0x1p-62), splat(0x1p-78));
}

// exp(y) for |y.hi| <= 700, as 2^q times a double-double in [0.99, 2.01).
struct scaled {
    dd value;
    __m512d q;
};

TARNEL_LOG_POWERS scaled exp_dd(dd y)
{
    const __m512d k =
        _mm512_maskz_roundscale_pd(0xFF, _mm512_mul_pd(y.hi, splat(steps_per_unit)), _MM_FROUND_TO_NEAREST_INT);
    const __m512d t1 = _mm512_fnmadd_pd(k, splat(step_1), y.hi);  // exact
    const dd p2 = two_prod(k, splat(step_2));
    const dd u = two_sum(t1, _mm512_sub_pd(_mm512_setzero_pd(), p2.hi));
    __m512d t_lo = _mm512_sub_pd(u.lo, p2.lo);
    t_lo = _mm512_fnmadd_pd(k, splat(step_3), t_lo);
    t_lo = _mm512_add_pd(t_lo, y.lo);
    const __m512d t = u.hi;

    const dd sq = two_prod(t, t);
    const __m512d tail = _mm512_mul_pd(_mm512_mul_pd(sq.hi, t), horner(t, exp_series));
    dd q = fast_two_sum(t, _mm512_mul_pd(splat(0.5), sq.hi));
    __m512d q_lo = _mm512_fmadd_pd(splat(0.5), sq.lo, t_lo);
    q_lo = _mm512_fmadd_pd(t, t_lo, q_lo);
    q_lo = _mm512_add_pd(q_lo, tail);
    q.lo = _mm512_add_pd(q.lo, q_lo);

    const __m512i ki = _mm512_maskz_cvtpd_epi64(0xFF, k);
    const __m512i j = _mm512_and_si512(ki, _mm512_set1_epi64(127));
    const __m512i at = _mm512_maskz_slli_epi64(0xFF, j, 1);
    const double* table = &exp_table[0].hi;
    const __m512d s_hi = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, table, 8);
    const __m512d s_lo = _mm512_mask_i64gather_pd(_mm512_setzero_pd(), 0xFF, at, table + 1, 8);

    const dd m = two_prod(s_hi, q.hi);
    const dd a = fast_two_sum(s_hi, m.hi);
    __m512d lo = _mm512_add_pd(a.lo, m.lo);
    lo = _mm512_fmadd_pd(s_hi, q.lo, lo);
    lo = _mm512_add_pd(lo, s_lo);
    lo = _mm512_fmadd_pd(s_lo, q.hi, lo);
    const __m512d q_scale = _mm512_maskz_cvtepi64_pd(0xFF, _mm512_maskz_srai_epi64(0xFF, ki, 7));
    return {two_sum(a.hi, lo), q_scale};
}

}  // namespace

TARNEL_LOG_POWERS std::size_t log_powers_avx512(const double* m, double e, double* out, std::size_t n)
{
    // Values handed to the library are listed as they turn up and worked out after each
    // chunk: a call in the vector loop costs its registers, and a branch per lane mispredicts.
    constexpr std::size_t chunk = 256;
    constexpr std::int64_t has_power = std::int64_t{1} << 62;  // out[at] holds the power: its log is left
    std::int64_t handed_at[chunk + 8];
    std::size_t handed = 0;
    const __m512d ev = splat(e);
    const __m512i lane_numbers = _mm512_set_epi64(7, 6, 5, 4, 3, 2, 1, 0);
    for (std::size_t start = 0; start < n; start += chunk) {
        const std::size_t end = std::min(n, start + chunk);
        std::size_t listed = 0;
        for (std::size_t i = start; i < end; i += 8) {
            // The last vector's lanes past n hold 2, and are neither stored nor handed over.
            const __mmask8 lanes = end - i >= 8 ? 0xFF : static_cast<__mmask8>((1u << (end - i)) - 1);
            const __m512d x = _mm512_mask_loadu_pd(splat(2.0), lanes, m + i);
            // Positive normal m only.
            const __m512i xb = _mm512_castpd_si512(x);
            __mmask8 fast = _mm512_cmpge_epu64_mask(xb, _mm512_set1_epi64(0x0010000000000000)) &
                _mm512_cmplt_epu64_mask(xb, _mm512_set1_epi64(0x7FF0000000000000));
            const dd lm = log_dd(x);
            const dd y0 = two_prod(ev, lm.hi);
            const dd y = fast_two_sum(y0.hi, _mm512_fmadd_pd(ev, lm.lo, y0.lo));
            fast &= _mm512_cmp_pd_mask(_mm512_abs_pd(y.hi), splat(700.0), _CMP_LE_OQ);
            const scaled p = exp_dd(y);
            // y's error is e times ln m's plus 2^-104 |y|; the exponential adds 2^-70.
            const __m512d y_err = _mm512_fmadd_pd(
                ev, log_error(lm.hi), _mm512_fmadd_pd(_mm512_abs_pd(y.hi), splat(0x1p-104), splat(0x1p-70)));
            const __mmask8 power_settled = fast & settled(p.value, _mm512_mul_pd(y_err, p.value.hi), 0.455);
            const __m512d power = _mm512_maskz_scalef_pd(0xFF, p.value.hi, p.q);
            // ln of the power itself, 2^q R_hi, where 2^q (R_hi + R_lo) is exp(y) within
            // 2^-70: y - ln(1 + R_lo / R_hi), within 2^-69 (the quotient's square is below 2^-105).
            const dd ls = fast_two_sum(y.hi, _mm512_sub_pd(y.lo, _mm512_div_pd(p.value.lo, p.value.hi)));
            const __mmask8 log_settled = power_settled &
                _mm512_cmp_pd_mask(_mm512_abs_pd(ls.hi), splat(0x1p-900), _CMP_GE_OQ) &
                settled(ls, splat(0x1p-69), 0.48);
            const __mmask8 with_power = power_settled & ~log_settled;
            _mm512_mask_storeu_pd(out + i, lanes, _mm512_mask_mov_pd(ls.hi, with_power, power));
            const __mmask8 left = lanes & ~log_settled;
            __m512i at = _mm512_add_epi64(lane_numbers, _mm512_set1_epi64(static_cast<std::int64_t>(i)));
            at = _mm512_mask_or_epi64(at, with_power, at, _mm512_set1_epi64(has_power));
            _mm512_storeu_si512(handed_at + listed, _mm512_maskz_compress_epi64(left, at));
            listed += static_cast<std::size_t>(__builtin_popcount(left));
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
