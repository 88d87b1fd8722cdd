#include "fast_scan.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <utility>
#include <vector>

#include "rounding.h"
#include "scan_kernels.h"
#include "seq_reader.h"

// How the scan stays exact.
//
// Let q(r, b) be the single-precision quotients, w the width, and for window n let
//   lambda(n) = sum over r of ln q(r, c[n + r])           (real numbers, no rounding)
//   p(n)      = the extended-precision product the straightforward scan computes.
// All q are positive finite floats and w <= 100, so every partial product lies between
// 2^-14900 and 2^12800: always a normal number of the x87 extended format (the same holds
// for any finite floats, so the straightforward loop's products never leave it either:
// scan_product, extended_float.h, relies on that). Each of the w - 1 multiplications
// after the exact first one rounds with relative error at most 2^-64, hence
//   |ln p(n) - lambda(n)| <= rho = w * 2^-63.                                       (1)
//
// The vector pass adds K terms per window: one per row (avx2 and neon, K = w) or one per pair of
// rows (avx512, K = ceil(w / 2), a pair's term being ln q(2k, a) + ln q(2k + 1, b)).
// A term's value tau is computed in double as t (two logarithms of error < 2 ulp and one
// addition, all of magnitude < 210): |t - tau| < 2^-43. With M_k the largest t of term k
// and a scale s <= 2^16, the table holds the integer penalty
//   P = round(s * (M_k - t)),   so   |P - s * (M_k - tau)| <= 1/2 + eta
// where eta < 2^16 * (2^-43 + 2^-45) + 2^-37 < 2^-25 covers the error of t, of the
// subtraction and of the multiplication. The tables are scaled so that no window's sum
// of penalties exceeds 65534 - margin: the 16-bit additions are exact integer sums, so a
// window's penalty is
//   pen(n) = s * (sum M_k - lambda(n)) + e(n),   |e(n)| <= K * (1/2 + eta).          (2)
//
// Let n* be the window the straightforward scan returns (the earliest of largest p) and
// m any window of lowest penalty. From p(n*) >= p(m), (1) and (2):
//   pen(n*) - pen(m) <= s * (lambda(m) - lambda(n*)) + 2 K (1/2 + eta)
//                    <= s * 2 rho + K + 2 K eta < K + 2^-17,
// and since penalties are integers, pen(n*) <= pen(m) + K. The same holds for every
// window whose product equals p(n*). So the windows with pen <= lowest + K, evaluated
// exactly in increasing order with the scan's own strict '>' from 0, contain every window
// of the largest product and yield its earliest one with that very product. The margin
// used is K + 1, one unit to spare. A long sequence is taken in chunks, each judged
// against the lowest penalty seen so far: that only adds candidates, which is harmless.
//
// The avx512vbmi pass adds K = ceil(w / 3) terms of 8 bits, a term being the sum of up to
// three logarithms (|t - tau| < 2^-42), at a scale s <= 2^8: eta < 2^-30 and (2) holds.
// Its tables hold the 64 triples of A, C, G and T alone, and M_k is the largest among
// them: a sequence with an N is left to the 16-bit pass, so every window it scores is
// made of those four.
// Its additions saturate at 255 and a table entry above 255 is stored as 255; as every
// penalty is >= 0, a lane holds exactly min(255, pen(n)). When lowest + margin <= 254,
// the lanes at or below lowest + margin are exactly the windows with pen(n) <= lowest +
// margin, lowest is the true lowest penalty, and the argument above holds unchanged.
// Otherwise that sequence is scanned again by the 16-bit avx512 pass. The scale only
// trades candidates against such second scans; exactness holds at any scale.
//
// The avx512bytes pass is the avx512vbmi pass with terms of two rows: K = ceil(w / 2)
// terms of 8 bits, a term the sum of up to two logarithms (|t - tau| < 2^-43), at a scale
// s <= 2^8, so that eta < 2^-30 and (2) holds; its tables hold the 16 pairs of A, C, G and
// T alone, each table repeated in the four 128-bit lanes that vpshufb looks up within (a
// pair index is below 16). Everything said of the avx512vbmi pass here and below holds for
// it word for word, with its own K; the code is one (scan_kernel_bytes.h).
//
// The avx2bytes pass scores with the avx512bytes tables and pair indices (the same K,
// scale and margin, so (2) and the argument above hold as they are) 32 windows a vector,
// its lanes holding min(255, pen(n)) as above. Where lowest + margin <= 254 it flags the
// windows with pen(n) <= lowest + margin and evaluates them all in increasing order with
// the strict '>' from 0 (a single one takes the empty hit's place, as in the queue); a
// sequence with an N, longer than byte_max_letters, or past 254 is scanned by the 16-bit
// avx2 pass instead. It scores a motif's two strands in one pass as avx512vbmi does (below):
// their tables at one scale, the lowest penalty over both strands sets the threshold of
// both, and a strand with no window flagged is left empty; past 254, both strands go to
// the 16-bit pass. Lanes past a set's last window are made 255 before the lowest penalty
// is taken, so they are neither the lowest nor flagged (a threshold is at most 254). Up to
// six flagged windows are queued and multiplied out with other sequences', as in the
// avx512vbmi pass (a sequence's first taking the empty hit's place, the others settled
// after it in increasing order by the comparison the queue uses for a second); more are
// evaluated there and then, their products four at a time and taken in increasing order.
// It scans two motifs in one pass as avx512vbmi does (below), on one strand. A sequence of
// at most six vectors is flagged from its penalties in registers rather than stored and
// read back: the same penalties against the same thresholds.
//
// The avx512vbmi pass evaluates one or two flagged windows as they are. More are first
// narrowed by the 16-bit pair tables: with low16 the lowest pair penalty among the flagged
// windows, those above low16 + margin (the avx512 margin, K = ceil(w / 2) terms plus one)
// are dropped. That keeps every window of the largest product: the argument above, run on
// the pair tables with m the flagged window of penalty low16, gives pen16(n) <= low16 + K
// for each such window n, and each was flagged. The survivors, like any set of windows
// holding all of the largest product, are evaluated in increasing order with the strict '>'
// from 0 (several sequences' windows are multiplied at once, each sequence's in its order;
// the first of a sequence takes its empty hit's place without the comparison, which a
// positive product always passes).
//
// A scanner of the reverse complement reads the given codes. The reverse complement's
// window p of a sequence of L codes is the given window n = L - w - p read backwards and
// complemented: row r meets the complement of c[n + w - 1 - r]. So lambda of p is, term for
// term, lambda of n under the motif with its rows reversed and its columns complemented,
// whose tables the scanner uses on the given codes, while its exact product is the
// straightforward scan's on the reverse complement (row r times complemented code
// n + w - 1 - r, rows in order). (1) and (2) hold for that product, and the candidates again
// contain every window of the largest one. They come in increasing n, which is decreasing
// p, and a candidate takes the best's place also when its product equals the best: the
// last of equal products, the reverse complement's earliest window, is kept, which is the
// straightforward scan's choice there. Its offset is then counted as p.
//
// Both strands in one pass (avx512vbmi). A term's largest value is the sum of its rows'
// largest logarithms, the rows' bases varying independently, so on either strand the
// terms' largest values add up to H, the sum over rows of each row's largest logarithm,
// up to their rounding (< 2^-42 each, so the two sums differ by < K 2^-41); and the two
// strands' tables share one scale s. On either strand, then, pen(n) = s (H - lambda(n)) +
// e(n) with |e(n)| <= K (1/2 + eta + 2^-33) < K (1/2 + 2^-29), and the argument above runs
// on the windows of both strands together, n* a window of the largest product over both
// and m a window of lowest penalty over both: every window of the largest product over
// both lies within K of the lowest penalty over both. Each strand evaluates its own
// flagged windows as above (narrowed against the lowest 16-bit penalty among its own,
// which keeps every window of the largest product among them), so a strand holding a
// window of the largest product over both returns its exact best, and the other a smaller
// product, or nothing (an empty hit, of product 0) when none of its windows is flagged.
// The better of the two by reverse_wins, the larger product and the given strand's on
// equal ones, is thus the straightforward choice over both strands. Where lowest + margin
// passes 254, the 16-bit pass scans each strand again on its own.

