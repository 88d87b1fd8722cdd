#include "text_numbers.h"

#include <algorithm>
#include <climits>
#include <cstdint>

void leading_integer::take(char c)
{
    const bool digit = c >= '0' && c <= '9';
    if (phase_ == phase::space) {
        if (c == ' ' || (c >= '\t' && c <= '\r'))
            return;
        phase_ = phase::digits;
        if (c == '+' || c == '-') {
            negative_ = c == '-';
            return;
        }
    }
    if (phase_ != phase::digits)
        return;
    if (!digit) {
        phase_ = phase::done;
        return;
    }
    const auto d = static_cast<std::uint64_t>(c - '0');
    // Checked before multiplying: near 2^63 the product itself would wrap.
    magnitude_ = magnitude_ > (limit_ - d) / 10 ? limit_ : magnitude_ * 10 + d;
}

namespace {

leading_integer read_leading(std::string_view text, std::uint64_t limit)
{
    leading_integer number(limit);
    for (std::size_t i = 0; i < text.size() && !number.done(); ++i)
        number.take(text[i]);
    return number;
}

}  // namespace

int clamped_int(const leading_integer& number)
{
    const std::uint64_t value = number.magnitude();
    if (number.negative())
        return static_cast<int>(-static_cast<std::int64_t>(value));
    return static_cast<int>(std::min<std::uint64_t>(value, INT_MAX));
}

int parse_int_clamped(std::string_view text)
{
    return clamped_int(read_leading(text, int_limit));
}

std::int64_t parse_int64_clamped(std::string_view text)
{
    const leading_integer number = read_leading(text, static_cast<std::uint64_t>(INT64_MAX) + 1);
    const std::uint64_t value = number.magnitude();
    if (number.negative())
        return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MIN : -static_cast<std::int64_t>(value);
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value, INT64_MAX));
}
