#include "fast_scan.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <immintrin.h>
#include <vector>

// How the scan stays exact.
//
// Let q(r, b) be the single-precision quotients, w the width, and for window n let
//   lambda(n) = sum over r of ln q(r, c[n + r])           (real numbers, no rounding)
//   p(n)      = the extended-precision product the straightforward scan computes.
// All q are positive finite floats and w <= 100, so every partial product lies between
// 2^-14900 and 2^12800: always a normal long double. Each of the w - 1 multiplications
// after the exact first one rounds with relative error at most 2^-64, hence
//   |ln p(n) - lambda(n)| <= rho = w * 2^-63.                                       (1)
//
// The vector pass adds K terms per window: one per row (avx2, K = w) or one per pair of
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

namespace {

// Windows scored per chunk: a whole sequence of the largest size in one go.
constexpr int chunk_windows = 6144;
constexpr int chunk_vectors = chunk_windows / 32;
// Room after a chunk's copied codes for the reads past its last window (AVX2).
constexpr int chunk_pad = 256;

// Everything a kernel reads, flattened.
struct kernel_args {
    const float* q;  // width rows of 5 quotients
    int width;
    int terms;
    unsigned margin;
    const std::uint16_t* pair_table;
    const std::uint8_t* row_table;
};

// The straightforward scan's product for one window, rounding exactly as it does (its
// first multiplication, by 1, is exact and left out).
__attribute__((always_inline)) inline long double exact_product(const float* q, int width, const std::uint8_t* window)
{
    long double product = q[window[0]];
    for (int r = 1; r < width; ++r)
        product *= q[static_cast<std::size_t>(r) * 5 + window[r]];
    return product;
}

__attribute__((always_inline)) inline void consider(
    window_hit& best, const kernel_args& a, const std::uint8_t* codes, long n, scan_counts* counts)
{
    const long double product = exact_product(a.q, a.width, codes + n);
    if (product > best.max_rs) {
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

// Lanes of a vector starting at window b that hold real windows.
inline std::uint32_t lanes_in(int b, int windows)
{
    const int left = windows - b;
    return left >= 32 ? 0xFFFFFFFFu : left <= 0 ? 0u : (std::uint32_t{1} << left) - 1;
}

// ---- AVX-512: two rows per lookup, 32 windows per vector ----
//
// Window n's term k is looked up by the pair index 5 * c[n + 2k] + c[n + 2k + 1]. One
// multiply-add of bytes turns 64 codes loaded from position n + 2k into the 32 pair
// indices of windows n, n + 2, ..., n + 62 (16 bits each), so windows are scored in
// groups of 64: one vector for the even ones and one for the odd ones (loaded one byte
// later). The codes are read where they are; only the sequence's last group loads with
// masks, which never touch memory past the end and read as code 0 there (only the
// second code of an odd width's last row, which its table ignores, or lanes past the
// last window).

#define TARNEL_AVX512 __attribute__((target("avx512f,avx512bw,avx512vl,popcnt,bmi,bmi2")))

// Groups of 64 windows scored together, their sums kept in registers.
constexpr int block_groups = 4;
constexpr int chunk_groups = chunk_windows / 64;

TARNEL_AVX512 inline unsigned lowest_u16(__m512i v)
{
    // Through memory: GCC 12 warns on the register shuffles and extracts, whose
    // intrinsics start from an undefined vector.
    alignas(64) std::uint16_t lanes[32];
    _mm512_store_si512(reinterpret_cast<__m512i*>(lanes), v);
    const __m256i h = _mm256_min_epu16(_mm256_load_si256(reinterpret_cast<const __m256i*>(lanes)),
        _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes + 16)));
    const __m128i q = _mm_min_epu16(_mm256_castsi256_si128(h), _mm256_extracti128_si256(h, 1));
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_minpos_epu16(q))) & 0xFFFFu;
}

