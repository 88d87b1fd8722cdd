// What the vector kernels of the scan share: the arguments they read, the chunking of a
// sequence, and the exact evaluation of the candidate windows they flag. Each kernel is in
// a file of its own, built only where its instruction set exists; fast_scan.cpp chooses
// among them and holds the argument that makes them exact.
#pragma once

#include <cstdint>
#include <span>

#include "fast_scan.h"

namespace scan_kernel {


// Windows scored per chunk: a whole sequence of the largest size in one go.
constexpr int chunk_windows = 6144;
constexpr int chunk_vectors = chunk_windows / 32;
// Room after a chunk's copied codes for the reads past its last window (AVX2).
constexpr int chunk_pad = 256;

// The 8-bit passes read a sequence's term indices up to index_pad bytes past its end:
// up to 63 for lanes past the last window, R (K - 1) < width for the last term (R rows a term).
constexpr int index_pad = 192;
// The longest sequence it takes (all its windows in one chunk); longer ones get the 16-bit pass.
constexpr long byte_max_letters = chunk_windows;

// Everything a kernel reads, flattened.
struct kernel_args {
    // What the exact products multiply: width rows of 5 quotients, row r times code
    // first_code + r * code_step of the window (0 and 1 on the given strand). The tables
    // below may be another motif's whose log-domain sums are the same numbers.
    const float* q;
    int width;
    long first_code;
    long code_step;
    int terms;
    unsigned margin;
    const std::uint16_t* pair_table;
    const std::uint8_t* row_table;
    int byte_terms;
    unsigned byte_margin;
    const std::uint8_t* byte_table;
};

// The first code window n's exact product reads.
__attribute__((always_inline)) inline const std::uint8_t* exact_codes(
    const kernel_args& a, const std::uint8_t* codes, long n)
{
    return codes + n + a.first_code;
}

// The straightforward scan's product for the window whose exact_codes are at c, rounding
// exactly as it does (its first multiplication, by 1, is exact and left out).
__attribute__((always_inline)) inline scan_product exact_product(const kernel_args& a, const std::uint8_t* c)
{
    scan_product product(a.q[c[0]]);
    for (int r = 1; r < a.width; ++r)
        product *= a.q[static_cast<std::size_t>(r) * 5 + c[r * a.code_step]];
    return product;
}

// Whether a window's product p takes the place of the best so far, candidates coming in
// increasing window order: only when strictly larger, or, read backwards (the reverse
// complement's windows in decreasing order of their own), also when equal, so that the
// reverse complement's earliest window of the largest product wins. Products in the log
// domain are positive, so the first candidate always takes an empty best's place.
__attribute__((always_inline)) inline bool takes_place(const kernel_args& a, scan_product p, scan_product best)
{
    return a.code_step < 0 ? !(best > p) : p > best;
}

__attribute__((always_inline)) inline void consider(
    window_hit& best, const kernel_args& a, const std::uint8_t* codes, long n, scan_counts* counts)
{
    const scan_product product = exact_product(a, exact_codes(a, codes, n));
    if (takes_place(a, product, best.max_rs)) {
        best.max_rs = product;
        best.best_pos = static_cast<int>(n);
    }
    if (counts != nullptr)
        ++counts->exact;
}

// Counts the candidates flagged in `masks` (bit i of masks[v]: window v * bits + i) and
// gives the offset of the first; found without a branch on where it lies, which would
// mispredict.
template <typename Mask>
__attribute__((always_inline)) inline int count_candidates(const Mask* masks, int vectors, long& first)
{
    constexpr int bits = sizeof(Mask) * 8;
    int total = 0;
    first = 0;
    for (int v = 0; v < vectors; ++v) {
        const Mask m = masks[v];
        total += __builtin_popcountll(m);
        // The top bit keeps the count defined for an empty mask, whose term is dropped.
        const long at = static_cast<long>(v) * bits + __builtin_ctzll(m | (Mask{1} << (bits - 1)));
        first += at & -static_cast<long>(m != 0);
    }
    return total;
}

// Evaluates every candidate flagged in `masks`, from window base on, in window order.
template <typename Mask>
__attribute__((always_inline)) inline void evaluate_all(window_hit& best, const kernel_args& a,
    const std::uint8_t* codes, const Mask* masks, int vectors, long base, scan_counts* counts)
{
    constexpr int bits = sizeof(Mask) * 8;
    for (int v = 0; v < vectors; ++v)
        for (Mask m = masks[v]; m != 0; m &= m - 1)
            consider(best, a, codes, base + static_cast<long>(v) * bits + __builtin_ctzll(m), counts);
}

// Both: nearly always there is exactly one candidate.
template <typename Mask>
__attribute__((always_inline)) inline void resolve(window_hit& best, const kernel_args& a, const std::uint8_t* codes,
    const Mask* masks, int vectors, long base, scan_counts* counts)
{
    long first = 0;
    if (count_candidates(masks, vectors, first) == 1)
        consider(best, a, codes, base + first, counts);
    else
        evaluate_all(best, a, codes, masks, vectors, base, counts);
}

// Candidate windows of several sequences, multiplied out `lanes` at a time as independent
// chains rather than one latency-bound chain each (six measured faster than four or
// eight). A sequence's hit starts empty and takes its candidates with the scan's own
// strict '>' in window order: they are added in that order, and settled in that order.
//
// A sequence's first candidate always takes the empty hit's place, so it is stored
// without reading the hit back (an 80-bit load, and a compare, for nearly every sequence).
// A second one, rarer, waits in a list of its own and is compared with the hit once its
// first has been settled: the firsts are settled in the order they were added, so every
// second of a sequence before the first first still waiting may go.
//
// Up to `capacity` wait in each list: a batch of sequences adds its candidates without
// asking after each whether enough wait, since that answer depends on the whole of a
// sequence's scan and a wrong guess of it throws away the work begun on the next.
class candidate_queue {
public:
    static constexpr int lanes = 6;
    // Sequences a batch holds.
    static constexpr int batch = 32;
    // Candidates a sequence may add: one first, the others seconds.
    static constexpr int most_per_sequence = 6;

