#include "seq_reader.h"

#include <algorithm>
#include <cstdio>
#include <cstring>

#include "messages.h"
#include "motif_reader.h"
#include "settings.h"
#include "text_numbers.h"

namespace {

constexpr std::array<std::uint8_t, 256> make_base_codes()
{
    std::array<std::uint8_t, 256> codes{};
    codes.fill(4);
    codes['A'] = codes['a'] = 0;
    codes['C'] = codes['c'] = 1;
    codes['G'] = codes['g'] = 2;
    codes['T'] = codes['t'] = 3;
    return codes;
}

// One piece of the title: skip any delimiters, take up to the next one and consume it.
// Returns nothing when only delimiters (or nothing) remain.
std::optional<std::string_view> next_piece(std::string_view& rest, char delimiter)
{
    const std::size_t first = rest.find_first_not_of(delimiter);
    if (first == std::string_view::npos) {
        rest = {};
        return std::nullopt;
    }
    const std::size_t stop = rest.find(delimiter, first);
    std::string_view piece = rest.substr(first, stop == std::string_view::npos ? stop : stop - first);
    rest = stop == std::string_view::npos ? std::string_view{} : rest.substr(stop + 1);
    return piece;
}

}  // namespace

const std::array<std::uint8_t, 256> base_codes = make_base_codes();

int base_2int(char base)
{
    return base_codes[static_cast<unsigned char>(base)];
}

void reverse_complement_codes(std::span<const std::uint8_t> codes, std::span<std::uint8_t> out)
{
    const std::size_t n = codes.size();
    for (std::size_t i = 0; i < n; ++i)
        out[i] = complement_code(codes[n - 1 - i]);
}

void append_reverse_complement(std::string& out, std::string_view letters)
{
    for (auto c = letters.rbegin(); c != letters.rend(); ++c)
        out += complement_letter(*c);
}

seq_builder::seq_builder()
{
    letters_.reserve(max_seq_len);
}

void seq_builder::set_title(std::string_view title)
{
    title_.assign(clipped_name(title));  // into the room of the titles before
}

bool seq_builder::room_for_line(std::size_t n)
{
    if (!too_long_ && !fits_in_seq(letters_.size() + n)) {
        std::fprintf(messages(), "seq len: >%d\n", max_seq_len);
        too_long_ = true;
    }
    if (too_long_)
        cut_letters_ += static_cast<std::int64_t>(n);
    return !too_long_;
}

seq seq_builder::finish()
{
    seq s;
    s.cut_letters = cut_letters_;
    s.len = static_cast<int>(letters_.size());
    s.seq.assign(letters_);  // exact size: a full table holds 275 million letters
    s.base.resize(s.seq.size());
    encode_letters(s.seq, s.base.data());
    calculat_bgfrqs(s);
    // The title is read where it is and keeps its room: a record then takes one allocation
    // and one free fewer.
    parse_seq_title(s, title_);
    clear();
    return s;
}

void seq_builder::clear()
{
    title_.clear();
    letters_.clear();  // keeps its room
    too_long_ = false;
    cut_letters_ = 0;
}

std::optional<seq> read_seq2(line_reader& in)
{
    seq_builder record;
    return read_seq2(in, record);
}

std::optional<seq> read_seq2(line_reader& in, seq_builder& record)
{
    record.clear();  // of letters before a first title, which make no record
    bool title_seen = false;
    // A line that fits is at most max_seq_len letters, and a title keeps fewer characters:
    // nothing longer need be held.
    while (auto raw = in.next_line(max_seq_len)) {
        std::string_view line = rtrim(*raw);
        if (!line.empty() && line.front() == '>') {
            if (title_seen) {
                in.unread();
                break;
            }
            record.set_title(line.substr(1));
            title_seen = true;
            continue;
        }
        // Every letter counts, kept or not: the title's numbers locate the whole record.
        record.add_line(line, in.line_length());
    }
    if (!title_seen)
        return std::nullopt;
    return record.finish();
}