// Adds a term's penalties, looked up by the pair indices of the 64 codes at c.
TARNEL_AVX512 inline __m512i add_term(__m512i sum, __m512i codes, __m512i table)
{
    const __m512i pair = _mm512_maddubs_epi16(codes, _mm512_set1_epi16(0x0105));
    return _mm512_adds_epu16(sum, _mm512_permutexvar_epi16(pair, table));
}

// Penalties of G whole groups whose first windows lie at c, c + 64, ...: even[v] lane j
// is window 64 v + 2 j, odd[v] lane j window 64 v + 2 j + 1. Every code read exists.
template <int G>
TARNEL_AVX512 inline void score_groups(const kernel_args& a, const std::uint8_t* c, __m512i* even, __m512i* odd)
{
    const __m512i* table = reinterpret_cast<const __m512i*>(a.pair_table);
    for (int v = 0; v < G; ++v)
        even[v] = odd[v] = _mm512_setzero_si512();
    for (int k = 0; k < a.terms; ++k, c += 2) {
        const __m512i t = _mm512_load_si512(table + k);
        for (int v = 0; v < G; ++v) {
            even[v] = add_term(even[v], _mm512_loadu_si512(c + 64 * v), t);
            odd[v] = add_term(odd[v], _mm512_loadu_si512(c + 64 * v + 1), t);
        }
    }
}

// Loads with masks for the sequence's last group, of which only `left` codes exist
// from c. Over a term's loads left stays within 0 and 255: the last group holds a
// window, so left >= width > 2 k, and left < 64 + width; bzhi keeps every bit for
// counts of 64 and more, so no clamping is needed.
TARNEL_AVX512 inline __m512i load_tail(const std::uint8_t* c, long left)
{
    return _mm512_maskz_loadu_epi8(_bzhi_u64(~0ULL, static_cast<unsigned>(left)), c);
}

// G groups from c, the last of them the sequence's last group (left codes from its start).
template <int G>
TARNEL_AVX512 inline void score_groups_to_end(
    const kernel_args& a, const std::uint8_t* c, long left, __m512i* even, __m512i* odd)
{
    const __m512i* table = reinterpret_cast<const __m512i*>(a.pair_table);
    for (int v = 0; v < G; ++v)
        even[v] = odd[v] = _mm512_setzero_si512();
    const std::uint8_t* tail = c + 64 * (G - 1);
    for (int k = 0; k < a.terms; ++k, c += 2, tail += 2, left -= 2) {
        const __m512i t = _mm512_load_si512(table + k);
        for (int v = 0; v + 1 < G; ++v) {
            even[v] = add_term(even[v], _mm512_loadu_si512(c + 64 * v), t);
            odd[v] = add_term(odd[v], _mm512_loadu_si512(c + 64 * v + 1), t);
        }
        even[G - 1] = add_term(even[G - 1], load_tail(tail, left), t);
        odd[G - 1] = add_term(odd[G - 1], load_tail(tail + 1, left - 1), t);
    }
}

// Real-window lanes of the even and odd vectors of the group starting at window g.
inline std::uint32_t even_lanes(int g, int windows)
{
    return lanes_in(0, (windows - g + 1) / 2);
}
inline std::uint32_t odd_lanes(int g, int windows)
{
    return lanes_in(0, (windows - g) / 2);
}

// Window-order candidate mask of a group from its even and odd lane masks.
TARNEL_AVX512 inline std::uint64_t interleave(std::uint32_t even, std::uint32_t odd)
{
    return _pdep_u64(even, 0x5555555555555555ULL) | _pdep_u64(odd, 0xAAAAAAAAAAAAAAAAULL);
}

