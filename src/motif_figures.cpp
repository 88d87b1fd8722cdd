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

// The given-strand offset of a scored sequence's window (a reverse-complement window at p
// covers the letters L - w - p to L - p - 1).
int given_offset(const analysis_workspace::scored_hit& hit, int length, int width)
{
    return hit.reverse ? length - width - hit.best_pos : hit.best_pos;
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


// The low and high of the finite scored scores: the range the score bins split.
void score_range(std::span<const double> scored, motif_details& d, double& low, double& high)
{
    low = std::numeric_limits<double>::infinity();
    high = -low;
    // As std::min and std::max, without a branch: two independent chains of selects.
    for (const double s : scored) {
        const bool finite = std::isfinite(s);
        low = finite && s < low ? s : low;
        high = finite && high < s ? s : high;
    }
    if (low <= high) {
        d.score_low = low;
        d.score_high = high;
    }
}

// The largest t of the kept records and its sequence: the first is always taken, then
// only a larger one (so the first of equals, and nothing after a NaN first).
void largest_t(const analysis_workspace& ws, motif_figures& f)
{
    const auto& last = ws.last;
    const std::size_t kept_n = last.kept_n;
    if (kept_n == 0)
        return;
    std::size_t at = 0;
    double max_t = ws.tvalues[0];
    for (std::size_t r = 1; r < kept_n; ++r) {
        const double t = ws.tvalues[r];
        at = t > max_t ? r : at;
        max_t = t > max_t ? t : max_t;
    }
    f.max_t = max_t;
    f.max_t_si = last.set[static_cast<std::size_t>(ws.kept[at].at)];
}

// A written site's placement in its sequence.
void add_written(motif_figures& f, const length_figures& per_length, int location, int length, int width)
{
    ++f.written;
    f.central_n += centred(location, length, width) ? 1 : 0;
    f.central_chance_sum += per_length.central_chance();
}

// The summary's figures alone: the written sites are those the analysis reported, less
// those a BED file leaves out.
void collect_kept(int width, const analysis_workspace& ws, motif_figures& f)
{
    const auto& last = ws.last;
    largest_t(ws, f);
    length_figures per_length(width);
    for (const int r : ws.reported_at) {
        const auto& hit = ws.kept[static_cast<std::size_t>(r)];
        const auto si = static_cast<std::size_t>(last.set[static_cast<std::size_t>(hit.at)]);
        if (!is_line(ws.strands[si]))
            continue;
        const int length = ws.lengths[si];
        per_length.use_length(length);
        add_written(f, per_length, given_offset(hit, length, width), length, width);
    }
}

// The summary's figures and the report's details in one pass over the scored sequences.
// The kept ones are a subsequence of them in the same order, so a cursor into the kept
// records tells them apart; each site's place is worked out once, for both position
// histograms.
void collect_all(int width, const analysis_workspace& ws, motif_figures& f, motif_details& d)
{
    const auto& last = ws.last;
    const std::size_t kept_n = last.kept_n;
    double low = 0.0;
    double high = 0.0;
    score_range(std::span<const double>(ws.rss_tmp.data(), last.scored_n), d, low, high);
    const score_binning bins(low, high);
    length_figures per_length(width);
    largest_t(ws, f);
    const std::span<const int> reported_at = ws.reported_at;
    std::size_t w = 0;  // the next reported record
    std::size_t r = 0;
    for (std::size_t k = 0; k < last.scored_n; ++k) {
        const auto& hit = ws.scored[k];
        const double s = ws.rss_tmp[k];
        const int si = last.set[static_cast<std::size_t>(hit.at)];
        const int length = ws.lengths[static_cast<std::size_t>(si)];
        per_length.use_length(length);
        const int location = given_offset(hit, length, width);
        const auto position = static_cast<std::size_t>(per_length.position_bin(location));
        ++d.best_positions[position];
        const auto bin = static_cast<std::size_t>(bins.bin(s));
        // The trimmed scores' bins count the finite scored scores less the kept ones.
        if (r == kept_n || ws.kept[r].at != hit.at) {
            if (std::isfinite(s))
                ++d.trimmed_scores[bin];
            continue;
        }
        ++d.kept_scores[bin];
        if (!std::isfinite(s))
            --d.trimmed_scores[bin];
        const bool written = w < reported_at.size() && static_cast<std::size_t>(reported_at[w]) == r;
        w += written ? 1 : 0;
        if (written && is_line(ws.strands[static_cast<std::size_t>(si)])) {
            add_written(f, per_length, location, length, width);
            ++d.written_positions[position];
        }
        // Once ten are held, a score no higher than the lowest of them cannot enter (an
        // equal one comes later in the set).
        if (d.top_n < top_sites_kept || s > d.top[0].score)
            offer(d, {si, hit.at, hit.best_pos, hit.reverse, s, ws.tvalues[r]});
        ++r;
    }
    std::sort_heap(d.top.data(), d.top.data() + d.top_n, ranks_above);
}

}  // namespace

