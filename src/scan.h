// The best window of one motif in one sequence, its score and genomic coordinates.
#pragma once

#include <array>
#include <cmath>
#include <cstdint>
#include <span>
#include <string_view>
#include <vector>

#include "extended_float.h"
#include "motif_reader.h"

// The best site of one motif in one sequence. The texts are views into the sequence
// table, which outlives every record.
struct match {
    int mi = 0;
    int si = 0;
    double pvalue = 1.0;
    double tvalue = 0.0;
    double rs = 0.0;  // log of the geometric mean of the best window's ratios
    double rank = 0.0;
    std::string_view bsite;  // the letters of the sequence the site covers, as they stand there
    int location = -1;       // 0-based offset of the site; -1 when no window scored
    std::int64_t pos = 0;    // location minus the record's letters (those cut off an over-long record included)
    std::int64_t start = 0;
    std::int64_t end = 0;
    char strand = '.';     // the site's strand: the title's, or its opposite for a reverse-complement site
    bool reverse = false;  // found on the reverse complement: the site reads bsite reverse-complemented
    std::string_view chrom;
};

// The winner of a scan before it becomes a record.
struct window_hit {
    int best_pos = -1;        // earliest window with the largest product; -1 if none > 0
    scan_product max_rs{};  // that product, kept in extended precision
};

// One motif's ratios against the pooled composition: ratio(r, b) =
// frqs[r][b] / background_frqs[b], rounded to single precision as the scan multiplies them.
struct motif_quotients {
    int width = 0;
    std::vector<float> q;  // width rows of 5, row-major
    float ratio(int r, int b) const { return q[static_cast<std::size_t>(r) * 5 + static_cast<std::size_t>(b)]; }
};

motif_quotients make_quotients(const motif& m, const std::array<float, 5>& background);

// The straightforward scan: every window's product in extended precision, in window
// order, replaced only by a strictly larger one.
window_hit best_window_exact(const motif_quotients& mq, std::span<const std::uint8_t> codes);

// The score of a hit: ln(pow(m, 1/w)) with m the product rounded to double.
double window_score(const window_hit& hit, int width);
// The exponent 1/w of a width's scores, and whether a product so rounded is scored by that
// power (else by its extended-precision logarithm, or as -inf): window_score's own terms,
// for those that work many scores out at once.
inline double score_exponent(int width)
{
    return 1.0 / static_cast<double>(static_cast<unsigned>(width));
}
inline bool scored_by_power(double m)
{
    return m > 0.0 && std::isfinite(m);
}

// Whether a sequence's best window is the one on its reverse complement: only with a
// strictly larger product; on equal products the given strand's window is kept.
inline bool reverse_wins(const window_hit& given, const window_hit& reverse)
{
    return reverse.max_rs > given.max_rs;
}

// Fills the record of motif mi in sequence si from its hit; `reverse` when the hit was
// found on the sequence's reverse complement (best_pos then counts in that strand).
match make_match(int mi, int si, int width, const window_hit& hit, bool reverse = false);

// The same record without its score and without the unknown-strand message: where the
// site lies, its letters and coordinates.
match locate_site(int mi, int si, int width, const window_hit& hit, bool reverse = false);

// What locating a site needs of its sequence, packed: the sequence table's entries are
// large, and a motif's reported sites fall anywhere in it.
struct site_frame {
    const char* letters = nullptr;
    std::string_view chrom;
    std::int64_t start = 0;
    std::int64_t end = 0;
    std::int64_t cut_letters = 0;
    int len = 0;
    char strand = '.';
};
site_frame frame_of(int si);

// locate_site with sequence si's frame at hand.
match locate_site(int mi, int si, const site_frame& frame, int width, const window_hit& hit, bool reverse);

// Scans motif mi against sequence si with the tables as loaded, on both strands when
// both_strands is set.
match scan_seq_match(int mi, int si);

// The strand opposite to a title's: '+' <-> '-'; any other character stays.
char opposite_strand(char strand);

// Prints "unknown strand!" when the title gave no '+' or '-' strand.
void report_unknown_strand(char strand);

// Sets start and end from the title's coordinates; pos and bsite must be set. Prints
// "unknown strand!" for a strand other than '+' or '-'.
void calculated_pos2(std::int64_t chr_start, std::int64_t chr_end, char strand, match& m);

// The same without the message.
void site_coordinates(std::int64_t chr_start, std::int64_t chr_end, char strand, match& m);