    // Window `at` of the sequence whose codes are at `codes` and whose hit is hits[slot],
    // only if `keep`: a candidate that may not exist is added without a branch. `second`
    // for a sequence's second candidate, added right after its first.
    __attribute__((always_inline)) inline void add(
        const kernel_args& a, std::size_t slot, const std::uint8_t* codes, long at, bool keep, bool second = false)
    {
        (second ? seconds_ : firsts_).add(slot, exact_codes(a, codes, at), static_cast<int>(at), keep);
    }

    // Multiplies out `lanes` candidates at a time while that many may go, leaving fewer.
    __attribute__((always_inline)) inline void flush_full(const kernel_args& a, window_hit* hits, scan_counts* counts)
    {
        firsts_.flush_full<false>(a, hits, counts, firsts_.waiting);
        seconds_.flush_full<true>(a, hits, counts, seconds_.ready(firsts_));
    }

    // The ones still waiting, one at a time.
    __attribute__((always_inline)) inline void finish(const kernel_args& a, window_hit* hits, scan_counts* counts)
    {
        firsts_.finish<false>(a, hits, counts);
        seconds_.finish<true>(a, hits, counts);
    }

private:
    // With `compare`, a candidate takes the hit's place only where takes_place says so;
    // without, it is the sequence's first and takes it.
    template <bool compare>
    __attribute__((always_inline)) static inline void settle(
        const kernel_args& a, window_hit& hit, int at, scan_product p)
    {
        if constexpr (compare) {
            // Without a branch: a second candidate beats the first about half the time.
            const bool better = takes_place(a, p, hit.max_rs);
            hit.max_rs = better ? p : hit.max_rs;
            hit.best_pos = better ? at : hit.best_pos;
        } else {
            hit.max_rs = p;
            hit.best_pos = at;
        }
    }

    struct waiting_list {
        // Fewer than `lanes` left from the last flush (or, for the seconds, held back by
        // as many firsts, each with up to most_per_sequence - 1), up to most_per_sequence per
        // sequence of a batch, and one more so that an add whose candidate is not kept has
        // room to write.
        static constexpr int capacity = most_per_sequence * (lanes + batch) + 1;
        std::size_t slot[capacity];
        const std::uint8_t* window[capacity];
        int at[capacity];
        int waiting = 0;

