// The AVX-512 VBMI kernel of the scan (x86-64 only; fast_scan.cpp calls it where the
// processor has AVX-512 VBMI): 8-bit penalties, 64 windows per vector, three motif rows
// per table lookup.
#include <algorithm>
#include <immintrin.h>

#include "scan_kernels.h"

namespace scan_kernel {

namespace {

// ---- Triple codes ----
//
// Window n's term k is looked up by the triple index 25 c[n + 3k] + 5 c[n + 3k + 1] +
// c[n + 3k + 2], which depends on n + 3k alone: one array of the sequence's triple
// indices serves every window and every term, and 64 of them loaded from n + 3k are the
// term's indices of windows n to n + 63. Codes past the sequence's end count as 0; only
// rows past the motif's width read them, and their tables ignore them.

// ---- The 8-bit pass ----

// Vectors of windows of the longest sequence the pass takes.
constexpr int max_vectors = static_cast<int>((triple_max_letters + 63) / 64);

// Real-window lanes of the vector of windows b to b + 63.
TARNEL_VBMI inline std::uint64_t lanes64(int b, int windows)
{
    return _bzhi_u64(~0ULL, static_cast<unsigned>(std::clamp(windows - b, 0, 64)));
}

// Penalties of the G vectors of windows from the one whose triple index is at t.
template <int G>
TARNEL_VBMI inline void score(const kernel_args& a, const std::uint8_t* t, __m512i* sum)
{
    const __m512i* table = reinterpret_cast<const __m512i*>(a.triple_table);
    // The first term sets the sums (a width is at least 1): zeroing them first would go
    // through memory.
    for (int v = 0; v < G; ++v)
        sum[v] = _mm512_permutex2var_epi8(_mm512_load_si512(table), _mm512_loadu_si512(t + 64 * v), _mm512_load_si512(table + 1));
    t += 3;
    for (int k = 1; k < a.triple_terms; ++k, t += 3) {
        const __m512i lo = _mm512_load_si512(table + 2 * k);
        const __m512i hi = _mm512_load_si512(table + 2 * k + 1);
        for (int v = 0; v < G; ++v)
            sum[v] = _mm512_adds_epu8(sum[v], _mm512_permutex2var_epi8(lo, _mm512_loadu_si512(t + 64 * v), hi));
    }
}

template <int G>
TARNEL_VBMI inline void score_into(
    const kernel_args& a, const std::uint8_t* t, int v0, int windows, std::uint8_t* pen, __m512i& low)
{
    __m512i sum[G];
    score<G>(a, t + 64 * v0, sum);
    for (int v = 0; v < G; ++v) {
        _mm512_store_si512(reinterpret_cast<__m512i*>(pen + 64 * (v0 + v)), sum[v]);
        low = _mm512_mask_min_epu8(low, lanes64(64 * (v0 + v), windows), low, sum[v]);
    }
}

// Window n's penalty in the 16-bit pass's pair tables (whose sums never saturate). An odd
// width's last row stands alone: the code after it, which may lie past the end, counts as 0.
inline unsigned pair_penalty(const kernel_args& a, const std::uint8_t* codes, std::size_t size, long n)
{
    const std::uint8_t* c = codes + n;
    const std::size_t left = size - static_cast<std::size_t>(n);
    unsigned sum = 0;
    for (int k = 0; k < a.terms; ++k) {
        const unsigned next = static_cast<std::size_t>(2 * k + 1) < left ? c[2 * k + 1] : 0u;
        sum += a.pair_table[static_cast<std::size_t>(k) * 32 + 5u * c[2 * k] + next];
    }
    return sum;
}

// What a pass leaves.
constexpr long saturated = -2;  // the 8 bits cannot tell the best windows apart: use the 16-bit pass
constexpr long evaluated = -1;  // several candidates, evaluated into best

// The lowest of 64 bytes, in registers.
TARNEL_VBMI inline unsigned lowest_of(__m512i v)
{
    // The zero-masked forms: GCC 12 warns on the plain ones, which start from an undefined vector.
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(0xFF, v, v, 0x4E));
    v = _mm512_min_epu8(v, _mm512_maskz_shuffle_i64x2(0xFF, v, v, 0xB1));
    __m128i q = _mm512_maskz_extracti32x4_epi32(0xF, v, 0);
    q = _mm_min_epu8(q, _mm_srli_epi16(q, 8));  // each 16-bit lane's low byte: the lower of its two
    q = _mm_and_si128(q, _mm_set1_epi16(0xFF));
    return static_cast<unsigned>(_mm_cvtsi128_si32(_mm_minpos_epu16(q))) & 0xFFu;
}

// The flagged windows (masks, `vectors` of them) once the lowest penalty is known: the
// single candidate (unevaluated), or several evaluated into best.
TARNEL_VBMI long settle(const kernel_args& a, const std::uint8_t* codes, std::size_t size, std::uint64_t* masks,
    int vectors, window_hit& best, scan_counts* counts)
{
    long first = 0;
    const int flagged = count_candidates(masks, vectors, first);
    if (counts != nullptr)
        counts->flagged += flagged;
    if (flagged == 1)
        return first;
    // Several: only those within the 16-bit margin of the lowest 16-bit penalty among them
    // (kept for the first few, worked out again for any others).
    constexpr int kept = 32;
    unsigned pen16[kept];
    unsigned low16 = ~0u;
    int i = 0;
    for (int v = 0; v < vectors; ++v)
        for (std::uint64_t m = masks[v]; m != 0; m &= m - 1, ++i) {
            const unsigned p = pair_penalty(a, codes, size, 64L * v + __builtin_ctzll(m));
            if (i < kept)
                pen16[i] = p;
            low16 = std::min(low16, p);
        }
    i = 0;
    for (int v = 0; v < vectors; ++v)
        for (std::uint64_t m = masks[v]; m != 0; m &= m - 1, ++i) {
            const unsigned p = i < kept ? pen16[i] : pair_penalty(a, codes, size, 64L * v + __builtin_ctzll(m));
            if (p > low16 + a.margin)
                masks[v] &= ~(m & -m);
        }
    if (count_candidates(masks, vectors, first) == 1)
        return first;
    evaluate_all(best, a, codes, masks, vectors, 0, counts);
    return evaluated;
}

// A sequence of G vectors of windows, its penalties kept in registers.
template <int G>
TARNEL_VBMI long short_pass(const kernel_args& a, const std::uint8_t* codes, std::size_t size,
    const std::uint8_t* t, int windows, window_hit& best, scan_counts* counts)
{
    __m512i sum[G];
    score<G>(a, t, sum);
    const std::uint64_t last = lanes64(64 * (G - 1), windows);
    __m512i low = _mm512_mask_mov_epi8(_mm512_set1_epi8(-1), last, sum[G - 1]);
    for (int v = 0; v + 1 < G; ++v)
        low = _mm512_min_epu8(low, sum[v]);
    const unsigned threshold = lowest_of(low) + a.triple_margin;
    if (threshold > 254)
        return saturated;
    const __m512i limit = _mm512_set1_epi8(static_cast<char>(threshold));
    std::uint64_t masks[G];
    for (int v = 0; v < G; ++v)
        masks[v] = _mm512_cmple_epu8_mask(sum[v], limit);
    masks[G - 1] &= last;
    if (counts != nullptr)
        counts->windows += windows;
    return settle(a, codes, size, masks, G, best, counts);
}

// A longer one, its penalties kept in memory.
TARNEL_VBMI long long_pass(const kernel_args& a, const std::uint8_t* codes, std::size_t size,
    const std::uint8_t* t, int windows, window_hit& best, scan_counts* counts)
{
    const int vectors = (windows + 63) / 64;
    alignas(64) std::uint8_t pen[max_vectors * 64];
    __m512i low = _mm512_set1_epi8(-1);
    int v = 0;
    for (; v + 4 <= vectors; v += 4)
        score_into<4>(a, t, v, windows, pen, low);
    switch (vectors - v) {
    case 3:
        score_into<3>(a, t, v, windows, pen, low);
        break;
    case 2:
        score_into<2>(a, t, v, windows, pen, low);
        break;
    case 1:
        score_into<1>(a, t, v, windows, pen, low);
        break;
    default:
        break;
    }
    const unsigned threshold = lowest_of(low) + a.triple_margin;
    if (threshold > 254)
        return saturated;
    const __m512i limit = _mm512_set1_epi8(static_cast<char>(threshold));
    std::uint64_t masks[max_vectors];
    for (v = 0; v < vectors; ++v)
        masks[v] = _mm512_cmple_epu8_mask(_mm512_load_si512(reinterpret_cast<const __m512i*>(pen + 64 * v)), limit) &
            lanes64(64 * v, windows);
    if (counts != nullptr)
        counts->windows += windows;
    return settle(a, codes, size, masks, vectors, best, counts);
}

// One sequence of `windows` windows (1 to triple_max_letters), its triple indices at t: the
// single candidate (unevaluated), or evaluated, or saturated.
TARNEL_VBMI long pass(const kernel_args& a, const std::uint8_t* codes, std::size_t size, const std::uint8_t* t,
    int windows, window_hit& best, scan_counts* counts)
{
    switch ((windows + 63) / 64) {
    case 1:
        return short_pass<1>(a, codes, size, t, windows, best, counts);
    case 2:
        return short_pass<2>(a, codes, size, t, windows, best, counts);
    case 3:
        return short_pass<3>(a, codes, size, t, windows, best, counts);
    case 4:
        return short_pass<4>(a, codes, size, t, windows, best, counts);
    case 5:
        return short_pass<5>(a, codes, size, t, windows, best, counts);
    case 6:
        return short_pass<6>(a, codes, size, t, windows, best, counts);
    case 7:
        return short_pass<7>(a, codes, size, t, windows, best, counts);
    case 8:
        return short_pass<8>(a, codes, size, t, windows, best, counts);
    default:
        return long_pass(a, codes, size, t, windows, best, counts);
    }
}


TARNEL_VBMI window_hit rescan(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    if (counts != nullptr)
        ++counts->rescanned;
    return scan_avx512(a, codes, counts);
}

}  // namespace

