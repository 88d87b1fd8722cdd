#include "region_records.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <exception>
#include <numeric>
#include <span>
#include <thread>
#include <unordered_map>
#include <unistd.h>

#include "errors.h"
#include "genome_reader.h"
#include "line_reader.h"
#include "settings.h"

namespace {

// Regions from which the genome is read on two cores.
constexpr std::size_t parallel_from = 2000;

constexpr std::array<char, 256> make_region_complements()
{
    std::array<char, 256> letters{};
    for (int c = 0; c < 256; ++c)
        letters[static_cast<std::size_t>(c)] = static_cast<char>(c);
    for (const char* pair : {"AT", "CG", "RY", "KM", "BV", "DH"}) {
        for (const int lower : {0, 'a' - 'A'}) {
            const auto a = static_cast<unsigned char>(pair[0] + lower);
            const auto b = static_cast<unsigned char>(pair[1] + lower);
            letters[a] = static_cast<char>(b);
            letters[b] = static_cast<char>(a);
        }
    }
    letters['U'] = 'A';
    letters['u'] = 'a';
    return letters;
}

constexpr std::array<char, 256> region_complements = make_region_complements();

// "<regions>:<line>: <problem>"
[[noreturn]] void refuse(const std::string& regions_path, const region& r, const std::string& problem)
{
    throw fatal_error(regions_path + ":" + std::to_string(r.line) + ": " + problem);
}

std::string some_chromosomes(const indexed_genome& genome)
{
    const auto& names = genome.names();
    if (names.empty())
        return "which holds no sequence";
    if (names.size() == 1)
        return "which has only '" + names[0] + "'";
    return "which has, for one, '" + names[0] + "' and '" + names[1] + "'";
}

// A region as the genome holds it: its chromosome's place in the genome, for reading
// the genome in its own order.
struct placed_region {
    region r;
    std::size_t chrom_order = 0;
};

}  // namespace

std::string region_title(const region& r)
{
    return r.name + "::" + r.chrom + ":" + std::to_string(r.start) + "-" + std::to_string(r.end) + "(" + r.strand + ")";
}

void append_region_reverse_complement(std::string& out, std::string_view letters)
{
    for (auto c = letters.rbegin(); c != letters.rend(); ++c)
        out += region_complements[static_cast<unsigned char>(*c)];
}

std::vector<seq> read_region_records(
    const std::string& genome_path, const std::string& regions_path, int window, std::size_t most)
{
    line_reader in(regions_path);  // a missing regions file is told before any index is built
    const indexed_genome genome(genome_path);
    std::unordered_map<std::string, std::size_t> chrom_order;
    for (std::size_t i = 0; i < genome.names().size(); ++i)
        chrom_order.emplace(genome.names()[i], i);

    std::vector<placed_region> regions;
    long clipped = 0;
    while (regions.size() < most) {
        std::optional<region> next = read_region(in, window > 0);
        if (!next)
            break;
        region& r = *next;
        const std::optional<std::int64_t> length = genome.length(r.chrom);
        if (!length)
            refuse(regions_path, r,
                "chromosome '" + r.chrom + "' is not in the genome " + genome_path + " (" + some_chromosomes(genome) +
                    "; another assembly, or 'chr1' against '1'?)");
        if (r.end > *length)
            refuse(regions_path, r,
                "region " + r.chrom + ":" + std::to_string(r.start) + "-" + std::to_string(r.end) +
                    " ends past the end of " + r.chrom + " (" + std::to_string(*length) + " letters in " + genome_path +
                    ")");
        if (window > 0)
            clipped += centre_on_summit(r, window, *length);
        const std::size_t place = chrom_order.at(r.chrom);
        regions.push_back({std::move(r), place});
    }
    if (clipped > 0)
        std::fprintf(stderr, "Tarnel: --summit-window: %ld of %zu windows clipped at a chromosome's end\n", clipped,
            regions.size());

    // The genome is read in its own order, whatever the regions' order: each block of a
    // compressed genome is then decompressed once. Regions too long for a record are not
    // read: the record keeps none of their letters.
    std::vector<std::size_t> order(regions.size());
    std::iota(order.begin(), order.end(), std::size_t{0});
    std::sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
        const placed_region& x = regions[a];
        const placed_region& y = regions[b];
        return x.chrom_order != y.chrom_order ? x.chrom_order < y.chrom_order : x.r.start < y.r.start;
    });
    std::vector<std::string> letters(regions.size());
    const auto fetch_share = [&](const indexed_genome& from, std::span<const std::size_t> share) {
        for (std::size_t i : share) {
            const region& r = regions[i].r;
            if (!fits_in_seq(static_cast<std::size_t>(r.end - r.start)))
                continue;
            std::string forward = from.fetch(r.chrom, r.start, r.end);
            if (r.strand == "-") {
                letters[i].reserve(forward.size());
                append_region_reverse_complement(letters[i], forward);
            } else {
                letters[i] = std::move(forward);
            }
        }
    };
    // Decompressing the genome's blocks is most of the time: a second core (unless -t 1)
    // takes the second half of the genome's stretch, through its own handle. Each
    // region's letters are the same whichever handle reads them.
    const bool two_readers =
        regions.size() >= parallel_from && thread_n >= 2 && std::thread::hardware_concurrency() >= 2;
    if (!two_readers) {
        fetch_share(genome, order);
    } else {
        const indexed_genome second(genome_path);
        const std::span<const std::size_t> all(order);
        const std::size_t half = all.size() / 2;
        std::exception_ptr failure;
        std::thread helper([&] {
            try {
                fetch_share(second, all.subspan(half));
            } catch (...) {
                failure = std::current_exception();
            }
        });
        try {
            fetch_share(genome, all.first(half));
        } catch (...) {
            helper.join();
            throw;
        }
        helper.join();
        if (failure)
            std::rethrow_exception(failure);
    }

    std::vector<seq> records;
    records.reserve(regions.size());
    for (std::size_t i = 0; i < regions.size(); ++i) {
        const region& r = regions[i].r;
        seq_builder record;
        record.set_title(region_title(r));
        if (record.room_for_line(static_cast<std::size_t>(r.end - r.start)))
            record.append_line(letters[i]);
        records.push_back(record.finish());
        letters[i] = {};
    }
    return records;
}
