#include "result_lines.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "loading.h"
#include "number_format.h"
#include "seq_reader.h"
#include "settings.h"

int bed_score(double tvalue)
{
    const double score = std::round(100.0 * tvalue);
    if (!(score > 0.0))  // negative, or not a number
        return 0;
    return score < 1000.0 ? static_cast<int>(score) : 1000;
}

bool title_spans_letters(const seq& s)
{
    std::int64_t span = 0;
    return (s.strand == '+' || s.strand == '-') && !__builtin_sub_overflow(s.end, s.start, &span) &&
        span == s.len + s.cut_letters;
}

namespace {

// A line is written through a pointer into room its bound guarantees and appended to the
// output once: piece by piece, the appends' checks and copies cost more than the digits.
// `write` by reference: copied into the call, its captured references were stored a word
// at a time and loaded two at once, a load the stores cannot be forwarded to.
template <typename Write>
void append_line(std::string& out, std::size_t bound, Write&& write)
{
    constexpr std::size_t room = 2048;
    if (bound <= room) {
        char line[room];
        out.append(line, write(line));
        return;
    }
    std::string line(bound, '\0');  // names too long for the room above: rare
    out.append(line.data(), write(line.data()));
}

// A tab inside a text field would split it into two; it is written as a space.
char field_char(char c)
{
    return c == '\t' ? ' ' : c;
}

// The same for the eight bytes of a word: a byte is a tab exactly when it is 0 after the
// xor, and tab ^ 0x29 is a space.
std::uint64_t field_word(std::uint64_t x)
{
    constexpr std::uint64_t ones = 0x0101010101010101ULL;
    constexpr std::uint64_t low7 = 0x7F7F7F7F7F7F7F7FULL;
    const std::uint64_t t = x ^ (ones * '\t');
    const std::uint64_t zero = ~(((t & low7) + low7) | t | low7);  // the top bit of each 0 byte
    return x ^ ((zero >> 7) * ('\t' ^ ' '));
}

// The field's bytes copied and cleaned in one pass, a word at a time: cleaning the copy
// would load the bytes just stored, in pieces the stores cannot be forwarded to.
char* put_field(char* p, std::string_view text)
{
    const std::size_t n = text.size();
    if (n < 8) {
        for (std::size_t i = 0; i < n; ++i)
            p[i] = field_char(text[i]);
        return p + n;
    }
    const auto word = [&](std::size_t at) {
        std::uint64_t x = 0;
        std::memcpy(&x, text.data() + at, sizeof x);
        x = field_word(x);
        std::memcpy(p + at, &x, sizeof x);
    };
    for (std::size_t at = 0; at + 8 <= n; at += 8)
        word(at);
    word(n - 8);  // the last bytes, again with some before them
    return p + n;
}

char* put(char* p, char c)
{
    *p = c;
    return p + 1;
}

// The site's letters as the motif reads them.
char* put_site_letters(char* p, const match& m)
{
    if (!m.reverse)
        return put_field(p, m.bsite);
    for (auto c = m.bsite.rbegin(); c != m.bsite.rend(); ++c)
        *p++ = field_char(complement_letter(*c));
    return p;
}

// Score, t value and p-value as printf's "%f\t%f\t%e\n" write them, byte for byte.
char* write_numbers(char* p, const match& m)
{
    p = put(write_fixed6(p, m.rs), '\t');
    p = put(write_fixed6(p, m.tvalue), '\t');
    return put(write_exp6(p, m.pvalue), '\n');
}

// The numbers' text by the three numbers' bits, in a table of 1024 (64 kB, on the heap):
// a motif's written sites are mostly a few hundred best windows met again and again, with
// the same score, t value and p-value, and formatting those costs more than the rest of
// the line. 64 entries kept too few of them; 4096 were no faster.
class number_texts {
public:
    // For `lines` lines.
    explicit number_texts(std::size_t lines)
        : slot_bits_(memo_slot_bits(lines, least_slot_bits, most_slot_bits)), entries_(std::size_t{1} << slot_bits_)
    {
    }