// A sequence of G groups of windows (the last one partly beyond the end): sums, lowest
// and candidates all in registers. Returns the one candidate, unevaluated, or -1 when
// there were several and `best` holds their winner.
template <int G>
TARNEL_AVX512 long short_pass(
    const kernel_args& a, std::span<const std::uint8_t> codes, int windows, window_hit& best, scan_counts* counts)
{
    __m512i even[G];
    __m512i odd[G];
    const int last = 64 * (G - 1);
    score_groups_to_end<G>(a, codes.data(), static_cast<long>(codes.size()) - last, even, odd);
    const std::uint32_t last_even = even_lanes(last, windows);
    const std::uint32_t last_odd = odd_lanes(last, windows);
    __m512i low = _mm512_set1_epi16(-1);
    for (int v = 0; v + 1 < G; ++v)
        low = _mm512_min_epu16(low, _mm512_min_epu16(even[v], odd[v]));
    low = _mm512_mask_min_epu16(low, last_even, low, even[G - 1]);
    low = _mm512_mask_min_epu16(low, last_odd, low, odd[G - 1]);
    const __m512i threshold = _mm512_set1_epi16(static_cast<short>(lowest_u16(low) + a.margin));
    std::uint64_t masks[G];
    for (int v = 0; v < G; ++v) {
        std::uint32_t e = _mm512_cmple_epu16_mask(even[v], threshold);
        std::uint32_t o = _mm512_cmple_epu16_mask(odd[v], threshold);
        if (v == G - 1) {
            e &= last_even;
            o &= last_odd;
        }
        masks[v] = interleave(e, o);
    }
    if (counts != nullptr)
        counts->windows += windows;
    long first = 0;
    if (count_candidates(masks, G, first) == 1)
        return first;
    evaluate_all(best, a, codes.data(), masks, G, 0, counts);
    return -1;
}

template <int G>
TARNEL_AVX512 window_hit scan_short_avx512(
    const kernel_args& a, std::span<const std::uint8_t> codes, int windows, scan_counts* counts)
{
    window_hit best;
    const long first = short_pass<G>(a, codes, windows, best, counts);
    if (first >= 0)
        consider(best, a, codes.data(), first, counts);
    return best;
}

// Stores G groups' penalties from group b of a chunk into pen (even vector, then odd,
// per group) and lowers `low` by the real lanes.
template <int G>
TARNEL_AVX512 inline void store_groups(
    const __m512i* even, const __m512i* odd, int b, int windows, std::uint16_t* pen, __m512i& low)
{
    for (int v = 0; v < G; ++v) {
        const int g = 64 * (b + v);
        _mm512_store_si512(reinterpret_cast<__m512i*>(pen + g), even[v]);
        _mm512_store_si512(reinterpret_cast<__m512i*>(pen + g + 32), odd[v]);
        low = _mm512_mask_min_epu16(low, even_lanes(g, windows), low, even[v]);
        low = _mm512_mask_min_epu16(low, odd_lanes(g, windows), low, odd[v]);
    }
}

template <int G>
TARNEL_AVX512 inline void score_into(
    const kernel_args& a, const std::uint8_t* c, int b, int windows, std::uint16_t* pen, __m512i& low)
{
    __m512i even[G];
    __m512i odd[G];
    score_groups<G>(a, c + 64 * b, even, odd);
    store_groups<G>(even, odd, b, windows, pen, low);
}

