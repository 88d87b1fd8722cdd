#include "analyses.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <numeric>

#include "fast_scan.h"
#include "scan_kernels.h"
#include "loading.h"
#include "log_powers.h"
#include "random_generator.h"
#include "seq_reader.h"
#include "settings.h"
#include "statistics.h"

namespace {

// one_sample_ttest against one set, remembered by score: the written sites of a motif
// are mostly the same few best windows (a consensus found in many sequences), and the
// p-value is the costliest number of the analysis. The test is a function of the score
// alone, so a remembered result is the same bytes as a new one. The distinct scores are
// tested together once every record has asked (finish), which lets the t distribution
// work on several at once.
class ttest_memo {
public:
    // For `tests` scores.
    ttest_memo(std::size_t n, double mean, double sd, std::size_t tests, ttest_queue& queue)
        : n_(n), mean_(mean), sd_(sd), zero_from_(zero_pvalue_from(n)),
          slot_bits_(memo_slot_bits(tests, least_slot_bits, most_slot_bits)), queue_(queue)
    {
        queue_.slots.assign(std::size_t{1} << slot_bits_, {});
        queue_.scores.clear();
        queue_.waiters.clear();
    }

    // Sets *pvalue and *t to the test of `score` in finish().
    void ask(double score, double* pvalue, double* t)
    {
        const auto bits = std::bit_cast<std::uint64_t>(score);
        ttest_queue::slot& e = queue_.slots[memo_slot(bits, slot_bits_)];
        if (!e.used || e.bits != bits) {
            e = {bits, true, queue_.scores.size()};
            queue_.scores.push_back(score);
        }
        queue_.waiters.push_back({pvalue, t, e.k});
    }

    void finish()
    {
        const std::size_t m = queue_.scores.size();
        queue_.pvalues.resize(m);
        queue_.ts.resize(m);
        one_sample_ttests(queue_.scores, n_, mean_, sd_, zero_from_, queue_.pvalues, queue_.ts);
        for (const ttest_queue::waiter& w : queue_.waiters) {
            *w.pvalue = queue_.pvalues[w.k];
            *w.t = queue_.ts[w.k];
        }
    }

private:
    // With 256 slots, collisions evicted scores that came back: on 20,000 sequences of 500
    // letters, 2048 slots halved the t distribution's evaluations.
    static constexpr int most_slot_bits = 11;
    static constexpr int least_slot_bits = 4;
    std::size_t n_;
    double mean_;
    double sd_;
    double zero_from_;
    int slot_bits_;
    ttest_queue& queue_;
};

}  // namespace

score_memo& score_memo::start(int width)
{
    width_ = width;
    forget();
    remembering_ = pays_ || ++unremembered_ >= probe_every;
    if (remembering_)
        unremembered_ = 0;
    asks_ = 0;
    hits_ = 0;
    return *this;
}

void score_memo::forget()
{
    tag_ += std::uint64_t{1} << tag_shift;
    if (tag_ == 0) {  // every generation used: the oldest entries would be taken for new
        std::fill(entries_.begin(), entries_.end(), entry{});
        tag_ = std::uint64_t{1} << tag_shift;
    }
    powers_.clear();
    waiting_.clear();
}

void score_memo::reserve(std::size_t scores)
{
    powers_.reserve(scores);
    waiting_.reserve(scores);
    results_.reserve(scores);
}

void score_memo::finish()
{
    results_.resize(powers_.size());
    log_powers(powers_, score_exponent(width_), results_);
    for (const waiter& w : waiting_)
        *w.to = results_[w.k];
    if (remembering_ && asks_ > 0)
        pays_ = 2 * hits_ >= asks_;
    forget();
}