namespace {

// A mask of the first `count` bytes of a vector (none for a count below 0, all from 64).
TARNEL_VBMI inline std::uint64_t first_bytes(long count)
{
    return _bzhi_u64(~0ULL, static_cast<unsigned>(std::clamp(count, 0L, 64L)));
}

}  // namespace

TARNEL_VBMI bool make_triples(const std::uint8_t* c, long n, std::uint8_t* t)
{
    if (n > triple_max_letters)
        return false;
    long p = 0;
    __m512i most = _mm512_setzero_si512();
    // Codes are at most 4, so each byte's shifts stay in its byte.
    for (; p + 66 <= n; p += 64) {
        const __m512i a = _mm512_loadu_si512(c + p);
        const __m512i b = _mm512_loadu_si512(c + p + 1);
        const __m512i d = _mm512_loadu_si512(c + p + 2);
        most = _mm512_or_si512(most, a);
        const __m512i ab = _mm512_add_epi8(_mm512_add_epi8(_mm512_slli_epi16(a, 2), a), b);
        _mm512_storeu_si512(t + p, _mm512_add_epi8(_mm512_add_epi8(_mm512_slli_epi16(ab, 2), ab), d));
    }
    // The last codes through masked loads, which read nothing past the end and give 0 there.
    for (; p < n; p += 64) {
        const __m512i a = _mm512_maskz_loadu_epi8(first_bytes(n - p), c + p);
        const __m512i b = _mm512_maskz_loadu_epi8(first_bytes(n - p - 1), c + p + 1);
        const __m512i d = _mm512_maskz_loadu_epi8(first_bytes(n - p - 2), c + p + 2);
        most = _mm512_or_si512(most, a);
        const __m512i ab = _mm512_add_epi8(_mm512_add_epi8(_mm512_slli_epi16(a, 2), a), b);
        _mm512_mask_storeu_epi8(t + p, first_bytes(n - p), _mm512_add_epi8(_mm512_add_epi8(_mm512_slli_epi16(ab, 2), ab), d));
    }
    return _mm512_test_epi8_mask(most, _mm512_set1_epi8(4)) == 0;
}

