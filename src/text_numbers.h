// Reading numbers from text in the manner of atoi, without its undefined overflow.
#pragma once

#include <cstdint>
#include <string_view>

// Skips leading white space, takes an optional sign and the digits that follow, and
// ignores the rest; text without digits gives 0. Values beyond the range of a 32-bit
// int are clamped to it.
int parse_int_clamped(std::string_view text);

// The same for 64-bit values (genomic coordinates: chromosomes exceed 2^31 letters).
std::int64_t parse_int64_clamped(std::string_view text);
