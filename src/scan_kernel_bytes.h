// The 8-bit pass of the scan: 8-bit penalties, 64 windows per vector, the rows of a motif
// looked up term_rows (scan_kernels.h) at a time from one table register. Included by the
// file of each instruction set that runs it (scan_kernel_vbmi.cpp: three rows, by vpermb;
// scan_kernel_bytes.cpp: two, by vpshufb), which first defines look_up(table, at), the 64
// entries of `table` that the 64 term indices at `at` select, in its namespace
// TARNEL_BYTES_NAMESPACE of scan_kernel, and the macros TARNEL_BYTES (the functions'
// target) and TARNEL_LOOK_UP(table, index, out), the same lookup as an instruction of the
// asm below.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdlib>
#include <immintrin.h>
#include <utility>

#include "scan_kernels.h"

namespace scan_kernel {
namespace TARNEL_BYTES_NAMESPACE {

namespace {

// For the lambdas that hold vectors: GCC may leave such a lambda a call, its vectors
// passed through memory.
#define TARNEL_BYTES_INLINE TARNEL_BYTES __attribute__((always_inline))

// ---- Term indices ----
//
// With R = term_rows, window n's term k is looked up by the term index made of the codes
// c[n + Rk] to c[n + Rk + R - 1], two bits each, the first the highest (16 c[n + 3k] +
// 4 c[n + 3k + 1] + c[n + 3k + 2] for three rows, 4 c[n + 2k] + c[n + 2k + 1] for two),
// which depends on n + Rk alone: one array of the sequence's term indices serves every
// window and every term, and 64 of them loaded from n + Rk are the term's indices of
// windows n to n + 63. Codes past the sequence's end count as 0; only rows past the
// motif's width read them, and their tables ignore them.

// ---- The 8-bit pass ----

// A hit made empty (no window, product 0) by one vector store: assigned `{}`, its long
// double went through the x87 stack, and the 80-bit store took about 2% of the scan.
TARNEL_BYTES inline void clear_hit(window_hit& hit)
{
    static_assert(sizeof(window_hit) == 32 && offsetof(window_hit, best_pos) == 0 &&
        offsetof(window_hit, max_rs) == 16 && sizeof(scan_product) == 16);
    // best_pos -1, then the product's bits (zero, the value 0) and the padding.
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(&hit), _mm256_setr_epi32(-1, 0, 0, 0, 0, 0, 0, 0));
}

// Vectors of windows of the longest sequence the pass takes.
constexpr int max_vectors = static_cast<int>((byte_max_letters + 63) / 64);

// A mask of the first `count` bytes of a vector (none for a count below 0, all from 64).
TARNEL_BYTES inline std::uint64_t first_bytes(long count)
{
    return _bzhi_u64(~0ULL, static_cast<unsigned>(std::clamp(count, 0L, 64L)));
}

// Real-window lanes of the vector of windows b to b + 63.
TARNEL_BYTES inline std::uint64_t lanes64(int b, int windows)
{
    return first_bytes(static_cast<long>(windows) - b);
}

// One term's lookups (its table in one register) for the vectors V... of windows whose
// term indices are at t: they set the sums for the first term (a width is at least 1;
// zeroing the sums first would go through memory) and are added to them for the others.
template <bool first, std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void add_term(
    __m512i table, const std::uint8_t* t, __m512i* sum, std::index_sequence<V...>)
{
    if constexpr (first)
        ((sum[V] = look_up(table, t + 64 * V)), ...);
    else
        ((sum[V] = _mm512_adds_epu8(sum[V], look_up(table, t + 64 * V))), ...);
}

// What the asm below reads, declared as a byte array: as a vector type, even one declared
// unaligned, the sanitizer takes it to need 64-byte alignment.
struct bytes64 {
    std::uint8_t b[64];
};

// The same for two table sets, whose lookups share each load of the indices. Written
// out, since GCC 12 loaded each index again for the second set, or stored it to memory
// and back, and copied every sum to another register once per term.
template <bool first, std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void add_terms(
    __m512i table0, __m512i table1, const std::uint8_t* t, __m512i* sum0, __m512i* sum1, std::index_sequence<V...>)
{
    // The sums as values in and out: asm operands made of the arrays' elements kept the
    // arrays in memory.
    const auto add = [&](const std::uint8_t* at, __m512i& sum0_v, __m512i& sum1_v) TARNEL_BYTES_INLINE {
        const auto& indices = *reinterpret_cast<const bytes64*>(at);
        __m512i x;
        if constexpr (first) {
            __m512i s0;
            __m512i s1;
            // clang-format off
            asm("vmovdqu64 %[at], %[x]\n\t"
                TARNEL_LOOK_UP("t0", "x", "s0") "\n\t"
                TARNEL_LOOK_UP("t1", "x", "s1")
                : [s0] "=&v"(s0), [s1] "=v"(s1), [x] "=&v"(x)
                : [at] "m"(indices), [t0] "v"(table0), [t1] "v"(table1));
            // clang-format on
            sum0_v = s0;
            sum1_v = s1;
        } else {
            __m512i s0 = sum0_v;
            __m512i s1 = sum1_v;
            __m512i y;
            // clang-format off
            asm("vmovdqu64 %[at], %[x]\n\t"
                TARNEL_LOOK_UP("t0", "x", "y") "\n\t"
                TARNEL_LOOK_UP("t1", "x", "x") "\n\t"
                "vpaddusb %[y], %[s0], %[s0]\n\t"
                "vpaddusb %[x], %[s1], %[s1]"
                : [s0] "+v"(s0), [s1] "+v"(s1), [x] "=&v"(x), [y] "=&v"(y)
                : [at] "m"(indices), [t0] "v"(table0), [t1] "v"(table1));
            // clang-format on
            sum0_v = s0;
            sum1_v = s1;
        }
    };
    (add(t + 64 * V, sum0[V], sum1[V]), ...);
}

// The same for four table sets (two motifs' strands), written out for the same reasons.
template <bool first, std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void add_terms(const __m512i (&table)[4], const std::uint8_t* t,
    __m512i* sum0, __m512i* sum1, __m512i* sum2, __m512i* sum3, std::index_sequence<V...>)
{
    const auto add = [&](const std::uint8_t* at, __m512i& sum0_v, __m512i& sum1_v, __m512i& sum2_v,
                         __m512i& sum3_v) TARNEL_BYTES_INLINE {
        const auto& indices = *reinterpret_cast<const bytes64*>(at);
        __m512i x;
        __m512i s0;
        __m512i s1;
        __m512i s2;
        __m512i s3;
        if constexpr (first) {
            // clang-format off
            asm("vmovdqu64 %[at], %[x]\n\t"
                TARNEL_LOOK_UP("t0", "x", "s0") "\n\t"
                TARNEL_LOOK_UP("t1", "x", "s1") "\n\t"
                TARNEL_LOOK_UP("t2", "x", "s2") "\n\t"
                TARNEL_LOOK_UP("t3", "x", "s3")
                : [s0] "=&v"(s0), [s1] "=&v"(s1), [s2] "=&v"(s2), [s3] "=v"(s3), [x] "=&v"(x)
                : [at] "m"(indices), [t0] "v"(table[0]), [t1] "v"(table[1]), [t2] "v"(table[2]), [t3] "v"(table[3]));
            // clang-format on
        } else {
            s0 = sum0_v;
            s1 = sum1_v;
            s2 = sum2_v;
            s3 = sum3_v;
            __m512i y;
            // clang-format off
            asm("vmovdqu64 %[at], %[x]\n\t"
                TARNEL_LOOK_UP("t0", "x", "y") "\n\t"
                "vpaddusb %[y], %[s0], %[s0]\n\t"
                TARNEL_LOOK_UP("t1", "x", "y") "\n\t"
                "vpaddusb %[y], %[s1], %[s1]\n\t"
                TARNEL_LOOK_UP("t2", "x", "y") "\n\t"
                "vpaddusb %[y], %[s2], %[s2]\n\t"
                TARNEL_LOOK_UP("t3", "x", "x") "\n\t"
                "vpaddusb %[x], %[s3], %[s3]"
                : [s0] "+v"(s0), [s1] "+v"(s1), [s2] "+v"(s2), [s3] "+v"(s3), [x] "=&v"(x), [y] "=&v"(y)
                : [at] "m"(indices), [t0] "v"(table[0]), [t1] "v"(table[1]), [t2] "v"(table[2]), [t3] "v"(table[3]));
            // clang-format on
        }
        sum0_v = s0;
        sum1_v = s1;
        sum2_v = s2;
        sum3_v = s3;
    };
    (add(t + 64 * V, sum0[V], sum1[V], sum2[V], sum3[V]), ...);
}

// Penalties of the vectors V... of windows from the one whose term index is at t. The
// vectors are a pack, not a loop's index, so that the sums can stay in registers: indexed by
// a loop, the array is kept in memory and copied in and out of registers around the loop.
template <std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void score(
    const kernel_args& a, const std::uint8_t* t, __m512i* sum, std::index_sequence<V...> vs)
{
    const __m512i* table = reinterpret_cast<const __m512i*>(a.byte_table);
    add_term<true>(_mm512_load_si512(table), t, sum, vs);
    for (int k = 1; k < a.byte_terms; ++k)
        add_term<false>(_mm512_load_si512(table + k), t + term_rows * k, sum, vs);
}

// The same for two sequences at once, ts[0] and ts[1], of as many vectors: each term's
// table is loaded once for both, and the two chains of additions overlap.
template <std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void score_two(const kernel_args& a, const std::uint8_t* const* ts,
    __m512i* sum0, __m512i* sum1, std::index_sequence<V...> vs)
{
    const __m512i* table = reinterpret_cast<const __m512i*>(a.byte_table);
    const __m512i first = _mm512_load_si512(table);
    add_term<true>(first, ts[0], sum0, vs);
    add_term<true>(first, ts[1], sum1, vs);
    for (int k = 1; k < a.byte_terms; ++k) {
        const __m512i term = _mm512_load_si512(table + k);
        add_term<false>(term, ts[0] + term_rows * k, sum0, vs);
        add_term<false>(term, ts[1] + term_rows * k, sum1, vs);
    }
}

// The tables a pass scores from one sequence's term indices, each with the hits and the
// queue its candidates go to: one motif's on the given strand, or two or four sets. With
// one_best, sets 2j and 2j + 1 are one motif's strands (the reverse complement's tables
// read the same indices), which share one scale and one best; without, two motifs, each
// flagged against its own best. Two motifs' widths (and so term counts) may differ.
template <int S, bool one_best = (S == 2)>
struct strands {
    const kernel_args* a[S];
    window_hit* hits[S];
    candidate_queue* queue[S];
};

// f(s) for each strand s of S, s a constant: indexed by a loop's variable, arrays of
// vectors would be kept in memory.
template <int S, typename F>
TARNEL_BYTES __attribute__((always_inline)) inline void each_strand(F f)
{
    f(std::integral_constant<int, 0>());
    if constexpr (S >= 2)
        f(std::integral_constant<int, 1>());
    if constexpr (S == 4) {
        f(std::integral_constant<int, 2>());
        f(std::integral_constant<int, 3>());
    }
}

// Whether a pass's table sets may end their windows in different vectors: two motifs'.
template <int S, bool B>
constexpr bool ragged_sets = S == 4 || (S == 2 && !B);

// Where penalties are kept in memory, the windows are first flagged by row: a row is a set,
// or a motif where its two strands share a threshold. There the row's penalty is the lower
// of its strands', which the threshold flags wherever it flags either strand's.
template <int S, bool B>
constexpr int penalty_rows = B ? S / 2 : S;

// The first set of row p.
template <bool B>
constexpr int first_set(int p)
{
    return B ? 2 * p : p;
}

// The penalties of two motifs' strands (sets 0 and 1 the first motif's, 2 and 3 the
// second's): the terms both motifs have from one load for all four sets, then the wider
// one's own for its two.
template <std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void score(const strands<4, true>& st, const std::uint8_t* t,
    __m512i* sum0, __m512i* sum1, __m512i* sum2, __m512i* sum3, std::index_sequence<V...> vs)
{
    const __m512i* table[4];
    for (int s = 0; s < 4; ++s)
        table[s] = reinterpret_cast<const __m512i*>(st.a[s]->byte_table);
    const auto tables_at = [&](int k, __m512i(&now)[4]) TARNEL_BYTES_INLINE {
        now[0] = _mm512_load_si512(table[0] + k);
        now[1] = _mm512_load_si512(table[1] + k);
        now[2] = _mm512_load_si512(table[2] + k);
        now[3] = _mm512_load_si512(table[3] + k);
    };
    const int terms[2] = {st.a[0]->byte_terms, st.a[2]->byte_terms};
    __m512i now[4];
    tables_at(0, now);
    add_terms<true>(now, t, sum0, sum1, sum2, sum3, vs);
    int k = 1;
    for (; k < std::min(terms[0], terms[1]); ++k) {
        tables_at(k, now);
        add_terms<false>(now, t + term_rows * k, sum0, sum1, sum2, sum3, vs);
    }
    for (int j = k; j < terms[0]; ++j)
        add_terms<false>(
            _mm512_load_si512(table[0] + j), _mm512_load_si512(table[1] + j), t + term_rows * j, sum0, sum1, vs);
    for (int j = k; j < terms[1]; ++j)
        add_terms<false>(
            _mm512_load_si512(table[2] + j), _mm512_load_si512(table[3] + j), t + term_rows * j, sum2, sum3, vs);
}

// The penalties of every table set of st, from one load of each term index the sets
// share; the terms of the wider of two motifs are added alone.
template <int S, bool B, std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void score(
    const strands<S, B>& st, const std::uint8_t* t, __m512i (&sum)[S][sizeof...(V)], std::index_sequence<V...> vs)
{
    if constexpr (S == 4) {
        score(st, t, sum[0], sum[1], sum[2], sum[3], vs);
    } else if constexpr (S == 1) {
        score(*st.a[0], t, sum[0], vs);
    } else {
        const __m512i* first = reinterpret_cast<const __m512i*>(st.a[0]->byte_table);
        const __m512i* second = reinterpret_cast<const __m512i*>(st.a[1]->byte_table);
        const int terms[2] = {st.a[0]->byte_terms, st.a[1]->byte_terms};
        add_terms<true>(_mm512_load_si512(first), _mm512_load_si512(second), t, sum[0], sum[1], vs);
        int k = 1;
        for (; k < std::min(terms[0], terms[1]); ++k)
            add_terms<false>(
                _mm512_load_si512(first + k), _mm512_load_si512(second + k), t + term_rows * k, sum[0], sum[1], vs);
        if constexpr (!B) {
            for (int j = k; j < terms[0]; ++j)
                add_term<false>(_mm512_load_si512(first + j), t + term_rows * j, sum[0], vs);
            for (int j = k; j < terms[1]; ++j)
                add_term<false>(_mm512_load_si512(second + j), t + term_rows * j, sum[1], vs);
        }
    }
}

// Vectors v0 to v0 + G - 1 of each table set's penalties into pen[s], and the lowest lanes
// of each row into low[p]. With `ends`, the group holds lanes past a set's windows: in the
// sequence's last vector for one motif or its strands, and in any of the group's vectors
// for two motifs (on one strand or both).
template <int G, bool ends, int S, bool B>
TARNEL_BYTES_INLINE inline void score_into(const strands<S, B>& st, const std::uint8_t* t, int v0, const int* windows,
    std::uint8_t (*pen)[max_vectors * 64], __m512i (&low)[penalty_rows<S, B>])
{
    __m512i sum[S][G];
    score(st, t + 64 * v0, sum, std::make_index_sequence<G>());
    // Vector v of row p, both constants: a loop over the vectors, left rolled where its body
    // grew (four sets, lanes past their windows), kept the sums in memory, stored after
    // every term.
    const auto one = [&](auto p, auto v) TARNEL_BYTES_INLINE {
        constexpr int s = first_set<B>(p);
        __m512i row = sum[s][v];
        _mm512_store_si512(reinterpret_cast<__m512i*>(pen[s] + 64 * (v0 + v)), row);
        if constexpr (B) {
            _mm512_store_si512(reinterpret_cast<__m512i*>(pen[s + 1] + 64 * (v0 + v)), sum[s + 1][v]);
            row = _mm512_min_epu8(row, sum[s + 1][v]);
        }
        // Two motifs' last windows may lie in different vectors, and in different
        // groups of them: there, each vector's lanes are those of its own windows.
        if (ends && (ragged_sets<S, B> || v == G - 1))
            low[p] = _mm512_mask_min_epu8(low[p], lanes64(64 * (v0 + v), windows[s]), low[p], row);
        else
            low[p] = _mm512_min_epu8(low[p], row);
    };
    each_strand<penalty_rows<S, B>>([&](auto p) TARNEL_BYTES_INLINE {
        [&]<std::size_t... V>(std::index_sequence<V...>) TARNEL_BYTES_INLINE {
            (one(p, std::integral_constant<int, V>()), ...);
        }(std::make_index_sequence<G>());
    });
}

// Window n's penalty in the 16-bit pass's pair tables (whose sums never saturate). An odd
// width's last row stands alone: the code after it, which may lie past the end, counts as 0.
inline unsigned pair_penalty(const kernel_args& a, const std::uint8_t* codes, std::size_t size, long n)
{
    const std::uint8_t* c = codes + n;
    const int pairs = a.width / 2;  // terms whose two codes lie inside every window
    unsigned sum = 0;
    for (int k = 0; k < pairs; ++k)
        sum += a.pair_table[static_cast<std::size_t>(k) * 32 + 5u * c[2 * k] + c[2 * k + 1]];
    if (pairs < a.terms) {
        const std::size_t next = static_cast<std::size_t>(n) + 2 * static_cast<std::size_t>(pairs) + 1;
        sum +=
            a.pair_table[static_cast<std::size_t>(pairs) * 32 + 5u * c[2 * pairs] + (next < size ? codes[next] : 0u)];
    }
    return sum;
}


// Three or more flagged windows of one sequence (3.6% of the 500 bp workload's motif x
// sequence pairs): first narrowed to those within the 16-bit margin of the lowest 16-bit
// penalty among them. The first few are listed with their penalties in one pass over the
// masks, whose branches mispredict, and the survivors taken from the list; more than that
// are worked out again in a second pass. Out of line, so that the common case's code
// stays small; not marked cold, which compiled it for size and left pair_penalty a call.
TARNEL_BYTES __attribute__((noinline)) void take_many(const kernel_args& a, std::span<const std::uint8_t> codes,
    std::uint64_t* masks, int vectors, window_hit* hits, std::size_t slot, candidate_queue& queue, scan_counts* counts)
{
    constexpr int kept = 32;
    long at[kept];
    unsigned pen16[kept];
    unsigned low16 = ~0u;
    int n = 0;
    for (int v = 0; v < vectors; ++v)
        for (std::uint64_t m = masks[v]; m != 0; m &= m - 1, ++n) {
            const long w = 64L * v + __builtin_ctzll(m);
            const unsigned p = pair_penalty(a, codes.data(), codes.size(), w);
            if (n < kept) {
                at[n] = w;
                pen16[n] = p;
            }
            low16 = std::min(low16, p);
        }
    if (n <= kept) {
        // Nearly always a single survivor; several are evaluated in window order.
        int survivors = 0;
        long only = 0;
        for (int i = 0; i < n; ++i) {
            const bool keep = pen16[i] <= low16 + a.margin;
            survivors += keep;
            only = keep ? at[i] : only;
        }
        if (survivors == 1) {
            queue.add(a, slot, codes.data(), only, true);
            return;
        }
        for (int i = 0; i < n; ++i)
            if (pen16[i] <= low16 + a.margin)
                consider(hits[slot], a, codes.data(), at[i], counts);
        return;
    }
    int i = 0;
    for (int v = 0; v < vectors; ++v)
        for (std::uint64_t m = masks[v]; m != 0; m &= m - 1, ++i) {
            const unsigned p =
                i < kept ? pen16[i] : pair_penalty(a, codes.data(), codes.size(), 64L * v + __builtin_ctzll(m));
            if (p > low16 + a.margin)
                masks[v] &= ~(m & -m);
        }
    long first = 0;
    if (count_candidates(masks, vectors, first) == 1) {
        queue.add(a, slot, codes.data(), first, true);
        return;
    }
    evaluate_all(hits[slot], a, codes.data(), masks, vectors, 0, counts);
}

// Where one sequence's flagged windows go (masks, `vectors` of them; bit i of masks[v]:
// window 64 v + i), once the lowest penalty is known. One or two (nearly all sequences)
// go to the queue as they are, found without a branch on where they lie; more go to
// take_many. Only with both strands scored together may a strand have none flagged
// (`may_be_empty`): its hit is then left empty, again without a branch, since which
// strand holds the best is anyone's guess.
//
// The caller counts the flagged windows as it makes the masks (flag_count), which saves a
// second pass over them.
struct flag_count {
    int flagged = 0;
    std::uint64_t any = 0;  // the vectors holding any (the first 64)

