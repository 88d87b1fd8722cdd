#include "genome_reader.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <htslib/faidx.h>
#include <htslib/hts_log.h>

#include "errors.h"
#include "line_reader.h"
#include "text_numbers.h"

namespace {

// Blocks of a bgzip genome kept decompressed: neighbouring regions share them.
constexpr int block_cache_bytes = 8 << 20;

enum class compression { none, gzip, bgzip };

// Told by the first bytes: gzip's magic, and bgzip's "BC" extra field.
compression compression_of(const std::string& path)
{
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw fatal_error(system_reason(path, errno));
    struct stat st { };
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        throw fatal_error(system_reason(path, EISDIR));
    }
    unsigned char head[16] = {};
    std::size_t got = 0;
    while (got < sizeof head) {
        const ssize_t n = read(fd, head + got, sizeof head - got);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            const int reason = errno;
            close(fd);
            throw fatal_error(system_reason(path, reason));
        }
        if (n == 0)
            break;
        got += static_cast<std::size_t>(n);
    }
    close(fd);
    if (got < 2 || head[0] != 0x1f || head[1] != 0x8b)
        return compression::none;
    const bool bgzip = got == sizeof head && (head[3] & 4) != 0 && head[12] == 'B' && head[13] == 'C';
    return bgzip ? compression::bgzip : compression::gzip;
}

bool exists(const std::string& path)
{
    struct stat st { };
    return stat(path.c_str(), &st) == 0;
}

// Builds the missing index files beside the genome; on failure removes what it made.
void build_index(const std::string& genome, const std::vector<std::string>& missing)
{
    const std::string remedy = "; make one with 'samtools faidx " + genome + "'";
    for (const std::string& file : missing) {
        // Only a file that can be created there will do; the probe is removed at once.
        const int fd = open(file.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0644);
        if (fd < 0)
            throw fatal_error(genome + ": has no index " + file + ", and it cannot be written beside the genome (" +
                std::strerror(errno) + ")" + remedy);
        close(fd);
        unlink(file.c_str());
    }
    if (fai_build3(genome.c_str(), nullptr, nullptr) != 0) {
        for (const std::string& file : missing)
            unlink(file.c_str());
        throw fatal_error(genome +
            ": cannot be indexed (a FASTA genome needs '>' titles, and lines of one length within each sequence)" +
            remedy);
    }
    std::string built;
    for (const std::string& file : missing)
        built += (built.empty() ? "" : " and ") + file;
    std::fprintf(stderr, "Tarnel: %s had no index; built %s beside it\n", genome.c_str(), built.c_str());
}

}  // namespace

indexed_genome::indexed_genome(const std::string& path) : path_(path)
{
    // htslib's own reasons (a line of another length, a damaged block) go to standard
    // error before ours; its notes and warnings do not.
    hts_set_log_level(HTS_LOG_ERROR);
    const compression packed = compression_of(path);
    if (packed == compression::gzip)
        throw fatal_error(path + ": is compressed with gzip, not bgzip; a genome is read plain or bgzip-compressed ('zcat " +
            path + " | bgzip > genome.fa.gz' makes one)");
    const std::string fai_file = path + ".fai";
    std::vector<std::string> missing;
    if (!exists(fai_file))
        missing.push_back(fai_file);
    if (packed == compression::bgzip && !exists(path + ".gzi"))
        missing.push_back(path + ".gzi");
    if (!missing.empty())
        build_index(path, missing);
    fai_ = fai_load3(path.c_str(), nullptr, nullptr, 0);
    if (fai_ == nullptr)
        throw fatal_error(path + ": its index cannot be read (remove " + fai_file +
            (packed == compression::bgzip ? " and " + path + ".gzi" : std::string()) + " to have it built again)");
    fai_set_cache_size(fai_, block_cache_bytes);

    // The lengths come from the index text: they may exceed what htslib's int lengths hold.
    line_reader index(fai_file);
    while (auto line = index.next_line()) {
        const std::size_t tab = line->find('\t');
        const std::size_t tab2 = tab == std::string_view::npos ? tab : line->find('\t', tab + 1);
        if (tab == std::string_view::npos || tab2 == std::string_view::npos)
            throw fatal_error(fai_file + ":" + std::to_string(index.line_number()) + ": not an index line (name, length, ...)");
        std::string name(line->substr(0, tab));
        lengths_.emplace(name, parse_int64_clamped(line->substr(tab + 1, tab2 - tab - 1)));
        names_.push_back(std::move(name));
    }
}

indexed_genome::~indexed_genome()
{
    if (fai_ != nullptr)
        fai_destroy(fai_);
}

std::optional<std::int64_t> indexed_genome::length(const std::string& chrom) const
{
    const auto found = lengths_.find(chrom);
    if (found == lengths_.end())
        return std::nullopt;
    return found->second;
}

std::string indexed_genome::fetch(const std::string& chrom, std::int64_t start, std::int64_t end) const
{
    hts_pos_t got = 0;
    const std::unique_ptr<char, decltype(&std::free)> letters(
        faidx_fetch_seq64(fai_, chrom.c_str(), start, end - 1, &got), &std::free);
    if (letters == nullptr || got != end - start)
        throw fatal_error(path_ + ": cannot read " + chrom + ":" + std::to_string(start) + "-" + std::to_string(end) +
            " (the genome is damaged or cut short, or its index is out of date)");
    return std::string(letters.get(), static_cast<std::size_t>(got));
}
