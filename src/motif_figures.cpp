#include "motif_figures.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "loading.h"
#include "settings.h"
#include "statistics.h"

namespace {

// Floor of a / b for b > 0, whatever a's sign.
std::int64_t floor_div(std::int64_t a, std::int64_t b)
{
    return a >= 0 ? a / b : -((-a + b - 1) / b);
}

// Whether a written site is a line of the output file: a BED file leaves out the sites
// of sequences whose title gives no strand '+' or '-'.
bool is_line(char title_strand)
{
    return !bed_output || title_strand == '+' || title_strand == '-';
}

// The given-strand offset of a hit's window (a reverse-complement window at p covers the
// letters L - w - p to L - p - 1).
int given_offset(const window_hit& hit, bool reverse, int length, int width)
{
    return reverse ? length - width - hit.best_pos : hit.best_pos;
}

// a ranks above b among the top sites: a higher score, or the same and earlier in the set.
bool ranks_above(const top_site& a, const top_site& b)
{
    return a.score > b.score || (a.score == b.score && a.order < b.order);
}

// Keeps the top_sites_kept highest sites in a heap whose root is the lowest of them.
void offer(motif_details& d, const top_site& site)
{
    auto* const first = d.top.data();
    if (d.top_n < top_sites_kept) {
        d.top[static_cast<std::size_t>(d.top_n++)] = site;
        std::push_heap(first, first + d.top_n, ranks_above);
    } else if (ranks_above(site, d.top[0])) {
        std::pop_heap(first, first + d.top_n, ranks_above);
        d.top[static_cast<std::size_t>(d.top_n - 1)] = site;
        std::push_heap(first, first + d.top_n, ranks_above);
    }
}

int score_bin(double score, double low, double high)
{
    if (!(high > low))
        return 0;
    const double at = (score - low) / (high - low) * score_bins;
    return std::clamp(static_cast<int>(at), 0, score_bins - 1);
}

void collect_details(int width, const analysis_workspace& ws, motif_details& d)
{
    const auto& last = ws.last;
    const auto scored = std::span<const double>(ws.rss_tmp.data(), last.scored_n);
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (const double s : scored) {
        if (std::isfinite(s)) {
            low = std::min(low, s);
            high = std::max(high, s);
        }
    }
    if (low <= high) {
        d.score_low = low;
        d.score_high = high;
    }
    // The trimmed scores' bins are those of all scored scores less the kept ones.
    for (const double s : scored)
        if (std::isfinite(s))
            ++d.trimmed_scores[static_cast<std::size_t>(score_bin(s, low, high))];
    for (std::size_t r = 0; r < last.records.size(); ++r) {
        const auto bin = static_cast<std::size_t>(score_bin(ws.rss[r], low, high));
        ++d.kept_scores[bin];
        --d.trimmed_scores[bin];
    }
    for (std::size_t k = 0; k < last.scored_n; ++k) {
        const auto [at, reverse] = ws.scored[k];
        const auto i = static_cast<std::size_t>(at);
        const int length = static_cast<int>(ws.codes[i].size());
        const int location = given_offset(reverse ? last.rc_hits[i] : last.hits[i], reverse, length, width);
        ++d.best_positions[static_cast<std::size_t>(position_bin(location, length, width))];
    }
    for (std::size_t r = 0; r < last.records.size(); ++r) {
        // Once ten are held, a score no higher than the lowest of them cannot enter (an
        // equal one comes later in the set).
        if (d.top_n == top_sites_kept && !(ws.rss[r] > d.top[0].score))
            continue;
        const auto [at, reverse] = ws.kept[r];
        const auto i = static_cast<std::size_t>(at);
        const window_hit& hit = reverse ? last.rc_hits[i] : last.hits[i];
        offer(d, {last.set[i], at, hit.best_pos, reverse, ws.rss[r], last.records[r].tvalue});
    }
    std::sort_heap(d.top.data(), d.top.data() + d.top_n, ranks_above);
}

}  // namespace

double central_chance(int length, int width)
{
    const std::int64_t windows = static_cast<std::int64_t>(length) - width + 1;
    if (windows <= 0)
        return 0.0;
    // Offsets p with 4L <= 5 (2p + w) < 6L, within 0 to L - w.
    const std::int64_t l = length;
    const std::int64_t w = width;
    const std::int64_t lowest = std::max<std::int64_t>(0, -floor_div(-(4 * l - 5 * w), 10));
    const std::int64_t highest = std::min<std::int64_t>(windows - 1, floor_div(6 * l - 5 * w - 1, 10));
    return highest < lowest ? 0.0 : static_cast<double>(highest - lowest + 1) / static_cast<double>(windows);
}

bool centred(int location, int length, int width)
{
    const std::int64_t twice_centre5 = 5 * (2 * static_cast<std::int64_t>(location) + width);
    return 4 * static_cast<std::int64_t>(length) <= twice_centre5 && twice_centre5 < 6 * static_cast<std::int64_t>(length);
}

int position_bin(int location, int length, int width)
{
    if (length <= 0)
        return 0;
    // position_bins * (location + w / 2) / L, in integers.
    // 32-bit division: a sequence is at most max_seq_len letters, a window within it.
    if (location < 0)
        return 0;
    const auto bin = static_cast<std::uint32_t>(position_bins) * (2 * static_cast<std::uint32_t>(location) +
                         static_cast<std::uint32_t>(width)) / (2 * static_cast<std::uint32_t>(length));
    return static_cast<int>(std::min<std::uint32_t>(bin, position_bins - 1));
}

motif_figures collect_figures(int mi, const analysis_workspace& ws, report_rule rule, bool details)
{
    const auto& last = ws.last;
    const int width = motif_db[static_cast<std::size_t>(mi)].len;
    motif_figures f;
    f.analysed = true;
    f.set_n = static_cast<int>(last.set.size());
    f.scored_n = static_cast<int>(last.scored_n);
    f.kept_n = static_cast<int>(last.records.size());
    f.mean = last.kept_mean;
    f.sd = last.kept_sd;
    if (details)
        f.details.emplace();
    // The t values again from the kept scores, as analyse_hits computes them, and the sites'
    // places from the hits: the scores, hits and codes lie packed and in set order, while
    // the records (and the sequence table) would cost a cache miss per written site.
    const std::size_t kept_n = last.records.size();
    for (std::size_t r = 0; r < kept_n; ++r) {
        const double t = standardised_difference(ws.rss[r], kept_n, last.kept_mean, last.kept_sd);
        if (f.max_t_si < 0 || t > f.max_t) {
            f.max_t = t;
            f.max_t_si = last.set[static_cast<std::size_t>(ws.kept[r].at)];
        }
        if (!reported(t, rule))
            continue;
        const auto [at, reverse] = ws.kept[r];
        const auto i = static_cast<std::size_t>(at);
        const int si = last.set[i];
        if (!is_line(ws.strands[static_cast<std::size_t>(si)]))
            continue;
        ++f.written;
        const int length = static_cast<int>(ws.codes[i].size());
        const int location = given_offset(reverse ? last.rc_hits[i] : last.hits[i], reverse, length, width);
        f.central_n += centred(location, length, width) ? 1 : 0;
        f.central_chance_sum += central_chance(length, width);
        if (details)
            ++f.details->written_positions[static_cast<std::size_t>(position_bin(location, length, width))];
    }
    if (details)
        collect_details(width, ws, *f.details);
    return f;
}