    TARNEL_BYTES void add(std::uint64_t mask, int v)
    {
        flagged += __builtin_popcountll(mask);
        any |= static_cast<std::uint64_t>(mask != 0) << (v & 63);
    }
};

template <bool may_be_empty>
TARNEL_BYTES inline void take(const kernel_args& a, std::span<const std::uint8_t> codes, std::uint64_t* masks,
    int vectors, flag_count count, window_hit* hits, std::size_t slot, candidate_queue& queue, scan_counts* counts)
{
    // The first and last vectors holding any hold the first and last flagged window.
    const int flagged = count.flagged;
    std::uint64_t any = count.any;
    long first = 0;
    long last = 0;
    const bool near = vectors <= 64;
    if (near) {
        // None flagged: vector 0, whose empty mask counts as its last window's and first's.
        if constexpr (may_be_empty)
            any |= static_cast<std::uint64_t>(flagged == 0);
        const int v0 = __builtin_ctzll(any);
        const int v1 = 63 - __builtin_clzll(any);
        first = 64L * v0 + __builtin_ctzll(masks[v0] | (may_be_empty ? std::uint64_t{1} << 63 : 0));
        last = 64L * v1 + 63 - __builtin_clzll(masks[v1] | std::uint64_t{may_be_empty});
        if constexpr (may_be_empty)
            first = flagged == 0 ? 0 : first;
    } else {
        count_candidates(masks, vectors, first);
    }
    if (counts != nullptr)
        counts->flagged += flagged;
    clear_hit(hits[slot]);
    if (flagged <= (near ? 2 : 1)) {
        queue.add(a, slot, codes.data(), first, !may_be_empty || flagged != 0);
        queue.add(a, slot, codes.data(), last, flagged == 2, true);
        return;
    }
    take_many(a, codes, masks, vectors, hits, slot, queue, counts);
}

// The lowest of 64 bytes, in registers.
TARNEL_BYTES inline unsigned lowest_of(__m512i v)
{
    // The zero-masked forms: GCC 12 warns on the plain ones, which start from an undefined vector.
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(0xFF, v, v, 0x4E));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(0xFF, v, v, 0xB1));
    __m128i q = _mm512_maskz_extracti32x4_epi32(0xF, v, 0);
    q = _mm_min_epu8(q, _mm_srli_epi16(q, 8));  // each 16-bit lane's low byte: the lower of its two
    q = _mm_and_si128(q, _mm_set1_epi16(0xFF));
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_minpos_epu16(q))) & 0xFFu;
}