analysis_workspace::analysis_workspace(int set_capacity, int group_capacity_)
    : group_capacity(std::max(group_capacity_, 1))
{
    const auto n = static_cast<std::size_t>(set_capacity > 0 ? set_capacity : 0);
    codes.resize(n);
    hits.resize(n * static_cast<std::size_t>(group_capacity));
    if (both_strands) {
        reversed.resize(hits.size());
        block_rc_hits.resize(2 * n);
    }
    matchs.resize(n);
    scored.resize(n);
    kept.resize(n);
    strands.resize(seq_db.size());
    frames.resize(seq_db.size());
    lengths.resize(seq_db.size());
    for (std::size_t i = 0; i < seq_db.size(); ++i) {
        strands[i] = seq_db[i].strand;
        unknown_strands = unknown_strands || (strands[i] != '+' && strands[i] != '-');
        frames[i] = frame_of(static_cast<int>(i));
        lengths[i] = static_cast<std::uint16_t>(seq_db[i].base.size());
        typical_length += static_cast<long>(seq_db[i].base.size());
    }
    if (!seq_db.empty())  // the mean
        typical_length /= static_cast<long>(seq_db.size());
    rss_tmp.resize(n);
    scores.reserve(n);
    rss.resize(n);
    tvalues.resize(n);
    reported_at.reserve(n);
    tests.scores.reserve(n);
    tests.pvalues.reserve(n);
    tests.ts.reserve(n);
    tests.waiters.reserve(n);
    index_rdm.resize(n);
    index_pool.reserve(n);
}

int motifs_per_group(std::size_t seq_count, bool both_strands)
{
    constexpr std::size_t most = 16;
    constexpr std::size_t least = 8;
    constexpr std::size_t hit_budget = std::size_t{32} << 20;
    const std::size_t per_motif = std::max<std::size_t>(seq_count, 1) * (sizeof(window_hit) + (both_strands ? 1 : 0));
    return static_cast<int>(std::clamp(hit_budget / per_motif, least, most));
}

std::size_t scan_block_end(std::span<const std::span<const std::uint8_t>> codes, std::size_t first)
{
    constexpr std::size_t block_letters = std::size_t{1} << 18;
    std::size_t last = first;
    for (std::size_t letters = 0; last < codes.size() && (last == first || letters < block_letters); ++last)
        letters += codes[last].size();
    return last;
}

