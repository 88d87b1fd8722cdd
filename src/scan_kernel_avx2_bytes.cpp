// The 8-bit pass for AVX2 (x86-64 only; fast_scan.cpp calls it where the processor has AVX2
// but not AVX-512): the tables of the AVX-512BW 8-bit pass, two motif rows per lookup by
// vpshufb, on 32 windows per vector. A sequence it cannot take goes to the 16-bit AVX2 pass.
#include <algorithm>
#include <cstddef>
#include <immintrin.h>
#include <utility>

#include "scan_kernels.h"

namespace scan_kernel {

TARNEL_AVX2 bool make_pair_indices_avx2(const std::uint8_t* c, long n, std::uint8_t* t)
{
    if (n > byte_max_letters)
        return false;
    // Codes are at most 4: the shift stays in each byte.
    const auto pairs = [](const std::uint8_t* at) TARNEL_AVX2 {
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        const __m256i b = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at + 1));
        return std::pair{a, _mm256_add_epi8(_mm256_slli_epi16(a, 2), b)};
    };
    __m256i most = _mm256_setzero_si256();
    long p = 0;
    for (; p + 33 <= n; p += 32) {
        const auto [a, index] = pairs(c + p);
        most = _mm256_or_si256(most, a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + p), index);
    }
    if (p < n && n >= 32) {
        // The last 32 indices again, from the last 32 codes, each next code the one after it
        // there and 0 past the end: no read past the codes, and no copy of them.
        const __m256i a = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + n - 32));
        const __m256i b = _mm256_alignr_epi8(_mm256_permute2x128_si256(a, a, 0x81), a, 1);
        most = _mm256_or_si256(most, a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + n - 32), _mm256_add_epi8(_mm256_slli_epi16(a, 2), b));
    } else if (p < n) {
        // The last codes from a copy, zeros past them (AVX2 has no byte-masked loads); 32
        // indices stored, those past the end within the room after it.
        alignas(32) std::uint8_t last[64] = {};
        std::copy(c + p, c + n, last);
        const auto [a, index] = pairs(last);
        most = _mm256_or_si256(most, a);
        _mm256_storeu_si256(reinterpret_cast<__m256i*>(t + p), index);
    }
    return _mm256_movemask_epi8(_mm256_cmpgt_epi8(most, _mm256_set1_epi8(3))) == 0;
}

TARNEL_AVX2 void pad_pair_indices_avx2(std::uint8_t* t)
{
    std::fill_n(t, index_pad, std::uint8_t{0});
}

namespace {

// Vectors of windows scored at a time: their sums and a term's table in registers (16 of
// them), with room for the loads.
constexpr int block_vectors = 8;

// 32 zeros, then 32 bytes of 0xFF: loaded from 32 - r, the lanes of a vector from r on.
alignas(64) constexpr std::uint8_t from_lane[64] = {0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0,
    0, 0, 0, 0, 0, 0, 0, 0, 0, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF,
    0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF};

// The lanes of vector v of a set with `windows` windows that lie past them, 0xFF.
TARNEL_AVX2 inline __m256i past_windows(long windows, int v)
{
    const long real = std::clamp(windows - 32L * v, 0L, 32L);
    return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from_lane + 32 - real));
}

// f(std::make_index_sequence<n>{}) for n from 1 to N: the block functions below take their
// vector count as a pack, so that their sums stay in registers.
template <std::size_t N, typename F> TARNEL_AVX2 __attribute__((always_inline)) inline void with_vectors(int n, F f)
{
    if constexpr (N > 1)
        if (n < static_cast<int>(N))
            return with_vectors<N - 1>(n, f);
    f(std::make_index_sequence<N>{});
}

// The penalties of the vectors V... of windows whose pair indices are at t, into pen,
// giving lane by lane the lowest of them. `tail` is or-ed into the last of them: 0xFF in
// the lanes past the last window where they are the sequence's last, which puts them
// above any threshold and out of the lowest without a pass of their own. The vectors are
// a pack, not a loop's index: indexed by a loop, the sums were kept in memory.
template <std::size_t... V>
TARNEL_AVX2 __attribute__((always_inline)) inline __m256i score_into(
    const kernel_args& a, const std::uint8_t* t, std::uint8_t* pen, __m256i tail, std::index_sequence<V...>)
{
    constexpr std::size_t last = sizeof...(V) - 1;
    // Term k's 16 entries are repeated in every 128-bit lane of its 64-byte row.
    const auto table = [&](int k) TARNEL_AVX2 {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(a.byte_table + 64 * k));
    };
    const auto look_up = [&](__m256i row, const std::uint8_t* at) TARNEL_AVX2 {
        return _mm256_shuffle_epi8(row, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
    };
    const __m256i first = table(0);  // a width is at least 1
    __m256i sum[] = {look_up(first, t + 32 * V)...};
    for (int k = 1; k < a.byte_terms; ++k) {
        const __m256i row = table(k);
        ((sum[V] = _mm256_adds_epu8(sum[V], look_up(row, t + 2 * k + 32 * V))), ...);
    }
    sum[last] = _mm256_or_si256(sum[last], tail);
    (_mm256_store_si256(reinterpret_cast<__m256i*>(pen + 32 * V), sum[V]), ...);
    __m256i low = sum[last];
    ((low = _mm256_min_epu8(low, sum[V])), ...);
    return low;
}