        __attribute__((always_inline)) inline void add(std::size_t s, const std::uint8_t* w, int n, bool keep)
        {
            slot[waiting] = s;
            window[waiting] = w;
            at[waiting] = n;
            waiting += keep;
        }

        // How many from the front have their sequence's first settled: those of sequences
        // before the first of `firsts` still waiting.
        __attribute__((always_inline)) inline int ready(const waiting_list& firsts) const
        {
            if (firsts.waiting == 0)
                return waiting;
            int n = 0;
            while (n < waiting && slot[n] < firsts.slot[0])
                ++n;
            return n;
        }

        template <bool compare>
        __attribute__((always_inline)) inline void flush_full(
            const kernel_args& a, window_hit* hits, scan_counts* counts, int may_go)
        {
            int j = 0;
            for (; j + lanes <= may_go; j += lanes)
                multiply_out<compare>(a, hits, j);
            if (counts != nullptr)
                counts->exact += j;
            for (int k = 0; j + k < waiting; ++k) {
                slot[k] = slot[j + k];
                window[k] = window[j + k];
                at[k] = at[j + k];
            }
            waiting -= j;
        }

        template <bool compare>
        __attribute__((always_inline)) inline void finish(const kernel_args& a, window_hit* hits, scan_counts* counts)
        {
            for (int j = 0; j < waiting; ++j) {
                settle<compare>(a, hits[slot[j]], at[j], exact_product(a, window[j]));
                if (counts != nullptr)
                    ++counts->exact;
            }
            waiting = 0;
        }

        // Candidates j to j + lanes - 1: the same multiplications as exact_product, in the
        // same order, for each window.
        template <bool compare>
        __attribute__((always_inline)) inline void multiply_out(const kernel_args& a, window_hit* hits, int j)
        {
            const std::uint8_t* const* w = window + j;
            scan_product p0 = a.q[w[0][0]];
            scan_product p1 = a.q[w[1][0]];
            scan_product p2 = a.q[w[2][0]];
            scan_product p3 = a.q[w[3][0]];
            scan_product p4 = a.q[w[4][0]];
            scan_product p5 = a.q[w[5][0]];
            for (int r = 1; r < a.width; ++r) {
                const float* row = a.q + static_cast<std::size_t>(r) * 5;
                const long c = r * a.code_step;
                p0 *= row[w[0][c]];
                p1 *= row[w[1][c]];
                p2 *= row[w[2][c]];
                p3 *= row[w[3][c]];
                p4 *= row[w[4][c]];
                p5 *= row[w[5][c]];
            }
            settle<compare>(a, hits[slot[j]], at[j], p0);
            settle<compare>(a, hits[slot[j + 1]], at[j + 1], p1);
            settle<compare>(a, hits[slot[j + 2]], at[j + 2], p2);
            settle<compare>(a, hits[slot[j + 3]], at[j + 3], p3);
            settle<compare>(a, hits[slot[j + 4]], at[j + 4], p4);
            settle<compare>(a, hits[slot[j + 5]], at[j + 5], p5);
        }
    };

