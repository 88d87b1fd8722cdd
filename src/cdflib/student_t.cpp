// Student's t distribution, mapped onto the incomplete beta ratio.
#include <cmath>
#include <limits>

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
    const double ln2 = 0.6931471805599453;
    const double limit = -747.0 - (std::ilogb(half_df) + 1) * ln2 - 0.13 - 1e-3;
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