TARNEL_AVX2 inline unsigned lowest_u8(__m256i v)
{
    __m128i q = _mm_min_epu8(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    q = _mm_min_epu8(q, _mm_srli_epi16(q, 8));  // each 16-bit lane's low byte: the lower of its two
    q = _mm_and_si128(q, _mm_set1_epi16(0xFF));
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_minpos_epu16(q))) & 0xFFu;
}

// Vectors of a sequence's windows the pass flags at most.
constexpr int most_vectors = static_cast<int>(byte_max_letters / 32 + 1);

// The penalties of all `vectors` vectors of windows whose pair indices are at t, for the
// tables of a, into pen, lanes past the sequence's `windows` windows 0xFF; lane by lane
// the lowest into low.
TARNEL_AVX2 void score_all(
    const kernel_args& a, const std::uint8_t* t, int vectors, long windows, std::uint8_t* pen, __m256i& low)
{
    const __m256i none = _mm256_setzero_si256();
    int b = 0;
    // The last block holds the last vector, whose lanes past the last window the pad sets.
    for (; b + block_vectors < vectors; b += block_vectors)
        low = _mm256_min_epu8(
            low, score_into(a, t + 32 * b, pen + 32 * b, none, std::make_index_sequence<block_vectors>{}));
    const __m256i tail = past_windows(windows, vectors - 1);
    with_vectors<block_vectors>(vectors - b, [&](auto pack) TARNEL_AVX2 {
        low = _mm256_min_epu8(low, score_into(a, t + 32 * b, pen + 32 * b, tail, pack));
    });
}

// What the asm below reads, declared as a byte array: as a vector type, even one declared
// unaligned, the sanitizer takes it to need 32-byte alignment.
struct bytes32 {
    std::uint8_t b[32];
};

// Vectors of windows two table sets score at a time: their sums, both tables, an index
// vector and a lookup in registers.
constexpr int pair_block_vectors = 6;

// Both tables' lookups of the pair indices at `at`, added to sum0 and sum1: written out,
// since GCC 12 loaded each index vector again for the second table.
TARNEL_AVX2 __attribute__((always_inline)) inline void add_both(
    __m256i row0, __m256i row1, const std::uint8_t* at, __m256i& sum0, __m256i& sum1)
{
    const auto& indices = *reinterpret_cast<const bytes32*>(at);
    __m256i s0 = sum0;
    __m256i s1 = sum1;
    __m256i x;
    __m256i y;
    asm("vmovdqu %[in], %[x]\n\t"
        "vpshufb %[x], %[r0], %[y]\n\t"
        "vpshufb %[x], %[r1], %[x]\n\t"
        "vpaddusb %[y], %[s0], %[s0]\n\t"
        "vpaddusb %[x], %[s1], %[s1]"
        : [s0] "+x"(s0), [s1] "+x"(s1), [x] "=&x"(x), [y] "=&x"(y)
        : [in] "m"(indices), [r0] "x"(row0), [r1] "x"(row1));
    sum0 = s0;
    sum1 = s1;
}

