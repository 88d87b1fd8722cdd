// The scan used by the analyses: built once per motif, run on every sequence.
//
// Every window is first scored in the log domain with vector instructions (integer
// penalties looked up by base code and added), and only the windows whose penalty lies
// within a proven margin of the best one get the exact extended-precision product, in
// window order. The result is therefore exactly best_window_exact's, ties included.
#pragma once

#include <array>
#include <cstdint>
#include <span>
#include <vector>

#include "scan.h"
#include "scan_block.h"

namespace scan_kernel {
struct kernel_args;
}

// How the windows are scored.
enum class scan_path {
    exact,        // the straightforward loop: no usable vector unit, or quotients the log domain cannot take
    avx2,         // 32 windows per step, one motif row per lookup
    avx512,       // 32 windows per step, two motif rows per lookup
    neon,         // aarch64: 32 windows per step, one motif row per lookup (the avx2 tables)
    avx512vbmi,   // 64 windows of 8 bits per step, three rows per lookup; avx512 where a best saturates
    avx512bytes,  // the same with two rows per lookup, for AVX-512BW without VBMI
    avx2bytes,    // 32 windows of 8 bits per step, two rows per lookup; avx2 where a best saturates
};

// What a scan did, for measuring; the counts are added to.
struct scan_counts {
    long long windows = 0;  // windows scored
    long long exact = 0;    // windows whose exact product was computed
    long long rescanned = 0;  // sequences the 8-bit pass left to the 16-bit one
    long long flagged = 0;    // windows the 8-bit pass flagged, before the 16-bit penalties narrow them
};

// Which strand of the codes it is given a scanner reads.
enum class scan_strand {
    given,
    // Their reverse complement, without making it: the result, best_pos included, is the
    // given strand's scanner's on reverse_complement_codes of them.
    reverse_complement,
};

class fast_scanner {
public:
    // Uses the widest vector unit this processor has. typical_length, where known (not 0),
    // is the length of most sequences to be scanned: the 8-bit tables' scale is chosen for
    // it (the results are the same at any scale).
    explicit fast_scanner(motif_quotients mq, scan_strand strand = scan_strand::given, long typical_length = 0);
    // Uses `path`, or the widest supported one below it (lets the tests cover each).
    fast_scanner(motif_quotients mq, scan_path path, scan_strand strand = scan_strand::given, long typical_length = 0);

    // Exactly best_window_exact's result on the strand it reads. Allocates nothing; safe
    // to call from several threads at once.
    window_hit best_window(std::span<const std::uint8_t> codes) const { return best_window(codes, nullptr); }
    window_hit best_window(std::span<const std::uint8_t> codes, scan_counts* counts) const;

    // best_window of every sequence of `seqs` into the same entry of `hits` (as many as
    // both hold). Faster than one call per sequence: the exact products of several
    // sequences overlap.
    void best_windows(std::span<const std::span<const std::uint8_t>> seqs, std::span<window_hit> hits,
        scan_counts* counts = nullptr) const;
    // The same for a block whose term indices, where made, every motif shares.
    void best_windows(const scan_block& block, std::span<window_hit> hits, scan_counts* counts = nullptr) const;
    // first.best_windows and second.best_windows of one block (as many sequences as all
    // three hold), with the same results: on the 8-bit path each term index is loaded
    // once for both motifs.
    static void best_windows_of_two(const fast_scanner& first, const fast_scanner& second, const scan_block& block,
        std::span<window_hit> first_hits, std::span<window_hit> second_hits, scan_counts* counts = nullptr);

    int width() const { return mq_.width; }
    // The path in use for this motif (exact when the log domain does not apply to it).
    scan_path path() const { return path_; }

    // The widest path this processor supports.
    static scan_path best_path();
    // The widest supported path at or below `path`: the one a scanner asked for it uses.
    static scan_path widest_supported(scan_path path);
    static bool supported(scan_path path);
    static const char* path_name(scan_path path);

    // Largest motif the vector paths take; wider ones use the exact loop.
    static constexpr int max_width = 100;

private:
    friend class both_strands_scanner;

