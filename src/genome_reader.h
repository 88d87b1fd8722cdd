// A genome FASTA read through its index (.fai, and .gzi when bgzip-compressed): only the
// letters asked for are read, whatever the genome's size.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

struct faidx_t;

class indexed_genome {
public:
    // Opens `path` and its index. A missing index is built beside the genome, as the
    // indexing tools would, and said on standard error. Throws fatal_error naming the file
    // and the problem when the genome cannot be opened or indexed.
    explicit indexed_genome(const std::string& path);
    ~indexed_genome();
    indexed_genome(const indexed_genome&) = delete;
    indexed_genome& operator=(const indexed_genome&) = delete;

    // Letters of a chromosome, or nothing when the genome has no such chromosome.
    std::optional<std::int64_t> length(const std::string& chrom) const;
    // Chromosome names in the genome's order.
    const std::vector<std::string>& names() const { return names_; }

    // The letters [start, end) of `chrom`, as the genome holds them (case kept). The
    // interval must lie within the chromosome. Throws fatal_error when they cannot be read.
    std::string fetch(const std::string& chrom, std::int64_t start, std::int64_t end) const;

    const std::string& path() const { return path_; }

private:
    std::string path_;
    faidx_t* fai_ = nullptr;
    std::vector<std::string> names_;
    std::unordered_map<std::string, std::int64_t> lengths_;
};
