// The incomplete beta methods for the regions where the power series are
// slow: a continued fraction and two asymptotic expansions.
#include <array>
#include <cmath>

#include "cdflib.h"

namespace cdflib {

double beta_frac(
    const double* a, const double* b, const double* x, const double* y, const double* lambda, const double* eps)
{
    // Finite arguments converge in a few hundred terms at most; the cap only
    // stops arguments that are not numbers, which never meet the test.
    static constexpr int max_terms = 10000;

    const double av = *a, bv = *b, xv = *x;
    const double bfrac = beta_rcomp(a, b, x, y);
    if (bfrac == 0.0)
        return 0.0;

    const double c = 1.0 + *lambda;
    const double c0 = bv / av;
    const double c1 = 1.0 + 1.0 / av;
    const double yp1 = *y + 1.0;

    double n = 0.0, p = 1.0, s = av + 1.0;
    double an = 0.0, bn = 1.0, anp1 = 1.0, bnp1 = c / c1;
    double r = c1 / c;
    for (int term = 0; term < max_terms; ++term) {
        n += 1.0;
        double t = n / av;
        const double w = n * (bv - n) * xv;
        double e = av / s;
        const double alpha = p * (p + c0) * e * e * (w * xv);
        e = (1.0 + t) / (c1 + t + t);
        const double beta = n + w / s + e * (c + n * yp1);
        p = 1.0 + t;
        s += 2.0;

        t = alpha * an + beta * anp1;
        an = anp1;
        anp1 = t;
        t = alpha * bn + beta * bnp1;
        bn = bnp1;
        bnp1 = t;

        const double r0 = r;
        r = anp1 / bnp1;
        if (std::fabs(r - r0) <= *eps * r)
            break;

        // Rescale so the convergents stay in range.
        an /= bnp1;
        bn /= bnp1;
        anp1 = r;
        bnp1 = 1.0;
    }
    return bfrac * r;
}

void beta_grat(
    const double* a, const double* b, const double* x, const double* y, double* w, const double* eps, int* ierr)
{
    static constexpr int max_terms = 30;
    const double av = *a, bv = *b;

    const double bm1 = (bv - 0.5) - 0.5;
    const double nu = av + 0.5 * bm1;
    double lnx;
    if (*y > 0.375) {
        lnx = std::log(*x);
    } else {
        const double t = -*y;
        lnx = alnrel(&t);  // ln(1 - y), accurate for small y
    }
    const double z = -nu * lnx;
    if (bv * z == 0.0) {
        *ierr = 1;
        return;
    }

    // r = e^-z z^b / Gamma(b)
    double r = bv * (1.0 + gam1(b)) * std::exp(bv * std::log(z));
    r = r * std::exp(av * lnx) * std::exp(0.5 * bm1 * lnx);
    double u = algdiv(b, a) + bv * std::log(nu);
    u = r * std::exp(-u);
    if (u == 0.0) {
        *ierr = 1;
        return;
    }

    double p, q;
    gamma_rat1(b, &z, &r, &p, &q, eps);

    const double v = 0.25 * std::pow(1.0 / nu, 2.0);
    const double t2 = 0.25 * lnx * lnx;
    const double l = *w / u;
    double j = q / r;
    double sum = j;
    double t = 1.0, cn = 1.0, n2 = 0.0;
    std::array<double, max_terms + 1> c{};  // counted from 1
    std::array<double, max_terms + 1> d{};
    for (int n = 1; n <= max_terms; ++n) {
        const double bp2n = bv + n2;
        j = (bp2n * (bp2n + 1.0) * j + (z + bp2n + 1.0) * t) * v;
        n2 += 2.0;
        t *= t2;
        cn /= n2 * (n2 + 1.0);
        c[n] = cn;
        double s = 0.0;
        if (n > 1) {
            double coef = bv - n;
            for (int i = 1; i <= n - 1; ++i) {
                s += coef * c[i] * d[n - i];
                coef += bv;
            }
        }
        d[n] = bm1 * cn + s / n;
        const double dj = d[n] * j;
        sum += dj;
        if (sum <= 0.0) {
            *ierr = 1;
            return;
        }
        if (std::fabs(dj) <= *eps * (sum + l))
            break;
    }
    *ierr = 0;
    *w += u * sum;
}

double beta_asym(const double* a, const double* b, const double* lambda, const double* eps)
{
    static constexpr double e0 = 1.12837916709551;   // 2/sqrt(pi)
    static constexpr double e1 = 0.353553390593274;  // 2^(-3/2)
    static constexpr int num = 20;                   // must be even
    static constexpr int k_scaled = 1;
    const double av = *a, bv = *b, lam = *lambda;

    double h, r0, r1, w0;
    if (av < bv) {
        h = av / bv;
        r0 = 1.0 / (1.0 + h);
        r1 = (bv - av) / bv;
        w0 = 1.0 / std::sqrt(av * (1.0 + h));
    } else {
        h = bv / av;
        r0 = 1.0 / (1.0 + h);
        r1 = (bv - av) / av;
        w0 = 1.0 / std::sqrt(bv * (1.0 + h));
    }

    const double arg_a = -lam / av;
    const double arg_b = lam / bv;
    const double f = av * rlog1(&arg_a) + bv * rlog1(&arg_b);
    const double t = std::exp(-f);
    if (t == 0.0)
        return 0.0;
    const double z0 = std::sqrt(f);
    const double z = 0.5 * (z0 / e1);
    const double z2 = f + f;

    // Counted from 1; every entry is written before it is read.
    std::array<double, num + 2> a0{}, b0{}, c{}, d{};
    a0[1] = (2.0 / 3.0) * r1;
    c[1] = -0.5 * a0[1];
    d[1] = -c[1];
    double j0 = (0.5 / e0) * error_fc(&k_scaled, &z0);
    double j1 = e1;
    double sum = j0 + d[1] * w0 * j1;

    double s = 1.0;
    const double h2 = h * h;
    double hn = 1.0;
    double w = w0;
    double znm1 = z;
    double zn = z2;
    for (int n = 2; n <= num; n += 2) {
        hn = h2 * hn;
        a0[n] = 2.0 * r0 * (1.0 + h * hn) / (n + 2.0);
        const int np1 = n + 1;
        s += hn;
        a0[np1] = 2.0 * r1 * s / (n + 3.0);

        for (int i = n; i <= np1; ++i) {
            const double r = -0.5 * (i + 1.0);
            b0[1] = r * a0[1];
            for (int m = 2; m <= i; ++m) {
                double bsum = 0.0;
                for (int jj = 1; jj <= m - 1; ++jj) {
                    const int mmj = m - jj;
                    bsum += (jj * r - mmj) * a0[jj] * b0[mmj];
                }
                b0[m] = r * a0[m] + bsum / m;
            }
            c[i] = b0[i] / (i + 1.0);
            double dsum = 0.0;
            for (int jj = 1; jj <= i - 1; ++jj)
                dsum += d[i - jj] * c[jj];
            d[i] = -(dsum + c[i]);
        }

        j0 = e1 * znm1 + (n - 1.0) * j0;
        j1 = e1 * zn + n * j1;
        znm1 = z2 * znm1;
        zn = z2 * zn;
        w = w0 * w;
        const double t0 = d[n] * w * j0;
        w = w0 * w;
        const double t1 = d[np1] * w * j1;
        sum += t0 + t1;
        if (std::fabs(t0) + std::fabs(t1) <= *eps * sum)
            break;
    }

    const double u = std::exp(-bcorr(a, b));
    return e0 * t * u * sum;
}

}  // namespace cdflib
