// The scan's running product: the x87 extended format's arithmetic on every platform.
//
// The scan's numbers are defined by multiplying single-precision quotients in the x87
// extended format (64-bit significand, rounding to nearest even). On x86-64 that is
// `long double`; elsewhere `long double` is another format (IEEE quadruple on aarch64
// Linux, plain double on macOS), so there the product is `extended`, which rounds exactly
// as the x87 format does.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <type_traits>

// A 64-bit-significand binary number made by multiplying floats, rounded to nearest even
// after each multiplication. Its exponent is a 32-bit integer with no limit of its own:
// every product the scan forms (at most 100 finite floats, fast_scan.cpp) lies within
// 2^-14900 and 2^12800, where the x87 format is normal, so neither format ever rounds for
// range and the two agree bit for bit. Zero, infinity and NaN behave as in IEEE
// arithmetic (0 * inf is NaN; NaN is neither greater nor equal).
class extended {
public:
    constexpr extended() = default;  // +0
    extended(float f);               // exact
    extended& operator*=(float f) { return *this = *this * extended(f); }
    friend extended operator*(const extended& a, const extended& b);

    // Rounded to nearest even, as the x87 format rounds a value it stores as a double.
    explicit operator double() const;
    friend bool operator>(const extended& a, const extended& b);
    friend bool operator==(const extended& a, const extended& b);

    bool positive_finite() const { return kind_ == kind::finite && !negative_; }
    // For a positive finite value x: ln(x) / width, rounded as x86-64 computes it with
    // `long double` (the logarithm rounded to 64 bits, the quotient rounded to 64 and
    // then to 53 bits); see the comment in extended_float.cpp for how close that model is.
    double log_over(int width) const;
    // ln(x) of a positive finite value, rounded to 64 bits as x86-64's logl gives it.
    extended log() const;

    // The same two words for the same number, as stored (a zero, an infinity or a NaN with
    // a significand and an exponent of 0).
    std::array<std::uint64_t, 2> bits() const
    {
        const std::uint64_t kind_and_sign =
            std::uint64_t{static_cast<std::uint8_t>(kind_)} | std::uint64_t{negative_} << 8;
        return {significand_, static_cast<std::uint32_t>(exponent_) | kind_and_sign << 32};
    }

    // Its value as sign * significand * 2^(exponent - 63), significand in [2^63, 2^64).
    bool is_finite_nonzero() const { return kind_ == kind::finite; }
    bool negative() const { return negative_; }
    std::int32_t exponent() const { return exponent_; }
    std::uint64_t significand() const { return significand_; }

private:
    enum class kind : std::uint8_t { zero, finite, infinite, nan };
    kind kind_ = kind::zero;
    bool negative_ = false;
    std::int32_t exponent_ = 0;
    std::uint64_t significand_ = 0;  // top bit set when finite
};

// Whether `long double` is the x87 extended format itself.
constexpr bool long_double_is_x87 =
    std::numeric_limits<long double>::digits == 64 && std::numeric_limits<long double>::max_exponent == 16384;

// The type of the scan's product: `long double` where it is the x87 format (x86-64, as
// fast there as ever), `extended` everywhere else.
using scan_product = std::conditional_t<long_double_is_x87, long double, extended>;

// ln(p) / width as a double, for a positive finite product: the same on every platform.
inline double product_log_over(long double p, int width)
{
    return static_cast<double>(std::log(p) / static_cast<long double>(width));
}
inline double product_log_over(const extended& p, int width)
{
    return p.log_over(width);
}
// A product's stored bits, as two words: the same for the same product. The x87 format's
// are its 64-bit significand and its sign and exponent. Read where the product lies: a
// copy made to read them is a 10-byte store, which the processor cannot forward to the
// 8-byte load the two bytes are read by, and the loop waits for the store to retire.
inline std::array<std::uint64_t, 2> product_bits(const long double& p)
{
    std::uint64_t significand = 0;
    std::uint16_t sign_exponent = 0;
    std::memcpy(&significand, &p, sizeof significand);
    std::memcpy(&sign_exponent, reinterpret_cast<const char*>(&p) + sizeof significand, sizeof sign_exponent);
    return {significand, sign_exponent};
}
inline std::array<std::uint64_t, 2> product_bits(const extended& p)
{
    return p.bits();
}
inline bool product_positive_finite(long double p)
{
    return p > 0.0L && p <= std::numeric_limits<long double>::max();
}
inline bool product_positive_finite(const extended& p)
{
    return p.positive_finite();
}
