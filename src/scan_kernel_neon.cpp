// The NEON kernel of the scan (aarch64 only, where NEON is always there). It is the AVX2
// kernel on 128-bit registers: the same per-row tables (a 16-byte table of the low bytes
// of a row's five penalties and one of the high bytes, looked up with tbl), the same
// exact 16-bit sums, the same margin and the same candidate rule, so fast_scan.cpp's
// argument covers it unchanged.
#include <algorithm>
#include <arm_neon.h>
#include <cstring>

#include "scan_kernels.h"

namespace scan_kernel {

namespace {

// Vectors of 32 windows scored together: 4 V accumulators of the 32 registers.
constexpr int block_vectors_neon = 4;

// Adds one row's penalties for the 16 codes at c to the sums of their windows.
inline void add_row(uint8x16_t low_bytes, uint8x16_t high_bytes, const std::uint8_t* c, uint16x8_t& first,
    uint16x8_t& second)
{
    const uint8x16_t code = vld1q_u8(c);
    const uint8x16_t l = vqtbl1q_u8(low_bytes, code);
    const uint8x16_t h = vqtbl1q_u8(high_bytes, code);
    // Little-endian lanes: low byte then high byte makes each window's 16-bit penalty.
    first = vqaddq_u16(first, vreinterpretq_u16_u8(vzip1q_u8(l, h)));
    second = vqaddq_u16(second, vreinterpretq_u16_u8(vzip2q_u8(l, h)));
}

// Scores V vectors of windows from vector b of the chunk whose codes are cb into pen, in
// window order, and lowers `low` by the real lanes; tail lanes are stored as 0xFFFF,
// above any threshold.
template <int V>
inline void score_into(const kernel_args& a, const std::uint8_t* cb, int b, int windows, std::uint16_t* pen,
    uint16x8_t& low)
{
    // sums[v][j]: windows 8 j to 8 j + 7 of vector v.
    uint16x8_t sums[V][4];
    for (int v = 0; v < V; ++v)
        for (int j = 0; j < 4; ++j)
            sums[v][j] = vdupq_n_u16(0);
    const std::uint8_t* c = cb + 32 * b;
    for (int r = 0; r < a.width; ++r, ++c) {
        const std::uint8_t* row = a.row_table + static_cast<std::size_t>(r) * 64;
        const uint8x16_t low_bytes = vld1q_u8(row);
        const uint8x16_t high_bytes = vld1q_u8(row + 32);
        for (int v = 0; v < V; ++v) {
            add_row(low_bytes, high_bytes, c + 32 * v, sums[v][0], sums[v][1]);
            add_row(low_bytes, high_bytes, c + 32 * v + 16, sums[v][2], sums[v][3]);
        }
    }
    for (int v = 0; v < V; ++v) {
        const int w0 = 32 * (b + v);
        std::uint16_t* out = pen + w0;
        for (int j = 0; j < 4; ++j)
            vst1q_u16(out + 8 * j, sums[v][j]);
        for (int i = std::max(0, windows - w0); i < 32; ++i)  // the chunk's last vector
            out[i] = 0xFFFF;
        for (int j = 0; j < 4; ++j)
            low = vminq_u16(low, vld1q_u16(out + 8 * j));
    }
}

// Bit i of the result: lane i of the 32 penalties at pen is at most threshold.
inline std::uint32_t candidates_of(const std::uint16_t* pen, uint16x8_t threshold)
{
    static constexpr std::uint16_t weights[8] = {1, 2, 4, 8, 16, 32, 64, 128};
    const uint16x8_t bit = vld1q_u16(weights);
    std::uint32_t mask = 0;
    for (int j = 0; j < 4; ++j) {
        const uint16x8_t flags = vandq_u16(vcleq_u16(vld1q_u16(pen + 8 * j), threshold), bit);
        mask |= static_cast<std::uint32_t>(vaddvq_u16(flags)) << (8 * j);
    }
    return mask;
}

}  // namespace

window_hit scan_neon(const kernel_args& a, std::span<const std::uint8_t> codes, scan_counts* counts)
{
    window_hit best;
    const int w = a.width;
    const long windows = static_cast<long>(codes.size()) - w + 1;
    if (windows <= 0)
        return best;
    alignas(16) std::uint8_t cb[chunk_windows + chunk_pad];
    alignas(16) std::uint16_t pen[chunk_windows];
    std::uint32_t masks[chunk_vectors];
    unsigned lowest = 0xFFFF;

    for (long g0 = 0; g0 < windows; g0 += chunk_windows) {
        const int cw = static_cast<int>(std::min<long>(chunk_windows, windows - g0));
        const int positions = cw + w - 1;
        const int vectors = (cw + 31) / 32;
        // The codes, and zeros for the tail lanes of the last vector.
        std::memcpy(cb, codes.data() + g0, static_cast<std::size_t>(positions));
        std::memset(cb + positions, 0, static_cast<std::size_t>(vectors * 32 - cw));

        uint16x8_t low = vdupq_n_u16(0xFFFF);
        int b = 0;
        for (; b + block_vectors_neon <= vectors; b += block_vectors_neon)
            score_into<block_vectors_neon>(a, cb, b, cw, pen, low);
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

        lowest = std::min(lowest, static_cast<unsigned>(vminvq_u16(low)));
        const uint16x8_t threshold = vdupq_n_u16(static_cast<std::uint16_t>(lowest + a.margin));
        for (int v = 0; v < vectors; ++v)
            masks[v] = candidates_of(pen + 32 * v, threshold);
        resolve(best, a, codes.data(), masks, vectors, g0, counts);
        if (counts != nullptr)
            counts->windows += cw;
    }
    return best;
}

}  // namespace scan_kernel