// Two motifs in one pass (avx512vbmi, avx2bytes). Two motifs' tables are looked up with the same
// loads of a block's term indices, each into sums of its own. Each motif's windows are
// then flagged against its own lowest penalty with its own margin, and narrowed and
// evaluated as they are when it is scanned alone: nothing the argument above rests on is
// shared between the two, and each gets its own straightforward best. Where the two widths
// end their windows in different vectors, the narrower motif's lanes past its own last
// window are left out of its lowest penalty and its flags, as the last vector's always are.
// Where avx2bytes sums a narrow pair's terms a vector at a time, the motif with fewer terms
// has rows of zeros for the other's last ones: adding 0 leaves a saturated sum as it was, so
// its lanes still hold exactly min(255, pen(n)).
//
// Two motifs on both strands in one pass (avx512vbmi): the same, with four table sets, each
// motif's two strands flagged against the threshold they share, exactly as when the motif
// is scanned alone on both strands.
//
// Where a sequence's penalties are kept in memory, a motif's two strands are flagged
// together first: the lower of their two penalties at each offset is at or below the
// threshold exactly where one of them is, and each strand's own flags are then those of its
// lanes at or below it. They are the flags each strand would get on its own.

namespace {

// Codes per term index of the 8-bit pass of `path`; 0 for a path without one. The AVX2
// pass reads the pair indices of the AVX-512BW one.
int term_rows_of([[maybe_unused]] scan_path path)
{
#if defined(__x86_64__)
    if (path == scan_path::avx512vbmi)
        return scan_kernel::vbmi::term_rows;
    if (path == scan_path::avx512bytes || path == scan_path::avx2bytes)
        return scan_kernel::bytes::term_rows;
#endif
    return 0;
}

#if defined(__x86_64__)
// The functions of one 8-bit pass; null where it has none (the AVX2 pass has no pass for
// two motifs on both strands).
struct byte_pass {
    decltype(&scan_kernel::vbmi::best_window) best_window;
    decltype(&scan_kernel::vbmi::best_windows) best_windows;
    decltype(&scan_kernel::vbmi::best_windows_of_two) best_windows_of_two;
    decltype(&scan_kernel::vbmi::best_windows_both) best_windows_both;
    decltype(&scan_kernel::vbmi::best_windows_both_two) best_windows_both_two;
};

// The 8-bit pass of `path`, or null for a path without one.
const byte_pass* byte_pass_of(scan_path path)
{
    namespace v = scan_kernel::vbmi;
    namespace b = scan_kernel::bytes;
    static constexpr byte_pass vbmi{
        v::best_window, v::best_windows, v::best_windows_of_two, v::best_windows_both, v::best_windows_both_two};
    static constexpr byte_pass bytes{
        b::best_window, b::best_windows, b::best_windows_of_two, b::best_windows_both, b::best_windows_both_two};
    static constexpr byte_pass avx2{scan_kernel::scan_avx2_bytes, scan_kernel::scan_batch_avx2_bytes,
        scan_kernel::scan_batch_avx2_bytes_two, scan_kernel::scan_batch_avx2_bytes_both, nullptr};
    switch (path) {
    case scan_path::avx512vbmi:
        return &vbmi;
    case scan_path::avx512bytes:
        return &bytes;
    case scan_path::avx2bytes:
        return &avx2;
    default:
        return nullptr;
    }
}
#endif

// The block's term indices where they are the ones `path` reads; none otherwise.
std::span<const std::uint8_t* const> indices_for(const scan_block& block, scan_path path, std::size_t n)
{
    if (block.index_rows() == 0 || block.index_rows() != term_rows_of(path))
        return {};
    return block.indices().first(std::min(n, block.indices().size()));
}

}  // namespace

