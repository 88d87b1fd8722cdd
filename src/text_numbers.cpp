#include "text_numbers.h"

#include <climits>
#include <cstdint>

int parse_int_clamped(std::string_view text)
{
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || (text[i] >= '\t' && text[i] <= '\r')))
        ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) {
        negative = text[i] == '-';
        ++i;
    }
    std::int64_t value = 0;
    constexpr std::int64_t limit = static_cast<std::int64_t>(INT_MAX) + 1;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        value = value * 10 + (text[i] - '0');
        if (value > limit)
            value = limit;  // stays clamped however many digits follow
    }
    if (negative)
        return static_cast<int>(-value);
    return static_cast<int>(value > INT_MAX ? INT_MAX : value);
}
