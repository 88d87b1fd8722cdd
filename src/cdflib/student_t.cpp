// Student's t distribution, mapped onto the incomplete beta ratio.
#include <algorithm>
#include <array>
#include <cmath>
#include <limits>

#if defined(__x86_64__)
#include <immintrin.h>
#endif

#include "cdflib.h"

namespace cdflib {

void cdft(const int* which, double* p, double* q, double* t, double* df, int* status, double* bound)
{
    *status = 0;
    *bound = 0.0;
    // Only which = 1 (tails from t and df) is provided; the inverse modes 2 and
    // 3 are refused like any selector out of range.
    if (*which != 1) {
        *bound = (*which <= 0) ? 1.0 : 3.0;
        *status = -1;
        return;
    }
    if (*df <= 0.0) {
        *bound = 0.0;
        *status = -5;
        return;
    }
    cumt(t, df, p, q);
    *status = 0;
}

void cumt(const double* t, const double* df, double* cum, double* ccum)
{
    const double tt = *t * *t;
    const double dfptt = *df + tt;
    // Each its own quotient: yy small keeps its full relative precision.
    const double xx = *df / dfptt;
    const double yy = tt / dfptt;
    const double half_df = 0.5 * *df;
    static constexpr double half = 0.5;
    double a, oma;  // a = P(|T| >= |t|)
    cumbet(&xx, &yy, &half_df, &half, &a, &oma);
    // The far tail is half of a; the near one is added to the complement,
    // never formed as one minus the small tail.
    if (*t <= 0.0) {
        *cum = 0.5 * a;
        *ccum = oma + *cum;
    } else {
        *ccum = 0.5 * a;
        *cum = oma + *ccum;
    }
}

#if defined(__x86_64__)
// beta_pser_sum(av, 1/2, x[i], eps) for eight x at a time: in every lane the operations of
// the scalar series in its order (its table of factors holds the same doubles as the
// formula here), each lane's sum kept from the term that falls to the tolerance on.
__attribute__((target("avx512f"))) void half_b_sums_avx512(
    double av, const double* x, std::size_t n, double eps, double* sum)
{
    const __m512d tol = _mm512_set1_pd(eps / av);
    for (std::size_t i = 0; i < n; i += 8) {
        // The last few lanes with the others idle from the start.
        const __mmask8 lanes = n - i >= 8 ? 0xff : static_cast<__mmask8>((1u << (n - i)) - 1);
        const __m512d xv = _mm512_maskz_loadu_pd(lanes, x + i);
        __m512d c = _mm512_set1_pd(1.0);
        __m512d s = _mm512_setzero_pd();
        __mmask8 going = lanes;
        for (double k = 1.0; going != 0; k += 1.0) {
            const double factor = 0.5 + (0.5 - 0.5 / k);
            c = _mm512_mul_pd(_mm512_mul_pd(c, _mm512_set1_pd(factor)), xv);
            const __m512d w = _mm512_div_pd(c, _mm512_set1_pd(av + k));
            s = _mm512_mask_add_pd(s, going, s, w);
            going = _mm512_mask_cmp_pd_mask(going, _mm512_abs_pd(w), tol, _CMP_GT_OQ);
        }
        _mm512_mask_storeu_pd(sum + i, lanes, s);
    }
}

// The same four at a time, where the processor has AVX2 but not AVX-512: idle lanes hold
// x = 0, whose first term, 0, stops them.
__attribute__((target("avx2"))) void half_b_sums_avx2(
    double av, const double* x, std::size_t n, double eps, double* sum)
{
    const __m256d tol = _mm256_set1_pd(eps / av);
    for (std::size_t i = 0; i < n; i += 4) {
        const std::size_t real = std::min<std::size_t>(4, n - i);
        alignas(32) double xs[4] = {0.0, 0.0, 0.0, 0.0};
        std::copy_n(x + i, real, xs);
        const __m256d xv = _mm256_load_pd(xs);
        __m256d c = _mm256_set1_pd(1.0);
        __m256d s = _mm256_setzero_pd();
        __m256d going = _mm256_castsi256_pd(_mm256_set1_epi64x(-1));
        for (double k = 1.0; _mm256_movemask_pd(going) != 0; k += 1.0) {
            const double factor = 0.5 + (0.5 - 0.5 / k);
            c = _mm256_mul_pd(_mm256_mul_pd(c, _mm256_set1_pd(factor)), xv);
            const __m256d w = _mm256_div_pd(c, _mm256_set1_pd(av + k));
            s = _mm256_blendv_pd(s, _mm256_add_pd(s, w), going);
            going = _mm256_and_pd(going, _mm256_cmp_pd(_mm256_andnot_pd(_mm256_set1_pd(-0.0), w), tol, _CMP_GT_OQ));
        }
        alignas(32) double sums[4];
        _mm256_store_pd(sums, s);
        std::copy_n(sums, real, sum + i);
    }
}
#endif

namespace {

#if defined(__x86_64__)
bool has_avx512()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f");
    }();
    return has;
}