// Each kernel is built only for its own architecture (CMakeLists.txt); x86-64 processors
// are asked at run time which of theirs they have, and every aarch64 processor has NEON.
bool fast_scanner::supported(scan_path path)
{
    switch (path) {
    case scan_path::exact:
        return true;
    case scan_path::avx2:
#if defined(__x86_64__)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
#else
        return false;
#endif
    case scan_path::avx512:
#if defined(__x86_64__)
        __builtin_cpu_init();
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
            __builtin_cpu_supports("bmi2");
#else
        return false;
#endif
    case scan_path::avx512bytes:
        return supported(scan_path::avx512);
    case scan_path::avx2bytes:
        return supported(scan_path::avx2);
    case scan_path::avx512vbmi:
#if defined(__x86_64__)
        return supported(scan_path::avx512) && __builtin_cpu_supports("avx512vbmi");
#else
        return false;
#endif
    case scan_path::neon:
#if defined(__aarch64__)
        return true;
#else
        return false;
#endif
    }
    return false;
}

scan_path fast_scanner::best_path()
{
    static const scan_path best = [] {
        for (const scan_path p : {scan_path::avx512vbmi, scan_path::avx512bytes, scan_path::avx512,
                 scan_path::avx2bytes, scan_path::avx2, scan_path::neon})
            if (supported(p))
                return p;
        return scan_path::exact;
    }();
    return best;
}

