// The analysis of one motif over a set of sequences: scan, outlier trimming, t tests.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "scan.h"

// Working buffers of one analysing thread, sized once for the largest set and reused
// for every motif, so that no motif allocates.
struct analysis_workspace {
    explicit analysis_workspace(int set_capacity);
    std::vector<std::span<const std::uint8_t>> codes;  // base codes of the set, in scan order
    std::vector<window_hit> hits;                      // the best window of each
    std::vector<window_hit> rc_hits;                   // of each reverse complement (both strands only)
    std::vector<match> matchs_tmp;                     // one record per scanned sequence with a window
    std::vector<double> rss_tmp;                       // their scores
    std::vector<double> rss;                           // the kept scores
    std::vector<int> index_rdm;                        // the drawn sample
    std::vector<int> index_pool;                       // the pool it is drawn from
};

// Scans motif mi against the sequences `set`, in order, and writes the kept records to
// the front of `matchs` (room for set.size() records), with their t and p values, and
// their number to rt_n. Sequences in which the motif has no scored window are left out
// of the set: they have no score to compare. With both_strands, a sequence's window is
// the better of its own and its reverse complement's (see reverse_wins).
void analyse_motif(int mi, std::span<const int> set, analysis_workspace& ws, std::span<match> matchs, int& rt_n);

// The whole table as the set, in index order.
void all_matchs(int mi, analysis_workspace& ws, std::span<match> matchs, int& rt_n);

// A new sample of rand_n sequences (at most seq_n) drawn without replacement.
void random_matchs(int mi, int rand_n, analysis_workspace& ws, std::span<match> matchs, int& rt_n);

// Draws rand_n distinct indices of 0 to n - 1 into index_rdm, one rand() per draw.
void sampling_noputback(int n, int rand_n, std::span<int> index_rdm, std::vector<int>& index_pool);
