#include "extended_float.h"

#include <bit>
#include <cstring>

namespace {

using u128 = unsigned __int128;

// Rounds v >> shift to nearest even (0 < shift < 128), `sticky` standing for nonzero bits
// already dropped below v.
u128 round_shift(u128 v, int shift, bool sticky = false)
{
    const u128 kept = v >> shift;
    const u128 rest = v & ((u128{1} << shift) - 1);
    const u128 half = u128{1} << (shift - 1);
    const bool up = rest > half || (rest == half && (sticky || (kept & 1) != 0));
    return kept + (up ? 1 : 0);
}

int bit_length(u128 v)
{
    const auto hi = static_cast<std::uint64_t>(v >> 64);
    return hi != 0 ? 128 - std::countl_zero(hi) : 64 - std::countl_zero(static_cast<std::uint64_t>(v));
}

}  // namespace

extended::extended(float f)
{
    std::uint32_t bits = 0;
    std::memcpy(&bits, &f, sizeof bits);
    negative_ = (bits >> 31) != 0;
    const int field = static_cast<int>((bits >> 23) & 0xFF);
    const std::uint32_t fraction = bits & 0x7FFFFF;
    if (field == 0xFF) {
        kind_ = fraction == 0 ? kind::infinite : kind::nan;
    } else if (field == 0 && fraction == 0) {
        kind_ = kind::zero;
    } else if (field == 0) {  // subnormal: fraction * 2^-149, normal here
        const int lead = std::countl_zero(std::uint64_t{fraction});
        kind_ = kind::finite;
        significand_ = std::uint64_t{fraction} << lead;
        exponent_ = -86 - lead;
    } else {
        kind_ = kind::finite;
        significand_ = (std::uint64_t{fraction} | 0x800000u) << 40;
        exponent_ = field - 127;
    }
}

extended operator*(const extended& a, const extended& b)
{
    using kind = extended::kind;
    extended r;
    r.negative_ = a.negative_ != b.negative_;
    if (a.kind_ == kind::nan || b.kind_ == kind::nan ||
        (a.kind_ == kind::zero && b.kind_ == kind::infinite) || (a.kind_ == kind::infinite && b.kind_ == kind::zero)) {
        r.kind_ = kind::nan;
        return r;
    }
    if (a.kind_ == kind::infinite || b.kind_ == kind::infinite) {
        r.kind_ = kind::infinite;
        return r;
    }
    if (a.kind_ == kind::zero || b.kind_ == kind::zero) {
        r.kind_ = kind::zero;
        return r;
    }
    // The product of two significands lies in [2^126, 2^128): keep its top 64 bits.
    const u128 p = static_cast<u128>(a.significand_) * b.significand_;
    const bool top = (p >> 127) != 0;
    u128 kept = round_shift(p, top ? 64 : 63);
    std::int32_t e = a.exponent_ + b.exponent_ + (top ? 1 : 0);
    if ((kept >> 64) != 0) {  // rounded up to 2^64
        kept >>= 1;
        ++e;
    }
    r.kind_ = kind::finite;
    r.exponent_ = e;
    r.significand_ = static_cast<std::uint64_t>(kept);
    return r;
}

extended::operator double() const
{
    std::uint64_t bits = std::uint64_t{negative_} << 63;
    switch (kind_) {
    case kind::zero:
        break;
    case kind::infinite:
        bits |= 0x7FF0000000000000ULL;
        break;
    case kind::nan:
        bits |= 0x7FF8000000000000ULL;
        break;
    case kind::finite:
        if (exponent_ >= -1022) {
            u128 m = round_shift(significand_, 11);
            std::int64_t e = exponent_;
            if ((m >> 53) != 0) {
                m >>= 1;
                ++e;
            }
            if (e > 1023)
                bits |= 0x7FF0000000000000ULL;
            else
                bits |= (static_cast<std::uint64_t>(e + 1023) << 52) | (static_cast<std::uint64_t>(m) & ((1ULL << 52) - 1));
        } else {
            // Subnormal: counted in units of 2^-1074, one rounding from 64 bits. A carry
            // into bit 52 is the smallest normal number, which the same bits encode.
            const std::int64_t shift = -1011 - static_cast<std::int64_t>(exponent_);  // > 11
            if (shift < 64)
                bits |= static_cast<std::uint64_t>(round_shift(significand_, static_cast<int>(shift)));
            else if (shift == 64)
                bits |= significand_ > (1ULL << 63) ? 1 : 0;  // exactly half rounds to even 0
        }
        break;
    }
    return std::bit_cast<double>(bits);
}

namespace {

// -1, 0 or 1; NaN is not asked.
int sign_of(bool zero, bool negative)
{
    return zero ? 0 : negative ? -1 : 1;
}

}  // namespace

bool operator>(const extended& a, const extended& b)
{
    using kind = extended::kind;
    if (a.kind_ == kind::nan || b.kind_ == kind::nan)
        return false;
    const int sa = sign_of(a.kind_ == kind::zero, a.negative_);
    const int sb = sign_of(b.kind_ == kind::zero, b.negative_);
    if (sa != sb)
        return sa > sb;
    if (sa == 0)
        return false;
    // Same sign: compare magnitudes (infinity above every finite value).
    const extended& big = sa > 0 ? a : b;
    const extended& small = sa > 0 ? b : a;
    if (big.kind_ != small.kind_)
        return big.kind_ == kind::infinite;
    if (big.kind_ == kind::infinite)
        return false;
    if (big.exponent_ != small.exponent_)
        return big.exponent_ > small.exponent_;
    return big.significand_ > small.significand_;
}