const char* fast_scanner::path_name(scan_path path)
{
    switch (path) {
    case scan_path::exact:
        return "exact (no vector unit used)";
    case scan_path::avx2:
        return "AVX2, 256-bit: 32 windows x 16-bit per step, one row per lookup";
    case scan_path::avx512:
        return "AVX-512, 512-bit: 32 windows x 16-bit per step, two rows per lookup";
    case scan_path::neon:
        return "NEON, 128-bit: 32 windows x 16-bit per step, one row per lookup";
    case scan_path::avx512vbmi:
        return "AVX-512 VBMI, 512-bit: 64 windows x 8-bit per step, three rows per lookup";
    case scan_path::avx512bytes:
        return "AVX-512, 512-bit: 64 windows x 8-bit per step, two rows per lookup";
    case scan_path::avx2bytes:
        return "AVX2, 256-bit: 32 windows x 8-bit per step, two rows per lookup";
    }
    return "?";
}

scan_path fast_scanner::widest_supported(scan_path path)
{
    // NEON stands beside AVX2, one row per lookup, and never meets it on one processor.
    if (path == scan_path::avx512vbmi && !supported(path))
        path = scan_path::avx512bytes;
    if (path == scan_path::avx512bytes && !supported(path))
        path = scan_path::avx512;
    if (path == scan_path::avx512 && !supported(path))
        path = scan_path::avx2bytes;
    if (path == scan_path::avx2bytes && !supported(path))
        path = scan_path::avx2;
    if (path == scan_path::avx2 && !supported(path))
        path = scan_path::neon;
    if (path == scan_path::neon && !supported(path))
        path = scan_path::exact;
    return path;
}

fast_scanner::fast_scanner(motif_quotients mq, scan_strand strand, long typical_length)
    : fast_scanner(std::move(mq), best_path(), strand, typical_length)
{
}

fast_scanner::fast_scanner(motif_quotients mq, scan_path path, scan_strand strand, long typical_length)
    : fast_scanner(std::move(mq), path, strand, nullptr, typical_length)
{
}

fast_scanner::fast_scanner(
    motif_quotients mq, scan_path path, scan_strand strand, const fast_scanner* scale_of, long typical_length)
    : mq_(std::move(mq)), strand_(strand)
{
    path = widest_supported(path);
    // The log domain needs positive finite quotients (a product can then neither vanish,
    // change sign nor leave the long double range) and a width the buffers hold.
    const int w = mq_.width;
    bool log_domain = w >= 1 && w <= max_width && mq_.q.size() >= static_cast<std::size_t>(w) * 5;
    for (std::size_t i = 0; log_domain && i < static_cast<std::size_t>(w) * 5; ++i)
        log_domain = mq_.q[i] > 0.0f && std::isfinite(mq_.q[i]);
    path_ = log_domain ? path : scan_path::exact;
    if (path_ == scan_path::exact)
        return;
    // The tables score the given codes, forwards. On the reverse complement, row r of the
    // motif meets the complement of given code w - 1 - r of the window: the tables are
    // those of the motif with its rows reversed and its columns complemented.
    const bool reverse = strand_ == scan_strand::reverse_complement;
    const auto table_quotient = [&](int r, int b) {
        return reverse ? mq_.ratio(w - 1 - r, complement_code(static_cast<std::uint8_t>(b))) : mq_.ratio(r, b);
    };
    if (reverse) {
        complemented_.resize(static_cast<std::size_t>(w) * 5);
        for (int r = 0; r < w; ++r)
            for (int b = 0; b < 5; ++b)
                complemented_[static_cast<std::size_t>(r) * 5 + static_cast<std::size_t>(b)] =
                    mq_.ratio(r, complement_code(static_cast<std::uint8_t>(b)));
    }
    // Each quotient's logarithm once: the tables' terms are sums of them, and taking them
    // again for every entry of every term cost more than the scan of a short set.
    std::array<double, max_width * 5> logs;
    for (int r = 0; r < w; ++r)
        for (int b = 0; b < 5; ++b)
            logs[static_cast<std::size_t>(r) * 5 + static_cast<std::size_t>(b)] =
                std::log(static_cast<double>(table_quotient(r, b)));
    const auto ln = std::span<const double>(logs.data(), static_cast<std::size_t>(w) * 5);
    build_tables(ln);
    if (const int rows = term_rows_of(path_); rows > 0)
        build_byte_table(
            ln, scale_of != nullptr && scale_of->path_ == path_ ? scale_of->byte_scale_ : 0.0, rows, typical_length);
}

