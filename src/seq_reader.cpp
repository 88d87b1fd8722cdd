#include "seq_reader.h"

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

constexpr std::array<char, 256> make_complements()
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

constexpr std::array<char, 256> complements = make_complements();

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
    // Eight codes at a time (the workers redo this for every block of sequences): the
    // bytes reversed, then 0 to 3 turned into 3 to 0 by x ^ 3 and 4 kept, the two told
    // apart by bit 2.
    const std::size_t n = codes.size();
    std::size_t i = 0;
    for (; i + 8 <= n; i += 8) {
        std::uint64_t x = 0;
        std::memcpy(&x, codes.data() + (n - i - 8), sizeof x);
        x = __builtin_bswap64(x);
        x ^= ((~x >> 2) & 0x0101010101010101ULL) * 3;
        std::memcpy(out.data() + i, &x, sizeof x);
    }
    for (; i < n; ++i)
        out[i] = complement_code(codes[n - 1 - i]);
}

void append_reverse_complement(std::string& out, std::string_view letters)
{
    for (auto c = letters.rbegin(); c != letters.rend(); ++c)
        out += complements[static_cast<unsigned char>(*c)];
}

char* write_reverse_complement(char* p, std::string_view letters)
{
    for (auto c = letters.rbegin(); c != letters.rend(); ++c)
        *p++ = complements[static_cast<unsigned char>(*c)];
    return p;
}

seq_builder::seq_builder()
{
    letters_.reserve(max_seq_len);
}

void seq_builder::set_title(std::string_view title)
{
    title_ = clip_name(title);
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
    s.name = std::move(title_);
    s.len = static_cast<int>(letters_.size());
    s.seq.assign(letters_);  // exact size: a full table holds 275 million letters
    s.base.resize(s.seq.size());
    for (std::size_t i = 0; i < s.seq.size(); ++i)
        s.base[i] = base_codes[static_cast<unsigned char>(s.seq[i])];
    calculat_bgfrqs(s);
    parse_seq_title(s);
    return s;
}

std::optional<seq> read_seq2(line_reader& in)
{
    seq_builder record;
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

void calculat_bgfrqs(seq& s)
{
    std::array<long, 5> counts{};
    for (int i = 0; i < s.len; ++i)
        ++counts[s.base[static_cast<std::size_t>(i)]];
    const float denominator = static_cast<float>(s.len) + 5 * pseudocount;
    for (int c = 0; c < 5; ++c)
        s.background_frqs[c] = (static_cast<float>(counts[c]) + pseudocount) / denominator;
}

void parse_seq_title(seq& s)
{
    const std::string title = std::move(s.name);
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
