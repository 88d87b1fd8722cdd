// Measures the scan, the loader and the data they run on; run_bench.sh drives it.
//
//   tarnel_bench scan MOTIFS SEQS     straightforward and vector scan, single-threaded
//   tarnel_bench load SEQS            loads a sequence file, reports MB/s
//   tarnel_bench make-seqs FILE N LEN writes N random sequences of LEN letters
//   tarnel_bench format [LINES]       an output line's numbers with snprintf and number_format.h
#include <algorithm>
#include <chrono>
#include <cmath>
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
#include "number_format.h"
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

// The numbers of an output line: start, end, score, t value and p-value.
struct line_numbers {
    int start = 0;
    int end = 0;
    double score = 0.0;
    double tvalue = 0.0;
    double pvalue = 0.0;
};

// Formats the numbers of `lines` output lines (drawn from a pool of values in the ranges
// the tool writes) as append_output_line did with snprintf and as it does now, appending
// to a buffer emptied every 1000 lines; prints ns per number, for whole lines and by kind.
int run_format(long lines)
{
    std::vector<line_numbers> pool(1 << 16);
    std::mt19937_64 rng(11);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    for (line_numbers& n : pool) {
        n.start = static_cast<int>(rng() % 250000000);
        n.end = n.start + 5 + static_cast<int>(rng() % 20);
        n.score = unit(rng) * 20 - 10;
        n.tvalue = unit(rng) * 20 - 10;
        // as in the real data's output: mostly 0 or below 1e-20
        const double kind = unit(rng);
        n.pvalue = kind < 0.5 ? 0.0 : kind < 0.95 ? std::pow(10.0, -20 - 300 * unit(rng)) : unit(rng);
    }
    // Seconds to format lines [first, first + count) of the run.
    auto time_lines = [&](long first, long count, auto&& append) {
        std::string out;
        std::size_t written = 0;
        const auto t0 = clock_type::now();
        for (long i = first; i < first + count; ++i) {
            append(out, pool[static_cast<std::size_t>(i) & (pool.size() - 1)]);
            if (i % 1000 == 999) {
                written += out.size();
                out.clear();
            }
        }
        const double s = seconds_since(t0);
        if (written + out.size() == 0)
            std::puts("nothing written");
        return s;
    };
    auto printf_append = [](std::string& out, const char* format, auto... values) {
        char text[512];
        out.append(text, static_cast<std::size_t>(std::snprintf(text, sizeof text, format, values...)));
    };
    // The line's numbers, with its tabs and strand, as before and as now.
    auto old_line = [&](std::string& out, const line_numbers& n) {
        printf_append(out, "%d\t%d\t%c\t", n.start, n.end, '+');
        printf_append(out, "\t%f\t%f\t%e\n", n.score, n.tvalue, n.pvalue);
    };
    auto new_line = [&](std::string& out, const line_numbers& n) {
        append_integer(out, n.start);
        out += '\t';
        append_integer(out, n.end);
        out += '\t';
        out += '+';
        out += '\t';
        out += '\t';
        append_fixed6(out, n.score);
        out += '\t';
        append_fixed6(out, n.tvalue);
        out += '\t';
        append_exp6(out, n.pvalue);
        out += '\n';
    };
    std::string old_text;
    std::string new_text;
    for (const line_numbers& n : pool) {
        old_line(old_text, n);
        new_line(new_text, n);
    }
    std::printf("cpu: %s\n", cpuinfo("model name").c_str());
    std::printf("format: %ld lines, 5 numbers each; the pool's %zu lines written identically: %s\n", lines, pool.size(),
        old_text == new_text ? "yes" : "NO");
    // The lines in ten parts, each formatted the old way then the new, so that both meet
    // the same load from other processes; the mean over all lines and the best part.
    std::printf("  %-30s %15s  %15s\n", "ns per number: mean (best tenth)", "snprintf", "now");
    auto row = [&](const char* what, int per_line, auto&& old_way, auto&& new_way) {
        double old_s = 0.0, new_s = 0.0, old_best = 1e300, new_best = 1e300;
        const long part = std::max(1L, lines / 10);
        for (long first = 0; first < lines; first += part) {
            const long count = std::min(part, lines - first);
            const double o = time_lines(first, count, old_way) / static_cast<double>(count);
            const double n = time_lines(first, count, new_way) / static_cast<double>(count);
            old_s += o * static_cast<double>(count);
            new_s += n * static_cast<double>(count);
            old_best = std::min(old_best, o);
            new_best = std::min(new_best, n);
        }
        const double scale = 1e9 / per_line;
        std::printf("  %-30s %6.1f (%6.1f)  %6.1f (%6.1f)  %4.1fx\n", what, old_s * scale / static_cast<double>(lines),
            old_best * scale, new_s * scale / static_cast<double>(lines), new_best * scale, old_s / new_s);
    };
    row("whole line", 5, old_line, new_line);
    row(
        "integers (%d)", 2,
        [&](std::string& out, const line_numbers& n) { printf_append(out, "%d\t%d", n.start, n.end); },
        [&](std::string& out, const line_numbers& n) {
            append_integer(out, n.start);
            out += '\t';
            append_integer(out, n.end);
        });
    row(
        "score, t value (%f)", 2,
        [&](std::string& out, const line_numbers& n) { printf_append(out, "%f\t%f", n.score, n.tvalue); },
        [&](std::string& out, const line_numbers& n) {
            append_fixed6(out, n.score);
            out += '\t';
            append_fixed6(out, n.tvalue);
        });
    row(
        "p-value (%e)", 1, [&](std::string& out, const line_numbers& n) { printf_append(out, "%e", n.pvalue); },
        [&](std::string& out, const line_numbers& n) { append_exp6(out, n.pvalue); });
    return old_text == new_text ? 0 : 1;
}

void usage()
{
    std::fprintf(
        stderr, "usage: tarnel_bench scan MOTIFS SEQS | load SEQS | make-seqs FILE COUNT LENGTH | format [LINES]\n");
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
        if (mode == "format" && argc <= 3)
            return run_format(argc == 3 ? std::max(1L, std::atol(argv[2])) : 10000000);
        if (mode == "make-seqs" && argc == 5)
            return run_make_seqs(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    } catch (const fatal_error& e) {
        std::fprintf(stderr, "tarnel_bench: %s\n", e.what());
        return 1;
    }
    usage();
    return 2;
}