int score_bin(double score, double low, double high)
{
    if (!(high > low))
        return 0;
    const double at = (score - low) / (high - low) * score_bins;
    return std::clamp(static_cast<int>(at), 0, score_bins - 1);
}

score_binning::score_binning(double low, double high)
    : low_(low), high_(high), scale_(score_bins / (high - low)),
      by_product_(high > low && std::isfinite(high - low) && std::isfinite(scale_))
{
}

int score_binning::bin(double score) const
{
    if (by_product_) {
        // The product and the quotient are both within 2 ulps of the exact figure, which
        // is at most score_bins: they differ by far less than `margin`.
        constexpr double margin = 1e-9;
        const double at = (score - low_) * scale_;
        const double below = at - margin;
        const double above = at + margin;
        if (below > -1.0 && above < score_bins + 1.0) {  // false for a NaN or an infinity
            const int b = static_cast<int>(below);
            if (b == static_cast<int>(above))
                return std::clamp(b, 0, score_bins - 1);
        }
    }
    return score_bin(score, low_, high_);
}

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

length_figures::length_figures(int width) : width_(width) {}

void length_figures::use_length(int length)
{
    if (length == length_)
        return;
    length_ = length;
    chance_ = ::central_chance(length, width_);
    // position_bin divides by 2L: by a multiply with 2^64 / 2L rounded up, exact for
    // every 32-bit dividend and divisor (the divisor at least 2).
    divisor_ = length > 0 ? 2 * static_cast<std::uint32_t>(length) : 2;
    reciprocal_ = std::numeric_limits<std::uint64_t>::max() / divisor_ + 1;
}

int length_figures::position_bin(int location) const
{
    if (length_ <= 0 || location < 0)
        return 0;
    const std::uint32_t dividend = static_cast<std::uint32_t>(position_bins) *
        (2 * static_cast<std::uint32_t>(location) + static_cast<std::uint32_t>(width_));
    const auto bin = static_cast<std::uint32_t>((static_cast<unsigned __int128>(reciprocal_) * dividend) >> 64);
    return static_cast<int>(std::min<std::uint32_t>(bin, position_bins - 1));
}

motif_figures collect_figures(int mi, const analysis_workspace& ws, bool details)
{
    const auto& last = ws.last;
    const int width = motif_db[static_cast<std::size_t>(mi)].len;
    motif_figures f;
    f.analysed = true;
    f.set_n = static_cast<int>(last.set.size());
    f.scored_n = static_cast<int>(last.scored_n);
    f.kept_n = static_cast<int>(last.kept_n);
    f.mean = last.kept_mean;
    f.sd = last.kept_sd;
    // The t values and the reported records as the analysis left them, and the sites' places
    // from the scored hits and the packed lengths: these lie packed and in set order, while
    // the records, the hits and the sequence table would cost a cache miss per written site.
    if (details)
        collect_all(width, ws, f, f.details.emplace());
    else
        collect_kept(width, ws, f);
    return f;
}