// Branch-free and in bytes, so that the compiler works on a vector of letters at a time:
// a letter's byte with bit 5 set is 'a' exactly for 'A' and 'a', and so on.
void encode_letters(std::string_view letters, std::uint8_t* codes)
{
    for (std::size_t i = 0; i < letters.size(); ++i) {
        const auto c = static_cast<std::uint8_t>(static_cast<std::uint8_t>(letters[i]) | 0x20);
        codes[i] = static_cast<std::uint8_t>(4 - 4 * (c == 'a') - 3 * (c == 'c') - 2 * (c == 'g') - (c == 't'));
    }
}

// By the bits of the codes (0 to 4) rather than a table of counters, whose increments
// wait on each other whenever a code repeats: bit 0 is set for C (1) and T (3), bit 1 for G
// (2) and T, both for T alone and bit 2 for anything else (4). Each bit is summed in the
// bytes of a word, for at most 255 words at a time so that no byte overflows.
std::array<std::int64_t, 5> count_codes(std::span<const std::uint8_t> codes)
{
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    const auto byte_total = [](std::uint64_t v) {
        v = (v & 0x00FF00FF00FF00FFULL) + (v >> 8 & 0x00FF00FF00FF00FFULL);
        return static_cast<std::int64_t>(v * 0x0001000100010001ULL >> 48);
    };
    std::int64_t bit0 = 0;
    std::int64_t bit1 = 0;
    std::int64_t both = 0;
    std::int64_t other = 0;
    const std::size_t n = codes.size();
    std::size_t i = 0;
    while (n - i >= 8) {
        std::uint64_t s0 = 0, s1 = 0, s01 = 0, s2 = 0;
        for (std::size_t words = std::min<std::size_t>((n - i) / 8, 255); words > 0; --words, i += 8) {
            std::uint64_t x = 0;
            std::memcpy(&x, codes.data() + i, sizeof x);
            s0 += x & ones;
            s1 += x >> 1 & ones;
            s01 += x & x >> 1 & ones;
            s2 += x >> 2 & ones;
        }
        bit0 += byte_total(s0);
        bit1 += byte_total(s1);
        both += byte_total(s01);
        other += byte_total(s2);
    }
    for (; i < n; ++i) {
        const unsigned x = codes[i];
        bit0 += x & 1;
        bit1 += x >> 1 & 1;
        both += x & x >> 1 & 1;
        other += x >> 2 & 1;
    }
    const std::int64_t t = both;
    const std::int64_t g = bit1 - t;
    const std::int64_t c = bit0 - t;
    return {static_cast<std::int64_t>(n) - c - g - t - other, c, g, t, other};
}

void calculat_bgfrqs(seq& s)
{
    const std::array<std::int64_t, 5> counts = count_codes(
        std::span(s.base).first(std::min(s.base.size(), static_cast<std::size_t>(std::max(s.len, 0)))));
    const float denominator = static_cast<float>(s.len) + 5 * pseudocount;
    for (int c = 0; c < 5; ++c)
        s.background_frqs[c] = (static_cast<float>(counts[c]) + pseudocount) / denominator;
}

void parse_seq_title(seq& s)
{
    const std::string title = std::move(s.name);
    parse_seq_title(s, title);
}

void parse_seq_title(seq& s, std::string_view title)
{
    std::string_view rest = title;
    std::optional<std::string_view> name;
    // A name may itself hold ':' or "::" (names made from coordinates, chr1:568-798), but a
    // location never does: with "::" the location is what follows the last one.
    if (const std::size_t last = rest.rfind("::"); last != std::string_view::npos) {
        name = rest.substr(0, last);
        rest.remove_prefix(last + 2);
    } else {
        name = next_piece(rest, ':');
    }
    const auto chrom = next_piece(rest, ':');
    const auto start = next_piece(rest, '-');
    const auto end = next_piece(rest, '(');
    const auto strand = next_piece(rest, ')');
    s.name = std::string(name.value_or(std::string_view{}));
    s.chrom = std::string(chrom.value_or(std::string_view{}));
    s.start = start ? parse_int64_clamped(*start) : 0;
    s.end = end ? parse_int64_clamped(*end) : 0;
    s.strand = strand ? strand->front() : '.';
}