TARNEL_BYTES window_hit rescan(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    if (counts != nullptr)
        ++counts->rescanned;
    return scan_avx512(a, codes, counts);
}

// The penalty at or below which each row's windows of a sequence are flagged, its lowest
// lanes being low[p]; or 0, where that would pass what 8 bits tell, once the row's sets
// have been scanned again by the 16-bit pass.
template <int S, bool B>
TARNEL_BYTES inline void thresholds_or_rescan(const strands<S, B>& st, std::span<const std::uint8_t> codes,
    const __m512i (&low)[penalty_rows<S, B>], unsigned (&threshold)[penalty_rows<S, B>], std::size_t slot,
    scan_counts* counts)
{
    for (int p = 0; p < penalty_rows<S, B>; ++p) {
        const int s = first_set<B>(p);
        threshold[p] = lowest_of(low[p]) + st.a[s]->byte_margin;
        if (threshold[p] <= 254)
            continue;
        for (int r = s; r < s + (B ? 2 : 1); ++r)
            st.hits[r][slot] = rescan(*st.a[r], codes, counts);
        threshold[p] = 0;
    }
}

// Lane by lane, the lowest of vectors B to B + N - 1: as a tree, since the sequence's
// lowest penalty waits on it.
template <int B, int N>
TARNEL_BYTES __attribute__((always_inline)) inline __m512i lowest_lanes(const __m512i* v)
{
    if constexpr (N == 1)
        return v[B];
    else
        return _mm512_min_epu8(lowest_lanes<B, N / 2>(v), lowest_lanes<B + N / 2, N - N / 2>(v));
}

