#include "scan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "loading.h"
#include "messages.h"
#include "settings.h"

namespace {

// Coordinates are 64-bit; only absurd title numbers near the limits can leave the range,
// and those are clamped to it, as the title numbers themselves are.
std::int64_t add64(std::int64_t a, std::int64_t b)
{
    std::int64_t sum = 0;
    if (!__builtin_add_overflow(a, b, &sum))
        return sum;
    return b > 0 ? std::numeric_limits<std::int64_t>::max() : std::numeric_limits<std::int64_t>::min();
}

}  // namespace

motif_quotients make_quotients(const motif& m, const std::array<float, 5>& background)
{
    motif_quotients mq;
    mq.width = m.len;
    mq.q.resize(static_cast<std::size_t>(m.len) * 5);
    for (int r = 0; r < m.len; ++r)
        for (int b = 0; b < 5; ++b)
            mq.q[static_cast<std::size_t>(r) * 5 + static_cast<std::size_t>(b)] =
                m.frqs[static_cast<std::size_t>(r)][b] / background[b];
    return mq;
}

window_hit best_window_exact(const motif_quotients& mq, std::span<const std::uint8_t> codes)
{
    window_hit hit;
    const long posns = static_cast<long>(codes.size()) - mq.width + 1;
    for (long n = 0; n < posns; ++n) {
        scan_product product(1.0f);
        const std::uint8_t* window = codes.data() + n;
        for (int r = 0; r < mq.width; ++r)
            product *= mq.ratio(r, window[r]);
        if (product > hit.max_rs) {
            hit.max_rs = product;
            hit.best_pos = static_cast<int>(n);
        }
    }
    return hit;
}

double window_score(const window_hit& hit, int width)
{
    const double m = static_cast<double>(hit.max_rs);
    if (scored_by_power(m))
        return std::log(std::pow(m, score_exponent(width)));
    // A real site whose product leaves the range of a double keeps its score through the
    // extended-precision logarithm rather than becoming an infinity.
    if (product_positive_finite(hit.max_rs))
        return product_log_over(hit.max_rs, width);
    return -std::numeric_limits<double>::infinity();
}

char opposite_strand(char strand)
{
    return strand == '+' ? '-' : strand == '-' ? '+' : strand;
}

match make_match(int mi, int si, int width, const window_hit& hit, bool reverse)
{
    match m = locate_site(mi, si, width, hit, reverse);
    m.rs = window_score(hit, width);
    report_unknown_strand(seq_db[static_cast<std::size_t>(si)].strand);
    return m;
}

match locate_site(int mi, int si, int width, const window_hit& hit, bool reverse)
{
    return locate_site(mi, si, frame_of(si), width, hit, reverse);
}

site_frame frame_of(int si)
{
    const seq& s = seq_db[static_cast<std::size_t>(si)];
    return {s.seq.data(), s.chrom, s.start, s.end, s.cut_letters, s.len, s.strand};
}

match locate_site(int mi, int si, const site_frame& s, int width, const window_hit& hit, bool reverse)
{
    match m;
    m.mi = mi;
    m.si = si;
    // A reverse-complement window at offset p covers the given letters L - w - p to
    // L - p - 1: the site is located by that stretch, so that its interval is the same
    // genomic one whichever strand matched.
    m.location = reverse && hit.best_pos >= 0 ? s.len - width - hit.best_pos : hit.best_pos;
    // The title's numbers span every letter of the record, also those cut off an over-long
    // one: the kept letters are its first, so '+' sites count up from the title's start
    // and '-' sites down from its end.
    m.pos = static_cast<std::int64_t>(m.location) - s.len - s.cut_letters;
    m.strand = reverse ? opposite_strand(s.strand) : s.strand;
    m.reverse = reverse;
    m.chrom = s.chrom;
    if (m.location >= 0)
        m.bsite = std::string_view(s.letters + m.location, static_cast<std::size_t>(std::min(width, s.len - m.location)));
    site_coordinates(s.start, s.end, s.strand, m);
    if (hit.best_pos < 0)  // no window: nothing to locate
        m.start = m.end = 0;
    return m;
}

match scan_seq_match(int mi, int si)
{
    const motif& mo = motif_db[static_cast<std::size_t>(mi)];
    const motif_quotients mq = make_quotients(mo, background_frqs);
    const seq& s = seq_db[static_cast<std::size_t>(si)];
    const window_hit given = best_window_exact(mq, s.base);
    if (!both_strands)
        return make_match(mi, si, mo.len, given);
    std::vector<std::uint8_t> rc(s.base.size());
    reverse_complement_codes(s.base, rc);
    const window_hit other = best_window_exact(mq, rc);
    return reverse_wins(given, other) ? make_match(mi, si, mo.len, other, true) : make_match(mi, si, mo.len, given);
}

void report_unknown_strand(char strand)
{
    if (strand != '+' && strand != '-')
        std::fputs("unknown strand!\n", messages());
}

void calculated_pos2(std::int64_t chr_start, std::int64_t chr_end, char strand, match& m)
{
    report_unknown_strand(strand);
    site_coordinates(chr_start, chr_end, strand, m);
}

void site_coordinates(std::int64_t chr_start, std::int64_t chr_end, char strand, match& m)
{
    const auto k = static_cast<std::int64_t>(m.bsite.size());
    if (strand == '-') {
        m.end = add64(chr_start, -m.pos - 1);
        m.start = add64(m.end, 1 - k);
        return;
    }
    // An unknown strand still gets the '+' location, so that a written line can be placed.
    m.start = add64(chr_end, m.pos + 1);
    m.end = add64(m.start, k - 1);
}
