// cdflib: Student's t distribution through the regularised incomplete beta
// ratio, with the special functions it rests on.
//
// Calling convention: every argument is passed by address (the small fifd*
// and fifidint helpers take plain doubles), results come back as the function
// value or through out-arguments, errors through integer out-arguments. No
// routine keeps state, touches global data, prints or stops the process, so
// any number of threads may call them at once.
#pragma once

#include <cstddef>

namespace cdflib {

// ---- Student's t distribution -------------------------------------------

// which = 1: from t and df (> 0) compute p = P(T <= t) and q = P(T > t).
// status: 0 on success; -1 when which is not 1 (bound 1.0 for which <= 0,
// 3.0 otherwise: the inverse modes 2 and 3 are not provided); -5 when
// df <= 0 (bound 0.0). On failure p, q, t and df are left untouched.
void cdft(const int* which, double* p, double* q, double* t, double* df, int* status, double* bound);

// cum = P(T <= t), ccum = P(T > t); df is assumed positive.
void cumt(const double* t, const double* df, double* cum, double* ccum);

// ccum[i] of cumt at t[i] for n values t[i] >= 0 of the same df: each the same number as
// cumt's, the power series of their common case summed side by side where the processor
// has AVX-512 or AVX2.
void cumt_upper_tails(const double* df, const double* t, std::size_t n, double* ccum);
#if defined(__x86_64__)
// beta_pser_sum(a, 1/2, x[i], eps) into sum[i] for n values, eight at a time with AVX-512F
// and four with AVX2, each the series' own result: cumt_upper_tails takes the widest the
// processor has.
__attribute__((target("avx512f"))) void half_b_sums_avx512(
    double a, const double* x, std::size_t n, double eps, double* sum);
__attribute__((target("avx2"))) void half_b_sums_avx2(
    double a, const double* x, std::size_t n, double eps, double* sum);
#endif

// The least t * t from which cumt's far tail (ccum for t > 0, cum for t < 0) is
// certainly 0.0 for these df, so that a caller may skip evaluating it; +infinity where
// no such bound is worked out (df < 16, or not finite).
double t_tail_zero_from(double df);

// cum = I_x(a, b), ccum = 1 - I_x(a, b); y = 1 - x given separately.
void cumbet(const double* x, const double* y, const double* a, const double* b, double* cum, double* ccum);

// ---- Incomplete beta ratio -------------------------------------------------

// w = I_x(a, b), w1 = 1 - I_x(a, b), each to nearly full precision.
// ierr: 0 ok; 1 a or b < 0; 2 a = b = 0; 3 x outside [0, 1]; 4 y outside
// [0, 1]; 5 x + y != 1; 6 x = a = 0; 7 y = b = 0. On error w = w1 = 0.
void beta_inc(const double* a, const double* b, const double* x, const double* y, double* w, double* w1, int* ierr);

// I_x(a, b) when b is negligible beside a (b < min(eps, eps*a), x <= 0.5).
double fpser(const double* a, const double* b, const double* x, const double* eps);
// 1 - I_x(a, b) when a is negligible (a < min(eps, eps*b), b*x <= 1, x <= 0.5).
double apser(const double* a, const double* b, const double* x, const double* eps);
// I_x(a, b) by its power series (b <= 1 or b*x <= 0.7).
double beta_pser(const double* a, const double* b, const double* x, const double* eps);
// The series of beta_pser: I_x(a, b) is its prefactor times 1 + a times this sum.
double beta_pser_sum(double a, double b, double x, double eps);
// beta_pser's test that its prefactor, and so its result, is 0 for a < 1 and b >= 8 (its
// a0 and b0), given a ln x: a ln x + (e + 1) ln 2 + beta_pser_zero_slack < beta_pser_zero_limit,
// e the binary exponent of b0.
inline constexpr double beta_pser_zero_limit = -747.0;
inline constexpr double beta_pser_zero_slack = 0.13;
inline constexpr double ln_2 = 0.6931471805599453;
bool beta_pser_is_zero(double a_ln_x, double b0);
// I_x(a, b) - I_x(a + n, b) for a whole n >= 1.
double beta_up(const double* a, const double* b, const double* x, const double* y, const int* n, const double* eps);

// ---- Incomplete beta expansions -------------------------------------------

// Continued fraction, a > 1, b > 1, lambda = (a + b)*y - b >= 0.
double beta_frac(
    const double* a, const double* b, const double* x, const double* y, const double* lambda, const double* eps);
// Adds I_x(a, b) to *w, for large a and b <= 1. ierr = 1 (w untouched)
// when the expansion cannot be formed.
void beta_grat(
    const double* a, const double* b, const double* x, const double* y, double* w, const double* eps, int* ierr);
// Asymptotic expansion for large a and b, lambda = (a + b)*y - b >= 0.
double beta_asym(const double* a, const double* b, const double* lambda, const double* eps);

// ---- Beta and gamma kernels -------------------------------------------------

double gamma_ln1(const double* a);  // ln Gamma(1 + a), -0.2 < a <= 1.25
double gam1(const double* a);       // 1/Gamma(a + 1) - 1, -0.5 <= a <= 1.5
// 1/Gamma(apb + 1), 0 < apb <= 2, through gam1 at apb or at apb - 1 (its range)
double gam1_sum(const double* apb);
double gamma_log(const double* a);                    // ln Gamma(a), a > 0
double gsumln(const double* a, const double* b);      // ln Gamma(a + b), 1 <= a, b <= 2
double bcorr(const double* a0, const double* b0);     // del(a0) + del(b0) - del(a0 + b0)
double algdiv(const double* a, const double* b);      // ln(Gamma(b) / Gamma(a + b)), b >= 8
double beta_log(const double* a0, const double* b0);  // ln B(a0, b0)
// x^a * y^b / B(a, b)
double beta_rcomp(const double* a, const double* b, const double* x, const double* y);
// e^mu * x^a * y^b / B(a, b)
double beta_rcomp1(const int* mu, const double* a, const double* b, const double* x, const double* y);
// p = P(a, x), q = Q(a, x) for 0 <= a <= 1; r = e^-x * x^a / Gamma(a).
void gamma_rat1(const double* a, const double* x, const double* r, double* p, double* q, const double* eps);

// ---- Elementary kernels and machine constants ------------------------------

int ipmpar(const int* i);                     // integer machine constants, slots 1 to 10
double dpmpar(const int* i);                  // 1: epsilon, 2: smallest normal, 3: largest finite
double exparg(const int* l);                  // l = 0: largest safe exp argument; else most negative
double esum(const int* mu, const double* x);  // e^(mu + x)
double rexp(const double* x);                 // e^x - 1
double rlog1(const double* x);                // x - ln(1 + x)
double alnrel(const double* a);               // ln(1 + a)
double fifdint(double a);                     // truncation toward zero
double fifdmax1(double a, double b);          // b if a < b, else a
double fifdmin1(double a, double b);          // a if a < b, else b
double fifdsign(double mag, double sign);
int fifidint(double a);  // integer part, 0 below 1

// ---- Error function and digamma ---------------------------------------------

double error_f(const double* x);                   // erf(x)
double error_fc(const int* ind, const double* x);  // erfc(x), or e^(x*x)*erfc(x) if ind != 0
double psi(const double* xx);                      // digamma; 0 where undefined

}  // namespace cdflib
