// Machine constants, safe exponent range and the elementary functions that
// keep their precision where the obvious formula cancels.
#include <cmath>

#include "cdflib.h"

namespace cdflib {

int ipmpar(const int* i)
{
    // IEEE-754 single and double formats; exponents for a significand in
    // [1/base, 1). Slot 0 is not used.
    static constexpr int imach[11] = {0, 2, 31, 2147483647, 2, 24, -125, 128, 53, -1021, 1024};
    return imach[*i];
}

double dpmpar(const int* i)
{
    static constexpr int k_base = 4, k_digits = 8, k_emin = 9, k_emax = 10;
    const double b = ipmpar(&k_base);
    if (*i <= 1) {
        const int m = ipmpar(&k_digits);
        return std::pow(b, 1 - m);
    }
    if (*i == 2) {
        const int emin = ipmpar(&k_emin);
        const double binv = 1.0 / b;
        const double w = std::pow(b, emin + 2);
        return w * binv * binv * binv;
    }
    const int m = ipmpar(&k_digits);
    const int emax = ipmpar(&k_emax);
    const double bm1 = b - 1.0;
    double z = std::pow(b, m - 1);
    const double w = ((z - 1.0) * b + bm1) / (b * z);
    z = std::pow(b, emax - 2);
    return w * z * b * b;
}

double exparg(const int* l)
{
    static constexpr int k_base = 4, k_emin = 9, k_emax = 10;
    const int b = ipmpar(&k_base);
    double lnb;
    if (b == 2) {
        lnb = 0.69314718055995;
    } else if (b == 8) {
        lnb = 2.0794415416798;
    } else if (b == 16) {
        lnb = 2.7725887222398;
    } else {
        lnb = std::log(static_cast<double>(b));
    }
    const int m = (*l != 0) ? ipmpar(&k_emin) - 1 : ipmpar(&k_emax);
    // A little inside the true limits, so exp never quite overflows/underflows.
    return 0.99999 * (m * lnb);
}

double esum(const int* mu, const double* x)
{
    // Exponentiate mu + x at once only when that sum cannot lose the integer's
    // digits; otherwise multiply the two exponentials.
    bool at_once;
    if (*x > 0.0) {
        at_once = !(*mu > 0) && !((*mu + *x) < 0.0);
    } else {  // x <= 0, or not a number
        at_once = !(*mu < 0) && !((*mu + *x) > 0.0);
    }
    if (at_once)
        return std::exp(*mu + *x);
    const double w = *mu;
    return std::exp(w) * std::exp(*x);
}

double rexp(const double* x)
{
    static constexpr double p1 = 9.14041914819518e-10, p2 = 0.0238082361044469, q1 = -0.499999999085958,
                            q2 = 0.107141568980644, q3 = -0.0119041179760821, q4 = 0.000595130811860248;
    const double v = *x;
    if (!(std::fabs(v) > 0.15)) {
        return v * (((p2 * v + p1) * v + 1.0) / ((((q4 * v + q3) * v + q2) * v + q1) * v + 1.0));
    }
    const double w = std::exp(v);
    if (v > 0.0)
        return w * (0.5 + (0.5 - 1.0 / w));
    return (w - 0.5) - 0.5;
}

double rlog1(const double* x)
{
    static constexpr double a = 0.0566749439387324, b = 0.0456512608815524, p0 = 0.333333333333333,
                            p1 = -0.224696413112536, p2 = 0.00620886815375787, q1 = -1.27408923933623,
                            q2 = 0.354508718369557;
    const double v = *x;
    if (v < -0.39 || v > 0.57) {
        const double w = (v + 0.5) + 0.5;
        return v - std::log(w);
    }
    double h, w1;
    if (v < -0.18) {
        h = (v + 0.3) / 0.7;
        w1 = a - 0.3 * h;
    } else if (v > 0.18) {
        h = 0.75 * v - 0.25;
        w1 = b + h / 3.0;
    } else {
        h = v;
        w1 = 0.0;
    }
    const double r = h / (h + 2.0);
    const double t = r * r;
    const double w = ((p2 * t + p1) * t + p0) / ((q2 * t + q1) * t + 1.0);
    return (t + t) * (1.0 / (1.0 - r) - r * w) + w1;
}

double alnrel(const double* a)
{
    static constexpr double p1 = -1.29418923021993, p2 = 0.405303492862024, p3 = -0.0178874546012214,
                            q1 = -1.62752256355323, q2 = 0.747811014037616, q3 = -0.0845104217945565;
    const double v = *a;
    if (std::fabs(v) <= 0.375) {
        const double t = v / (v + 2.0);
        const double t2 = t * t;
        const double w = (((p3 * t2 + p2) * t2 + p1) * t2 + 1.0) / (((q3 * t2 + q2) * t2 + q1) * t2 + 1.0);
        return (t + t) * w;
    }
    return std::log(1.0 + v);
}

double fifdint(double a)
{
    return static_cast<double>(static_cast<int>(a));
}

double fifdmax1(double a, double b)
{
    return a < b ? b : a;
}

double fifdmin1(double a, double b)
{
    return a < b ? a : b;
}

double fifdsign(double mag, double sign)
{
    if (mag < 0.0)
        mag = -mag;
    if (sign < 0.0)
        mag = -mag;
    return mag;
}

int fifidint(double a)
{
    if (a < 1.0)
        return 0;
    return static_cast<int>(a);
}

}  // namespace cdflib