namespace {

// Each table term's value for each of its indices, then each term's largest value and the
// sum over terms of their spreads (largest less smallest). In place, sized for the widest
// motif's tables: made for every motif by the workers at once, they had the allocator's
// lock taken and waited for.
struct term_table {
    static constexpr std::size_t most_values = std::max({std::size_t{(fast_scanner::max_width + 1) / 2} * 25,
        std::size_t{fast_scanner::max_width} * 5, std::size_t{(fast_scanner::max_width + 2) / 3} * 64});
    std::array<double, most_values> t;  // terms rows of `entries` values
    std::array<double, fast_scanner::max_width> top;
    double spread = 0.0;
};

template <typename Value>
term_table term_values(int terms, int entries, Value value)
{
    term_table tt;
    for (int k = 0; k < terms; ++k) {
        double hi = -HUGE_VAL;
        double lo = HUGE_VAL;
        for (int j = 0; j < entries; ++j) {
            const double v = value(k, j);
            tt.t[static_cast<std::size_t>(k) * static_cast<std::size_t>(entries) + static_cast<std::size_t>(j)] = v;
            hi = std::max(hi, v);
            lo = std::min(lo, v);
        }
        tt.top[static_cast<std::size_t>(k)] = hi;
        tt.spread += hi - lo;
    }
    return tt;
}

}  // namespace

void fast_scanner::build_tables(std::span<const double> logs)
{
    const int w = mq_.width;
    // The AVX2 8-bit pass falls back on the 16-bit AVX2 pass, of the row tables.
    const bool pairs = path_ == scan_path::avx512 || path_ == scan_path::avx512vbmi || path_ == scan_path::avx512bytes;
    terms_ = pairs ? (w + 1) / 2 : w;
    margin_ = static_cast<unsigned>(terms_) + 1;
    const int entries = pairs ? 25 : 5;

    auto ln = [&](int r, int b) { return logs[static_cast<std::size_t>(r) * 5 + static_cast<std::size_t>(b)]; };
    const auto [t, top, spread] = term_values(terms_, entries,
        [&](int k, int j) {
            if (!pairs)
                return ln(k, j);
            if (2 * k + 1 < w)
                return ln(2 * k, j / 5) + ln(2 * k + 1, j % 5);
            return ln(2 * k, j / 5);  // an odd width's last row stands alone
        });

    // The finest scale at which no window's penalty can pass the budget, so that the
    // lowest penalty plus the margin still lies below the 0xFFFF of unused lanes.
    const double budget = 65534.0 - margin_;
    double scale = spread > 0.0 ? std::min(65536.0, (budget - terms_) / spread) : 1.0;
    std::array<std::uint16_t, term_table::most_values> pen;
    for (;;) {
        double worst = 0.0;
        for (int k = 0; k < terms_; ++k) {
            long most = 0;
            for (int j = 0; j < entries; ++j) {
                const std::size_t i = static_cast<std::size_t>(k) * entries + j;
                const long p = round_half_away(scale * (top[static_cast<std::size_t>(k)] - t[i]));
                pen[i] = static_cast<std::uint16_t>(std::clamp(p, 0L, 65535L));
                most = std::max(most, p);
            }
            worst += static_cast<double>(most);
        }
        if (worst <= budget)
            break;
        scale *= 0.99;
    }

    for (int k = 0; k < terms_; ++k) {
        for (int j = 0; j < entries; ++j) {
            const std::uint16_t p = pen[static_cast<std::size_t>(k) * entries + j];
            if (pairs) {
                pair_table_[static_cast<std::size_t>(k) * 32 + j] = p;
            } else {
                std::uint8_t* row = row_table_.data() + static_cast<std::size_t>(k) * 64;
                row[j] = row[16 + j] = static_cast<std::uint8_t>(p & 0xFF);
                row[32 + j] = row[48 + j] = static_cast<std::uint8_t>(p >> 8);
            }
        }
    }
}