// A longer sequence, in chunks of penalties kept in memory.
TARNEL_AVX512 window_hit scan_long_avx512(
    const kernel_args& a, std::span<const std::uint8_t> codes, long windows, scan_counts* counts)
{
    window_hit best;
    alignas(64) std::uint16_t pen[chunk_windows];
    std::uint64_t masks[chunk_groups];
    unsigned lowest = 0xFFFF;
    const long all_groups = (windows + 63) / 64;
    for (long g0 = 0; g0 < windows; g0 += chunk_windows) {
        const int cw = static_cast<int>(std::min<long>(chunk_windows, windows - g0));
        const int groups = (cw + 63) / 64;
        // The sequence's last group reads with masks; a chunk's others read freely.
        const bool last_chunk = g0 + cw == windows;
        const int whole = last_chunk ? groups - 1 : groups;
        const std::uint8_t* c = codes.data() + g0;
        __m512i low = _mm512_set1_epi16(-1);
        int b = 0;
        for (; b + block_groups <= whole; b += block_groups)
            score_into<block_groups>(a, c, b, cw, pen, low);
        switch (whole - b) {
        case 3:
            score_into<3>(a, c, b, cw, pen, low);
            break;
        case 2:
            score_into<2>(a, c, b, cw, pen, low);
            break;
        case 1:
            score_into<1>(a, c, b, cw, pen, low);
            break;
        default:
            break;
        }
        if (last_chunk) {
            __m512i even;
            __m512i odd;
            const long start = 64 * (all_groups - 1);
            score_groups_to_end<1>(a, codes.data() + start, static_cast<long>(codes.size()) - start, &even, &odd);
            store_groups<1>(&even, &odd, groups - 1, cw, pen, low);
        }
        lowest = std::min(lowest, lowest_u16(low));
        const __m512i threshold = _mm512_set1_epi16(static_cast<short>(lowest + a.margin));
        for (int v = 0; v < groups; ++v) {
            const int g = 64 * v;
            const std::uint32_t e = _mm512_cmple_epu16_mask(_mm512_load_si512(pen + g), threshold) & even_lanes(g, cw);
            const std::uint32_t o =
                _mm512_cmple_epu16_mask(_mm512_load_si512(pen + g + 32), threshold) & odd_lanes(g, cw);
            masks[v] = interleave(e, o);
        }
        resolve(best, a, codes.data(), masks, groups, g0, counts);
        if (counts != nullptr)
            counts->windows += cw;
    }
    return best;
}

TARNEL_AVX512 window_hit scan_avx512(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    const long windows = static_cast<long>(codes.size()) - a.width + 1;
    if (windows <= 0)
        return {};
    const int n = static_cast<int>(std::min<long>(windows, 1 << 20));
    switch ((windows + 63) / 64) {
    case 1:
        return scan_short_avx512<1>(a, codes, n, counts);
    case 2:
        return scan_short_avx512<2>(a, codes, n, counts);
    case 3:
        return scan_short_avx512<3>(a, codes, n, counts);
    case 4:
        return scan_short_avx512<4>(a, codes, n, counts);
    default:
        return scan_long_avx512(a, codes, windows, counts);
    }
}

// Several sequences: the exact products of their single candidates are taken four at a
// time, as independent chains, instead of one latency-bound chain per sequence.
TARNEL_AVX512 void scan_batch_avx512(
    const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs, window_hit* hits, scan_counts* counts)
{
    constexpr int lanes = 4;
    std::size_t slot[lanes];
    const std::uint8_t* window[lanes];
    long at[lanes];
    int waiting = 0;
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        const std::span<const std::uint8_t> codes = seqs[i];
        const long windows = static_cast<long>(codes.size()) - a.width + 1;
        window_hit best;
        long first = -1;
        const int n = static_cast<int>(std::min<long>(windows, 1 << 20));
        switch (windows <= 0 ? 0 : (windows + 63) / 64) {
        case 0:
            break;
        case 1:
            first = short_pass<1>(a, codes, n, best, counts);
            break;
        case 2:
            first = short_pass<2>(a, codes, n, best, counts);
            break;
        case 3:
            first = short_pass<3>(a, codes, n, best, counts);
            break;
        case 4:
            first = short_pass<4>(a, codes, n, best, counts);
            break;
        default:
            best = scan_long_avx512(a, codes, windows, counts);
            break;
        }
        if (first < 0) {
            hits[i] = best;
            continue;
        }
        slot[waiting] = i;
        window[waiting] = codes.data() + first;
        at[waiting] = first;
        if (++waiting < lanes)
            continue;
        // The same multiplications as exact_product, in the same order, for each window.
        long double p0 = a.q[window[0][0]];
        long double p1 = a.q[window[1][0]];
        long double p2 = a.q[window[2][0]];
        long double p3 = a.q[window[3][0]];
        for (int r = 1; r < a.width; ++r) {
            const float* row = a.q + static_cast<std::size_t>(r) * 5;
            p0 *= row[window[0][r]];
            p1 *= row[window[1][r]];
            p2 *= row[window[2][r]];
            p3 *= row[window[3][r]];
        }
        // A single candidate is the winner; its product is positive.
        hits[slot[0]] = {static_cast<int>(at[0]), p0};
        hits[slot[1]] = {static_cast<int>(at[1]), p1};
        hits[slot[2]] = {static_cast<int>(at[2]), p2};
        hits[slot[3]] = {static_cast<int>(at[3]), p3};
        if (counts != nullptr)
            counts->exact += lanes;
        waiting = 0;
    }
    for (int j = 0; j < waiting; ++j) {
        window_hit best;
        consider(best, a, seqs[slot[j]].data(), at[j], counts);
        hits[slot[j]] = best;
    }
}