// Two table sets' penalties of the vectors b + V... of windows whose pair indices are at t,
// into sum0 and sum1: the terms both have from one load of each index vector, then the
// other terms of the set with more. With `padded`, the lanes past each set's windows[s]
// are made 0xFF (any of the vectors may hold some, two motifs' windows ending in different
// vectors).
template <bool padded, std::size_t... V>
TARNEL_AVX2 __attribute__((always_inline)) inline void sums_of_two(const kernel_args* const* a, const std::uint8_t* t,
    int b, const long* windows, __m256i (&sum0)[sizeof...(V)], __m256i (&sum1)[sizeof...(V)], std::index_sequence<V...>)
{
    const auto table = [&](int s, int k) TARNEL_AVX2 {
        return _mm256_load_si256(reinterpret_cast<const __m256i*>(a[s]->byte_table + 64 * k));
    };
    const std::uint8_t* from = t + 32 * b;
    const auto indices = [&](int k, std::size_t v) TARNEL_AVX2 {
        return _mm256_loadu_si256(reinterpret_cast<const __m256i*>(from + 2 * k + 32 * v));
    };
    const int shared = std::min(a[0]->byte_terms, a[1]->byte_terms);
    {
        const __m256i row0 = table(0, 0);  // a width is at least 1
        const __m256i row1 = table(1, 0);
        const auto first = [&](std::size_t v) TARNEL_AVX2 {
            const __m256i x = indices(0, v);
            sum0[v] = _mm256_shuffle_epi8(row0, x);
            sum1[v] = _mm256_shuffle_epi8(row1, x);
        };
        (first(V), ...);
    }
    for (int k = 1; k < shared; ++k) {
        const __m256i row0 = table(0, k);
        const __m256i row1 = table(1, k);
        (add_both(row0, row1, from + 2 * k + 32 * V, sum0[V], sum1[V]), ...);
    }
    for (int k = shared; k < a[0]->byte_terms; ++k) {
        const __m256i row = table(0, k);
        ((sum0[V] = _mm256_adds_epu8(sum0[V], _mm256_shuffle_epi8(row, indices(k, V)))), ...);
    }
    for (int k = shared; k < a[1]->byte_terms; ++k) {
        const __m256i row = table(1, k);
        ((sum1[V] = _mm256_adds_epu8(sum1[V], _mm256_shuffle_epi8(row, indices(k, V)))), ...);
    }
    if constexpr (padded) {
        // Only a set's last vector and those after it hold lanes past its windows.
        const auto pad = [&](int s, int v, __m256i& sum) TARNEL_AVX2 {
            if (32L * (v + 1) > windows[s])
                sum = _mm256_or_si256(sum, past_windows(windows[s], v));
        };
        (pad(0, b + static_cast<int>(V), sum0[V]), ...);
        (pad(1, b + static_cast<int>(V), sum1[V]), ...);
    }
}

// sums_of_two into pen[0] and pen[1], lane by lane the lowest of each into low[0] and low[1].
template <bool padded, std::size_t... V>
TARNEL_AVX2 __attribute__((always_inline)) inline void score_two_into(const kernel_args* const* a,
    const std::uint8_t* t, int b, const long* windows, std::uint8_t* const* pen, __m256i* low,
    std::index_sequence<V...> pack)
{
    __m256i sum0[sizeof...(V)];
    __m256i sum1[sizeof...(V)];
    sums_of_two<padded>(a, t, b, windows, sum0, sum1, pack);
    (_mm256_store_si256(reinterpret_cast<__m256i*>(pen[0] + 32 * (b + V)), sum0[V]), ...);
    (_mm256_store_si256(reinterpret_cast<__m256i*>(pen[1] + 32 * (b + V)), sum1[V]), ...);
    __m256i low0 = low[0];
    __m256i low1 = low[1];
    ((low0 = _mm256_min_epu8(low0, sum0[V])), ...);
    ((low1 = _mm256_min_epu8(low1, sum1[V])), ...);
    low[0] = low0;
    low[1] = low1;
}

// Terms up to which two table sets are scored with all their rows held in registers.
constexpr int held_terms = 8;