// The lowest of 64 bytes, in every byte: kept in a vector, the threshold it sets needs no
// trip through a general register and back. (The zero-masked forms, as in lowest_of.)
TARNEL_BYTES inline __m512i lowest_everywhere(__m512i v)
{
    const __mmask16 all = 0xFFFF;
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(0xFF, v, v, 0x4E));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(0xFF, v, v, 0xB1));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_epi32(all, v, _MM_PERM_BADC));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_epi32(all, v, _MM_PERM_CDAB));
    v = _mm512_min_epu8(v, _mm512_maskz_rol_epi32(all, v, 16));
    return _mm512_min_epu8(v, _mm512_maskz_rol_epi32(all, v, 8));
}

// The same for two vectors at once, a's lowest into every byte of la and b's into lb: a's
// and b's 256-bit halves are folded into one vector, so that one chain of steps serves both.
TARNEL_BYTES inline void lowest_everywhere(__m512i a, __m512i b, __m512i& la, __m512i& lb)
{
    const __mmask8 all8 = 0xFF;
    const __mmask16 all = 0xFFFF;
    // a's lowest 32 lanes by halves in the low 256 bits, b's in the high 256.
    __m512i v =
        _mm512_min_epu8(_mm512_maskz_shuffle_i64x2(all8, a, b, 0x44), _mm512_maskz_shuffle_i64x2(all8, a, b, 0xEE));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(all8, v, v, 0xB1));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_epi32(all, v, _MM_PERM_BADC));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_epi32(all, v, _MM_PERM_CDAB));
    v = _mm512_min_epu8(v, _mm512_maskz_rol_epi32(all, v, 16));
    v = _mm512_min_epu8(v, _mm512_maskz_rol_epi32(all, v, 8));
    la = _mm512_maskz_shuffle_i64x2(all8, v, v, 0x00);
    lb = _mm512_maskz_shuffle_i64x2(all8, v, v, 0xAA);
}

