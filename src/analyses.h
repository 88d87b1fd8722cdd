// The analysis of one motif over a set of sequences: scan, outlier trimming, t tests.
#pragma once

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "fast_scan.h"
#include "scan.h"
#include "scan_block.h"
#include "settings.h"

// Which kept records get a p-value. It is the costliest number of the analysis, and a run
// shows it only on the lines it writes: those whose t value reaches score_th (whole-set
// run) or whose |t| does (sampled run). A NaN t value is written, as the threshold test
// fails for it. The other records carry only mi, si, rs and tvalue (their p-value is NaN;
// letters and coordinates are not looked up).
enum class report_rule { every_record, t_reaches_threshold, abs_t_reaches_threshold };

// Which records an analysis writes: every kept one, at its position among them, or only
// those reported, packed in order (all a run writes lines from; writing the others cost a
// tenth of the analysis).
enum class record_set { kept, reported };

// True when a record with this t value is written (every_record: always). Inline: it is
// asked once per kept record, several times over.
inline bool reported(double t, report_rule rule)
{
    switch (rule) {
    case report_rule::every_record:
        return true;
    case report_rule::t_reaches_threshold:
        return !(score_th > t);
    case report_rule::abs_t_reaches_threshold:
        return !(score_th > std::fabs(t));
    }
    return true;
}

// A window's offset and a sequence's length fit the packed fields below.
static_assert(max_seq_len <= UINT16_MAX);

// The slot of a direct-mapped table of 2^slot_bits entries that a double's bits go to.
constexpr std::size_t memo_slot(std::uint64_t bits, int slot_bits)
{
    return static_cast<std::size_t>((bits * 0x9E3779B97F4A7C15ull) >> (64 - slot_bits));
}

// The size of such a table made for each motif, for `items` of its values: twice as many
// slots, least_bits to most_bits of them. Tables of the largest size for a motif's few
// values cost more to clear than they saved.
constexpr int memo_slot_bits(std::size_t items, int least_bits, int most_bits)
{
    return std::clamp(static_cast<int>(std::bit_width(2 * items)), least_bits, most_bits);
}

// window_score for one width, remembered by the product: many sequences share their best
// window's letters, and the score's logarithm and power cost more than the rest of the
// analysis of a sequence. The score is a function of the product alone, so a remembered
// one is the same bytes as a new one. The product's own bits are the key: taking them
// costs less than making the double. (Kept from motif to motif, keyed by the width too,
// the scores were looked up more slowly than when forgotten for each motif.)
//
// Scores not remembered are worked out together once the motif's are all asked for
// (log_powers, eight at a time): a product asked for again meanwhile waits for the first
// one's. Then the memo forgets, as for a new motif: its entries hold no scores but marks.
//
// It is looked up only while it pays: where fewer than half of a motif's products were met
// before (one in eight in the real peaks, four in five in sets stitched from them), the
// lookups cost more than the scores they spare, and the next motifs' scores are all worked
// out, the memo trying again every probe_every motifs.
class score_memo {
public:
    score_memo& start(int width);  // forgets every score: the next are for this width
    void reserve(std::size_t scores);  // room for as many new scores per motif
    // Sets *to to hit's score: now where it is remembered, otherwise in finish().
    void ask(const window_hit& hit, double* to)
    {
        if (!remembering_) {
            work_out(hit, to);
            return;
        }
        ++asks_;
        const std::array<std::uint64_t, 2> key = product_bits(hit.max_rs);
        entry& e = entries_[memo_slot(key[0] ^ key[1] << 48 ^ key[1], slot_bits)];
        const std::uint64_t tagged = key[1] | tag_;
        if (((e.key[0] ^ key[0]) | (e.key[1] ^ tagged)) == 0) {  // not std::array's ==, a call to memcmp
            ++hits_;
            if (std::isnan(e.score))
                waiting_.push_back({to, waiting_for(e.score)});
            else
                *to = e.score;
            return;
        }
        e.key = {key[0], tagged};
        e.score = work_out(hit, to);
    }
    void finish();  // every score asked for since start() is set, and all are forgotten

private:
    static constexpr int slot_bits = 13;
    // A product's second word holds at most its low 48 bits (a 16-bit sign and exponent,
    // or the portable type's exponent, kind and sign); the top 16 hold the motif's
    // generation, so that forgetting is a new tag, not 192 kB cleared for every motif
    // (a fortieth of a run on 1,500 sequences).
    static constexpr int tag_shift = 48;
    // A score still to be worked out is a NaN holding its place among powers_: no score is
    // a NaN.
    static double waiting_mark(std::size_t k) { return std::bit_cast<double>(0x7FF8000000000000ull | k); }
    static std::size_t waiting_for(double mark) { return std::bit_cast<std::uint64_t>(mark) & 0xFFFFFFFFull; }
    struct entry {
        // Tagged with no generation: every key looked up carries one.
        std::array<std::uint64_t, 2> key{0, 0};
        double score = 0.0;
    };
    struct waiter {
        double* to;
        std::size_t k;  // its power's place in powers_
    };
    // Sets *to to hit's score now, or has finish() set it; returns the score, or the mark
    // of the one to be worked out.
    double work_out(const window_hit& hit, double* to)
    {
        const double m = static_cast<double>(hit.max_rs);
        if (!scored_by_power(m))  // no power to work out (a product out of range, or none)
            return *to = window_score(hit, width_);
        const double mark = waiting_mark(powers_.size());
        waiting_.push_back({to, powers_.size()});
        powers_.push_back(m);
        return mark;
    }
    void forget();
    static constexpr int probe_every = 8;
    bool remembering_ = true;  // this motif's products are looked up
    bool pays_ = true;         // at least half of the last looked-up motif's were met before
    int unremembered_ = 0;     // motifs since the last one looked up
    std::size_t asks_ = 0;
    std::size_t hits_ = 0;
    int width_ = 0;
    std::uint64_t tag_ = std::uint64_t{1} << tag_shift;
    std::vector<entry> entries_ = std::vector<entry>(std::size_t{1} << slot_bits);
    std::vector<double> powers_;  // the products (as doubles) whose scores are to be worked out
    std::vector<waiter> waiting_;
    std::vector<double> results_;
};