    char* put(char* p, const match& m)
    {
        const auto rs = std::bit_cast<std::uint64_t>(m.rs);
        const auto t = std::bit_cast<std::uint64_t>(m.tvalue);
        const auto pv = std::bit_cast<std::uint64_t>(m.pvalue);
        entry& e = entries_[memo_slot(rs ^ t, slot_bits_)];
        if (e.size == 0 || e.rs != rs || e.t != t || e.pv != pv) {
            char* end = write_numbers(p, m);
            const auto size = static_cast<std::size_t>(end - p);
            if (size <= sizeof e.text) {  // larger numbers are written each time
                e.rs = rs;
                e.t = t;
                e.pv = pv;
                e.size = static_cast<std::uint8_t>(size);
                std::memcpy(e.text, p, size);
            }
            return end;
        }
        std::memcpy(p, e.text, sizeof e.text);  // whole: the room after a line's numbers allows it
        return p + e.size;
    }

private:
    static constexpr int most_slot_bits = 10;
    static constexpr int least_slot_bits = 4;
    int slot_bits_;
    struct entry {
        std::uint64_t rs = 0;
        std::uint64_t t = 0;
        std::uint64_t pv = 0;
        std::uint8_t size = 0;  // 0: empty
        char text[39] = {};
    };
    std::vector<entry> entries_;
};

// The numbers of the line, from `texts` when there are.
char* put_numbers(char* p, const match& m, number_texts* texts)
{
    return texts != nullptr ? texts->put(p, m) : write_numbers(p, m);
}

// The most either line of m can take: its texts, and room for its numbers and separators.
std::size_t line_bound(const match& m, std::string_view motif, std::string_view name)
{
    constexpr std::size_t numbers_room = 3 * integer_room + 2 * fixed6_room + exp6_room + 16;
    return motif.size() + name.size() + m.chrom.size() + m.bsite.size() + numbers_room;
}

std::string_view motif_name(const match& m)
{
    return motif_db[static_cast<std::size_t>(m.mi)].name;
}

std::string_view seq_name(const match& m)
{
    return seq_db[static_cast<std::size_t>(m.si)].name;
}

void output_line(std::string& out, const match& m, number_texts* texts)
{
    // Numbers as printf's "%d\t%d\t%c\t" and "\t%f\t%f\t%e\n" write them, byte for byte.
    const std::string_view motif = motif_name(m);
    const std::string_view name = seq_name(m);
    append_line(out, line_bound(m, motif, name), [&](char* p) {
        p = put(put_field(p, motif), '\t');
        p = put(put_field(p, name), '\t');
        p = put(put_field(p, m.chrom), '\t');
        p = put(write_integer(p, m.start), '\t');
        p = put(write_integer(p, m.end), '\t');
        p = put(put(p, m.strand == '\t' ? ' ' : m.strand), '\t');
        p = put(put_site_letters(p, m), '\t');
        return put_numbers(p, m, texts);
    });
}

bool bed_line(std::string& out, const match& m, number_texts* texts)
{
    // The written start and end follow the title's strand: 1-based on '+' titles, 0-based
    // inclusive on '-' titles (see calculated_pos2), whichever strand the site is on. Within
    // a title that spans its letters neither bound can leave the 64-bit range.
    const seq& s = seq_db[static_cast<std::size_t>(m.si)];
    if (!title_spans_letters(s))
        return false;
    const std::string_view motif = motif_name(m);
    const std::string_view name = seq_name(m);
    append_line(out, line_bound(m, motif, name), [&](char* p) {
        p = put(put_field(p, m.chrom), '\t');
        p = put(write_integer(p, s.strand == '+' ? m.start - 1 : m.start), '\t');
        p = put(write_integer(p, s.strand == '+' ? m.end : m.end + 1), '\t');
        p = put(put_field(p, motif), '\t');
        p = put(write_integer(p, bed_score(m.tvalue)), '\t');
        p = put(put(p, m.strand), '\t');
        p = put(put_field(p, name), '\t');
        p = put(put_site_letters(p, m), '\t');
        return put_numbers(p, m, texts);
    });
    return true;
}

void site_line(std::string& out, const match& m, site_tally& tally, number_texts* texts)
{
    if (bed_output) {
        tally.left_out += bed_line(out, m, texts) ? 0 : 1;
        return;
    }
    output_line(out, m, texts);
    // A title without a strand is reported by the scan already ("unknown strand!").
    const seq& s = seq_db[static_cast<std::size_t>(m.si)];
    if ((s.strand == '+' || s.strand == '-') && !title_spans_letters(s))
        ++tally.misplaced;
}

}  // namespace