// What the vector work leaves of a sequence of at most 8 vectors of windows, for the
// choices that hang on it: the windows each strand flags (bit i of masks[s][v]: window
// 64 v + i), or that the 16-bit pass must scan it again. `vectors` 0: a sequence the
// vector work did not take.
//
// A batch of sequences is first scored and flagged, then taken: done per sequence, the
// branches on its flags wait for its whole scoring and stall the next sequence's, and a
// call on the rare paths in between keeps the other sequence's sums in memory.
template <int S>
struct flagged_windows {
    std::uint64_t masks[S][8];
    int vectors;
    int windows[S];  // each table set's (two motifs' widths may differ)
    bool again[S];   // lowest + margin passes 254
};

// Flags the windows of a sequence of sizeof...(V) vectors, whose penalties for each table
// set of st `sum` holds and which has windows[s] windows for set s (in the last vector or
// the one before), into out. One motif's two strands share one scale and one best
// (fast_scan.cpp): the lowest of either sets the threshold for both. Two motifs are each
// judged against their own lowest. A threshold, lowest + margin, is added with saturation,
// so that it reads 255 exactly where it passes 254.
template <int S, bool B, std::size_t... V>
TARNEL_BYTES __attribute__((always_inline)) inline void flag_windows(const strands<S, B>& st,
    const __m512i (&sum)[S][sizeof...(V)], const int* windows, flagged_windows<S>& out, std::index_sequence<V...>)
{
    constexpr int G = sizeof...(V);
    // Two motifs' windows may end in neighbouring vectors: for the narrower one, the last
    // holds more windows than for the other, or the one before does. Earlier vectors are
    // whole for both.
    constexpr bool ragged = S == 2 && !B;
    const __m512i none = _mm512_set1_epi8(-1);
    const auto limit_at = [&](__m512i low, int s) TARNEL_BYTES_INLINE {
        return _mm512_adds_epu8(lowest_everywhere(low), _mm512_set1_epi8(static_cast<char>(st.a[s]->byte_margin)));
    };
    __m512i limit[S];
    if constexpr (B) {
        const std::uint64_t last = lanes64(64 * (G - 1), windows[0]);
        __m512i low = _mm512_mask_min_epu8(none, last, sum[0][G - 1], sum[1][G - 1]);
        if constexpr (G > 1) {
            low = _mm512_min_epu8(lowest_lanes<0, G - 1>(sum[0]), low);
            low = _mm512_min_epu8(lowest_lanes<0, G - 1>(sum[1]), low);
        }
        limit[0] = limit[1] = limit_at(low, 0);
    } else {
        __m512i low[S];
        each_strand<S>([&](auto s) TARNEL_BYTES_INLINE {
            low[s] = _mm512_mask_mov_epi8(none, lanes64(64 * (G - 1), windows[s]), sum[s][G - 1]);
            if constexpr (ragged && G > 1) {
                low[s] = _mm512_mask_min_epu8(low[s], lanes64(64 * (G - 2), windows[s]), low[s], sum[s][G - 2]);
                if constexpr (G > 2)
                    low[s] = _mm512_min_epu8(lowest_lanes<0, G - 2>(sum[s]), low[s]);
            } else if constexpr (G > 1) {
                low[s] = _mm512_min_epu8(lowest_lanes<0, G - 1>(sum[s]), low[s]);
            }
        });
        if constexpr (S == 2) {
            __m512i lowest[2];
            lowest_everywhere(low[0], low[1], lowest[0], lowest[1]);
            each_strand<S>([&](auto s) TARNEL_BYTES_INLINE {
                limit[s] = _mm512_adds_epu8(lowest[s], _mm512_set1_epi8(static_cast<char>(st.a[s]->byte_margin)));
            });
        } else {
            each_strand<S>([&](auto s) TARNEL_BYTES_INLINE { limit[s] = limit_at(low[s], s); });
        }
    }
    out.vectors = G;
    each_strand<S>([&](auto s) TARNEL_BYTES_INLINE {
        out.windows[s] = windows[s];
        out.again[s] = (_mm512_cmpeq_epi8_mask(limit[s], none) & 1) != 0;
        ((out.masks[s][V] = _mm512_cmple_epu8_mask(sum[s][V], limit[s])), ...);
        out.masks[s][G - 1] &= lanes64(64 * (G - 1), windows[s]);
        if constexpr (ragged && G > 1)
            out.masks[s][G - 2] &= lanes64(64 * (G - 2), windows[s]);
    });
}

// Where the windows flag_windows flagged in sequence `slot` go: as take, with the common
// case (one or two flagged windows) found from a single test of all the masks.
template <int S, bool B>
TARNEL_BYTES inline void take_flagged(const strands<S, B>& st, std::span<const std::uint8_t> codes,
    flagged_windows<S>& f, std::size_t slot, scan_counts* counts)
{
    for (int s = 0; s < S; ++s) {
        if (f.again[s]) {
            st.hits[s][slot] = rescan(*st.a[s], codes, counts);
            continue;
        }
        if (counts != nullptr)
            counts->windows += f.windows[s];
        std::uint64_t* masks = f.masks[s];
        const __m512i m = _mm512_maskz_loadu_epi64(static_cast<__mmask8>((1u << f.vectors) - 1), masks);
        const unsigned any = _mm512_test_epi64_mask(m, m);
        // Nearly always (96% of the 500-letter workload's motif x sequence pairs): one or
        // two flagged windows (or none, only where both strands are scanned together), in
        // the first and last vectors holding any. Two lie in two vectors more often than
        // in one, so that case is taken here too, without a branch.
        const int v0 = static_cast<int>(_tzcnt_u32(any) & 7);  // 0 for none
        const int v1 = 31 - __builtin_clz(any | 1);            // 0 for none
        const std::uint64_t low = masks[v0];
        const std::uint64_t high = masks[v1];
        const int flagged = __builtin_popcountll(low) + (v1 != v0 ? __builtin_popcountll(high) : 0);
        if (__builtin_popcount(any) <= 2 && flagged <= 2) {
            if (counts != nullptr)
                counts->flagged += flagged;
            clear_hit(st.hits[s][slot]);
            const long first = 64L * v0 + __builtin_ctzll(low | std::uint64_t{1} << 63);
            const long last = 64L * v1 + 63 - __builtin_clzll(high | 1);
            st.queue[s]->add(*st.a[s], slot, codes.data(), first, flagged != 0);
            st.queue[s]->add(*st.a[s], slot, codes.data(), last, flagged == 2, true);
            continue;
        }
        flag_count count;
        for (int v = 0; v < f.vectors; ++v)
            count.add(masks[v], v);
        take<(S > 1 && B)>(*st.a[s], codes, masks, f.vectors, count, st.hits[s], slot, *st.queue[s], counts);
    }
}

