// A block of sequences as the scan reads them: their codes and, where the processor's
// scan looks two or three codes up at a time, every letter's term index, made once and
// read by every motif scanned over the block.
#pragma once

#include <cstdint>
#include <span>
#include <vector>

enum class scan_path;

class scan_block {
public:
    // The block `seqs` (which must outlive this object's use), with the term indices of
    // the widest scan path, where it reads any.
    void assign(std::span<const std::span<const std::uint8_t>> seqs);
    // The same with the term indices of `path`.
    void assign(std::span<const std::span<const std::uint8_t>> seqs, scan_path path);

    std::span<const std::span<const std::uint8_t>> seqs() const { return seqs_; }
    // Each sequence's term indices, or null where there are none (an N among its codes,
    // a sequence too long for the 8-bit pass, or no indices made): empty when none were made.
    std::span<const std::uint8_t* const> indices() const { return starts_; }
    // Codes per term index (0 where none were made): only a path of as many reads them.
    int index_rows() const { return starts_.empty() ? 0 : rows_; }

private:
    std::span<const std::span<const std::uint8_t>> seqs_;
    std::vector<std::uint8_t> letters_;
    std::vector<const std::uint8_t*> starts_;
    int rows_ = 0;
};