// Working buffers of one analysis, sized once for the largest set (and for up to
// group_capacity motifs scanned together) and reused for every motif, so that no motif
// allocates. The reverse complements' hits are sized only when both_strands is set at
// its making, and the workspace then scans both strands.
// The t tests of a motif's reported records, asked for one by one and done together:
// each distinct score once, the records waiting for theirs.
struct ttest_queue {
    struct slot {  // of the scores' direct-mapped table
        std::uint64_t bits = 0;
        bool used = false;
        std::size_t k = 0;  // the score's place
    };
    std::vector<slot> slots;
    struct waiter {
        double* pvalue;
        double* t;
        std::size_t k;  // the score's place
    };
    std::vector<double> scores;
    std::vector<double> pvalues;
    std::vector<double> ts;
    std::vector<waiter> waiters;
};

struct analysis_workspace {
    explicit analysis_workspace(int set_capacity, int group_capacity = 1);
    std::vector<std::span<const std::uint8_t>> codes;     // base codes of the set, in scan order
    // The best window of each, for each motif of the group; scanning both strands, the
    // better of its two strands' by reverse_wins, with whether that is the reverse
    // complement's in `reversed`. Only the better is kept past its block's scan: with both,
    // the hits of as many motifs took twice the memory, which made groups smaller, and
    // their analysis waited on twice the cache misses.
    std::vector<window_hit> hits;
    std::vector<std::uint8_t> reversed;
    // Scanning both strands, the reverse complements' hits of the block being scanned, for
    // two motifs (each may be empty or not its strand's best).
    std::vector<window_hit> block_rc_hits;
    scan_block block;                                     // the block being scanned, as the scan reads it
    // The group's scanners, of one strand or of both. Kept from group to group: made anew,
    // the 16 of a group (some 220 kB) came back from the system in fresh pages each time.
    std::vector<fast_scanner> forward;
    std::vector<both_strands_scanner> both;
    std::vector<std::size_t> by_width;  // forward's order by width, in which pairs are scanned
    std::vector<match> matchs;                            // the kept records of the motif analysed last
    struct scored_hit {
        int at = 0;                  // position in the set
        bool reverse = false;        // the hit is the reverse complement's
        std::uint16_t best_pos = 0;  // its window, counted in that strand (in what the struct pads)
    };
    std::vector<scored_hit> scored;  // the sequences of the set with a window, in set order
    std::vector<scored_hit> kept;    // those kept after trimming
    std::vector<char> strands;       // every loaded sequence's title strand, packed
    bool unknown_strands = false;    // whether any of them is neither '+' nor '-'
    std::vector<site_frame> frames;  // what locating a site needs of it
    std::vector<std::uint16_t> lengths;  // and its length
    long typical_length = 0;             // their mean, for the scanners' 8-bit scale
    std::vector<double> rss_tmp;     // their scores
    std::vector<double> rss;         // the kept scores
    std::vector<double> tvalues;     // and their t values
    std::vector<int> reported_at;    // the positions of the kept records that are reported
    score_memo scores;               // the scores of the motif analysed last, by product
    ttest_queue tests;               // and its reported records' t tests
    std::vector<int> index_rdm;      // the drawn sample, or every index in order
    std::vector<int> index_pool;     // the pool it is drawn from
    int group_capacity = 1;