void fast_scanner::build_byte_table(std::span<const double> logs, double given_scale, int rows, long typical_length)
{
    const int w = mq_.width;
    byte_terms_ = (w + rows - 1) / rows;
    byte_margin_ = static_cast<unsigned>(byte_terms_) + 1;
    auto ln = [&](int r, int b) { return r < w ? logs[static_cast<std::size_t>(r) * 5 + static_cast<std::size_t>(b)] : 0.0; };
    // Only A, C, G and T are indexed: a sequence with an N is left to the 16-bit pass.
    const int entries = rows == 3 ? 64 : 16;
    const auto [t, top, spread] = term_values(byte_terms_, entries,
        // Rows past the width add nothing: an index's codes there are ignored.
        [&](int k, int j) {
            if (rows == 3)
                return ln(3 * k, j >> 4) + ln(3 * k + 1, j >> 2 & 3) + ln(3 * k + 2, j & 3);
            return ln(2 * k, j >> 2) + ln(2 * k + 1, j & 3);
        });
    // The scale only weighs candidates against second scans (see the top of this file): it
    // is set so that windows z standard deviations above the mean of random windows (bases
    // drawn evenly) still fit in 8 bits, as the best window of a sequence nearly always is.
    // The best of fewer windows lies lower: on the AVX2 pass, whose second scans cost three
    // times its own, z follows the typical number of windows N as sqrt(2 ln N) - 1.5 does
    // (measured best at 1.75 for 190 windows, 2 for 490), between 1.5 and 2.
    double mean = 0.0;
    double variance = 0.0;
    for (int r = 0; r < w; ++r) {
        double sum = 0.0;
        double squares = 0.0;
        for (int b = 0; b < 4; ++b) {
            sum += ln(r, b);
            squares += ln(r, b) * ln(r, b);
        }
        mean += sum / 4.0;
        variance += std::max(0.0, squares / 4.0 - sum * sum / 16.0);
    }
    double highest = 0.0;
    for (int k = 0; k < byte_terms_; ++k)
        highest += top[static_cast<std::size_t>(k)];
    const long typical_windows = typical_length - w + 1;
    const double z = path_ == scan_path::avx2bytes && typical_windows > 1
        ? std::clamp(std::sqrt(2.0 * std::log(static_cast<double>(typical_windows))) - 1.5, 1.5, 2.0)
        : 2.0;
    const double reach = 254.0 - byte_margin_ - byte_terms_;
    const double deficit = std::min(spread, highest - mean - z * std::sqrt(variance));
    const double own = deficit > 0.0 ? std::min(256.0, reach / deficit) : 256.0;
    byte_scale_ = given_scale > 0.0 ? given_scale : own;
    const double scale = byte_scale_;
    // A register a term: 64 entries, or 16 in each 128-bit lane, which vpshufb looks up.
    for (int k = 0; k < byte_terms_; ++k) {
        std::uint8_t* row = byte_table_.data() + static_cast<std::size_t>(k) * 64;
        for (int j = 0; j < entries; ++j) {
            const std::size_t i =
                static_cast<std::size_t>(k) * static_cast<std::size_t>(entries) + static_cast<std::size_t>(j);
            const long p = round_half_away(scale * (top[static_cast<std::size_t>(k)] - t[i]));
            for (int lane = j; lane < 64; lane += entries)
                row[lane] = static_cast<std::uint8_t>(std::clamp(p, 0L, 255L));
        }
    }
}

scan_kernel::kernel_args fast_scanner::args() const
{
    // Backwards on the reverse complement: from the window's last given code, whose
    // complement row 0 meets.
    const bool reverse = strand_ == scan_strand::reverse_complement;
    return {reverse ? complemented_.data() : mq_.q.data(), mq_.width, reverse ? mq_.width - 1L : 0L, reverse ? -1L : 1L,
        terms_, margin_, pair_table_.data(), row_table_.data(), byte_terms_, byte_margin_, byte_table_.data()};
}