void append_output_line(std::string& out, const match& m)
{
    output_line(out, m, nullptr);
}

bool append_bed_line(std::string& out, const match& m)
{
    return bed_line(out, m, nullptr);
}

void append_site_line(std::string& out, const match& m, site_tally& tally)
{
    site_line(out, m, tally, nullptr);
}

namespace {

// The lines of n records, the k-th being record(k), in that order.
template <typename Record>
void append_lines(std::string& out, std::size_t n, Record record, site_tally& tally)
{
    // The records, and the names and letters of the written sites, lie all over memory,
    // and the misses on them cost more than formatting the line: the records are fetched
    // far ahead, and what they point to once they are at hand.
    constexpr std::size_t ahead = 8;
    const auto fetch_whole = [](const void* p, std::size_t size) {
        const char* c = static_cast<const char*>(p);
        for (std::size_t at = 0; at < size; at += 64)
            __builtin_prefetch(c + at);
        __builtin_prefetch(c + size - 1);
    };
    number_texts texts(n);
    const std::size_t begin = out.size();
    for (std::size_t k = 0; k < n; ++k) {
        // Room for all n lines at once, guessed from the first and an eighth more: grown by
        // doubling, a buffer handed over to wait for its turn came back empty, and its next
        // motif's lines took a dozen allocations and copies.
        if (k == 1)
            out.reserve(begin + (out.size() - begin) * (n + n / 8));
        if (k + 2 * ahead < n)
            fetch_whole(&record(k + 2 * ahead), sizeof(match));
        if (k + ahead < n) {
            const match& next = record(k + ahead);
            fetch_whole(&seq_db[static_cast<std::size_t>(next.si)], sizeof(seq));
            // All of the site's letters: a site often straddles two cache lines, and fetching
            // only the first left the line waiting on the second (a fifth of its time).
            fetch_whole(next.bsite.data(), std::max<std::size_t>(next.bsite.size(), 1));
            __builtin_prefetch(next.chrom.data());
        }
        site_line(out, record(k), tally, &texts);
    }
}

}  // namespace

void append_reported_lines(
    std::string& out, std::span<const match> matchs, std::span<const int> reported, site_tally& tally)
{
    const auto record = [&](std::size_t k) -> const match& { return matchs[static_cast<std::size_t>(reported[k])]; };
    append_lines(out, reported.size(), record, tally);
}

void append_reported_lines(std::string& out, std::span<const match> reported, site_tally& tally)
{
    append_lines(out, reported.size(), [&](std::size_t k) -> const match& { return reported[k]; }, tally);
}

void warn_about(const site_tally& tally)
{
    if (tally.left_out > 0)
        std::fprintf(stderr,
            "Tarnel: warning: %lld site(s) left out of the BED file: their sequence titles give no location "
            "with strand + or -, or a start and end that do not span their letters\n",
            tally.left_out);
    if (tally.misplaced > 0)
        std::fprintf(stderr,
            "Tarnel: warning: %lld site(s) written with coordinates from titles whose start and end do not span "
            "their letters; those coordinates are not the sites' places on the genome\n",
            tally.misplaced);
}
