// Error function, complementary error function (optionally scaled by
// e^(x*x)) and digamma, as piecewise rational approximations.
#include <cmath>
#include <cstddef>

#include "cdflib.h"

namespace cdflib {
namespace {

// Horner's rule with k[0] the highest power.
template <std::size_t N> double horner(const double (&k)[N], double u)
{
    double v = k[0];
    for (std::size_t i = 1; i < N; ++i)
        v = v * u + k[i];
    return v;
}

constexpr double erf_c = 0.564189583547756;  // 1/sqrt(pi)
constexpr double erf_a[5] = {
    7.7105849500132e-05, -0.00133733772997339, 0.0323076579225834, 0.0479137145607681, 0.128379167095513};
constexpr double erf_b[3] = {0.00301048631703895, 0.0538971687740286, 0.375795757275549};
constexpr double erf_p[8] = {-1.36864857382717e-07, 0.564195517478974, 7.21175825088309, 43.1622272220567,
    152.98928504694, 339.320816734344, 451.918953711873, 300.459261020162};
constexpr double erf_q[8] = {1.0, 12.7827273196294, 77.0001529352295, 277.585444743988, 638.980264465631,
    931.35409485061, 790.950925327898, 300.459260956983};
constexpr double erf_r[5] = {2.10144126479064, 26.2370141675169, 21.3688200555087, 4.6580782871847, 0.282094791773523};
constexpr double erf_s[4] = {94.153775055546, 187.11481179959, 99.0191814623914, 18.0124575948747};

}  // namespace

double error_f(const double* x)
{
    const double v = *x;
    const double ax = std::fabs(v);
    if (!(ax > 0.5)) {  // not-a-number arguments come here too
        const double t = v * v;
        const double top = horner(erf_a, t) + 1.0;
        const double bot = horner(erf_b, t) * t + 1.0;
        return v * (top / bot);
    }
    if (ax <= 4.0) {
        const double top = horner(erf_p, ax);
        const double bot = horner(erf_q, ax);
        const double erf1 = 0.5 + (0.5 - (std::exp(-v * v) * top) / bot);
        return v < 0.0 ? -erf1 : erf1;
    }
    if (ax < 5.8) {
        const double x2 = v * v;
        const double t = 1.0 / x2;
        const double top = horner(erf_r, t);
        const double bot = horner(erf_s, t) * t + 1.0;
        double erf1 = (erf_c - top / (x2 * bot)) / ax;
        erf1 = 0.5 + (0.5 - std::exp(-x2) * erf1);
        return v < 0.0 ? -erf1 : erf1;
    }
    return fifdsign(1.0, v);
}

double error_fc(const int* ind, const double* x)
{
    const double v = *x;
    const double ax = std::fabs(v);
    if (ax <= 0.5) {
        const double t = v * v;
        const double top = horner(erf_a, t) + 1.0;
        const double bot = horner(erf_b, t) * t + 1.0;
        double erfc1 = 0.5 + (0.5 - v * (top / bot));
        if (*ind != 0)
            erfc1 = std::exp(t) * erfc1;
        return erfc1;
    }
    double erfc1;
    if (ax <= 4.0) {
        erfc1 = horner(erf_p, ax) / horner(erf_q, ax);
    } else {
        if (v <= -5.6) {
            // erfc is 2 to double precision here.
            if (*ind == 0)
                return 2.0;
            return 2.0 * std::exp(v * v);
        }
        if (*ind == 0) {
            static constexpr int k_min = 1;
            if (v * v > -exparg(&k_min))
                return 0.0;
        }
        const double t = (1.0 / v) * (1.0 / v);
        const double top = horner(erf_r, t);
        const double bot = horner(erf_s, t) * t + 1.0;
        erfc1 = (erf_c - (t * top) / bot) / ax;
    }
    if (*ind != 0) {
        if (v < 0.0)
            erfc1 = 2.0 * std::exp(v * v) - erfc1;
        return erfc1;
    }
    erfc1 = std::exp(-v * v) * erfc1;
    if (v < 0.0)
        erfc1 = 2.0 - erfc1;
    return erfc1;
}

double psi(const double* xx)
{
    static constexpr double dx0 = 1.4616321449683622;  // positive zero of psi
    static constexpr double piov4 = 0.785398163397448;
    static constexpr double p1[7] = {0.0089538502298197, 4.77762828042627, 142.441585084029, 1186.45200713425,
        3633.51846806499, 4138.10161269013, 1305.60269827897};
    static constexpr double q1[6] = {
        44.8452573429826, 520.752771467162, 2210.0079924783, 3641.27349079381, 1908.310765963, 6.91091682714533e-06};
    static constexpr double p2[4] = {-2.12940445131011, -7.01677227766759, -4.48616543918019, -0.648157123766197};
    static constexpr double q2[4] = {32.2703493791143, 89.2920700481861, 54.6117738103215, 7.77788548522962};
    static constexpr int k_maxint = 3, k_eps = 1;

    // Beyond xmax1 the argument reduction would need an integer over 32 bits.
    const double xmax1 = fifdmin1(static_cast<double>(ipmpar(&k_maxint)), 1.0 / dpmpar(&k_eps));
    const double xsmall = 1e-9;
    double x = *xx;
    double aug = 0.0;

    if (x < 0.5) {
        // Reflection: psi(x) = psi(1 - x) - pi*cot(pi*x), the cotangent in aug.
        if (std::fabs(x) <= xsmall) {
            if (x == 0.0)
                return 0.0;
            aug = -1.0 / x;
        } else {
            double w = -x;
            double sgn = piov4;
            if (w <= 0.0) {
                w = -w;
                sgn = -sgn;
            }
            if (w >= xmax1)
                return 0.0;
            int nq = fifidint(w);
            w -= nq;
            nq = fifidint(4.0 * w);
            w = 4.0 * (w - 0.25 * nq);
            int n = nq / 2;
            if (n + n != nq)
                w = 1.0 - w;
            const double z = piov4 * w;
            int m = n / 2;
            if (m + m != n)
                sgn = -sgn;
            n = (nq + 1) / 2;
            m = n / 2;
            if (m + m == n) {
                if (z == 0.0)
                    return 0.0;  // a pole: x is a negative integer
                aug = (std::cos(z) / std::sin(z)) * 4.0 * sgn;
            } else {
                aug = (std::sin(z) / std::cos(z)) * 4.0 * sgn;
            }
        }
        x = 1.0 - x;
    }

    if (x <= 3.0) {
        double den = x;
        double upper = p1[0] * x;
        for (int i = 1; i <= 5; ++i) {
            den = (den + q1[i - 1]) * x;
            upper = (upper + p1[i]) * x;
        }
        den = (upper + p1[6]) / (den + q1[5]);
        return den * (x - dx0) + aug;
    }

    if (x < xmax1) {
        const double w = 1.0 / (x * x);
        double den = w;
        double upper = p2[0] * w;
        for (int i = 1; i <= 3; ++i) {
            den = (den + q2[i - 1]) * w;
            upper = (upper + p2[i]) * w;
        }
        aug = upper / (den + q2[3]) - 0.5 / x + aug;
    }
    return aug + std::log(x);
}

}  // namespace cdflib