// A sequence of sizeof...(V) vectors of windows, its penalties kept in registers.
template <int S, bool B, std::size_t... V>
TARNEL_BYTES void short_pass(const strands<S, B>& st, const std::uint8_t* t, const int* windows,
    flagged_windows<S>& out, std::index_sequence<V...> vs)
{
    __m512i sum[S][sizeof...(V)];
    score(st, t, sum, vs);
    flag_windows(st, sum, windows, out, vs);
}

// Two sequences, both of sizeof...(V) vectors of windows, scored together: one
// sequence's scoring alone leaves the processor waiting on its chain of additions, which
// the other's fills.
template <std::size_t... V>
TARNEL_BYTES void short_pass_two(const strands<1>& st, const std::uint8_t* const* ts, const int* windows,
    flagged_windows<1>* out, std::index_sequence<V...> vs)
{
    __m512i sum0[1][sizeof...(V)];
    __m512i sum1[1][sizeof...(V)];
    score_two(*st.a[0], ts, sum0[0], sum1[0], vs);
    flag_windows(st, sum0, windows, out[0], vs);
    flag_windows(st, sum1, windows + 1, out[1], vs);
}

// A longer one, its penalties kept in memory; windows[s] windows for table set s.
template <int S, bool B>
TARNEL_BYTES void long_pass(const strands<S, B>& st, std::span<const std::uint8_t> codes, const std::uint8_t* t,
    const int* windows, std::size_t slot, scan_counts* counts)
{
    constexpr int R = penalty_rows<S, B>;
    const int most = *std::max_element(windows, windows + S);
    const int vectors = (most + 63) / 64;
    alignas(64) std::uint8_t pen[S][max_vectors * 64];
    __m512i low[R];
    for (__m512i& l : low)
        l = _mm512_set1_epi8(-1);
    // Vectors whose lanes are all windows for every table set.
    const int whole = *std::min_element(windows, windows + S) / 64;
    int v = 0;
    for (; v + 4 < vectors; v += 4)
        if (v + 4 <= whole)
            score_into<4, false>(st, t, v, windows, pen, low);
        else
            score_into<4, true>(st, t, v, windows, pen, low);
    switch (vectors - v) {
    case 4:
        score_into<4, true>(st, t, v, windows, pen, low);
        break;
    case 3:
        score_into<3, true>(st, t, v, windows, pen, low);
        break;
    case 2:
        score_into<2, true>(st, t, v, windows, pen, low);
        break;
    default:
        score_into<1, true>(st, t, v, windows, pen, low);
        break;
    }
    unsigned threshold[R];
    thresholds_or_rescan(st, codes, low, threshold, slot, counts);
    // Each row's flags, counted as they are made; a row of one set holds that set's.
    std::uint64_t flagged[R][max_vectors];
    flag_count row_count[R];
    for (int p = 0; p < R; ++p) {
        if (threshold[p] == 0)
            continue;
        const int s = first_set<B>(p);
        const __m512i limit = _mm512_set1_epi8(static_cast<char>(threshold[p]));
        flag_count count;  // a local: kept in registers
        for (int u = 0; u < vectors; ++u) {
            const std::uint64_t lanes = u < whole ? ~std::uint64_t{0} : lanes64(64 * u, windows[s]);
            __m512i row = _mm512_load_si512(reinterpret_cast<const __m512i*>(pen[s] + 64 * u));
            if constexpr (B)
                row = _mm512_min_epu8(row, _mm512_load_si512(reinterpret_cast<const __m512i*>(pen[s + 1] + 64 * u)));
            const std::uint64_t m = _mm512_mask_cmple_epu8_mask(lanes, row, limit);
            flagged[p][u] = m;
            count.add(m, u);
        }
        row_count[p] = count;
    }
    std::uint64_t own[max_vectors];  // one strand's flags, where its row holds both
    for (int s = 0; s < S; ++s) {
        const int p = B ? s / 2 : s;
        if (threshold[p] == 0)
            continue;
        std::uint64_t* masks = flagged[p];
        flag_count count = row_count[p];
        if constexpr (B) {
            // The row's flags narrowed to this strand's, in the vectors that hold any
            // (nearly always a few).
            const __m512i limit = _mm512_set1_epi8(static_cast<char>(threshold[p]));
            const auto narrow = [&](int u) TARNEL_BYTES_INLINE {
                own[u] = _mm512_mask_cmple_epu8_mask(
                    flagged[p][u], _mm512_load_si512(reinterpret_cast<const __m512i*>(pen[s] + 64 * u)), limit);
                count.add(own[u], u);
            };
            std::fill_n(own, vectors, std::uint64_t{0});
            count = {};
            if (vectors <= 64)
                for (std::uint64_t b = row_count[p].any; b != 0; b &= b - 1)
                    narrow(__builtin_ctzll(b));
            else
                for (int u = 0; u < vectors; ++u)
                    narrow(u);
            masks = own;
        }
        if (counts != nullptr)
            counts->windows += windows[s];
        take<B>(*st.a[s], codes, masks, vectors, count, st.hits[s], slot, *st.queue[s], counts);
    }
}

// f(std::make_index_sequence<vectors>()) for 1 to 8 vectors, the sequences whose penalties
// are kept in registers; false for more.
template <typename F>
TARNEL_BYTES __attribute__((always_inline)) inline bool with_vectors(int vectors, F f)
{
    switch (vectors) {
    case 1:
        return f(std::make_index_sequence<1>()), true;
    case 2:
        return f(std::make_index_sequence<2>()), true;
    case 3:
        return f(std::make_index_sequence<3>()), true;
    case 4:
        return f(std::make_index_sequence<4>()), true;
    case 5:
        return f(std::make_index_sequence<5>()), true;
    case 6:
        return f(std::make_index_sequence<6>()), true;
    case 7:
        return f(std::make_index_sequence<7>()), true;
    case 8:
        return f(std::make_index_sequence<8>()), true;
    default:
        return false;
    }
}

// One sequence of `windows` windows (1 to byte_max_letters), its term indices at t,
// flagged into out where its penalties fit in registers; false, with nothing done, otherwise.
template <int S, bool B>
TARNEL_BYTES bool flag_short(
    const strands<S, B>& st, const std::uint8_t* t, const int* windows, flagged_windows<S>& out)
{
    const int most = S == 1 ? windows[0] : std::max(windows[0], windows[1]);
    return with_vectors((most + 63) / 64, [&](auto vs) TARNEL_BYTES { short_pass(st, t, windows, out, vs); });
}

