#include "analyses.h"

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>

#include "fast_scan.h"
#include "loading.h"
#include "settings.h"
#include "statistics.h"

analysis_workspace::analysis_workspace(int set_capacity)
{
    const auto n = static_cast<std::size_t>(set_capacity > 0 ? set_capacity : 0);
    codes.resize(n);
    hits.resize(n);
    if (both_strands)
        rc_hits.resize(n);
    matchs_tmp.resize(n);
    rss_tmp.resize(n);
    rss.resize(n);
    index_rdm.resize(n);
    index_pool.reserve(n);
}

void analyse_motif(int mi, std::span<const int> set, analysis_workspace& ws, std::span<match> matchs, int& rt_n)
{
    const motif& mo = motif_db[static_cast<std::size_t>(mi)];
    const fast_scanner scanner(make_quotients(mo, background_frqs));

    // The whole set in one call: the scanner overlaps the work of several sequences.
    for (std::size_t i = 0; i < set.size(); ++i)
        ws.codes[i] = seq_db[static_cast<std::size_t>(set[i])].base;
    scanner.best_windows(std::span(ws.codes.data(), set.size()), std::span(ws.hits.data(), set.size()));
    // The reverse complements with the same scanner: exact on either strand, so the two
    // products compare exactly.
    if (both_strands) {
        for (std::size_t i = 0; i < set.size(); ++i)
            ws.codes[i] = seq_db[static_cast<std::size_t>(set[i])].rc_base;
        scanner.best_windows(std::span(ws.codes.data(), set.size()), std::span(ws.rc_hits.data(), set.size()));
    }

    std::size_t n = 0;
    for (std::size_t i = 0; i < set.size(); ++i) {
        const bool reverse = both_strands && reverse_wins(ws.hits[i], ws.rc_hits[i]);
        const window_hit& hit = reverse ? ws.rc_hits[i] : ws.hits[i];
        if (hit.best_pos < 0) {
            // Scanned all the same: a title without a strand is reported for every scan.
            report_unknown_strand(seq_db[static_cast<std::size_t>(set[i])].strand);
            continue;
        }
        ws.matchs_tmp[n] = make_match(mi, set[i], mo.len, hit, reverse);
        ws.rss_tmp[n] = ws.matchs_tmp[n].rs;
        ++n;
    }

    double std_dev = 0.0;
    double mean = 0.0;
    std_mean(std::span<const double>(ws.rss_tmp.data(), n), std_dev, mean);

    std::size_t rn = 0;
    for (std::size_t i = 0; i < n; ++i) {
        if (outlier_fc * std_dev > std::fabs(ws.rss_tmp[i] - mean)) {
            matchs[rn] = ws.matchs_tmp[i];
            ws.rss[rn] = ws.rss_tmp[i];
            ++rn;
        }
    }
    rt_n = static_cast<int>(rn);

    // Every kept score is tested against the kept set, itself included.
    const std::span<const double> kept(ws.rss.data(), rn);
    double kept_std = 0.0;
    double kept_mean = 0.0;
    std_mean(kept, kept_std, kept_mean);
    const bool equal = all_equal(kept);
    for (std::size_t i = 0; i < rn; ++i)
        one_sample_ttest(ws.rss[i], rn, kept_mean, equal ? 0.0 : kept_std, matchs[i].pvalue, matchs[i].tvalue);
}

void all_matchs(int mi, analysis_workspace& ws, std::span<match> matchs, int& rt_n)
{
    // The set is every sequence in index order; index_rdm doubles as the index list.
    std::iota(ws.index_rdm.begin(), ws.index_rdm.begin() + seq_n, 0);
    analyse_motif(mi, std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(seq_n)), ws, matchs, rt_n);
}

void random_matchs(int mi, int rand_n, analysis_workspace& ws, std::span<match> matchs, int& rt_n)
{
    const int n = rand_n > 0 ? std::min(rand_n, seq_n) : 0;
    sampling_noputback(seq_n, n, std::span<int>(ws.index_rdm.data(), static_cast<std::size_t>(n)), ws.index_pool);
    analyse_motif(mi, std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(n)), ws, matchs, rt_n);
}

void sampling_noputback(int n, int rand_n, std::span<int> index_rdm, std::vector<int>& index_pool)
{
    index_pool.resize(static_cast<std::size_t>(n));
    std::iota(index_pool.begin(), index_pool.end(), 0);
    for (int i = 0; i < rand_n; ++i) {
        const int live = n - i;
        const int j = std::rand() % live;
        index_rdm[static_cast<std::size_t>(i)] = index_pool[static_cast<std::size_t>(j)];
        index_pool[static_cast<std::size_t>(j)] = index_pool[static_cast<std::size_t>(live - 1)];
    }
}