// score_two for sets of at most T terms each: every row of both held in registers (a set
// with fewer terms has rows of zeros past its own, which add nothing), and each vector of
// windows summed over all terms at once. There are no blocks' sums to keep, spill and
// store at each block's end, and no rows to reload for each block. On one hot sequence of
// 500 letters it scored a quarter to a third faster than the blocks for 3 to 6 terms, 9%
// and 4% for 7 and 8 (whose rows no longer all fit in registers), the same for 9. A
// function of its own for each T: inlined into score_two, its lambdas were not.
template <int T>
TARNEL_AVX2 __attribute__((noinline)) void score_two_held(const kernel_args* const* a, const std::uint8_t* t,
    const long* windows, int unpadded, int most, std::uint8_t* const* pen, __m256i* low)
{
    __m256i row0[T];
    __m256i row1[T];
    for (int k = 0; k < T; ++k) {
        const auto row = [&](int s) TARNEL_AVX2 {
            return k < a[s]->byte_terms ? _mm256_load_si256(reinterpret_cast<const __m256i*>(a[s]->byte_table + 64 * k))
                                        : _mm256_setzero_si256();
        };
        row0[k] = row(0);
        row1[k] = row(1);
    }
    std::uint8_t* const pen0 = pen[0];
    std::uint8_t* const pen1 = pen[1];
    __m256i low0 = low[0];
    __m256i low1 = low[1];
    const auto score = [&](int v, bool padded) TARNEL_AVX2 __attribute__((always_inline))
    {
        const std::uint8_t* at = t + 32 * v;
        const __m256i x = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at));
        __m256i sum0 = _mm256_shuffle_epi8(row0[0], x);
        __m256i sum1 = _mm256_shuffle_epi8(row1[0], x);
        [&]<std::size_t... K>(std::index_sequence<K...>) TARNEL_AVX2 __attribute__((always_inline))
        {
            (add_both(row0[K + 1], row1[K + 1], at + 2 * (K + 1), sum0, sum1), ...);
        }
        (std::make_index_sequence<T - 1>{});
        if (padded) {
            sum0 = _mm256_or_si256(sum0, past_windows(windows[0], v));
            sum1 = _mm256_or_si256(sum1, past_windows(windows[1], v));
        }
        _mm256_store_si256(reinterpret_cast<__m256i*>(pen0 + 32 * v), sum0);
        _mm256_store_si256(reinterpret_cast<__m256i*>(pen1 + 32 * v), sum1);
        low0 = _mm256_min_epu8(low0, sum0);
        low1 = _mm256_min_epu8(low1, sum1);
    };
    int v = 0;
    for (; v < unpadded; ++v)
        score(v, false);
    for (; v < most; ++v)
        score(v, true);
    low[0] = low0;
    low[1] = low1;
}

// Two table sets' penalties of every vector of windows of either (windows[s] windows for
// set s) into pen[s], and each set's lowest lanes into low[s]; lanes past a set's windows
// 0xFF. Returns the vectors scored, those of the set with more windows.
TARNEL_AVX2 int score_two(
    const kernel_args* const* a, const std::uint8_t* t, const long* windows, std::uint8_t* const* pen, __m256i* low)
{
    const int vectors[2] = {static_cast<int>((windows[0] + 31) / 32), static_cast<int>((windows[1] + 31) / 32)};
    const int most = std::max(vectors[0], vectors[1]);
    // Vectors before either set's last need no padding.
    const int unpadded = std::min(vectors[0], vectors[1]) - 1;
    if (const int terms = std::max(a[0]->byte_terms, a[1]->byte_terms); terms <= held_terms) {
        // The pack's size is the term count.
        with_vectors<held_terms>(terms, [&](auto pack) TARNEL_AVX2 {
            score_two_held<static_cast<int>(decltype(pack)::size())>(a, t, windows, unpadded, most, pen, low);
        });
        return most;
    }
    int b = 0;
    for (; b + pair_block_vectors <= unpadded; b += pair_block_vectors)
        score_two_into<false>(a, t, b, windows, pen, low, std::make_index_sequence<pair_block_vectors>{});
    for (; b < most; b += pair_block_vectors)
        with_vectors<pair_block_vectors>(
            most - b, [&](auto pack) TARNEL_AVX2 { score_two_into<true>(a, t, b, windows, pen, low, pack); });
    return most;
}

// Vectors of a sequence's windows whose masks are kept, with room for the last 8 to be
// read whole.
constexpr int mask_room = most_vectors + 7;

// How many windows a set's masks flag, and which of the first 64 vectors hold any.
struct flag_count {
    int flagged = 0;
    std::uint64_t any = 0;
};

// The vectors whose masks hold any, for a sequence of at most 64 vectors (0 for a longer
// one, whose flags take is left to find), 8 masks a step (the masks' room past `vectors`
// made empty): a bit per vector made as its mask was cost more.
TARNEL_AVX2 inline std::uint64_t vectors_flagged(std::uint32_t* masks, int vectors)
{
    if (vectors > 64)
        return 0;
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(masks + vectors), _mm256_setzero_si256());
    std::uint64_t any = 0;
    for (int v = 0; v < vectors; v += 8) {
        const __m256i m = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(masks + v));
        const auto empty = static_cast<unsigned>(
            _mm256_movemask_ps(_mm256_castsi256_ps(_mm256_cmpeq_epi32(m, _mm256_setzero_si256()))));
        any |= static_cast<std::uint64_t>(~empty & 0xFFu) << v;
    }
    return any;
}

