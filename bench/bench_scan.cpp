// Measures the scan, the loader and the data they run on; run_bench.sh drives it.
//
//   tarnel_bench scan MOTIFS SEQS     straightforward and vector scan, single-threaded
//   tarnel_bench load SEQS            loads a sequence file, reports MB/s
//   tarnel_bench make-seqs FILE N LEN writes N random sequences of LEN letters
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <random>
#include <span>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "errors.h"
#include "fast_scan.h"
#include "loading.h"
#include "scan.h"

namespace {

using clock_type = std::chrono::steady_clock;

double seconds_since(clock_type::time_point t0)
{
    return std::chrono::duration<double>(clock_type::now() - t0).count();
}

// A field of /proc/cpuinfo ("model name", "cpu MHz"), or "" where there is none.
std::string cpuinfo(const char* key)
{
    std::ifstream in("/proc/cpuinfo");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, std::strlen(key), key) == 0) {
            const auto colon = line.find(':');
            if (colon != std::string::npos)
                return line.substr(line.find_first_not_of(' ', colon + 1));
        }
    }
    return "";
}

long peak_rss_kb()
{
    rusage ru{};
    getrusage(RUSAGE_SELF, &ru);
    return ru.ru_maxrss;
}

long long file_size(const std::string& path)
{
    struct stat st { };
    return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// The clock while busy, from a chain of dependent additions (one per cycle); the best of
// a few short tries, since a try that loses the processor reads low.
double measured_ghz()
{
    double best = 0.0;
    for (int attempt = 0; attempt < 10; ++attempt) {
        const long n = 10000000;
        long x = 0;
        const auto t0 = clock_type::now();
        for (long i = 0; i < n; ++i)
            asm volatile("add $1, %0\n\tadd $1, %0\n\tadd $1, %0\n\tadd $1, %0" : "+r"(x));
        best = std::max(best, 4.0 * static_cast<double>(n) / seconds_since(t0) / 1e9);
    }
    return best;
}

bool same_hit(const window_hit& a, const window_hit& b)
{
    return a.best_pos == b.best_pos && std::memcmp(&a.max_rs, &b.max_rs, 10) == 0;
}

// The straightforward scan and each vector path over every motif x sequence pair.
int measure(const char* title, const std::vector<motif_quotients>& quotients,
    const std::vector<std::span<const std::uint8_t>>& seqs, double ghz, int reps)
{
    const std::size_t ns = seqs.size();
    // Work: motif positions (windows x width) and steps (width x 32-window vectors).
    long long windows = 0;
    long long positions = 0;
    long long row_vectors = 0;
    for (const motif_quotients& mq : quotients)
        for (const auto& codes : seqs) {
            const long n = static_cast<long>(codes.size()) - mq.width + 1;
            if (n <= 0)
                continue;
            windows += n;
            positions += n * mq.width;
            row_vectors += (n + 31) / 32 * mq.width;
        }
    std::printf("%s: %zu motifs x %zu sequences, %lld windows, %lld motif positions\n", title, quotients.size(), ns,
        windows, positions);

    // The straightforward scan, once: it is the slow one.
    std::vector<window_hit> want(quotients.size() * ns);
    auto t0 = clock_type::now();
    for (std::size_t mi = 0; mi < quotients.size(); ++mi)
        for (std::size_t si = 0; si < ns; ++si)
            want[mi * ns + si] = best_window_exact(quotients[mi], seqs[si]);
    const double exact_s = seconds_since(t0);
    const double exact_rate = static_cast<double>(positions) / exact_s;
    std::printf("  %-20s %8.3f s  %9.1f M motif-positions/s\n", "straightforward", exact_s, exact_rate / 1e6);

    int failures = 0;
    std::vector<window_hit> hits(ns);
    struct variant {
        scan_path path;
        bool batch;
        const char* name;
    };
    for (const variant& v : {variant{scan_path::avx2, false, "AVX2"}, variant{scan_path::avx512, false, "AVX-512"},
             variant{scan_path::avx512, true, "AVX-512, batch"}}) {
        if (!fast_scanner::supported(v.path))
            continue;
        double best_s = 1e30;
        scan_counts counts;
        long long wrong = 0;
        for (int rep = 0; rep < reps; ++rep) {
            scan_counts c;
            wrong = 0;
            t0 = clock_type::now();
            for (std::size_t mi = 0; mi < quotients.size(); ++mi) {
                // Built per motif, as the analyses do.
                const fast_scanner scanner(quotients[mi], v.path);
                if (v.batch) {
                    scanner.best_windows(seqs, hits, &c);
                    for (std::size_t si = 0; si < ns; ++si)
                        wrong += !same_hit(hits[si], want[mi * ns + si]);
                    continue;
                }
                for (std::size_t si = 0; si < ns; ++si) {
                    const window_hit hit = scanner.best_window(seqs[si], &c);
                    wrong += !same_hit(hit, want[mi * ns + si]);
                }
            }
            best_s = std::min(best_s, seconds_since(t0));
            counts = c;
        }
        const double rate = static_cast<double>(positions) / best_s;
        std::printf("  %-20s %8.3f s  %9.1f M motif-positions/s  %6.1fx the straightforward scan (best of %d)\n",
            v.name, best_s, rate / 1e6, rate / exact_rate, reps);
        const double pairs = static_cast<double>(quotients.size()) * static_cast<double>(ns);
        std::printf("    exact products: %.3f per motif x sequence (%lld of %lld windows); results differing: %lld\n",
            static_cast<double>(counts.exact) / pairs, counts.exact, counts.windows, wrong);
        const double cycles = best_s * ghz * 1e9;
        std::printf("    %.2f cycles per motif row per vector of 32 windows (%.0f cycles per motif x sequence), "
                    "all costs included\n",
            cycles / static_cast<double>(row_vectors), cycles / pairs);
        failures += wrong != 0;
    }
    return failures;
}

int run_scan(const std::string& motif_file, const std::string& seq_file)
{
    read_inputs(motif_file, seq_file);
    std::vector<motif_quotients> quotients;
    for (int mi = 0; mi < motif_n; ++mi)
        quotients.push_back(make_quotients(motif_db[static_cast<std::size_t>(mi)], background_frqs));
    const double ghz = measured_ghz();
    std::printf("clock while busy: %.2f GHz (cycles below are at this clock)\n", ghz);

    std::vector<std::span<const std::uint8_t>> seqs;
    for (int si = 0; si < seq_n; ++si)
        seqs.emplace_back(seq_db[static_cast<std::size_t>(si)].base);
    int failures = measure("real sequences", quotients, seqs, ghz, 5);

    // Long sequences, where the per-sequence costs fade and the lookups dominate: random
    // bases, 5500 letters, against every 25th motif.
    std::mt19937 rng(7);
    std::vector<std::vector<std::uint8_t>> longs(400, std::vector<std::uint8_t>(5500));
    for (auto& l : longs)
        for (auto& c : l)
            c = static_cast<std::uint8_t>(rng() % 4);
    std::vector<std::span<const std::uint8_t>> long_spans(longs.begin(), longs.end());
    std::vector<motif_quotients> some;
    for (std::size_t mi = 0; mi < quotients.size(); mi += 25)
        some.push_back(quotients[mi]);
    std::printf("\n");
    failures += measure("random 5500-letter sequences", some, long_spans, ghz, 3);
    return failures == 0 ? 0 : 1;
}

int run_load(const std::string& seq_file)
{
    // A one-row motif file: only the sequences are measured.
    char motif_file[] = "/tmp/tarnel_bench_motifs_XXXXXX";
    const int fd = mkstemp(motif_file);
    static const char one_motif[] = ">m\n1\t1\t1\t1\n";
    if (fd < 0 || write(fd, one_motif, sizeof one_motif - 1) != static_cast<ssize_t>(sizeof one_motif - 1)) {
        std::perror(motif_file);
        return 1;
    }
    close(fd);
    const long rss_before = peak_rss_kb();
    const auto t0 = clock_type::now();
    read_inputs(motif_file, seq_file);
    const double s = seconds_since(t0);
    unlink(motif_file);
    long long letters = 0;
    for (int i = 0; i < seq_n; ++i)
        letters += seq_db[static_cast<std::size_t>(i)].len;
    const double mb = static_cast<double>(file_size(seq_file)) / 1e6;
    const double rss_mb = static_cast<double>(peak_rss_kb()) * 1024.0 / 1e6;
    std::printf("load: %d sequences, %lld letters, %.1f MB in %.3f s = %.0f MB/s\n", seq_n, letters, mb, s, mb / s);
    std::printf("  peak RSS %.1f MB (%.1f MB before loading) = %.3f bytes per letter; limit 2.5 per letter + 100 MB = "
                "%.1f MB\n",
        rss_mb, static_cast<double>(rss_before) * 1024.0 / 1e6,
        letters > 0 ? rss_mb * 1e6 / static_cast<double>(letters) : 0.0,
        2.5 * static_cast<double>(letters) / 1e6 + 100.0);
    return 0;
}

int run_make_seqs(const std::string& path, long count, long length)
{
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    std::mt19937_64 rng(2024);
    static const char letters[] = "ACGTacgt";
    std::vector<char> line;
    for (long i = 0; i < count; ++i) {
        // name::chrom:start-end(strand), the interval holding exactly `length` letters
        std::fprintf(out, ">seq%ld::chr1:1000-%ld(%c)\n", i + 1, 1000 + length, i % 2 ? '-' : '+');
        for (long done = 0; done < length;) {
            const long n = std::min(60L, length - done);
            line.assign(static_cast<std::size_t>(n), 'A');
            for (long k = 0; k < n; ++k) {
                const std::uint64_t r = rng();
                line[static_cast<std::size_t>(k)] = (r >> 32) % 1000 == 0 ? 'N' : letters[r & 7];
            }
            line.push_back('\n');
            std::fwrite(line.data(), 1, line.size(), out);
            done += n;
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(path.c_str());
        return 1;
    }
    return 0;
}

void usage()
{
    std::fprintf(stderr, "usage: tarnel_bench scan MOTIFS SEQS | load SEQS | make-seqs FILE COUNT LENGTH\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string mode = argv[1];
    try {
        if (mode == "scan" && argc == 4) {
            std::printf("cpu: %s\n", cpuinfo("model name").c_str());
            std::printf("vector path: %s\n", fast_scanner::path_name(fast_scanner::best_path()));
            return run_scan(argv[2], argv[3]);
        }
        if (mode == "load" && argc == 3)
            return run_load(argv[2]);
        if (mode == "make-seqs" && argc == 5)
            return run_make_seqs(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    } catch (const fatal_error& e) {
        std::fprintf(stderr, "tarnel_bench: %s\n", e.what());
        return 1;
    }
    usage();
    return 2;
}