void scan_group(std::span<const int> group, std::span<const int> set, analysis_workspace& ws)
{
    // The group's scanners: of the given strand, or of both strands, whose reverse
    // complements are read from the block's codes backwards, so the block serves both.
    const bool reverse_too = !ws.reversed.empty();
    std::vector<fast_scanner>& forward = ws.forward;
    std::vector<both_strands_scanner>& both = ws.both;
    forward.clear();
    both.clear();
    forward.reserve(reverse_too ? 0 : group.size());
    both.reserve(reverse_too ? group.size() : 0);
    for (int mi : group) {
        motif_quotients mq = make_quotients(motif_db[static_cast<std::size_t>(mi)], background_frqs);
        if (reverse_too)
            both.emplace_back(mq, fast_scanner::best_path(), ws.typical_length);
        else
            forward.emplace_back(std::move(mq), scan_strand::given, ws.typical_length);
    }
    for (std::size_t i = 0; i < set.size(); ++i)
        ws.codes[i] = seq_db[static_cast<std::size_t>(set[i])].base;
    // Two motifs at a time share the loads of the block's term indices; paired by width,
    // they share the most terms.
    const auto width_of = [&](std::size_t g) { return reverse_too ? both[g].width() : forward[g].width(); };
    std::vector<std::size_t>& order = ws.by_width;
    order.resize(group.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::stable_sort(
        order.begin(), order.end(), [&](std::size_t a, std::size_t b) { return width_of(a) < width_of(b); });

    const std::size_t n = set.size();
    for (std::size_t first = 0; first < n;) {
        const std::size_t last = scan_block_end(std::span(ws.codes).first(n), first);
        const auto block = std::span<const std::span<const std::uint8_t>>(ws.codes.data() + first, last - first);
        ws.block.assign(block);
        const auto hits = [&](std::size_t g) { return std::span(ws.hits.data() + g * n + first, last - first); };
        if (reverse_too) {
            const auto rc_hits = [&](std::size_t k) {
                return std::span(ws.block_rc_hits.data() + k * (last - first), last - first);
            };
            // Motif g's hits keep the better of each sequence's two, while both are in cache.
            const auto keep_better = [&](std::size_t g, std::span<const window_hit> reverse) {
                const std::span<window_hit> given = hits(g);
                std::uint8_t* strand = ws.reversed.data() + g * n + first;
                for (std::size_t i = 0; i < given.size(); ++i) {
                    const bool r = reverse_wins(given[i], reverse[i]);
                    strand[i] = r;
                    // Copied from whichever won, without a branch: which one does is
                    // anyone's guess (a choice of the two addresses compiled to a branch,
                    // which took 4% of a run on the 1,000-letter workload).
                    const auto own = reinterpret_cast<std::uintptr_t>(&given[i]);
                    const auto other = reinterpret_cast<std::uintptr_t>(&reverse[i]);
                    const std::uintptr_t from = own ^ ((own ^ other) & -static_cast<std::uintptr_t>(r));
                    std::memcpy(&given[i], reinterpret_cast<const window_hit*>(from), sizeof(window_hit));
                }
            };
            std::size_t p = 0;
            for (; p + 1 < order.size(); p += 2) {
                both_strands_scanner::best_windows_of_two(both[order[p]], both[order[p + 1]], ws.block, hits(order[p]),
                    rc_hits(0), hits(order[p + 1]), rc_hits(1));
                keep_better(order[p], rc_hits(0));
                keep_better(order[p + 1], rc_hits(1));
            }
            if (p < order.size()) {
                both[order[p]].best_windows(ws.block, hits(order[p]), rc_hits(0));
                keep_better(order[p], rc_hits(0));
            }
        } else {
            std::size_t p = 0;
            for (; p + 1 < order.size(); p += 2)
                fast_scanner::best_windows_of_two(
                    forward[order[p]], forward[order[p + 1]], ws.block, hits(order[p]), hits(order[p + 1]));
            if (p < order.size())
                forward[order[p]].best_windows(ws.block, hits(order[p]));
        }
        first = last;
    }
}

void analyse_hits(int mi, std::span<const int> set, std::span<const window_hit> hits,
    std::span<const std::uint8_t> reversed, analysis_workspace& ws, std::span<match> matchs, int& rt_n,
    report_rule rule, record_set records)
{
    const motif& mo = motif_db[static_cast<std::size_t>(mi)];
    // Scores first: every score takes part in the statistics, but only the records that
    // are reported need their letters and coordinates from the sequence table.
    std::size_t n = 0;
    score_memo& memo = ws.scores.start(mo.len);
    running_summary scored_sums;
    for (std::size_t i = 0; i < set.size(); ++i) {
        // Every scan of a title without a strand is reported, with or without a window.
        if (ws.unknown_strands)
            report_unknown_strand(ws.strands[static_cast<std::size_t>(set[i])]);
        const bool reverse = !reversed.empty() && reversed[i] != 0;
        const window_hit& hit = hits[i];
        if (hit.best_pos < 0)
            continue;
        ws.scored[n] = {static_cast<int>(i), reverse, static_cast<std::uint16_t>(hit.best_pos)};
        memo.ask(hit, &ws.rss_tmp[n]);
        ++n;
    }
    memo.finish();
    for (std::size_t k = 0; k < n; ++k)
        scored_sums.add(ws.rss_tmp[k]);

    double std_dev = 0.0;
    double mean = 0.0;
    const std::span<const double> scores(ws.rss_tmp.data(), n);
    std_mean(scores, scored_sums, std_dev, mean);

    // Equal scores (duplicated regions) have no spread, so none is an outlier: decided from
    // the scores, since the deviation of equal scores is 0 or a few ulps as the mean rounds.
    const bool equal = n >= 2 && scored_sums.all_equal();
    std::size_t rn = 0;
    running_summary kept_sums;
    for (std::size_t k = 0; k < n; ++k) {
        const double score = ws.rss_tmp[k];
        if (equal || outlier_fc * std_dev > std::fabs(score - mean)) {
            ws.kept[rn] = ws.scored[k];
            ws.rss[rn] = score;
            kept_sums.add(score);
            ++rn;
        }
    }
    rt_n = static_cast<int>(rn);

    // Every kept score is tested against the kept set, itself included.
    const std::span<const double> kept(ws.rss.data(), rn);
    double kept_std = 0.0;
    double kept_mean = 0.0;
    std_mean(kept, kept_sums, kept_std, kept_mean);
    const double sd = kept_sums.all_equal() ? 0.0 : kept_std;

    // The t values first: they say which records are reported, and so which sequences'
    // frames and hits to fetch ahead of locating their sites (fetched when they are needed,
    // those misses cost more than the rest of the loop).
    for (std::size_t r = 0; r < rn; ++r)
        ws.tvalues[r] = standardised_difference(ws.rss[r], rn, kept_mean, sd);
    // The reported records' positions, without a branch on each t value: which are
    // reported follows no pattern.
    ws.reported_at.resize(rn);
    std::size_t reported_n = 0;
    for (std::size_t r = 0; r < rn; ++r) {
        ws.reported_at[reported_n] = static_cast<int>(r);
        reported_n += reported(ws.tvalues[r], rule) ? 1 : 0;
    }
    ws.reported_at.resize(reported_n);
    const bool every_kept = records == record_set::kept;
    const std::size_t written = every_kept ? rn : reported_n;
    ws.last = {
        set, hits, reversed, std::span<const match>(matchs.data(), written), rn, n, mean, std_dev, kept_mean, sd};
    // Every record as one that is not reported, then the reported ones located and tested.
    // Copied whole: zeroing each record in place costs a slow string store.
    match unreported;
    unreported.mi = mi;
    unreported.pvalue = std::numeric_limits<double>::quiet_NaN();
    if (every_kept) {
        for (std::size_t r = 0; r < rn; ++r) {
            match& m = matchs[r];
            m = unreported;
            m.si = set[static_cast<std::size_t>(ws.kept[r].at)];
            m.rs = ws.rss[r];
            m.tvalue = ws.tvalues[r];
        }
    }
    constexpr std::size_t ahead = 32;
    ttest_memo tests(rn, kept_mean, sd, reported_n, ws.tests);
    for (std::size_t k = 0; k < reported_n; ++k) {
        if (k + ahead < reported_n) {
            const auto& next = ws.kept[static_cast<std::size_t>(ws.reported_at[k + ahead])];
            const auto j = static_cast<std::size_t>(next.at);
            // Both ends of each: a frame (56 bytes) and a hit often straddle two cache lines.
            const site_frame* frame = &ws.frames[static_cast<std::size_t>(set[j])];
            const window_hit* hit = &hits[j];
            __builtin_prefetch(frame);
            __builtin_prefetch(reinterpret_cast<const char*>(frame + 1) - 1);
            __builtin_prefetch(hit);
            __builtin_prefetch(reinterpret_cast<const char*>(hit + 1) - 1);
        }
        const auto r = static_cast<std::size_t>(ws.reported_at[k]);
        const auto i = static_cast<std::size_t>(ws.kept[r].at);
        const bool reverse = ws.kept[r].reverse;
        const int si = set[i];
        match& m = matchs[every_kept ? r : k];
        m = locate_site(mi, si, ws.frames[static_cast<std::size_t>(si)], mo.len, hits[i], reverse);
        m.rs = ws.rss[r];
        tests.ask(ws.rss[r], &m.pvalue, &m.tvalue);
    }
    tests.finish();
}

void analyse_motif(int mi, std::span<const int> set, analysis_workspace& ws, std::span<match> matchs, int& rt_n,
    report_rule rule, record_set records)
{
    const int group[] = {mi};
    scan_group(group, set, ws);
    analyse_hits(mi, set, ws.hits_of(0, set.size()), ws.reversed_of(0, set.size()), ws, matchs, rt_n, rule, records);
}

void all_matchs(
    int mi, analysis_workspace& ws, std::span<match> matchs, int& rt_n, report_rule rule, record_set records)
{
    // The set is every sequence in index order; index_rdm doubles as the index list.
    std::iota(ws.index_rdm.begin(), ws.index_rdm.begin() + seq_n, 0);
    analyse_motif(mi, std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(seq_n)), ws, matchs, rt_n,
        rule, records);
}

void random_matchs(int mi, int rand_n, analysis_workspace& ws, std::span<match> matchs, int& rt_n, report_rule rule,
    record_set records)
{
    const int n = rand_n > 0 ? std::min(rand_n, seq_n) : 0;
    sampling_noputback(seq_n, n, std::span<int>(ws.index_rdm.data(), static_cast<std::size_t>(n)), ws.index_pool);
    analyse_motif(
        mi, std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(n)), ws, matchs, rt_n, rule, records);
}

void sampling_noputback(int n, int rand_n, std::span<int> index_rdm, std::vector<int>& index_pool)
{
    index_pool.resize(static_cast<std::size_t>(n));
    std::iota(index_pool.begin(), index_pool.end(), 0);
    for (int i = 0; i < rand_n; ++i) {
        const int live = n - i;
        const int j = next_random() % live;
        index_rdm[static_cast<std::size_t>(i)] = index_pool[static_cast<std::size_t>(j)];
        index_pool[static_cast<std::size_t>(j)] = index_pool[static_cast<std::size_t>(live - 1)];
    }
}