// For the sets S... of as many vectors of penalties: the windows of set s at pen[s] at or
// below thresholds[s] into masks[s] (bit i of masks[s][v]: window 32 v + i), counted into
// count[s]. Two sets are flagged side by side in one loop: measured faster than one set
// after the other (the two sets' waits for their thresholds overlap).
template <std::size_t... S>
TARNEL_AVX2 __attribute__((always_inline)) inline void flag_sets(const std::uint8_t* const* pen, int vectors,
    const unsigned* thresholds, std::uint32_t (*masks)[mask_room], flag_count* count, std::index_sequence<S...>)
{
    const __m256i limit[] = {_mm256_set1_epi8(static_cast<char>(thresholds[S]))...};
    int flagged[] = {(static_cast<void>(S), 0)...};
    const auto flag = [&](std::size_t s, int v) TARNEL_AVX2 {
        const __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(pen[s] + 32 * v));
        // x <= limit as max(x, limit) == limit, which reads x once: as min(x, limit) == x,
        // GCC loaded it twice, once for each instruction (2% of the scan).
        const auto mask =
            static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_max_epu8(x, limit[s]), limit[s])));
        masks[s][v] = mask;
        flagged[s] += __builtin_popcount(mask);
    };
    for (int v = 0; v < vectors; ++v)
        (flag(S, v), ...);
    ((count[S] = {flagged[S], vectors_flagged(masks[S], vectors)}), ...);
}

// For a sequence of at most pair_block_vectors vectors of windows, what score_two and
// flag_sets give two table sets, with the penalties kept in registers: set s's windows at or
// below thresholds[s], its lowest penalty plus its margin, into masks[s], counted into
// count[s]; where thresholds[s] passes 254 (past what 8 bits tell), its masks and count
// mean nothing and the caller scans again. With `together`
// (a motif's two strands), the lowest penalty of either sets both thresholds. The vectors
// past a set's own last are 0xFF, their masks empty.
template <bool together, std::size_t... V>
TARNEL_AVX2 __attribute__((always_inline)) inline void flag_two_short(const kernel_args* const* a,
    const std::uint8_t* t, const long* windows, std::uint32_t (*masks)[mask_room], flag_count* count,
    unsigned* thresholds, std::index_sequence<V...> pack)
{
    __m256i sum0[sizeof...(V)];
    __m256i sum1[sizeof...(V)];
    sums_of_two<true>(a, t, 0, windows, sum0, sum1, pack);
    const auto lowest = [&](const __m256i(&sum)[sizeof...(V)]) TARNEL_AVX2 {
        __m256i low = sum[0];
        ((low = _mm256_min_epu8(low, sum[V])), ...);
        return low;
    };
    if constexpr (together) {
        thresholds[0] = thresholds[1] = lowest_u8(_mm256_min_epu8(lowest(sum0), lowest(sum1))) + a[0]->byte_margin;
    } else {
        thresholds[0] = lowest_u8(lowest(sum0)) + a[0]->byte_margin;
        thresholds[1] = lowest_u8(lowest(sum1)) + a[1]->byte_margin;
    }
    const auto flag = [&](int s, const __m256i(&sum)[sizeof...(V)]) TARNEL_AVX2 {
        const __m256i limit = _mm256_set1_epi8(static_cast<char>(thresholds[s]));
        const std::uint32_t mask[] = {static_cast<std::uint32_t>(
            _mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(sum[V], limit), sum[V])))...};
        ((masks[s][V] = mask[V]), ...);
        count[s].flagged = (__builtin_popcount(mask[V]) + ...);
        count[s].any = ((static_cast<std::uint64_t>(mask[V] != 0) << V) | ...);
    };
    flag(0, sum0);
    flag(1, sum1);
}