// ---- AVX2: one row per lookup (low and high bytes apart), 32 windows per vector ----

#define TARNEL_AVX2 __attribute__((target("avx2,popcnt,bmi")))

// AVX2 has 16 vector registers: four vectors of windows (eight halves) at a time.
constexpr int block_vectors_avx2 = 4;

TARNEL_AVX2 inline unsigned lowest_u16(__m256i v)
{
    const __m128i q = _mm_min_epu16(_mm256_castsi256_si128(v), _mm256_extracti128_si256(v, 1));
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_minpos_epu16(q))) & 0xFFFFu;
}

// Scores V vectors of windows from vector b of the chunk whose codes are cb into pen, in
// window order, and lowers `low` by the real lanes; tail lanes are stored as 0xFFFF,
// above any threshold.
template <int V>
TARNEL_AVX2 inline void score_into(
    const kernel_args& a, const std::uint8_t* cb, int b, int windows, std::uint16_t* pen, __m256i& low)
{
    const __m256i* table = reinterpret_cast<const __m256i*>(a.row_table);
    // lo[v] gets windows 0-7 and 16-23 of vector v, hi[v] windows 8-15 and 24-31.
    __m256i lo[V];
    __m256i hi[V];
    for (int v = 0; v < V; ++v)
        lo[v] = hi[v] = _mm256_setzero_si256();
    const std::uint8_t* c = cb + 32 * b;
    for (int r = 0; r < a.width; ++r, ++c) {
        const __m256i low_bytes = _mm256_load_si256(table + 2 * r);
        const __m256i high_bytes = _mm256_load_si256(table + 2 * r + 1);
        for (int v = 0; v < V; ++v) {
            const __m256i code = _mm256_loadu_si256(reinterpret_cast<const __m256i*>(c + 32 * v));
            const __m256i l = _mm256_shuffle_epi8(low_bytes, code);
            const __m256i h = _mm256_shuffle_epi8(high_bytes, code);
            lo[v] = _mm256_adds_epu16(lo[v], _mm256_unpacklo_epi8(l, h));
            hi[v] = _mm256_adds_epu16(hi[v], _mm256_unpackhi_epi8(l, h));
        }
    }
    for (int v = 0; v < V; ++v) {
        const int w0 = 32 * (b + v);
        __m256i* out = reinterpret_cast<__m256i*>(pen + w0);
        __m256i first = _mm256_permute2x128_si256(lo[v], hi[v], 0x20);
        __m256i second = _mm256_permute2x128_si256(lo[v], hi[v], 0x31);
        if (windows - w0 < 32) {  // the chunk's last vector
            alignas(32) std::uint16_t lanes[32];
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes), first);
            _mm256_store_si256(reinterpret_cast<__m256i*>(lanes + 16), second);
            for (int i = windows - w0; i < 32; ++i)
                lanes[i] = 0xFFFF;
            first = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes));
            second = _mm256_load_si256(reinterpret_cast<const __m256i*>(lanes + 16));
        }
        _mm256_store_si256(out, first);
        _mm256_store_si256(out + 1, second);
        low = _mm256_min_epu16(low, _mm256_min_epu16(first, second));
    }
}

