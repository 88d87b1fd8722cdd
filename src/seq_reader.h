// The sequence file: '>' title lines name::chrom:start-end(strand), then the sequence
// text on any number of lines.
#pragma once

#include <array>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "line_reader.h"

struct seq {
    int len = 0;                             // letters kept, 0 to 5500
    std::int64_t cut_letters = 0;            // letters of an over-long record dropped after these
    std::string name;                        // title before its last "::" (without one, before its first ':')
    std::string seq;                         // the letters as read, case kept
    std::vector<std::uint8_t> base;          // base code of every letter
    std::array<float, 5> background_frqs{};  // this sequence's own smoothed composition
    std::int64_t start = 0;                  // genomic coordinates: 64 bits, chromosomes exceed 2^31
    std::int64_t end = 0;
    char strand = '.';  // '.' when the title gives none
    std::string chrom;
};

inline constexpr char DNA_Bases[] = "ACGTN";

// 'A'/'a' 0, 'C'/'c' 1, 'G'/'g' 2, 'T'/'t' 3, anything else 4.
int base_2int(char base);

// The code of the complementary base: A <-> T, C <-> G; N stays N.
inline std::uint8_t complement_code(std::uint8_t code)
{
    return code < 4 ? static_cast<std::uint8_t>(3 - code) : code;
}

// The codes (0 to 4) of the reverse complement of `codes`, into `out` (as long as `codes`).
void reverse_complement_codes(std::span<const std::uint8_t> codes, std::span<std::uint8_t> out);

// Appends the reverse complement of `letters`, case kept per letter (a -> t, C -> G);
// every other character stays as it is.
void append_reverse_complement(std::string& out, std::string_view letters);

// Reads the next sequence record. Returns nothing when the input ends before a title.
// Leaves the reader at the next record's title line.
std::optional<seq> read_seq2(line_reader& in);

// Fills background_frqs from len and base.
void calculat_bgfrqs(seq& s);

// Cuts the title held in name into name, chrom, start, end and strand.
void parse_seq_title(seq& s);

// Codes of all 256 byte values, for converting whole lines at once.
extern const std::array<std::uint8_t, 256> base_codes;