// The windows of `codes` (which has some) flagged for each of the S table sets a[s] into
// masks[s] and counted into count[s], returning how many vectors of them; 0 where the
// 16-bit pass must scan it. Two sets are one motif's strands, at one scale: the lowest
// penalty of either sets the threshold of both. Their pair indices are at `t`, or made
// here where `given` says none were.
template <int S>
TARNEL_AVX2 int flag_windows(const kernel_args* const* a, std::span<const std::uint8_t> codes, const std::uint8_t* t,
    bool given, std::uint32_t (*masks)[mask_room], flag_count* count)
{
    const long size = static_cast<long>(codes.size());
    const long windows = size - a[0]->width + 1;
    alignas(32) std::uint8_t room[byte_max_letters + index_pad];
    if (!given) {
        if (!make_pair_indices_avx2(codes.data(), size, room))
            return 0;
        pad_pair_indices_avx2(room + size);
        t = room;
    } else if (t == nullptr) {
        return 0;
    }
    const int vectors = static_cast<int>((windows + 31) / 32);
    if constexpr (S == 2) {
        if (vectors <= pair_block_vectors) {
            const long both[2] = {windows, windows};
            unsigned thresholds[2];
            with_vectors<pair_block_vectors>(vectors,
                [&](auto pack) TARNEL_AVX2 { flag_two_short<true>(a, t, both, masks, count, thresholds, pack); });
            return thresholds[0] > 254 ? 0 : vectors;  // past what 8 bits tell
        }
    }
    alignas(32) std::uint8_t pen[S][byte_max_letters + 32];
    __m256i low = _mm256_set1_epi8(-1);
    if constexpr (S == 1) {
        score_all(*a[0], t, vectors, windows, pen[0], low);
    } else {
        // The strands' tables from one load of each index vector.
        const long both[2] = {windows, windows};
        std::uint8_t* const pens[2] = {pen[0], pen[1]};
        __m256i lows[2] = {low, low};
        score_two(a, t, both, pens, lows);
        low = _mm256_min_epu8(lows[0], lows[1]);
    }
    const unsigned threshold = lowest_u8(low) + a[0]->byte_margin;
    if (threshold > 254)  // past what 8 bits tell
        return 0;
    const std::uint8_t* pens[S];
    unsigned thresholds[S];
    for (int s = 0; s < S; ++s) {
        pens[s] = pen[s];
        thresholds[s] = threshold;
    }
    flag_sets(pens, vectors, thresholds, masks, count, std::make_index_sequence<S>{});
    return vectors;
}

// The 16-bit pass, for a sequence the 8-bit one cannot take.
TARNEL_AVX2 window_hit rescan(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    if (counts != nullptr)
        ++counts->rescanned;
    return scan_avx2(a, codes, counts);
}

// A hit made empty (no window, product 0) by one vector store: assigned `{}`, its long
// double goes through the x87 stack.
TARNEL_AVX2 inline void clear_hit(window_hit& hit)
{
    static_assert(sizeof(window_hit) == 32 && offsetof(window_hit, best_pos) == 0 &&
        offsetof(window_hit, max_rs) == 16 && sizeof(scan_product) == 16);
    _mm256_storeu_si256(reinterpret_cast<__m256i*>(&hit), _mm256_setr_epi32(-1, 0, 0, 0, 0, 0, 0, 0));
}

// evaluate_all's result, the products of four flagged windows at a time worked out as
// independent chains and then taken in window order: three or more flagged windows of a
// sequence, one latency-bound chain each, cost more than scoring it.
TARNEL_AVX2 void evaluate_flagged(window_hit& best, const kernel_args& a, const std::uint8_t* codes,
    const std::uint32_t* masks, int vectors, scan_counts* counts)
{
    long at[4];
    int n = 0;
    const auto multiply_out = [&] {
        // Chains past the n windows repeat the first, and are not taken.
        const std::uint8_t* const w[4] = {exact_codes(a, codes, at[0]), exact_codes(a, codes, at[n > 1 ? 1 : 0]),
            exact_codes(a, codes, at[n > 2 ? 2 : 0]), exact_codes(a, codes, at[n > 3 ? 3 : 0])};
        scan_product p0(a.q[w[0][0]]);
        scan_product p1(a.q[w[1][0]]);
        scan_product p2(a.q[w[2][0]]);
        scan_product p3(a.q[w[3][0]]);
        for (int r = 1; r < a.width; ++r) {
            const float* row = a.q + static_cast<std::size_t>(r) * 5;
            const long c = r * a.code_step;
            p0 *= row[w[0][c]];
            p1 *= row[w[1][c]];
            p2 *= row[w[2][c]];
            p3 *= row[w[3][c]];
        }
        const scan_product p[4] = {p0, p1, p2, p3};
        for (int k = 0; k < n; ++k)
            if (takes_place(a, p[k], best.max_rs)) {
                best.max_rs = p[k];
                best.best_pos = static_cast<int>(at[k]);
            }
        if (counts != nullptr)
            counts->exact += n;
        n = 0;
    };
    for (int v = 0; v < vectors; ++v)
        for (std::uint32_t m = masks[v]; m != 0; m &= m - 1) {
            at[n++] = 32L * v + __builtin_ctz(m);
            if (n == 4)
                multiply_out();
        }
    if (n > 0)
        multiply_out();
}