TARNEL_VBMI void pad_triples(std::uint8_t* t)
{
    for (int i = 0; i < triple_pad; i += 64)
        _mm512_storeu_si512(t + i, _mm512_setzero_si512());
}

namespace {

// The triple indices of codes: the block's, or made here into `room`; null where the
// 8-bit pass cannot take the sequence. Made here, the indices are read right after being
// stored, which costs the loads a wait for the stores: a shared block avoids it.
TARNEL_VBMI const std::uint8_t* triples_of(
    std::span<const std::uint8_t> codes, std::span<const std::uint8_t* const> block, std::size_t i, std::uint8_t* room)
{
    if (!block.empty())
        return block[i];
    if (!make_triples(codes.data(), static_cast<long>(codes.size()), room))
        return nullptr;
    pad_triples(room + codes.size());
    return room;
}

// The winner of one sequence by the 8-bit pass, or by the 16-bit pass where it cannot
// take it; a single candidate is handed to `singles` rather than evaluated.
TARNEL_VBMI void scan_one(const kernel_args& a, std::span<const std::uint8_t> codes, const std::uint8_t* t,
    window_hit* hits, std::size_t i, single_candidates& singles, scan_counts* counts)
{
    const long windows = static_cast<long>(codes.size()) - a.width + 1;
    if (windows <= 0) {
        hits[i] = {};
        return;
    }
    window_hit best;
    const long first = t == nullptr ? saturated : pass(a, codes.data(), codes.size(), t, static_cast<int>(windows), best, counts);
    if (first == saturated)
        hits[i] = rescan(a, codes, counts);
    else if (first == evaluated)
        hits[i] = best;
    else
        singles.add(a, hits, i, codes.data(), first, counts);
}

}  // namespace

TARNEL_VBMI window_hit scan_vbmi(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    alignas(64) std::uint8_t room[triple_max_letters + triple_pad];
    window_hit hit;
    single_candidates singles;
    scan_one(a, codes, triples_of(codes, {}, 0, room), &hit, 0, singles, counts);
    singles.finish(a, &hit, counts);
    return hit;
}

TARNEL_VBMI void scan_batch_vbmi(const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> triples, window_hit* hits, scan_counts* counts)
{
    alignas(64) std::uint8_t room[triple_max_letters + triple_pad];
    single_candidates singles;
    for (std::size_t i = 0; i < seqs.size(); ++i)
        scan_one(a, seqs[i], triples_of(seqs[i], triples, i, room), hits, i, singles, counts);
    singles.finish(a, hits, counts);
}

}  // namespace scan_kernel