template <int S>
TARNEL_BYTES void pass(const strands<S>& st, std::span<const std::uint8_t> codes, const std::uint8_t* t, int windows,
    std::size_t slot, scan_counts* counts)
{
    flagged_windows<S> f;
    const int each[2] = {windows, windows};
    if (flag_short(st, t, each, f))
        take_flagged(st, codes, f, slot, counts);
    else
        long_pass(st, codes, t, each, slot, counts);
}

// Two sequences flagged together into out[0] and out[1] where both have term indices
// and as many vectors of windows, few enough for registers; false, with nothing done,
// otherwise.
TARNEL_BYTES bool pass_two(const strands<1>& st, const std::span<const std::uint8_t>* codes,
    const std::uint8_t* const* ts, flagged_windows<1>* out)
{
    const int width = st.a[0]->width;
    const int windows[2] = {
        static_cast<int>(codes[0].size()) - width + 1, static_cast<int>(codes[1].size()) - width + 1};
    const int vectors = (windows[0] + 63) / 64;
    if (ts[0] == nullptr || ts[1] == nullptr || windows[0] <= 0 || windows[1] <= 0 || (windows[1] + 63) / 64 != vectors)
        return false;
    return with_vectors(vectors, [&](auto vs) TARNEL_BYTES { short_pass_two(st, ts, windows, out, vs); });
}

}  // namespace

TARNEL_BYTES bool make_indices(const std::uint8_t* c, long n, std::uint8_t* t)
{
    if (n > byte_max_letters)
        return false;
    // Codes are at most 4, so each byte's shifts stay in its byte (and where one is 4, an
    // N, the indices are not used). `load(k)` gives the 64 codes from k on.
    const auto index_at = [](long p, auto load) TARNEL_BYTES_INLINE {
        const __m512i ab = _mm512_add_epi8(_mm512_slli_epi16(load(p), 2), load(p + 1));
        if constexpr (term_rows == 3)
            return _mm512_add_epi8(_mm512_slli_epi16(ab, 2), load(p + 2));
        else
            return ab;
    };
    long p = 0;
    __m512i most = _mm512_setzero_si512();
    for (; p + 64 + term_rows - 1 <= n; p += 64) {
        most = _mm512_or_si512(most, _mm512_loadu_si512(c + p));
        _mm512_storeu_si512(t + p, index_at(p, [c](long k) TARNEL_BYTES_INLINE { return _mm512_loadu_si512(c + k); }));
    }
    // The last codes through masked loads, which read nothing past the end and give 0 there.
    const auto tail = [c, n](long k) TARNEL_BYTES_INLINE { return _mm512_maskz_loadu_epi8(first_bytes(n - k), c + k); };
    for (; p < n; p += 64) {
        most = _mm512_or_si512(most, tail(p));
        _mm512_mask_storeu_epi8(t + p, first_bytes(n - p), index_at(p, tail));
    }
    return _mm512_test_epi8_mask(most, _mm512_set1_epi8(4)) == 0;
}

TARNEL_BYTES void pad_indices(std::uint8_t* t)
{
    for (int i = 0; i < index_pad; i += 64)
        _mm512_storeu_si512(t + i, _mm512_setzero_si512());
}

