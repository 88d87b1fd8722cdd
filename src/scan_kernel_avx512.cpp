// The AVX-512 kernel of the scan (x86-64 only; fast_scan.cpp calls it where the processor
// has AVX-512BW).
#include <algorithm>
#include <immintrin.h>

#include "scan_kernels.h"

namespace scan_kernel {

namespace {

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

}  // namespace

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

// Several sequences, their single candidates multiplied out together.
TARNEL_AVX512 void scan_batch_avx512(
    const kernel_args& a, std::span<const std::span<const std::uint8_t>> seqs, window_hit* hits, scan_counts* counts)
{
    candidate_queue queue;
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
        hits[i] = best;
        if (first >= 0)  // a single candidate, the winner
            queue.add(a, i, codes.data(), first, true);
        if ((i + 1) % candidate_queue::batch == 0)
            queue.flush_full(a, hits, counts);
    }
    queue.finish(a, hits, counts);
}

}  // namespace scan_kernel
