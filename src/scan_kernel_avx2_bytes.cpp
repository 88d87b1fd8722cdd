// The 8-bit pass for AVX2 (x86-64 only; fast_scan.cpp calls it where the processor has AVX2
// but not AVX-512): the tables of the AVX-512BW 8-bit pass, two motif rows per lookup by
// vpshufb, on 32 windows per vector. A sequence it cannot take goes to the 16-bit AVX2 pass.
#include <algorithm>
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
    if (p < n) {
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

// The penalties of V vectors of windows from vector b, whose pair indices are at t, into
// pen. Lanes past the last window are left to the caller.
template <int V>
TARNEL_AVX2 inline void score_into(const kernel_args& a, const std::uint8_t* t, int b, std::uint8_t* pen)
{
    // Term k's 16 entries are repeated in every 128-bit lane of its 64-byte row.
    const auto look_up = [&](int k, int v) TARNEL_AVX2 {
        const __m256i table = _mm256_load_si256(reinterpret_cast<const __m256i*>(a.byte_table + 64 * k));
        const std::uint8_t* at = t + 2 * k + 32 * (b + v);
        return _mm256_shuffle_epi8(table, _mm256_loadu_si256(reinterpret_cast<const __m256i*>(at)));
    };
    __m256i sum[V];
    for (int v = 0; v < V; ++v)  // a width is at least 1
        sum[v] = look_up(0, v);
    for (int k = 1; k < a.byte_terms; ++k)
        for (int v = 0; v < V; ++v)
            sum[v] = _mm256_adds_epu8(sum[v], look_up(k, v));
    for (int v = 0; v < V; ++v)
        _mm256_store_si256(reinterpret_cast<__m256i*>(pen + 32 * (b + v)), sum[v]);
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
// tables of a, into pen.
TARNEL_AVX2 void score_all(const kernel_args& a, const std::uint8_t* t, int vectors, std::uint8_t* pen)
{
    int b = 0;
    for (; b + block_vectors <= vectors; b += block_vectors)
        score_into<block_vectors>(a, t, b, pen);
    switch (vectors - b) {
    case 7:
        score_into<7>(a, t, b, pen);
        break;
    case 6:
        score_into<6>(a, t, b, pen);
        break;
    case 5:
        score_into<5>(a, t, b, pen);
        break;
    case 4:
        score_into<4>(a, t, b, pen);
        break;
    case 3:
        score_into<3>(a, t, b, pen);
        break;
    case 2:
        score_into<2>(a, t, b, pen);
        break;
    case 1:
        score_into<1>(a, t, b, pen);
        break;
    default:
        break;
    }
}

// The windows of `codes` (which has some) flagged for each of the S table sets a[s] into
// masks[s] (bit i of masks[s][v]: window 32 v + i), returning how many vectors of them; 0
// where the 16-bit pass must scan it. Two sets are one motif's strands, at one scale: the
// lowest penalty of either sets the threshold of both. Their pair indices are at `t`, or
// made here where `given` says none were.
template <int S>
TARNEL_AVX2 int flag_windows(const kernel_args* const* a, std::span<const std::uint8_t> codes, const std::uint8_t* t,
    bool given, std::uint32_t (*masks)[most_vectors], scan_counts* counts)
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
    alignas(32) std::uint8_t pen[S][byte_max_letters + 32];
    __m256i low = _mm256_set1_epi8(-1);
    for (int s = 0; s < S; ++s) {
        score_all(*a[s], t, vectors, pen[s]);
        // The last vector's lanes past the last window: above any threshold, and out of the lowest.
        std::fill(pen[s] + windows, pen[s] + 32L * vectors, std::uint8_t{0xFF});
        for (int v = 0; v < vectors; ++v)
            low = _mm256_min_epu8(low, _mm256_load_si256(reinterpret_cast<const __m256i*>(pen[s] + 32 * v)));
    }
    const unsigned threshold = lowest_u8(low) + a[0]->byte_margin;
    if (threshold > 254)  // past what 8 bits tell
        return 0;
    const __m256i limit = _mm256_set1_epi8(static_cast<char>(threshold));
    for (int s = 0; s < S; ++s)
        for (int v = 0; v < vectors; ++v) {
            const __m256i x = _mm256_load_si256(reinterpret_cast<const __m256i*>(pen[s] + 32 * v));
            masks[s][v] =
                static_cast<std::uint32_t>(_mm256_movemask_epi8(_mm256_cmpeq_epi8(_mm256_min_epu8(x, limit), x)));
            if (counts != nullptr)
                counts->flagged += __builtin_popcount(masks[s][v]);
        }
    return vectors;
}

// The 16-bit pass, for a sequence the 8-bit one cannot take.
TARNEL_AVX2 window_hit rescan(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    if (counts != nullptr)
        ++counts->rescanned;
    return scan_avx2(a, codes, counts);
}

// S table sets over several sequences (one motif, or its two strands): hits[s][i] for set
// s and sequence i, each set's single candidates multiplied out together. A strand of two
// none of whose windows is flagged is left empty.
template <int S>
TARNEL_AVX2 void scan_sets(const kernel_args* const* a, std::span<const std::span<const std::uint8_t>> seqs,
    std::span<const std::uint8_t* const> indices, window_hit* const* hits, scan_counts* counts)
{
    candidate_queue queue[S];
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        const std::span<const std::uint8_t> codes = seqs[i];
        const long windows = static_cast<long>(codes.size()) - a[0]->width + 1;
        std::uint32_t masks[S][most_vectors];
        const int vectors = windows > 0
            ? flag_windows<S>(a, codes, indices.empty() ? nullptr : indices[i], !indices.empty(), masks, counts)
            : 0;
        for (int s = 0; s < S; ++s) {
            hits[s][i] = {};
            if (windows > 0 && vectors == 0) {
                hits[s][i] = rescan(*a[s], codes, counts);
            } else if (vectors > 0) {
                if (counts != nullptr)
                    counts->windows += windows;
                long first = 0;
                const int flagged = count_candidates(masks[s], vectors, first);
                if (flagged == 1)  // nearly always: the winner
                    queue[s].add(*a[s], i, codes.data(), first, true);
                else if (flagged > 1)
                    evaluate_all(hits[s][i], *a[s], codes.data(), masks[s], vectors, 0, counts);
            }
        }
        if ((i + 1) % candidate_queue::batch == 0)
            for (int s = 0; s < S; ++s)
                queue[s].flush_full(*a[s], hits[s], counts);
    }
    for (int s = 0; s < S; ++s)
        queue[s].finish(*a[s], hits[s], counts);
}

}  // namespace

TARNEL_AVX2 window_hit scan_avx2_bytes(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    const long windows = static_cast<long>(codes.size()) - a.width + 1;
    if (windows <= 0)
        return {};
    const kernel_args* sets[1] = {&a};
    std::uint32_t masks[1][most_vectors];
    const int vectors = flag_windows<1>(sets, codes, nullptr, false, masks, counts);
    if (vectors == 0)
        return rescan(a, codes, counts);
    if (counts != nullptr)
        counts->windows += windows;
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

TARNEL_AVX2 void scan_batch_avx2_bytes_both(const kernel_args& given, const kernel_args& reverse,
    std::span<const std::span<const std::uint8_t>> seqs, std::span<const std::uint8_t* const> indices,
    window_hit* given_hits, window_hit* reverse_hits, scan_counts* counts)
{
    const kernel_args* sets[2] = {&given, &reverse};
    window_hit* const out[2] = {given_hits, reverse_hits};
    scan_sets<2>(sets, seqs, indices, out, counts);
}

}  // namespace scan_kernel