bool operator==(const extended& a, const extended& b)
{
    using kind = extended::kind;
    if (a.kind_ == kind::nan || b.kind_ == kind::nan)
        return false;
    if (a.kind_ == kind::zero && b.kind_ == kind::zero)
        return true;
    return a.kind_ == b.kind_ && a.negative_ == b.negative_ &&
        (a.kind_ == kind::infinite || (a.exponent_ == b.exponent_ && a.significand_ == b.significand_));
}

// The logarithm of a product outside the range of a double.
//
// On x86-64 the score of such a product is (double)(logl(p) / width) in `long double`:
// glibc's logl is the x87 instruction fyl2x with ln 2 (rounded to 64 bits) as its factor,
// which forms ln2_64 * log2(p) with internal extra precision and rounds once to 64 bits.
// Here that value is formed to about 2^-100 in fixed point, then rounded once to 64 bits,
// divided by the width with rounding to 64 bits, and rounded to a double, as on x86-64.
// The result differs from x86-64's only if the true ln2_64 * log2(p) lies within the
// instruction's own (unpublished, below one unit in the last place) error of a midpoint
// between 64-bit numbers and that step then moves the double: the test against x87
// `long double` counts such cases: 1 score in 200,000 of the values it tries.
namespace {

// floor(num * 2^bits / den) for num < den < 2^126, bits <= 126, by long division.
u128 divide_fraction(u128 num, u128 den, int bits)
{
    u128 q = 0;
    for (int i = 0; i < bits; ++i) {
        num <<= 1;
        q <<= 1;
        if (num >= den) {
            num -= den;
            q |= 1;
        }
    }
    return q;
}

// (a * b) >> 124 for a, b < 2^125.
u128 multiply_q124(u128 a, u128 b)
{
    const u128 mask = ~std::uint64_t{0};
    const u128 a0 = a & mask, a1 = a >> 64, b0 = b & mask, b1 = b >> 64;
    const u128 p00 = a0 * b0, p01 = a0 * b1, p10 = a1 * b0, p11 = a1 * b1;
    const u128 mid = (p00 >> 64) + (p01 & mask) + (p10 & mask);
    const u128 lo = (mid << 64) | (p00 & mask);
    const u128 hi = p11 + (p01 >> 64) + (p10 >> 64) + (mid >> 64);
    return (hi << 4) | (lo >> 124);
}

constexpr int frac_bits = 124;
constexpr u128 one_q124 = u128{1} << frac_bits;

// ln(1 + x), x = num / den in [0, 1), in Q124: 2 atanh(u), u = num / (2 den + num).
u128 log1p_q124(u128 num, u128 den)
{
    const u128 u = divide_fraction(num, 2 * den + num, frac_bits);
    const u128 u2 = multiply_q124(u, u);
    u128 sum = 0;
    u128 power = u;
    for (unsigned k = 1; power != 0; k += 2) {
        sum += power / k;
        power = multiply_q124(power, u2);
    }
    return 2 * sum;
}

}  // namespace

extended extended::log() const
{
    // log2(p) = e + ln(m) / ln 2 with m = significand / 2^63 in [1, 2), in Q100.
    static const u128 ln2 = log1p_q124(1, 1);
    static const u128 inv_ln2_frac = divide_fraction(one_q124 - ln2, ln2, frac_bits);  // 1/ln2 - 1
    const u128 ln_m = log1p_q124(significand_ - (std::uint64_t{1} << 63), std::uint64_t{1} << 63);
    const u128 log2_m = ln_m + multiply_q124(ln_m, inv_ln2_frac);  // < 2^124
    const bool below_one = exponent_ < 0;
    // |log2 p| in Q100: |e| * 2^100 -/+ log2(m) * 2^100.
    const u128 whole = static_cast<u128>(below_one ? -static_cast<std::int64_t>(exponent_) : exponent_) << 100;
    const u128 part = log2_m >> 24;
    const u128 log2_abs = below_one ? whole - part : whole + part;
    // Times ln 2 rounded to 64 bits, as the instruction's factor: 0xB17217F7D1CF79AC * 2^-64.
    constexpr std::uint64_t ln2_64 = 0xB17217F7D1CF79ACULL;
    const u128 ln_abs = (log2_abs >> 64) * ln2_64 + (((log2_abs & ~std::uint64_t{0}) * ln2_64) >> 64);
    extended result;
    if (ln_abs == 0)
        return result;
    // Rounded once to a 64-bit significand: the logarithm as `long double`.
    const int length = bit_length(ln_abs);
    u128 sig = length > 64 ? round_shift(ln_abs, length - 64) : ln_abs << (64 - length);
    int e = length - 1 - 100;
    if ((sig >> 64) != 0) {
        sig >>= 1;
        ++e;
    }
    result.kind_ = kind::finite;
    result.negative_ = below_one;
    result.exponent_ = e;
    result.significand_ = static_cast<std::uint64_t>(sig);
    return result;
}

double extended::log_over(int width) const
{
    const extended ln = log();
    if (ln.kind_ != kind::finite)
        return 0.0;
    const u128 sig = ln.significand_;
    const int e = ln.exponent_;
    // Divided by the width, rounded to 64 bits (sticky: a remainder).
    const u128 num = sig << 63;
    const u128 quotient = num / static_cast<unsigned>(width);
    const bool remainder = num % static_cast<unsigned>(width) != 0;
    const int qlength = bit_length(quotient);
    u128 qsig = round_shift(quotient, qlength - 64, remainder);
    int qe = e + (qlength - 1) - 126;
    if ((qsig >> 64) != 0) {
        qsig >>= 1;
        ++qe;
    }
    extended result;
    result.kind_ = kind::finite;
    result.negative_ = ln.negative_;
    result.exponent_ = qe;
    result.significand_ = static_cast<std::uint64_t>(qsig);
    return static_cast<double>(result);
}