// Where one set's flagged windows of sequence `slot` go: one or two (nearly all) to the
// queue as they are, found without a branch on where they lie; more are evaluated here.
// Only with both strands scored together may a strand have none flagged (`may_be_empty`):
// its hit is then left empty, again without a branch.
template <bool may_be_empty>
TARNEL_AVX2 inline void take(const kernel_args& a, const std::uint8_t* codes, const std::uint32_t* masks, int vectors,
    flag_count count, window_hit* hits, std::size_t slot, candidate_queue& queue, scan_counts* counts)
{
    const int flagged = count.flagged;
    std::uint64_t any = count.any;
    long first = 0;
    long last = 0;
    // The first and last vectors holding any hold the first and last flagged window.
    const bool near = vectors <= 64;
    if (near) {
        // None flagged: vector 0, whose empty mask counts as its first window and its last.
        if constexpr (may_be_empty)
            any |= static_cast<std::uint64_t>(flagged == 0);
        const int v0 = __builtin_ctzll(any);
        const int v1 = 63 - __builtin_clzll(any);
        first = 32L * v0 + __builtin_ctz(masks[v0] | (may_be_empty ? std::uint32_t{1} << 31 : 0));
        last = 32L * v1 + 31 - __builtin_clz(masks[v1] | std::uint32_t{may_be_empty});
        if constexpr (may_be_empty)
            first = flagged == 0 ? 0 : first;
    } else {
        count_candidates(masks, vectors, first);
    }
    if (counts != nullptr)
        counts->flagged += flagged;
    clear_hit(hits[slot]);
    if (flagged <= (near ? 2 : 1)) {
        queue.add(a, slot, codes, first, !may_be_empty || flagged != 0);
        queue.add(a, slot, codes, last, flagged == 2, true);
        return;
    }
    if (near && flagged <= candidate_queue::most_per_sequence) {
        // A few more (ties, repeats): queued too, the first as a first, the others in window
        // order as seconds, so that their products are worked out with other sequences'.
        bool second = false;
        for (std::uint64_t held = count.any; held != 0; held &= held - 1) {
            const int v = __builtin_ctzll(held);
            for (std::uint32_t m = masks[v]; m != 0; m &= m - 1) {
                queue.add(a, slot, codes, 32L * v + __builtin_ctz(m), true, second);
                second = true;
            }
        }
        return;
    }
    evaluate_flagged(hits[slot], a, codes, masks, vectors, counts);
}

// Sequence i (codes, its pair indices at t, or made here where `given` says none were)
// for S table sets (one motif, or its two strands): hits[s][i] for set s, its one or two
// candidates to queue[s]. A strand of two none of whose windows is flagged is left empty.
template <int S>
TARNEL_AVX2 inline void scan_sequence(const kernel_args* const* a, std::span<const std::uint8_t> codes,
    const std::uint8_t* t, bool given, window_hit* const* hits, std::size_t i, candidate_queue* queue,
    scan_counts* counts)
{
    const long windows = static_cast<long>(codes.size()) - a[0]->width + 1;
    std::uint32_t masks[S][mask_room];
    flag_count count[S];
    const int vectors = windows > 0 ? flag_windows<S>(a, codes, t, given, masks, count) : 0;
    if (vectors > 0) {
        if (counts != nullptr)
            counts->windows += windows * S;
        for (int s = 0; s < S; ++s)
            take<S == 2>(*a[s], codes.data(), masks[s], vectors, count[s], hits[s], i, queue[s], counts);
        return;
    }
    for (int s = 0; s < S; ++s)
        if (windows > 0)
            hits[s][i] = rescan(*a[s], codes, counts);
        else
            clear_hit(hits[s][i]);
}

// S table sets over several sequences: scan_sequence for each, the queues' candidates
// multiplied out a batch of sequences at a time.
template <int S>
TARNEL_AVX2 void scan_sets(const kernel_args* const* a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, window_hit* const* hits, scan_counts* counts)
{
    candidate_queue queue[S];
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        scan_sequence<S>(a, seqs[i], indices.empty() ? nullptr : indices[i], !indices.empty(), hits, i, queue, counts);
        if ((i + 1) % candidate_queue::batch == 0)
            for (int s = 0; s < S; ++s)
                queue[s].flush_full(*a[s], hits[s], counts);
    }
    for (int s = 0; s < S; ++s)
        queue[s].finish(*a[s], hits[s], counts);
}

