#include "scan_block.h"

#include "fast_scan.h"
#include "scan_kernels.h"

void scan_block::assign(std::span<const std::span<const std::uint8_t>> seqs)
{
    assign(seqs, fast_scanner::best_path());
}

void scan_block::assign(std::span<const std::span<const std::uint8_t>> seqs, [[maybe_unused]] scan_path path)
{
    seqs_ = seqs;
    starts_.clear();
    rows_ = 0;
#if defined(__x86_64__)
    // The indices a scanner asked for `path` reads.
    path = fast_scanner::widest_supported(path);
    const bool vbmi = path == scan_path::avx512vbmi;
    const bool avx2 = path == scan_path::avx2bytes;
    if (!vbmi && !avx2 && path != scan_path::avx512bytes)
        return;
    // The AVX2 pass's pair indices are those of the AVX-512BW one, made without AVX-512.
    rows_ = vbmi ? scan_kernel::vbmi::term_rows : scan_kernel::bytes::term_rows;
    const auto make_indices = vbmi ? scan_kernel::vbmi::make_indices
        : avx2                     ? scan_kernel::make_pair_indices_avx2
                                   : scan_kernel::bytes::make_indices;
    std::size_t total = scan_kernel::index_pad;
    for (const auto& codes : seqs)
        total += codes.size();
    // Kept from block to block: resized, not reallocated, once the largest block is seen.
    if (letters_.size() < total)
        letters_.resize(total);
    std::uint8_t* at = letters_.data();
    // The codes lie wherever each sequence was loaded: those of the sequences a few ahead are
    // fetched while this one's are read, rather than missed when their turn comes.
    constexpr std::size_t ahead = 8;
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        if (i + ahead < seqs.size()) {
            const auto next = seqs[i + ahead];
            for (std::size_t b = 0; b < next.size(); b += 64)
                __builtin_prefetch(next.data() + b);
            if (!next.empty())  // the last line, which the steps above miss unless the codes start one
                __builtin_prefetch(next.data() + next.size() - 1);
        }
        const auto& codes = seqs[i];
        const bool made = make_indices(codes.data(), static_cast<long>(codes.size()), at);
        starts_.push_back(made ? at : nullptr);
        at += codes.size();
    }
    (vbmi          ? scan_kernel::vbmi::pad_indices
            : avx2 ? scan_kernel::pad_pair_indices_avx2
                   : scan_kernel::bytes::pad_indices)(at);
#endif
}