void fast_scanner::count_on_reverse_complement(window_hit& hit, std::size_t size) const
{
    // Without a branch (scanning both strands together, either may be empty, and a
    // compiler would make a choice of two values one): an empty hit's -1 stays.
    const int empty = -static_cast<int>(hit.best_pos < 0);
    const int counted = static_cast<int>(size) - mq_.width - hit.best_pos;
    hit.best_pos = (counted & ~empty) | (hit.best_pos & empty);
}

void fast_scanner::count_on_strand(
    std::span<window_hit> hits, std::span<const std::span<const std::uint8_t>> seqs) const
{
    if (strand_ == scan_strand::reverse_complement)
        for (std::size_t i = 0; i < std::min(hits.size(), seqs.size()); ++i)
            count_on_reverse_complement(hits[i], seqs[i].size());
}

void fast_scanner::best_windows(
    std::span<const std::span<const std::uint8_t>> seqs, std::span<window_hit> hits, scan_counts* counts) const
{
    scan_batch(seqs, {}, hits, counts);
}

void fast_scanner::best_windows(const scan_block& block, std::span<window_hit> hits, scan_counts* counts) const
{
    scan_batch(block.seqs(), indices_for(block, path_, block.seqs().size()), hits, counts);
}

void fast_scanner::best_windows_of_two(const fast_scanner& first, const fast_scanner& second, const scan_block& block,
    std::span<window_hit> first_hits, std::span<window_hit> second_hits, scan_counts* counts)
{
    const std::size_t n = std::min({block.seqs().size(), first_hits.size(), second_hits.size()});
#if defined(__x86_64__)
    const byte_pass* pass = byte_pass_of(first.path_);
    if (const auto indices = indices_for(block, first.path_, n);
        pass != nullptr && pass->best_windows_of_two != nullptr && second.path_ == first.path_ && !indices.empty()) {
        const auto seqs = block.seqs().first(n);
        pass->best_windows_of_two(
            first.args(), second.args(), seqs, indices, first_hits.data(), second_hits.data(), counts);
        first.count_on_strand(first_hits, seqs);
        second.count_on_strand(second_hits, seqs);
        return;
    }
#endif
    first.best_windows(block, first_hits.first(n), counts);
    second.best_windows(block, second_hits.first(n), counts);
}

void fast_scanner::scan_batch(std::span<const std::span<const std::uint8_t>> seqs,
    [[maybe_unused]] std::span<const std::uint8_t* const> indices, std::span<window_hit> hits,
    scan_counts* counts) const
{
    const std::size_t n = std::min(seqs.size(), hits.size());
#if defined(__x86_64__)
    if (const byte_pass* pass = byte_pass_of(path_); pass != nullptr || path_ == scan_path::avx512) {
        if (pass != nullptr)
            pass->best_windows(
                args(), seqs.first(n), indices.empty() ? indices : indices.first(n), hits.data(), counts);
        else
            scan_kernel::scan_batch_avx512(args(), seqs.first(n), hits.data(), counts);
        count_on_strand(hits, seqs.first(n));
        return;
    }
#endif
    for (std::size_t i = 0; i < n; ++i)
        hits[i] = best_window(seqs[i], counts);
}

// The reverse complement's 8-bit tables at the given strand's scale. A term's largest value
// is the sum of its rows' largest logarithms, so the terms' largest values add up to the
// same on both strands: at one scale, a penalty weighs the same on either (see the top of
// this file). The scale the given strand chose would come out the same for the reverse
// complement, but for rounding.
both_strands_scanner::both_strands_scanner(const motif_quotients& mq, scan_path path, long typical_length)
    : given_(mq, path, scan_strand::given, typical_length),
      reverse_(mq, path, scan_strand::reverse_complement, &given_, typical_length),
      together_(term_rows_of(given_.path()) > 0 && reverse_.path() == given_.path())
{
}