namespace {

// The term indices of codes: the block's, or made here into `room`; null where the
// 8-bit pass cannot take the sequence. Made here, the indices are read right after being
// stored, which costs the loads a wait for the stores: a shared block avoids it.
TARNEL_BYTES const std::uint8_t* indices_of(
    std::span<const std::uint8_t> codes, std::span<const std::uint8_t* const> block, std::size_t i, std::uint8_t* room)
{
    if (!block.empty())
        return block[i];
    if (!make_indices(codes.data(), static_cast<long>(codes.size()), room))
        return nullptr;
    pad_indices(room + codes.size());
    return room;
}

// The winner of one sequence on each strand of st by the 8-bit pass, or by the 16-bit pass
// where it cannot take it; their candidates, at most two each, may be left waiting in the
// strands' queues.
template <int S>
TARNEL_BYTES void scan_one(const strands<S>& st, std::span<const std::uint8_t> codes, const std::uint8_t* t,
    std::size_t i, scan_counts* counts)
{
    const long windows = static_cast<long>(codes.size()) - st.a[0]->width + 1;
    if (windows <= 0) {
        for (int s = 0; s < S; ++s)
            st.hits[s][i] = {};
    } else if (t == nullptr) {
        for (int s = 0; s < S; ++s)
            st.hits[s][i] = rescan(*st.a[s], codes, counts);
    } else {
        pass(st, codes, t, static_cast<int>(windows), i, counts);
    }
}

template <int S>
TARNEL_BYTES void scan_batch(const strands<S>& st, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, scan_counts* counts)
{
    alignas(64) std::uint8_t room[byte_max_letters + index_pad];
    flagged_windows<S> rec[candidate_queue::batch];
    const int width = st.a[0]->width;
    for (std::size_t first = 0; first < seqs.size(); first += candidate_queue::batch) {
        const std::size_t end = std::min(seqs.size(), first + candidate_queue::batch);
        // The vector work of the whole batch first (flagged_windows says why). One strand:
        // two sequences at a time where the block has made their term indices (two
        // strands fill the processor as well).
        for (std::size_t i = first; i < end;) {
            flagged_windows<S>& f = rec[i - first];
            if constexpr (S == 1)
                if (!indices.empty() && i + 1 < end && pass_two(st, &seqs[i], &indices[i], &f)) {
                    i += 2;
                    continue;
                }
            f.vectors = 0;
            // A sequence with term indices has at most byte_max_letters codes.
            const long windows = static_cast<long>(seqs[i].size()) - width + 1;
            const int each[2] = {static_cast<int>(windows), static_cast<int>(windows)};
            if (windows > 0 && !indices.empty() && indices[i] != nullptr)
                flag_short(st, indices[i], each, f);
            ++i;
        }
        // Then each sequence's choices, and the rest of the sequences.
        for (std::size_t i = first; i < end; ++i) {
            flagged_windows<S>& f = rec[i - first];
            if (f.vectors == 0)
                scan_one(st, seqs[i], indices_of(seqs[i], indices, i, room), i, counts);
            else
                take_flagged(st, seqs[i], f, i, counts);
        }
        for (int s = 0; s < S; ++s)
            st.queue[s]->flush_full(*st.a[s], st.hits[s], counts);
    }
    for (int s = 0; s < S; ++s)
        st.queue[s]->finish(*st.a[s], st.hits[s], counts);
}

// Two motifs over a block's sequences, each of whose term indices is loaded once for
// both: their penalties kept in registers, or in memory where they are more than
// registers hold or the two widths' windows end more than a vector apart. A sequence
// without term indices, or without a window for one of the motifs, is scanned for each
// motif on its own.
TARNEL_BYTES void scan_batch_two(const strands<2, false>& st, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, scan_counts* counts)
{
    flagged_windows<2> rec[candidate_queue::batch];
    const strands<1> alone[2] = {{{st.a[0]}, {st.hits[0]}, {st.queue[0]}}, {{st.a[1]}, {st.hits[1]}, {st.queue[1]}}};
    // Each motif's windows of sequence i where the two are scanned together: it has term
    // indices (and so at most byte_max_letters codes) and a window for each. {0, 0} otherwise.
    const auto windows_of = [&](std::size_t i) {
        const long size = static_cast<long>(seqs[i].size());
        const std::array<int, 2> windows{
            static_cast<int>(size - st.a[0]->width + 1), static_cast<int>(size - st.a[1]->width + 1)};
        return indices[i] != nullptr && windows[0] > 0 && windows[1] > 0 ? windows : std::array<int, 2>{};
    };
    for (std::size_t first = 0; first < seqs.size(); first += candidate_queue::batch) {
        const std::size_t end = std::min(seqs.size(), first + candidate_queue::batch);
        for (std::size_t i = first; i < end; ++i) {
            flagged_windows<2>& f = rec[i - first];
            f.vectors = 0;
            const auto windows = windows_of(i);
            if (windows[0] > 0 && std::abs((windows[0] + 63) / 64 - (windows[1] + 63) / 64) <= 1)
                flag_short(st, indices[i], windows.data(), f);
        }
        for (std::size_t i = first; i < end; ++i) {
            flagged_windows<2>& f = rec[i - first];
            const auto windows = windows_of(i);
            if (f.vectors != 0) {
                take_flagged(st, seqs[i], f, i, counts);
            } else if (windows[0] > 0) {
                long_pass(st, seqs[i], indices[i], windows.data(), i, counts);
            } else {
                scan_one(alone[0], seqs[i], indices[i], i, counts);
                scan_one(alone[1], seqs[i], indices[i], i, counts);
            }
        }
        for (int s = 0; s < 2; ++s)
            st.queue[s]->flush_full(*st.a[s], st.hits[s], counts);
    }
    for (int s = 0; s < 2; ++s)
        st.queue[s]->finish(*st.a[s], st.hits[s], counts);
}

// Two motifs on both strands over a block's sequences. A sequence whose penalties are kept
// in memory for both motifs is scored for all four table sets from each load of its term
// indices; the others are taken a motif at a time, both strands together, as scan_batch
// takes them (sequences whose penalties fit in registers fill the processor as they are).
TARNEL_BYTES void scan_batch_both_two(const strands<4, true>& st, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, scan_counts* counts)
{
    const strands<2> motif[2] = {{{st.a[0], st.a[1]}, {st.hits[0], st.hits[1]}, {st.queue[0], st.queue[1]}},
        {{st.a[2], st.a[3]}, {st.hits[2], st.hits[3]}, {st.queue[2], st.queue[3]}}};
    flagged_windows<2> rec[2][candidate_queue::batch];
    // Motif m's windows of sequence i where it has term indices; 0 otherwise.
    const auto windows_of = [&](std::size_t i, int m) {
        const long windows = static_cast<long>(seqs[i].size()) - motif[m].a[0]->width + 1;
        return indices[i] != nullptr && windows > 0 ? static_cast<int>(windows) : 0;
    };
    for (std::size_t first = 0; first < seqs.size(); first += candidate_queue::batch) {
        const std::size_t end = std::min(seqs.size(), first + candidate_queue::batch);
        for (std::size_t i = first; i < end; ++i)
            for (int m = 0; m < 2; ++m) {
                flagged_windows<2>& f = rec[m][i - first];
                f.vectors = 0;
                const int w = windows_of(i, m);
                const int each[2] = {w, w};  // both strands have as many
                if (w > 0)
                    flag_short(motif[m], indices[i], each, f);
            }
        for (std::size_t i = first; i < end; ++i) {
            const int w0 = windows_of(i, 0);
            const int w1 = windows_of(i, 1);
            const int windows[4] = {w0, w0, w1, w1};
            if (rec[0][i - first].vectors == 0 && rec[1][i - first].vectors == 0 && windows[0] > 0 && windows[2] > 0) {
                long_pass(st, seqs[i], indices[i], windows, i, counts);
                continue;
            }
            for (int m = 0; m < 2; ++m) {
                flagged_windows<2>& f = rec[m][i - first];
                if (f.vectors != 0)
                    take_flagged(motif[m], seqs[i], f, i, counts);
                else
                    scan_one(motif[m], seqs[i], indices[i], i, counts);
            }
        }
        for (int s = 0; s < 4; ++s)
            st.queue[s]->flush_full(*st.a[s], st.hits[s], counts);
    }
    for (int s = 0; s < 4; ++s)
        st.queue[s]->finish(*st.a[s], st.hits[s], counts);
}

}  // namespace

TARNEL_BYTES window_hit best_window(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    alignas(64) std::uint8_t room[byte_max_letters + index_pad];
    window_hit hit;
    candidate_queue queue;
    const strands<1> st{{&a}, {&hit}, {&queue}};
    scan_one(st, codes, indices_of(codes, {}, 0, room), 0, counts);
    queue.finish(a, &hit, counts);
    return hit;
}

TARNEL_BYTES void best_windows(const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, window_hit* hits, scan_counts* counts)
{
    candidate_queue queue;
    scan_batch(strands<1>{{&a}, {hits}, {&queue}}, seqs, indices, counts);
}

TARNEL_BYTES void best_windows_of_two(const kernel_args& a0, const kernel_args& a1,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* hits0, window_hit* hits1, scan_counts* counts)
{
    candidate_queue queue0;
    candidate_queue queue1;
    scan_batch_two(strands<2, false>{{&a0, &a1}, {hits0, hits1}, {&queue0, &queue1}}, seqs, indices, counts);
}

TARNEL_BYTES void best_windows_both(const kernel_args& given, const kernel_args& reverse,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* given_hits, window_hit* reverse_hits, scan_counts* counts)
{
    candidate_queue given_queue;
    candidate_queue reverse_queue;
    scan_batch(strands<2>{{&given, &reverse}, {given_hits, reverse_hits}, {&given_queue, &reverse_queue}}, seqs,
        indices, counts);
}

TARNEL_BYTES void best_windows_both_two(const kernel_args (&sets)[4],
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* const (&hits)[4], scan_counts* counts)
{
    candidate_queue queue[4];
    scan_batch_both_two(strands<4, true>{{&sets[0], &sets[1], &sets[2], &sets[3]}, {hits[0], hits[1], hits[2], hits[3]},
                            {&queue[0], &queue[1], &queue[2], &queue[3]}},
        seqs, indices, counts);
}

}  // namespace TARNEL_BYTES_NAMESPACE
}  // namespace scan_kernel
