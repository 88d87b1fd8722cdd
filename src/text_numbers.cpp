#include "text_numbers.h"

#include <algorithm>
#include <climits>
#include <cstdint>

namespace {

// Magnitude of the number at the start of text (after white space and sign), clamped to
// `limit`; `negative` receives the sign.
std::uint64_t leading_magnitude(std::string_view text, std::uint64_t limit, bool& negative)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::uint64_t value = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + static_cast<std::uint64_t>(text[i] - '0');
        if (value > limit)
            value = limit;  // stays clamped however many digits follow
    }
    return value;
}

}  // namespace

int parse_int_clamped(std::string_view text)
{
    bool negative = false;
    const std::uint64_t value = leading_magnitude(text, static_cast<std::uint64_t>(INT_MAX) + 1, negative);
    if (negative)
        return static_cast<int>(-static_cast<std::int64_t>(value));
    return static_cast<int>(std::min<std::uint64_t>(value, INT_MAX));
}

std::int64_t parse_int64_clamped(std::string_view text)
{
    bool negative = false;
    const std::uint64_t value = leading_magnitude(text, static_cast<std::uint64_t>(INT64_MAX) + 1, negative);
    if (negative)
        return value > static_cast<std::uint64_t>(INT64_MAX) ? INT64_MIN : -static_cast<std::int64_t>(value);
    return static_cast<std::int64_t>(std::min<std::uint64_t>(value, INT64_MAX));
}