TARNEL_AVX2 window_hit scan_avx2(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    window_hit best;
    const int w = a.width;
    const long windows = static_cast<long>(codes.size()) - w + 1;
    if (windows <= 0)
        return best;
    alignas(32) std::uint8_t cb[chunk_windows + chunk_pad];
    alignas(32) std::uint16_t pen[chunk_windows];
    std::uint32_t masks[chunk_vectors];
    unsigned lowest = 0xFFFF;

    for (long g0 = 0; g0 < windows; g0 += chunk_windows) {
        const int cw = static_cast<int>(std::min<long>(chunk_windows, windows - g0));
        const int positions = cw + w - 1;
        const int vectors = (cw + 31) / 32;
        // The codes, and zeros for the tail lanes of the last vector.
        std::memcpy(cb, codes.data() + g0, static_cast<std::size_t>(positions));
        std::memset(cb + positions, 0, static_cast<std::size_t>(vectors * 32 - cw));

        __m256i low = _mm256_set1_epi16(-1);
        int b = 0;
        for (; b + block_vectors_avx2 <= vectors; b += block_vectors_avx2)
            score_into<block_vectors_avx2>(a, cb, b, cw, pen, low);
        switch (vectors - b) {
        case 3:
            score_into<3>(a, cb, b, cw, pen, low);
            break;
        case 2:
            score_into<2>(a, cb, b, cw, pen, low);
            break;
        case 1:
            score_into<1>(a, cb, b, cw, pen, low);
            break;
        default:
            break;
        }

        lowest = std::min(lowest, lowest_u16(low));
        const __m256i threshold = _mm256_set1_epi16(static_cast<short>(lowest + a.margin));
        for (int v = 0; v < vectors; ++v) {
            const __m256i* in = reinterpret_cast<const __m256i*>(pen + 32 * v);
            const __m256i x = _mm256_load_si256(in);
            const __m256i y = _mm256_load_si256(in + 1);
            const __m256i fx = _mm256_cmpeq_epi16(_mm256_min_epu16(x, threshold), x);
            const __m256i fy = _mm256_cmpeq_epi16(_mm256_min_epu16(y, threshold), y);
            // Packing interleaves the halves by 128 bits; the permute restores window order.
            const __m256i flags = _mm256_permute4x64_epi64(_mm256_packs_epi16(fx, fy), 0xD8);
            masks[v] = static_cast<std::uint32_t>(_mm256_movemask_epi8(flags));
        }
        resolve(best, a, codes.data(), masks, vectors, g0, counts);
        if (counts != nullptr)
            counts->windows += cw;
    }
    return best;
}

}  // namespace

bool fast_scanner::supported(scan_path path)
{
    switch (path) {
    case scan_path::exact:
        return true;
    case scan_path::avx2:
        return __builtin_cpu_supports("avx2") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi");
    case scan_path::avx512:
        return __builtin_cpu_supports("avx512f") && __builtin_cpu_supports("avx512bw") &&
            __builtin_cpu_supports("avx512vl") && __builtin_cpu_supports("popcnt") && __builtin_cpu_supports("bmi") &&
            __builtin_cpu_supports("bmi2");
    }
    return false;
}

scan_path fast_scanner::best_path()
{
    static const scan_path best = [] {
        __builtin_cpu_init();
        if (supported(scan_path::avx512))
            return scan_path::avx512;
        if (supported(scan_path::avx2))
            return scan_path::avx2;
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
    }
    return "?";
}

fast_scanner::fast_scanner(motif_quotients mq) : fast_scanner(std::move(mq), best_path())
{
}