    // What the last analyse_hits call worked on, for a run's per-motif figures; the spans
    // stay valid until the next scan or analysis with this workspace. With the set scanned
    // by scan_group, codes[i] holds set[i]'s codes (their size is its length).
    struct analysed {
        std::span<const int> set;               // the set, in scan order
        std::span<const window_hit> hits;       // its hits, and which are the reverse complements'
        std::span<const std::uint8_t> reversed;
        std::span<const match> records;         // the records written to `matchs`
        std::size_t kept_n = 0;                 // the kept records (those written, or more)
        std::size_t scored_n = 0;               // sequences with a window: scores in rss_tmp, hits by scored
        double mean = 0.0;                      // mean and population sd of all scored scores
        double sd = 0.0;
        double kept_mean = 0.0;                 // mean of the kept scores (rss), and the sd the t tests
        double kept_sd = 0.0;                   // used (0 when they are all equal)
    };
    analysed last;

    // Motif g's hits over a set of n sequences, and which of them are the reverse
    // complements' (empty when only the given strand is scanned).
    std::span<const window_hit> hits_of(std::size_t g, std::size_t n) const { return {hits.data() + g * n, n}; }
    std::span<const std::uint8_t> reversed_of(std::size_t g, std::size_t n) const
    {
        return reversed.empty() ? std::span<const std::uint8_t>() : std::span(reversed.data() + g * n, n);
    }
};

// The motifs to scan together over each block of `seq_count` sequences: the more there
// are, the more of them share the making of a block's term indices (with 8, a twentieth
// of a run), but each holds a hit per sequence (and on both strands, its strand) until the
// group is analysed.
// 16 at most, fewer where their hits would pass 32 MiB, and 8 at least.
int motifs_per_group(std::size_t seq_count, bool both_strands);

// Where the block of sequences that starts at codes[first] ends: every motif of a group
// scans one block before the next, and a block holds about 256 Ki letters (at least one
// sequence), few enough for its codes and term indices to stay in a core's L2 cache.
std::size_t scan_block_end(std::span<const std::span<const std::uint8_t>> codes, std::size_t first);

// Scans every motif of `group` (at most ws.group_capacity) against the sequences `set`,
// into ws.hits: motif g's hit for set[i] at g * set.size() + i. The set is scanned a block
// of sequences at a time, every motif over the block, so that the block's codes stay in
// cache. In a workspace made for both strands, the block's reverse complements are
// scanned too: ws.hits holds a sequence's best over both, ws.reversed its strand.
void scan_group(std::span<const int> group, std::span<const int> set, analysis_workspace& ws);

// Trims and tests motif mi's scores from its `hits` over `set` (one per sequence, in set
// order; with `reversed`, each flagged where it is the reverse complement's, its best_pos
// counted on that strand), and writes the kept records to the front of `matchs`
// (room for set.size() records) with their t values, the p-values that `rule` asks for,
// and their number to rt_n; the positions of the records `rule` reports go, in order, to
// ws.reported_at. With record_set::reported, only the reported records are written: the
// k-th at matchs[k], the record at kept position ws.reported_at[k]. Sequences in which the
// motif has no scored window are left out of the set: they have no score to compare.
void analyse_hits(int mi, std::span<const int> set, std::span<const window_hit> hits,
    std::span<const std::uint8_t> reversed, analysis_workspace& ws, std::span<match> matchs, int& rt_n,
    report_rule rule = report_rule::every_record, record_set records = record_set::kept);

// Scans motif mi against `set` and analyses it.
void analyse_motif(int mi, std::span<const int> set, analysis_workspace& ws, std::span<match> matchs, int& rt_n,
    report_rule rule = report_rule::every_record, record_set records = record_set::kept);

// The whole table as the set, in index order.
void all_matchs(int mi, analysis_workspace& ws, std::span<match> matchs, int& rt_n,
    report_rule rule = report_rule::every_record, record_set records = record_set::kept);

// A new sample of rand_n sequences (at most seq_n) drawn without replacement.
void random_matchs(int mi, int rand_n, analysis_workspace& ws, std::span<match> matchs, int& rt_n,
    report_rule rule = report_rule::every_record, record_set records = record_set::kept);

// Draws rand_n distinct indices of 0 to n - 1 into index_rdm, one rand() per draw.
void sampling_noputback(int n, int rand_n, std::span<int> index_rdm, std::vector<int>& index_pool);