bool has_avx2()
{
    static const bool has = [] {
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2");
    }();
    return has;
}
#endif

void half_b_sums(double av, const double* x, std::size_t n, double eps, double* sum)
{
#if defined(__x86_64__)
    if (has_avx512()) {
        half_b_sums_avx512(av, x, n, eps, sum);
        return;
    }
    if (has_avx2()) {
        half_b_sums_avx2(av, x, n, eps, sum);
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i)
        sum[i] = beta_pser_sum(av, 0.5, x[i], eps);
}

}  // namespace

void cumt_upper_tails(const double* df, const double* t, std::size_t n, double* ccum)
{
    const double dfv = *df;
    const auto as_cumt = [&](std::size_t i) {
        double cum = 0.0;
        cumt(&t[i], df, &cum, &ccum[i]);
    };
    if (!(dfv >= 16.0) || !std::isfinite(dfv)) {
        for (std::size_t i = 0; i < n; ++i)
            as_cumt(i);
        return;
    }
    static constexpr int k_eps = 1;
    const double eps0 = dpmpar(&k_eps);
    const double eps = fifdmax1(eps0, 1e-15);  // beta_inc's
    // beta_pser's prefactor for a = df/2, b = 1/2, as it forms it, but for x.
    const double av = 0.5 * dfv;
    double a0 = fifdmin1(av, 0.5);
    double b0 = fifdmax1(av, 0.5);
    const double u = gamma_ln1(&a0) + algdiv(&a0, &b0);

    constexpr std::size_t chunk = 64;
    std::array<std::size_t, chunk> lane{};
    std::array<double, chunk> x{}, prefactor{}, sum{};
    for (std::size_t first = 0; first < n; first += chunk) {
        const std::size_t last = std::min(n, first + chunk);
        std::size_t lanes = 0;
        for (std::size_t i = first; i < last; ++i) {
            // As cumt forms them.
            const double tv = t[i];
            const double tt = tv * tv;
            const double dfptt = dfv + tt;
            const double xx = dfv / dfptt;
            const double yy = tt / dfptt;
            // Where cumbet and beta_inc pass these straight to beta_pser(df/2, 1/2, xx): for
            // x above 1/2 through the exchange, whose complement of a complement is the same.
            const bool common = tv > 0.0 && xx > 0.0 && yy > 0.0 && xx <= 1.0 && yy <= 1.0 &&
                !(std::fabs(((xx + yy) - 0.5) - 0.5) > 3.0 * eps0) && (xx <= 0.5 || yy >= 0.3);
            if (!common) {
                as_cumt(i);
                continue;
            }
            const double a_ln_x = av * std::log(xx);
            double w = 0.0;
            if (!beta_pser_is_zero(a_ln_x, b0)) {
                const double z = a_ln_x - u;
                w = (a0 / av) * std::exp(z);
                if (w != 0.0 && !(av <= 0.1 * eps)) {
                    lane[lanes] = i;
                    x[lanes] = xx;
                    prefactor[lanes] = w;
                    ++lanes;
                    continue;
                }
            }
            ccum[i] = 0.5 * w;
        }
        half_b_sums(av, x.data(), lanes, eps, sum.data());
        for (std::size_t k = 0; k < lanes; ++k)
            ccum[lane[k]] = 0.5 * (prefactor[k] * (1.0 + av * sum[k]));
    }
}

double t_tail_zero_from(double df)
{
    // The far tail is half of I_x(df/2, 1/2), x = df / (df + t^2). With df >= 16 and
    // x <= 0.7, beta_inc takes it from beta_pser(df/2, 1/2, x), directly or, above 1/2,
    // as the complement of an exchange; that gives 0.0 whenever
    // (df/2) ln x + (e + 1) ln 2 + 0.13 < -747, e the binary exponent of df/2. Solved for
    // t^2 with the exponent held 1e-3 below that limit (the computed x, its logarithm and
    // the product are within 1e-10 of the exact ones there) and rounded up by a relative
    // 1e-9, as is the t^2 >= 3/7 df that keeps x below 0.7.
    if (!(df >= 16.0) || !std::isfinite(df))
        return std::numeric_limits<double>::infinity();
    const double half_df = 0.5 * df;
    const double limit = beta_pser_zero_limit - (std::ilogb(half_df) + 1) * ln_2 - beta_pser_zero_slack - 1e-3;
    const double past_limit = df * std::expm1(-limit / half_df) * (1.0 + 1e-9);
    const double x_in_reach = df * (3.0 / 7.0) * (1.0 + 1e-9);
    return past_limit > x_in_reach ? past_limit : x_in_reach;
}

void cumbet(const double* x, const double* y, const double* a, const double* b, double* cum, double* ccum)
{
    if (*x <= 0.0) {
        *cum = 0.0;
        *ccum = 1.0;
        return;
    }
    if (*y <= 0.0) {
        *cum = 1.0;
        *ccum = 0.0;
        return;
    }
    int ierr = 0;  // cannot be raised for the arguments given here
    beta_inc(a, b, x, y, cum, ccum, &ierr);
}

}  // namespace cdflib
