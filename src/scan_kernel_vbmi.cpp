// The 8-bit pass for AVX-512 VBMI (x86-64 only; fast_scan.cpp calls it where the processor
// has it): three motif rows per lookup, their 64 entries in one register, by vpermb. With a
// 125-entry table in two registers, by vpermi2b, the scan took about 5% longer.
#include <immintrin.h>

#include "scan_kernels.h"

namespace scan_kernel::vbmi {

// The zero-masked form: GCC 12 warns on the plain one, which starts from an undefined vector.
TARNEL_VBMI __attribute__((always_inline)) inline __m512i look_up(__m512i table, const std::uint8_t* at)
{
    return _mm512_maskz_permutexvar_epi8(~__mmask64{0}, _mm512_loadu_si512(at), table);
}

}  // namespace scan_kernel::vbmi

#define TARNEL_BYTES TARNEL_VBMI
#define TARNEL_BYTES_NAMESPACE vbmi
#define TARNEL_LOOK_UP(table, index, out) "vpermb %[" table "], %[" index "], %[" out "]"
#include "scan_kernel_bytes.h"
