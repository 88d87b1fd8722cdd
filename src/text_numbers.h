// Reading numbers from text in the manner of atoi, without its undefined overflow.
#pragma once

#include <cstdint>
#include <string_view>

// An integer read the way atoi reads one, a character at a time, for text that arrives in
// pieces: white space, an optional sign, then digits; the first other character ends it.
// The magnitude is clamped to `limit` as soon as it passes it, so no digit string of any
// length can wrap it.
class leading_integer {
public:
    explicit leading_integer(std::uint64_t limit) : limit_(limit) { }
    void take(char c);
    bool done() const { return phase_ == phase::done; }
    bool negative() const { return negative_; }
    std::uint64_t magnitude() const { return magnitude_; }

private:
    enum class phase { space, digits, done };
    std::uint64_t limit_;
    std::uint64_t magnitude_ = 0;
    bool negative_ = false;
    phase phase_ = phase::space;
};

// Skips leading white space, takes an optional sign and the digits that follow, and
// ignores the rest; text without digits gives 0. Values beyond the range of a 32-bit
// int are clamped to it.
int parse_int_clamped(std::string_view text);

// The same for 64-bit values (genomic coordinates: chromosomes exceed 2^31 letters).
std::int64_t parse_int64_clamped(std::string_view text);

// The int a leading_integer made for that range (limit 2^31) stands for.
int clamped_int(const leading_integer& number);

inline constexpr std::uint64_t int_limit = std::uint64_t{1} << 31;  // |INT_MIN|