    waiting_list firsts_;
    waiting_list seconds_;
};

// Lanes of a vector starting at window b that hold real windows.
inline std::uint32_t lanes_in(int b, int windows)
{
    const int left = windows - b;
    return left >= 32 ? 0xFFFFFFFFu : left <= 0 ? 0u : (std::uint32_t{1} << left) - 1;
}


// The kernels, each exactly best_window_exact's result for the tables of its path.
#if defined(__x86_64__)
#define TARNEL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,popcnt,bmi,bmi2")))
#define TARNEL_AVX2 __attribute__((target("avx2,popcnt,bmi")))
#define TARNEL_VBMI __attribute__((target("avx512f,avx512bw,avx512vl,avx512vbmi,popcnt,bmi,bmi2")))
// The 8-bit passes (scan_kernel_bytes.h), the same functions for each: three rows per
// lookup where the processor has AVX-512 VBMI (vpermb), two where it has AVX-512BW alone
// (vpshufb). The term indices of one are not the other's. Declared for each by
// TARNEL_BYTE_PASS(target):
//   best_window            one sequence;
//   best_windows           several: indices, each sequence's term indices (null where the
//                          8-bit pass cannot take it), or empty to have them made here;
//   best_windows_of_two    two motifs at once over a block's term indices (not empty):
//                          hits0[i] and hits1[i] exactly what best_windows gives each;
//   best_windows_both      both strands of one motif together (the tables of
//                          fast_scanner::share_byte_scale): for each sequence, given_hits[i]
//                          and reverse_hits[i], of which the better by reverse_wins is the
//                          best over both strands, the other maybe empty or not its strand's
//                          best; the reverse complement's offsets are still the given codes';
//   best_windows_both_two  two motifs on both strands (sets: the first's given and reverse
//                          complement tables, then the second's) over a block's term indices
//                          (not empty): hits[s][i] exactly what best_windows_both gives;
//   make_indices           the term indices of the n codes at c into t (codes past the end
//                          count as 0); false, with t unspecified, where the 8-bit pass cannot
//                          take them: an N among them (its tables leave N out) or more than
//                          byte_max_letters;
//   pad_indices            the index_pad bytes after the last sequence's term indices, read
//                          by lanes past its end.
#define TARNEL_BYTE_PASS(TARGET)                                                                                       \
    TARGET window_hit best_window(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts);     \
    TARGET void best_windows(const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs,                \
        std::span<const std::uint8_t* const> indices, window_hit* hits, scan_counts* counts);                          \
    TARGET void best_windows_of_two(const kernel_args& a0, const kernel_args& a1,                                      \
        std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,             \
        window_hit* hits0, window_hit* hits1, scan_counts* counts);                                                    \
    TARGET void best_windows_both(const kernel_args& given, const kernel_args& reverse,                                \
        std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,             \
        window_hit* given_hits, window_hit* reverse_hits, scan_counts* counts);                                        \
    TARGET void best_windows_both_two(const kernel_args(&sets)[4],                                                     \
        std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,             \
        window_hit* const(&hits)[4], scan_counts* counts);                                                             \
    TARGET bool make_indices(const std::uint8_t* c, long n, std::uint8_t* t);                                          \
    TARGET void pad_indices(std::uint8_t* t);
namespace vbmi {
TARNEL_BYTE_PASS(TARNEL_VBMI)
constexpr int term_rows = 3;
}  // namespace vbmi
namespace bytes {
TARNEL_BYTE_PASS(TARNEL_AVX512)
constexpr int term_rows = 2;
}  // namespace bytes
TARNEL_AVX512 window_hit scan_avx512(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts);
// Several sequences into the same entries of hits; faster than one call each.
TARNEL_AVX512 void scan_batch_avx512(
    const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs, window_hit* hits, scan_counts* counts);
TARNEL_AVX2 window_hit scan_avx2(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts);
// The 8-bit pass on AVX2 (the tables of bytes::, two rows a term), scan_avx2 where it
// cannot take a sequence.
TARNEL_AVX2 window_hit scan_avx2_bytes(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts);
// Several sequences into the same entries of hits; faster than one call each. indices:
// each sequence's pair indices (null where the 8-bit pass cannot take it), or empty to
// have them made here.
TARNEL_AVX2 void scan_batch_avx2_bytes(const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, window_hit* hits, scan_counts* counts);
// Two motifs at once over a block's pair indices (not empty), as bytes::best_windows_of_two
// gives them.
TARNEL_AVX2 void scan_batch_avx2_bytes_two(const kernel_args& a0, const kernel_args& a1,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* hits0, window_hit* hits1, scan_counts* counts);
// Both strands of one motif together (the tables of fast_scanner::share_byte_scale), as
// bytes::best_windows_both gives them.
TARNEL_AVX2 void scan_batch_avx2_bytes_both(const kernel_args& given, const kernel_args& reverse,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* given_hits, window_hit* reverse_hits, scan_counts* counts);
// The pair indices 4 c[p] + c[p + 1] of the n codes at c into t, as bytes::make_indices
// makes them, and up to 31 more bytes after them; false where the 8-bit pass cannot take
// the codes.
TARNEL_AVX2 bool make_pair_indices_avx2(const std::uint8_t* c, long n, std::uint8_t* t);
// The index_pad bytes after the last sequence's pair indices.
TARNEL_AVX2 void pad_pair_indices_avx2(std::uint8_t* t);
#endif
#if defined(__aarch64__)
window_hit scan_neon(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts);
#endif

}  // namespace scan_kernel
