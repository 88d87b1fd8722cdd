// Reading regions out of a large bgzip genome: makes a synthetic genome (the same bytes
// for the same seed), indexes it, and times the reading of 50,000 regions of 500 bp.
// Usage: tarnel_genome_bench FOLDER [seed] [megabases]
#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include <htslib/bgzf.h>
#include <htslib/faidx.h>

#include "region_records.h"
#include "settings.h"

namespace {

// splitmix64: a fixed generator, so that the genome is the same on every machine.
struct generator {
    std::uint64_t state;
    std::uint64_t next()
    {
        std::uint64_t z = (state += 0x9e3779b97f4a7c15ULL);
        z = (z ^ (z >> 30)) * 0xbf58476d1ce4e5b9ULL;
        z = (z ^ (z >> 27)) * 0x94d049bb133111ebULL;
        return z ^ (z >> 31);
    }
};

double seconds_since(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

std::string processor_name()
{
    std::ifstream cpuinfo("/proc/cpuinfo");
    std::string line;
    while (std::getline(cpuinfo, line))
        if (line.rfind("model name", 0) == 0)
            return line.substr(line.find(':') + 2);
    return "unknown processor";
}

// Ten chromosomes of equal length, soft-masked stretches in lower case, 60-letter lines.
void write_genome(const std::string& path, std::uint64_t seed, std::int64_t letters, std::vector<std::int64_t>& lengths)
{
    generator rng{seed};
    BGZF* out = bgzf_open(path.c_str(), "w");
    if (out == nullptr) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
    const std::int64_t per_chrom = letters / 10;
    std::string line;
    for (int c = 1; c <= 10; ++c) {
        const std::string title = ">chr" + std::to_string(c) + "\n";
        if (bgzf_write(out, title.data(), title.size()) < 0) {
            std::fprintf(stderr, "cannot write %s\n", path.c_str());
            std::exit(1);
        }
        bool masked = false;
        for (std::int64_t done = 0; done < per_chrom;) {
            line.clear();
            for (int i = 0; i < 60 && done < per_chrom; ++i, ++done) {
                const std::uint64_t r = rng.next();
                if ((r >> 40) % 2000 == 0)
                    masked = !masked;
                line += (masked ? "acgt" : "ACGT")[r & 3];
            }
            line += '\n';
            if (bgzf_write(out, line.data(), line.size()) < 0) {
                std::fprintf(stderr, "cannot write %s\n", path.c_str());
                std::exit(1);
            }
        }
        lengths.push_back(per_chrom);
    }
    if (bgzf_close(out) != 0) {
        std::fprintf(stderr, "cannot write %s\n", path.c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s FOLDER [seed] [megabases]\n", argv[0]);
        return 1;
    }
    const std::filesystem::path folder = argv[1];
    const std::uint64_t seed = argc > 2 ? std::strtoull(argv[2], nullptr, 10) : 2026;
    const std::int64_t megabases = argc > 3 ? std::strtoll(argv[3], nullptr, 10) : 300;
    std::filesystem::create_directories(folder);
    const std::string tag = std::to_string(seed) + "_" + std::to_string(megabases) + "Mb";
    const std::string genome = (folder / ("genome_" + tag + ".fa.gz")).string();
    const std::string regions = (folder / ("regions_" + tag + ".bed")).string();

    std::vector<std::int64_t> lengths;
    if (!std::filesystem::exists(genome + ".fai")) {
        std::filesystem::remove(genome + ".gzi");
        auto start = std::chrono::steady_clock::now();
        write_genome(genome, seed, megabases * 1000000, lengths);
        std::printf("genome: %lld Mb written bgzip-compressed in %.1f s (%s, %.0f MB)\n",
            static_cast<long long>(megabases), seconds_since(start), genome.c_str(),
            static_cast<double>(std::filesystem::file_size(genome)) / 1e6);
        start = std::chrono::steady_clock::now();
        if (fai_build3(genome.c_str(), nullptr, nullptr) != 0) {
            std::fprintf(stderr, "cannot index %s\n", genome.c_str());
            return 1;
        }
        std::printf("index: built in %.2f s\n", seconds_since(start));
    } else {
        lengths.assign(10, megabases * 1000000 / 10);
        std::printf("genome: %s (made before, same seed)\n", genome.c_str());
    }

    // 50,000 regions of 500 bp, in no particular order, on both strands.
    generator rng{seed + 1};
    {
        std::ofstream bed(regions);
        for (int i = 0; i < 50000; ++i) {
            const std::size_t chrom = rng.next() % lengths.size();
            const std::int64_t start = static_cast<std::int64_t>(rng.next() % static_cast<std::uint64_t>(lengths[chrom] - 500));
            bed << "chr" << chrom + 1 << '\t' << start << '\t' << start + 500 << "\tpeak" << i << "\t0\t"
                << (i % 2 ? '-' : '+') << '\n';
        }
    }

    std::printf("processor: %s\n", processor_name().c_str());
    for (const int readers : {1, 2}) {
        thread_n = readers;  // -t 1 keeps the reading on one core
        std::vector<double> times;
        std::size_t records = 0;
        std::int64_t letters = 0;
        for (int run = 0; run < 3; ++run) {
            const auto start = std::chrono::steady_clock::now();
            const std::vector<seq> got = read_region_records(genome, regions, 0, 50001);
            times.push_back(seconds_since(start));
            records = got.size();
            letters = 0;
            for (const seq& s : got)
                letters += s.len;
        }
        std::sort(times.begin(), times.end());
        std::printf("read %zu regions of 500 bp (%lld letters) from a %lld Mb bgzip genome, %s: %.3f s (median of 3; "
                    "%.3f to %.3f)\n",
            records, static_cast<long long>(letters), static_cast<long long>(megabases),
            readers == 1 ? "one core (-t 1)" : "two cores", times[1], times[0], times[2]);
    }
    return 0;
}