fast_scanner::fast_scanner(motif_quotients mq, scan_path path) : mq_(std::move(mq))
{
    __builtin_cpu_init();
    if (path == scan_path::avx512 && !supported(path))
        path = scan_path::avx2;
    if (path == scan_path::avx2 && !supported(path))
        path = scan_path::exact;
    // The log domain needs positive finite quotients (a product can then neither vanish,
    // change sign nor leave the long double range) and a width the buffers hold.
    const int w = mq_.width;
    bool log_domain = w >= 1 && w <= max_width && mq_.q.size() >= static_cast<std::size_t>(w) * 5;
    for (std::size_t i = 0; log_domain && i < static_cast<std::size_t>(w) * 5; ++i)
        log_domain = mq_.q[i] > 0.0f && std::isfinite(mq_.q[i]);
    path_ = log_domain ? path : scan_path::exact;
    if (path_ != scan_path::exact)
        build_tables();
}

void fast_scanner::build_tables()
{
    const int w = mq_.width;
    const bool pairs = path_ == scan_path::avx512;
    terms_ = pairs ? (w + 1) / 2 : w;
    margin_ = static_cast<unsigned>(terms_) + 1;
    const int entries = pairs ? 25 : 5;

    auto ln = [&](int r, int b) { return std::log(static_cast<double>(mq_.q[static_cast<std::size_t>(r) * 5 + b])); };
    // Each term's value for each index, then its largest value and its spread.
    std::vector<double> t(static_cast<std::size_t>(terms_) * entries);
    std::vector<double> top(static_cast<std::size_t>(terms_));
    double spread = 0.0;
    for (int k = 0; k < terms_; ++k) {
        double hi = -HUGE_VAL;
        double lo = HUGE_VAL;
        for (int j = 0; j < entries; ++j) {
            double v;
            if (!pairs)
                v = ln(k, j);
            else if (2 * k + 1 < w)
                v = ln(2 * k, j / 5) + ln(2 * k + 1, j % 5);
            else
                v = ln(2 * k, j / 5);  // an odd width's last row stands alone
            t[static_cast<std::size_t>(k) * entries + j] = v;
            hi = std::max(hi, v);
            lo = std::min(lo, v);
        }
        top[static_cast<std::size_t>(k)] = hi;
        spread += hi - lo;
    }

    // The finest scale at which no window's penalty can pass the budget, so that the
    // lowest penalty plus the margin still lies below the 0xFFFF of unused lanes.
    const double budget = 65534.0 - margin_;
    double scale = spread > 0.0 ? std::min(65536.0, (budget - terms_) / spread) : 1.0;
    std::vector<std::uint16_t> pen(t.size());
    for (;;) {
        double worst = 0.0;
        for (int k = 0; k < terms_; ++k) {
            long most = 0;
            for (int j = 0; j < entries; ++j) {
                const std::size_t i = static_cast<std::size_t>(k) * entries + j;
                const long p = std::lround(scale * (top[static_cast<std::size_t>(k)] - t[i]));
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

void fast_scanner::best_windows(
    std::span<const std::span<const std::uint8_t>> seqs, std::span<window_hit> hits, scan_counts* counts) const
{
    const std::size_t n = std::min(seqs.size(), hits.size());
    if (path_ == scan_path::avx512) {
        const kernel_args a{mq_.q.data(), mq_.width, terms_, margin_, pair_table_.data(), row_table_.data()};
        scan_batch_avx512(a, seqs.first(n), hits.data(), counts);
        return;
    }
    for (std::size_t i = 0; i < n; ++i)
        hits[i] = best_window(seqs[i], counts);
}

window_hit fast_scanner::best_window(std::span<const std::uint8_t> codes, scan_counts* counts) const
{
    const kernel_args a{mq_.q.data(), mq_.width, terms_, margin_, pair_table_.data(), row_table_.data()};
    switch (path_) {
    case scan_path::avx512:
        return scan_avx512(a, codes, counts);
    case scan_path::avx2:
        return scan_avx2(a, codes, counts);
    case scan_path::exact:
        break;
    }
    if (counts != nullptr) {
        const long windows = static_cast<long>(codes.size()) - mq_.width + 1;
        counts->windows += std::max(0L, windows);
        counts->exact += std::max(0L, windows);
    }
    return best_window_exact(mq_, codes);
}
