// What one motif's analysis leaves for the summary and the report: counts, the kept
// scores' mean and sd, the written sites' placement, and (for the report) fixed-size
// histograms and the few highest sites. Memory per motif is fixed, whatever the output.
#pragma once

#include <array>
#include <cstdint>
#include <optional>

#include "analyses.h"

inline constexpr int score_bins = 40;
inline constexpr int position_bins = 20;
inline constexpr int top_sites_kept = 10;

// One of a motif's highest kept sites, enough to look its letters and coordinates up again.
struct top_site {
    int si = 0;
    int order = 0;          // position in the set: of equal scores, the earlier is higher
    int best_pos = -1;      // the window, counted in the strand it was found on
    bool reverse = false;   // found on the reverse complement
    double score = 0.0;
    double t = 0.0;
};

// Histograms and top sites, collected only for a report.
struct motif_details {
    double score_low = 0.0;   // the range of the scored scores, split into score_bins bins
    double score_high = 0.0;
    std::array<std::int32_t, score_bins> kept_scores{};
    std::array<std::int32_t, score_bins> trimmed_scores{};
    // Relative position of the best window's centre in its sequence, 0 to 1, in bins.
    std::array<std::int32_t, position_bins> best_positions{};     // every sequence with a window
    std::array<std::int32_t, position_bins> written_positions{};  // the written sites
    std::array<top_site, top_sites_kept> top{};                    // highest score first
    int top_n = 0;
};

struct motif_figures {
    bool analysed = false;
    int set_n = 0;     // sequences in the motif's set: all loaded, or the sample
    int scored_n = 0;  // those with a window
    int kept_n = 0;    // those kept after trimming
    double mean = 0.0; // mean and sd of the kept scores, as the t tests use them
    double sd = 0.0;
    int written = 0;   // sites written: the motif's lines in the output file
    double max_t = 0.0;
    int max_t_si = -1; // the sequence of the largest t (the first of equals); -1 when nothing was kept
    int central_n = 0; // written sites whose centre lies in the central fifth of their sequence
    double central_chance_sum = 0.0;  // over the written sites: the chance of that for a random window
    std::optional<motif_details> details;
};

// The figures of motif mi from the analysis that ws holds last (ws.last): its t values
// and the records it reported (ws.tvalues, ws.reported_at) are the written sites, less
// those a BED file leaves out. With `details`, the histograms and top sites too.
motif_figures collect_figures(int mi, const analysis_workspace& ws, bool details);

// The share of the windows of width w in a sequence of `length` letters whose centre lies
// in its central fifth: centre (offset + w / 2) from 2/5 to less than 3/5 of the length.
double central_chance(int length, int width);

// Whether a site of width w at offset `location` is centred in its sequence's central fifth.
bool centred(int location, int length, int width);

// The bin (0 to position_bins - 1) of the relative position of a window's centre.
int position_bin(int location, int length, int width);

// The score bin (0 to score_bins - 1) of `score` in the range low to high, split evenly.
int score_bin(double score, double low, double high);

// score_bin for many scores of one range: a multiply in place of the division, which
// decides only for the scores that lie within a hair of a bin's edge.
class score_binning {
public:
    score_binning(double low, double high);
    int bin(double score) const;  // score_bin(score, low, high)

private:
    double low_;
    double high_;
    double scale_;
    bool by_product_;
};

// position_bin and central_chance for the sequences of one length, worked out again only
// when the length changes: the sequences of a set mostly share a length, and a division
// per site is a good share of what the figures cost.
class length_figures {
public:
    explicit length_figures(int width);
    void use_length(int length);  // before the first position_bin or central_chance
    int position_bin(int location) const;  // as position_bin(location, length, width)
    double central_chance() const { return chance_; }

private:
    int width_;
    int length_ = -1;
    double chance_ = 0.0;
    std::uint32_t divisor_ = 2;
    std::uint64_t reciprocal_ = 0;
};

// Whether the kept scores were t-tested (more than two of them, not all equal): only then
// does a threshold on t select sites by their score.
inline bool tested(const motif_figures& f)
{
    return f.kept_n > 2 && f.sd != 0.0;
}
