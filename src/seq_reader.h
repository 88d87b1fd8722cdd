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
#include "settings.h"

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

// A letter's complement, case kept (a -> t, C -> G); every other character stays as it is.
constexpr std::array<char, 256> make_letter_complements()
{
    std::array<char, 256> letters{};
    for (int c = 0; c < 256; ++c)
        letters[static_cast<std::size_t>(c)] = static_cast<char>(c);
    for (const char* pair : {"AT", "CG", "at", "cg"}) {
        letters[static_cast<unsigned char>(pair[0])] = pair[1];
        letters[static_cast<unsigned char>(pair[1])] = pair[0];
    }
    return letters;
}
inline constexpr std::array<char, 256> letter_complements = make_letter_complements();
inline char complement_letter(char c)
{
    return letter_complements[static_cast<unsigned char>(c)];
}

// Appends the reverse complement of `letters`, letter by letter as complement_letter.
void append_reverse_complement(std::string& out, std::string_view letters);

// True when a record may hold `n` letters (at most max_seq_len).
inline bool fits_in_seq(std::size_t n)
{
    return n <= static_cast<std::size_t>(max_seq_len);
}

// Builds one record as a sequence file gives it: the title (clipped as a title line is),
// the letters line by line within the length limit, then the codes, the composition and
// the title's pieces. Every source of sequences goes through it, so that the same title
// and letters make the same record, with the same messages.
class seq_builder {
public:
    seq_builder();

    void set_title(std::string_view title);

    // True when a line of `n` letters still fits. The first line that does not prints
    // "seq len: >5500" and ends the record's letters: later lines are skipped, their
    // letters counted as cut.
    bool room_for_line(std::size_t n);
    // Appends a line that room_for_line let in.
    void append_line(std::string_view line) { letters_.append(line); }
    // room_for_line, then append_line; `length` is the line's whole length, of which
    // `line` may hold only the first letters.
    void add_line(std::string_view line, std::size_t length)
    {
        if (room_for_line(length))
            append_line(line);
    }

    // The record, after which the builder is empty again and keeps its room for the next.
    seq finish();
    // Forgets the title and letters gathered so far, keeping the room.
    void clear();

private:
    std::string title_;
    std::string letters_;
    bool too_long_ = false;
    std::int64_t cut_letters_ = 0;
};

// Reads the next sequence record. Returns nothing when the input ends before a title.
// Leaves the reader at the next record's title line.
std::optional<seq> read_seq2(line_reader& in);
// The same, its letters gathered in `record`, which a loader keeps from record to record
// so that each does not allocate and free a record's worth of room.
std::optional<seq> read_seq2(line_reader& in, seq_builder& record);

// Fills background_frqs from len and base.
void calculat_bgfrqs(seq& s);

// How many of `codes` are A, C, G, T and anything else (codes 0 to 4).
std::array<std::int64_t, 5> count_codes(std::span<const std::uint8_t> codes);

// The codes of `letters` into `codes` (as long): base_codes of each, a vector at a time.
void encode_letters(std::string_view letters, std::uint8_t* codes);

// Cuts the title held in name into name, chrom, start, end and strand.
void parse_seq_title(seq& s);
// The same for a title held elsewhere.
void parse_seq_title(seq& s, std::string_view title);

// Codes of all 256 byte values, for converting whole lines at once.
extern const std::array<std::uint8_t, 256> base_codes;
