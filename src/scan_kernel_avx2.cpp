// The AVX2 kernel of the scan (x86-64 only; fast_scan.cpp calls it where the processor has
// AVX2).
#include <algorithm>
#include <cstring>
#include <immintrin.h>

#include "scan_kernels.h"

namespace scan_kernel {

namespace {

// ---- AVX2: one row per lookup (low and high bytes apart), 32 windows per vector ----

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

}  // namespace

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

}  // namespace scan_kernel
