// Logarithms of the gamma and beta functions, Stirling corrections, the
// factor x^a y^b / B(a, b) and the incomplete gamma ratio for shapes <= 1.
#include <cmath>

#include "cdflib.h"

namespace cdflib {
namespace {

// Stirling-correction coefficients shared by bcorr, algdiv and gamma_log.
constexpr double c0 = 0.0833333333333333, c1 = -0.00277777777760991, c2 = 0.00079365066682539,
                 c3 = -0.00059520293135187, c4 = 0.000837308034031215, c5 = -0.00165322962780713;

constexpr double rcomp_const = 0.398942280401433;  // 1/sqrt(2 pi)

double sq(double v)
{
    return v * v;
}

int trunc_int(double v)
{
    return static_cast<int>(v);
}

// Series part of the correction for the larger argument b, with x = b/(a+b)
// and c = a/(a+b), shared by bcorr and algdiv.
double stirling_tail(double b, double x, double c)
{
    const double x2 = x * x;
    const double s3 = 1.0 + (x + x2);
    const double s5 = 1.0 + (x + x2 * s3);
    const double s7 = 1.0 + (x + x2 * s5);
    const double s9 = 1.0 + (x + x2 * s7);
    const double s11 = 1.0 + (x + x2 * s9);
    const double t = sq(1.0 / b);
    double w = ((((c5 * s11 * t + c4 * s9) * t + c3 * s7) * t + c2 * s5) * t + c1 * s3) * t + c0;
    w *= c / b;
    return w;
}

// Common body of beta_rcomp (scaled == false) and beta_rcomp1: the scaled
// form replaces every exponential of the result by esum(mu, .), so that
// e^mu can be carried without overflow or underflow.
double rcomp(bool scaled, int mu, double a, double b, double x, double y)
{
    auto expo = [scaled, mu](double v) { return scaled ? esum(&mu, &v) : std::exp(v); };

    double a0 = fifdmin1(a, b);
    if (a0 < 8.0) {
        // The logarithm of the one of x, y that is close to 1 comes from the other.
        double lnx, lny;
        if (x <= 0.375) {
            const double t = -x;
            lnx = std::log(x);
            lny = alnrel(&t);
        } else if (y <= 0.375) {
            const double t = -y;
            lnx = alnrel(&t);
            lny = std::log(y);
        } else {
            lnx = std::log(x);
            lny = std::log(y);
        }
        double z = a * lnx + b * lny;
        if (a0 >= 1.0)
            return expo(z - beta_log(&a, &b));

        double b0 = fifdmax1(a, b);
        if (b0 >= 8.0) {
            const double u = gamma_ln1(&a0) + algdiv(&a0, &b0);
            return a0 * expo(z - u);
        }
        if (b0 > 1.0) {
            double u = gamma_ln1(&a0);
            const int n = trunc_int(b0 - 1.0);
            if (n >= 1) {
                double c = 1.0;
                for (int i = 0; i < n; ++i) {
                    b0 -= 1.0;
                    c *= b0 / (a0 + b0);
                }
                u = std::log(c) + u;
            }
            z -= u;
            b0 -= 1.0;
            const double apb = a0 + b0;
            const double t = gam1_sum(&apb);
            return (1.0 + gam1(&b0)) * (a0 * expo(z)) / t;
        }

        const double brcomp = expo(z);
        if (brcomp == 0.0)
            return 0.0;
        const double apb = a + b;
        z = gam1_sum(&apb);
        const double c = (1.0 + gam1(&a)) * (1.0 + gam1(&b)) / z;
        return a0 * c * brcomp / (1.0 + a0 / b0);
    }

    // Large parameters: expand about the mean a/(a + b).
    double h, x0, y0, lambda;
    if (a <= b) {
        h = a / b;
        x0 = h / (1.0 + h);
        y0 = 1.0 / (1.0 + h);
        lambda = a - (a + b) * x;
    } else {
        h = b / a;
        x0 = 1.0 / (1.0 + h);
        y0 = h / (1.0 + h);
        lambda = (a + b) * y - b;
    }
    double e = -lambda / a;
    double u, v;
    if (std::fabs(e) > 0.6) {
        u = e - std::log(x / x0);
    } else {
        u = rlog1(&e);
    }
    e = lambda / b;
    if (std::fabs(e) > 0.6) {
        v = e - std::log(y / y0);
    } else {
        v = rlog1(&e);
    }
    const double z = expo(-(a * u + b * v));
    return rcomp_const * std::sqrt(b * x0) * z * std::exp(-bcorr(&a, &b));
}

}  // namespace

double gamma_ln1(const double* a)
{
    static constexpr double p0 = 0.577215664901533, p1 = 0.844203922187225, p2 = -0.168860593646662,
                            p3 = -0.780427615533591, p4 = -0.402055799310489, p5 = -0.0673562214325671,
                            p6 = -0.00271935708322958;
    static constexpr double q1 = 2.88743195473681, q2 = 3.12755088914843, q3 = 1.56875193295039, q4 = 0.361951990101499,
                            q5 = 0.0325038868253937, q6 = 0.000667465618796164;
    static constexpr double r0 = 0.422784335098467, r1 = 0.848044614534529, r2 = 0.565221050691933,
                            r3 = 0.156513060486551, r4 = 0.017050248402265, r5 = 0.000497958207639485;
    static constexpr double s1 = 1.24313399877507, s2 = 0.548042109832463, s3 = 0.10155218743983, s4 = 0.00713309612391,
                            s5 = 0.000116165475989616;
    const double v = *a;
    if (v < 0.6) {
        const double w = ((((((p6 * v + p5) * v + p4) * v + p3) * v + p2) * v + p1) * v + p0) /
            ((((((q6 * v + q5) * v + q4) * v + q3) * v + q2) * v + q1) * v + 1.0);
        return -(v * w);
    }
    const double x = (v - 0.5) - 0.5;
    const double w = (((((r5 * x + r4) * x + r3) * x + r2) * x + r1) * x + r0) /
        (((((s5 * x + s4) * x + s3) * x + s2) * x + s1) * x + 1.0);
    return x * w;
}

double gam1_sum(const double* apb)
{
    // Above 1, apb - 1 is the same number as (a + b) - 1 formed from the two shapes.
    if (*apb > 1.0) {
        const double u1 = *apb - 1.0;
        return (1.0 + gam1(&u1)) / *apb;
    }
    return 1.0 + gam1(apb);
}

double gam1(const double* a)
{
    static constexpr double p[7] = {0.577215664901533, -0.409078193005776, -0.230975380857675, 0.0597275330452234,
        0.0076696818164949, -0.00514889771323592, 0.000589597428611429};
    static constexpr double q[5] = {0.0, 0.427569613095214, 0.158451672430138, 0.0261132021441447, 0.00423244297896961};
    static constexpr double r[9] = {-0.422784335098468, -0.771330383816272, -0.244757765222226, 0.118378989872749,
        0.000930357293360349, -0.0118290993445146, 0.00223047661158249, 0.000266505979058923, -0.000132674909766242};
    static constexpr double s1 = 0.273076135303957, s2 = 0.0559398236957378;

    const double av = *a;
    double t = av;
    const double d = av - 0.5;
    if (d > 0.0)
        t = d - 0.5;
    if (t < 0.0) {
        const double top =
            (((((((r[8] * t + r[7]) * t + r[6]) * t + r[5]) * t + r[4]) * t + r[3]) * t + r[2]) * t + r[1]) * t + r[0];
        const double bot = (s2 * t + s1) * t + 1.0;
        const double w = top / bot;
        if (d > 0.0)
            return (t * w) / av;
        return av * ((w + 0.5) + 0.5);
    }
    if (t == 0.0)
        return 0.0;
    const double top = (((((p[6] * t + p[5]) * t + p[4]) * t + p[3]) * t + p[2]) * t + p[1]) * t + p[0];
    const double bot = (((q[4] * t + q[3]) * t + q[2]) * t + q[1]) * t + 1.0;
    const double w = top / bot;
    if (d > 0.0)
        return (t / av) * ((w - 0.5) - 0.5);
    return av * w;
}

double gamma_log(const double* a)
{
    static constexpr double d = 0.418938533204673;  // ln(2 pi)/2 - 1/2
    const double v = *a;
    if (v <= 0.8)
        return gamma_ln1(&v) - std::log(v);
    if (v <= 2.25) {
        const double t = (v - 0.5) - 0.5;
        return gamma_ln1(&t);
    }
    if (v < 10.0) {
        // Recur down to (1.25, 2.25].
        const int n = trunc_int(v - 1.25);
        double t = v;
        double w = 1.0;
        for (int i = 0; i < n; ++i) {
            t -= 1.0;
            w = t * w;
        }
        const double t1 = t - 1.0;
        return gamma_ln1(&t1) + std::log(w);
    }
    const double t = sq(1.0 / v);
    const double w = (((((c5 * t + c4) * t + c3) * t + c2) * t + c1) * t + c0) / v;
    return (d + w) + (v - 0.5) * (std::log(v) - 1.0);
}

double gsumln(const double* a, const double* b)
{
    const double x = *a + *b - 2.0;
    if (x <= 0.25) {
        const double t = 1.0 + x;
        return gamma_ln1(&t);
    }
    if (x <= 1.25)
        return gamma_ln1(&x) + alnrel(&x);
    const double t = x - 1.0;
    return gamma_ln1(&t) + std::log(x * (1.0 + x));
}

double bcorr(const double* a0, const double* b0)
{
    const double a = fifdmin1(*a0, *b0);
    const double b = fifdmax1(*a0, *b0);
    const double h = a / b;
    const double c = h / (1.0 + h);
    const double x = 1.0 / (1.0 + h);
    const double w = stirling_tail(b, x, c);
    const double t = sq(1.0 / a);
    return (((((c5 * t + c4) * t + c3) * t + c2) * t + c1) * t + c0) / a + w;
}

double algdiv(const double* a, const double* b)
{
    const double av = *a, bv = *b;
    double h, c, x, d;
    if (av < bv) {
        h = av / bv;
        c = h / (1.0 + h);
        x = 1.0 / (1.0 + h);
        d = bv + (av - 0.5);
    } else {
        h = bv / av;
        c = 1.0 / (1.0 + h);
        x = h / (1.0 + h);
        d = av + (bv - 0.5);
    }
    const double w = stirling_tail(bv, x, c);
    const double ratio = av / bv;
    const double u = d * alnrel(&ratio);
    const double v = av * (std::log(bv) - 1.0);
    // The larger of u and v is subtracted last.
    if (u > v)
        return (w - v) - u;
    return (w - u) - v;
}

double beta_log(const double* a0, const double* b0)
{
    static constexpr double e = 0.918938533204673;  // ln(2 pi)/2
    double a = fifdmin1(*a0, *b0);
    double b = fifdmax1(*a0, *b0);

    if (a >= 8.0) {
        const double w = bcorr(&a, &b);
        const double h = a / b;
        const double c = h / (1.0 + h);
        const double u = -(a - 0.5) * std::log(c);
        const double v = b * alnrel(&h);
        if (u > v)
            return (((e - 0.5 * std::log(b)) + w) - v) - u;
        return (((e - 0.5 * std::log(b)) + w) - u) - v;
    }

    if (a < 1.0) {
        if (b < 8.0) {
            const double apb = a + b;
            return gamma_log(&a) + (gamma_log(&b) - gamma_log(&apb));
        }
        return gamma_log(&a) + algdiv(&a, &b);
    }

    double w;
    if (a <= 2.0) {
        if (b <= 2.0)
            return (gamma_log(&a) + gamma_log(&b)) - gsumln(&a, &b);
        if (b >= 8.0)
            return gamma_log(&a) + algdiv(&a, &b);
        w = 0.0;
    } else if (b > 1000.0) {
        // Reduce a to (1, 2], keeping the factors that b dominates apart.
        const int n = trunc_int(a - 1.0);
        w = 1.0;
        for (int i = 0; i < n; ++i) {
            a -= 1.0;
            w *= a / (1.0 + a / b);
        }
        return (std::log(w) - n * std::log(b)) + (gamma_log(&a) + algdiv(&a, &b));
    } else {
        const int n = trunc_int(a - 1.0);
        w = 1.0;
        for (int i = 0; i < n; ++i) {
            a -= 1.0;
            const double h = a / b;
            w *= h / (1.0 + h);
        }
        w = std::log(w);
        if (b >= 8.0)
            return (gamma_log(&a) + w) + algdiv(&a, &b);
    }

    // Reduce b below 2 as well (a now lies in [1, 2]).
    const int n = trunc_int(b - 1.0);
    double z = 1.0;
    for (int i = 0; i < n; ++i) {
        b -= 1.0;
        z *= b / (a + b);
    }
    return (w + std::log(z)) + (gamma_log(&a) + (gamma_log(&b) - gsumln(&a, &b)));
}

double beta_rcomp(const double* a, const double* b, const double* x, const double* y)
{
    if (*x == 0.0 || *y == 0.0)
        return 0.0;
    return rcomp(false, 0, *a, *b, *x, *y);
}

double beta_rcomp1(const int* mu, const double* a, const double* b, const double* x, const double* y)
{
    return rcomp(true, *mu, *a, *b, *x, *y);
}

void gamma_rat1(const double* a, const double* x, const double* r, double* p, double* q, const double* eps)
{
    const double av = *a, xv = *x;
    if (av * xv == 0.0) {
        if (xv <= av) {
            *p = 0.0;
            *q = 1.0;
        } else {
            *p = 1.0;
            *q = 0.0;
        }
        return;
    }
    if (av == 0.5) {
        const double rt = std::sqrt(xv);
        if (xv < 0.25) {
            *p = error_f(&rt);
            *q = 0.5 + (0.5 - *p);
        } else {
            static constexpr int k_unscaled = 0;
            *q = error_fc(&k_unscaled, &rt);
            *p = 0.5 + (0.5 - *q);
        }
        return;
    }

    if (xv < 1.1) {
        // Taylor series for P(a, x) / x^a.
        double an = 3.0;
        double c = xv;
        double sum = xv / (av + 3.0);
        const double tol = 0.1 * *eps / (av + 1.0);
        double t;
        do {
            an += 1.0;
            c = -(c * (xv / an));
            t = c / (av + an);
            sum += t;
        } while (std::fabs(t) > tol);
        const double j = (av * xv) * ((sum / 6.0 - 0.5 / (av + 2.0)) * xv + 1.0 / (av + 1.0));
        const double z = av * std::log(xv);
        const double h = gam1(&av);
        const double g = 1.0 + h;
        const bool first_form = (xv < 0.25) ? (z > -0.13394) : (av < xv / 2.59);
        if (first_form) {
            // x^a - 1 through rexp keeps Q accurate when x^a is close to 1.
            const double l = rexp(&z);
            const double w = 0.5 + (0.5 + l);
            *q = (w * j - l) * g - h;
            if (*q < 0.0) {
                *p = 1.0;
                *q = 0.0;
            } else {
                *p = 0.5 + (0.5 - *q);
            }
        } else {
            const double w = std::exp(z);
            *p = (w * g) * (0.5 + (0.5 - j));
            *q = 0.5 + (0.5 - *p);
        }
        return;
    }

    // Continued fraction for Q(a, x).
    double a2nm1 = 1.0, a2n = 1.0;
    double b2nm1 = xv, b2n = xv + (1.0 - av);
    double c = 1.0;
    double am0, an0;
    do {
        a2nm1 = xv * a2n + c * a2nm1;
        b2nm1 = xv * b2n + c * b2nm1;
        am0 = a2nm1 / b2nm1;
        c += 1.0;
        const double cma = c - av;
        a2n = a2nm1 + cma * a2n;
        b2n = b2nm1 + cma * b2n;
        an0 = a2n / b2n;
    } while (std::fabs(an0 - am0) >= *eps * an0);
    *q = *r * an0;
    *p = 0.5 + (0.5 - *q);
}

}  // namespace cdflib
