// A block of sequences as the scan reads them: their codes and, where the processor's
// scan looks three codes up at a time, every letter's triple index, made once and read
// by every motif scanned over the block.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

class scan_block {
public:
    // The block `seqs` (which must outlive this object's use); its triple indices are made
    // only when the widest scan path reads them.
    void assign(std::span<const std::span<const std::uint8_t>> seqs);

    std::span<const std::span<const std::uint8_t>> seqs() const { return seqs_; }
    // Each sequence's triple indices, or null where there are none (an N among its codes,
    // a sequence too long for the 8-bit pass, or no triples made): empty when none were made.
    std::span<const std::uint8_t* const> triples() const { return starts_; }

private:
    std::span<const std::span<const std::uint8_t>> seqs_;
    std::vector<std::uint8_t> letters_;
    std::vector<const std::uint8_t*> starts_;
};