void both_strands_scanner::best_windows(
    const scan_block& block, std::span<window_hit> given, std::span<window_hit> reverse, scan_counts* counts) const
{
#if defined(__x86_64__)
    if (together_) {
        const std::size_t n = std::min({block.seqs().size(), given.size(), reverse.size()});
        const auto seqs = block.seqs().first(n);
        const auto indices = indices_for(block, given_.path(), n);
        byte_pass_of(given_.path())
            ->best_windows_both(given_.args(), reverse_.args(), seqs, indices, given.data(), reverse.data(), counts);
        reverse_.count_on_strand(reverse, seqs);
        return;
    }
#endif
    given_.best_windows(block, given, counts);
    reverse_.best_windows(block, reverse, counts);
}

void both_strands_scanner::best_windows_of_two(const both_strands_scanner& first, const both_strands_scanner& second,
    const scan_block& block, std::span<window_hit> first_given, std::span<window_hit> first_reverse,
    std::span<window_hit> second_given, std::span<window_hit> second_reverse, scan_counts* counts)
{
    const std::size_t n = std::min(
        {block.seqs().size(), first_given.size(), first_reverse.size(), second_given.size(), second_reverse.size()});
#if defined(__x86_64__)
    const auto indices = indices_for(block, first.path(), n);
    const byte_pass* pass = byte_pass_of(first.path());
    if (first.together_ && second.together_ && second.path() == first.path() &&
        pass->best_windows_both_two != nullptr && !indices.empty()) {
        const auto seqs = block.seqs().first(n);
        const scan_kernel::kernel_args sets[4] = {
            first.given_.args(), first.reverse_.args(), second.given_.args(), second.reverse_.args()};
        window_hit* const hits[4] = {
            first_given.data(), first_reverse.data(), second_given.data(), second_reverse.data()};
        pass->best_windows_both_two(sets, seqs, indices, hits, counts);
        first.reverse_.count_on_strand(first_reverse.first(n), seqs);
        second.reverse_.count_on_strand(second_reverse.first(n), seqs);
        return;
    }
#endif
    first.best_windows(block, first_given.first(n), first_reverse.first(n), counts);
    second.best_windows(block, second_given.first(n), second_reverse.first(n), counts);
}

namespace {

// best_window_exact on the reverse complement of `codes`, read from them backwards.
window_hit best_window_exact_reverse(const motif_quotients& mq, std::span<const std::uint8_t> codes)
{
    window_hit hit;
    const long size = static_cast<long>(codes.size());
    const long posns = size - mq.width + 1;
    for (long n = 0; n < posns; ++n) {
        scan_product product(1.0f);
        // The reverse complement's window n, read backwards from its last given code (an
        // index, not a pointer: a window of width 0 past the end reads nothing).
        for (int r = 0; r < mq.width; ++r)
            product *= mq.ratio(r, complement_code(codes[static_cast<std::size_t>(size - 1 - n - r)]));
        if (product > hit.max_rs) {
            hit.max_rs = product;
            hit.best_pos = static_cast<int>(n);
        }
    }
    return hit;
}

}  // namespace

window_hit fast_scanner::best_window(std::span<const std::uint8_t> codes, scan_counts* counts) const
{
    [[maybe_unused]] const scan_kernel::kernel_args a = args();
    window_hit hit;
    switch (path_) {
#if defined(__x86_64__)
    case scan_path::avx512vbmi:
    case scan_path::avx512bytes:
    case scan_path::avx2bytes:
        hit = byte_pass_of(path_)->best_window(a, codes, counts);
        break;
    case scan_path::avx512:
        hit = scan_kernel::scan_avx512(a, codes, counts);
        break;
    case scan_path::avx2:
        hit = scan_kernel::scan_avx2(a, codes, counts);
        break;
#endif
#if defined(__aarch64__)
    case scan_path::neon:
        hit = scan_kernel::scan_neon(a, codes, counts);
        break;
#endif
    default:
        if (counts != nullptr) {
            const long windows = static_cast<long>(codes.size()) - mq_.width + 1;
            counts->windows += std::max(0L, windows);
            counts->exact += std::max(0L, windows);
        }
        return strand_ == scan_strand::reverse_complement ? best_window_exact_reverse(mq_, codes)
                                                          : best_window_exact(mq_, codes);
    }
    if (strand_ == scan_strand::reverse_complement)
        count_on_reverse_complement(hit, codes.size());
    return hit;
}