    // With scale_of, the 8-bit tables at that scanner's scale where it has them (both
    // strands scored in one pass need one scale).
    fast_scanner(
        motif_quotients mq, scan_path path, scan_strand strand, const fast_scanner* scale_of, long typical_length);
    // logs: ln of each quotient, row-major as mq_.q.
    void build_tables(std::span<const double> logs);
    // The 8-bit tables of `rows` rows a term, at given_scale, or at one chosen for the motif
    // (and typical_length, where not 0) where it is 0.
    void build_byte_table(std::span<const double> logs, double given_scale, int rows, long typical_length);
    scan_kernel::kernel_args args() const;
    void scan_batch(std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
        std::span<window_hit> hits, scan_counts* counts) const;

    // best_pos of hit as the reverse complement of `size` codes counts it.
    void count_on_reverse_complement(window_hit& hit, std::size_t size) const;
    // The same for each of the hits of seqs (as many as both hold) where this scanner reads
    // the reverse complement; nothing on the given strand.
    void count_on_strand(std::span<window_hit> hits, std::span<const std::span<const std::uint8_t>> seqs) const;

    motif_quotients mq_;
    scan_strand strand_ = scan_strand::given;
    // On the reverse complement: mq_ with each row's columns complemented, which the exact
    // products multiply as they read the given codes backwards.
    std::vector<float> complemented_;
    scan_path path_ = scan_path::exact;
    int terms_ = 0;        // table lookups added per window
    unsigned margin_ = 0;  // candidate margin, in penalty units
    // avx512: per pair of rows (2k, 2k + 1), 32 penalties indexed by 5 * code + next code.
    alignas(64) std::array<std::uint16_t, (max_width + 1) / 2 * 32> pair_table_{};
    // avx2 and neon: per row, the low bytes of its five penalties then the high bytes, each as a
    // 16-byte table repeated in both halves of a 32-byte register.
    alignas(64) std::array<std::uint8_t, max_width * 64> row_table_{};
    // avx512vbmi: per triple of rows (3k, 3k + 1, 3k + 2), 64 8-bit penalties indexed by
    // 16 * code + 4 * next code + the one after, codes of A, C, G and T only (a sequence
    // with an N is left to the 16-bit pass): one register, looked up by vpermb.
    // avx512bytes and avx2bytes: per pair of rows (2k, 2k + 1), 16 penalties indexed by
    // 4 * code + next code, the same codes only, repeated in each 128-bit lane: looked up
    // by vpshufb.
    int byte_terms_ = 0;
    unsigned byte_margin_ = 0;
    double byte_scale_ = 0.0;
    alignas(64) std::array<std::uint8_t, (max_width + 1) / 2 * 64> byte_table_{};
};

// One motif on both strands of the same codes. On the 8-bit path the two are scored in one
// pass over the block's term indices, their tables at one scale and from one best, so
// that only windows near the best over both strands get exact products.
class both_strands_scanner {
public:
    explicit both_strands_scanner(
        const motif_quotients& mq, scan_path path = fast_scanner::best_path(), long typical_length = 0);

    // For each sequence of the block (as many as all three hold): given[i] and reverse[i],
    // of which the better by reverse_wins is exactly the best window over both strands,
    // the reverse complement's counted on it. The other may be empty or another window of
    // its strand than its best.
    void best_windows(const scan_block& block, std::span<window_hit> given, std::span<window_hit> reverse,
        scan_counts* counts = nullptr) const;

    // first.best_windows and second.best_windows of one block (as many sequences as all
    // five hold), with the same results: on the 8-bit path, sequences too long for the
    // registers are scored for both motifs' strands from one load of each term index.
    static void best_windows_of_two(const both_strands_scanner& first, const both_strands_scanner& second,
        const scan_block& block, std::span<window_hit> first_given, std::span<window_hit> first_reverse,
        std::span<window_hit> second_given, std::span<window_hit> second_reverse, scan_counts* counts = nullptr);

    // The path in use for this motif.
    scan_path path() const { return given_.path(); }
    int width() const { return given_.width(); }

private:
    fast_scanner given_;
    fast_scanner reverse_;
    bool together_ = false;  // both scored in one pass
};
