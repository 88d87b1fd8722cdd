// Student's t distribution, mapped onto the incomplete beta ratio.
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
