// The 8-bit pass for AVX-512BW without VBMI (x86-64 only; fast_scan.cpp calls it where the
// processor has AVX-512BW but not VBMI): two motif rows per lookup, their 16 entries in each
// 128-bit lane of one register, by vpshufb (a pair index is below 16, its high bit clear).
#include <immintrin.h>

#include "scan_kernels.h"

namespace scan_kernel::bytes {

TARNEL_AVX512 __attribute__((always_inline)) inline __m512i look_up(__m512i table, const std::uint8_t* at)
{
    return _mm512_shuffle_epi8(table, _mm512_loadu_si512(at));
}

}  // namespace scan_kernel::bytes

#define TARNEL_BYTES TARNEL_AVX512
#define TARNEL_BYTES_NAMESPACE bytes
#define TARNEL_LOOK_UP(table, index, out) "vpshufb %[" index "], %[" table "], %[" out "]"
#include "scan_kernel_bytes.h"