// Two motifs over sequences whose pair indices are given (none null): each index vector
// loaded once for both motifs' tables, each motif then flagged against its own lowest
// penalty with its own margin, as when it is scanned alone.
TARNEL_AVX2 void scan_two_motifs(const kernel_args* const* a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, window_hit* const* hits, scan_counts* counts)
{
    candidate_queue queue[2];
    const kernel_args* const alone[2][1] = {{a[0]}, {a[1]}};
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        const std::span<const std::uint8_t> codes = seqs[i];
        const long size = static_cast<long>(codes.size());
        const long windows[2] = {size - a[0]->width + 1, size - a[1]->width + 1};
        if (indices[i] == nullptr || std::min(windows[0], windows[1]) <= 0) {
            // The 16-bit pass's, or a motif wider than the sequence: each alone.
            for (int s = 0; s < 2; ++s)
                scan_sequence<1>(alone[s], codes, indices[i], true, hits + s, i, queue + s, counts);
        } else {
            const int vectors[2] = {static_cast<int>((windows[0] + 31) / 32), static_cast<int>((windows[1] + 31) / 32)};
            std::uint32_t masks[2][mask_room];
            flag_count count[2];
            unsigned thresholds[2];
            if (const int most = std::max(vectors[0], vectors[1]); most <= pair_block_vectors) {
                with_vectors<pair_block_vectors>(most, [&](auto pack) TARNEL_AVX2 {
                    flag_two_short<false>(a, indices[i], windows, masks, count, thresholds, pack);
                });
            } else {
                alignas(32) std::uint8_t pen[2][byte_max_letters + 32];
                std::uint8_t* const pens[2] = {pen[0], pen[1]};
                __m256i low[2] = {_mm256_set1_epi8(-1), _mm256_set1_epi8(-1)};
                score_two(a, indices[i], windows, pens, low);
                for (int s = 0; s < 2; ++s)
                    thresholds[s] = lowest_u8(low[s]) + a[s]->byte_margin;
                if (vectors[0] == vectors[1] && std::max(thresholds[0], thresholds[1]) <= 254) {
                    flag_sets(pens, vectors[0], thresholds, masks, count, std::make_index_sequence<2>{});
                } else {
                    for (int s = 0; s < 2; ++s)
                        if (thresholds[s] <= 254)
                            flag_sets(pens + s, vectors[s], thresholds + s, masks + s, count + s,
                                std::make_index_sequence<1>{});
                }
            }
            for (int s = 0; s < 2; ++s) {
                if (thresholds[s] > 254) {  // past what 8 bits tell
                    hits[s][i] = rescan(*a[s], codes, counts);
                    continue;
                }
                if (counts != nullptr)
                    counts->windows += windows[s];
                take<false>(*a[s], codes.data(), masks[s], vectors[s], count[s], hits[s], i, queue[s], counts);
            }
        }
        if ((i + 1) % candidate_queue::batch == 0)
            for (int s = 0; s < 2; ++s)
                queue[s].flush_full(*a[s], hits[s], counts);
    }
    for (int s = 0; s < 2; ++s)
        queue[s].finish(*a[s], hits[s], counts);
}

}  // namespace

TARNEL_AVX2 window_hit scan_avx2_bytes(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    const long windows = static_cast<long>(codes.size()) - a.width + 1;
    if (windows <= 0)
        return {};
    const kernel_args* sets[1] = {&a};
    std::uint32_t masks[1][mask_room];
    flag_count count[1];
    const int vectors = flag_windows<1>(sets, codes, nullptr, false, masks, count);
    if (vectors == 0)
        return rescan(a, codes, counts);
    if (counts != nullptr) {
        counts->windows += windows;
        counts->flagged += count[0].flagged;
    }
    window_hit best;
    resolve(best, a, codes.data(), masks[0], vectors, 0, counts);
    return best;
}

TARNEL_AVX2 void scan_batch_avx2_bytes(const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, window_hit* hits, scan_counts* counts)
{
    const kernel_args* sets[1] = {&a};
    window_hit* const out[1] = {hits};
    scan_sets<1>(sets, seqs, indices, out, counts);
}

TARNEL_AVX2 void scan_batch_avx2_bytes_two(const kernel_args& a0, const kernel_args& a1,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* hits0, window_hit* hits1, scan_counts* counts)
{
    const kernel_args* sets[2] = {&a0, &a1};
    window_hit* const out[2] = {hits0, hits1};
    scan_two_motifs(sets, seqs, indices, out, counts);
}

TARNEL_AVX2 void scan_batch_avx2_bytes_both(const kernel_args& given, const kernel_args& reverse,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* given_hits, window_hit* reverse_hits, scan_counts* counts)
{
    const kernel_args* sets[2] = {&given, &reverse};
    window_hit* const out[2] = {given_hits, reverse_hits};
    scan_sets<2>(sets, seqs, indices, out, counts);
}

}  // namespace scan_kernel
