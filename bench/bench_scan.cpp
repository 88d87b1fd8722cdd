// Measures the scan, the loader and the data they run on; run_bench.sh and
// whole_run_bench.sh drive it.
//
//   tarnel_bench scan MOTIFS SEQS     straightforward and vector scan, single-threaded
//   tarnel_bench naive MOTIFS SEQS    straightforward scan of every motif x sequence, timed
//   tarnel_bench load SEQS            loads a sequence file, reports MB/s
//   tarnel_bench make-seqs FILE N LEN writes N random sequences of LEN letters
//   tarnel_bench format [LINES]       an output line's numbers with snprintf and number_format.h
//   tarnel_bench make-workload REAL OUT N LEN SEED
//                                     writes N sequences of LEN letters stitched from REAL
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <fstream>
#if defined(__x86_64__)
#include <immintrin.h>
#endif
#include <numeric>
#include <optional>
#include <random>
#include <span>
#include <string>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <vector>

#include "analyses.h"
#include "errors.h"
#include "fast_scan.h"
#include "heap_setup.h"
#include "line_reader.h"
#include "loading.h"
#include "log_powers.h"
#include "number_format.h"
#include "result_lines.h"
#include "scan.h"
#include "seq_reader.h"

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

// CPU time of the calling thread: a try that loses the processor to another one does not
// count the time it waited.
double thread_seconds()
{
    timespec ts{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
    return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Cycles per second of a chain of `steps` dependent instructions of `latency` cycles each,
// from 200 tries of a few milliseconds each: the 90th percentile, which some undisturbed
// tries reach even on a busy machine, and which one odd try cannot move.
template <typename Chain> double chain_ghz(Chain chain, double latency, long steps)
{
    std::vector<double> ghz;
    for (int attempt = 0; attempt < 200; ++attempt) {
        const double t0 = thread_seconds();
        chain(steps);
        ghz.push_back(latency * static_cast<double>(steps) / (thread_seconds() - t0) / 1e9);
    }
    std::sort(ghz.begin(), ghz.end());
    return ghz[ghz.size() * 9 / 10];
}

// Keeps the compiler from knowing the operand, so that it stays a register.
volatile long probe_operand = 1;

// The clock while busy. A dependent 64-bit register-register `imul` takes 3 cycles on
// Intel cores since Nehalem and AMD cores since Zen, and no core eliminates or fuses it;
// chains of immediate additions are no good: recent Intel cores fold several of them per
// cycle at rename. Eight multiplications per loop pass hide the loop's own instructions.
double measured_ghz()
{
    const long factor = probe_operand;
    return chain_ghz(
        [factor](long n) {
            long x = 3;
            for (long i = 0; i < n / 8; ++i)
                asm volatile("imul %1, %0\n\timul %1, %0\n\timul %1, %0\n\timul %1, %0\n\t"
                             "imul %1, %0\n\timul %1, %0\n\timul %1, %0\n\timul %1, %0"
                             : "+r"(x)
                             : "r"(factor));
        },
        3.0, 2000000);
}

// The same from dependent register-register additions (1 cycle each), a second kind of
// chain: the two agree only if neither is shortened by the hardware.
double measured_ghz_by_adds()
{
    const long addend = probe_operand;
    return chain_ghz(
        [addend](long n) {
            long x = 0;
            for (long i = 0; i < n / 8; ++i)
                asm volatile("add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\t"
                             "add %1, %0\n\tadd %1, %0\n\tadd %1, %0\n\tadd %1, %0"
                             : "+r"(x)
                             : "r"(addend));
        },
        1.0, 6000000);
}

// The scan as first written, kept as the measure of every speed-up: each motif row of
// each window divides the motif's frequency by the pooled one in single precision and
// multiplies the window's extended-precision product by the quotient; a window replaces
// the best only when strictly larger, so the earliest of equal ones wins.
window_hit naive_best_window(const motif& m, std::span<const std::uint8_t> codes)
{
    window_hit hit;
    const long posns = static_cast<long>(codes.size()) - m.len + 1;
    for (long n = 0; n < posns; ++n) {
        long double product = 1.0L;
        const std::uint8_t* window = codes.data() + n;
        for (int r = 0; r < m.len; ++r) {
            const std::uint8_t b = window[r];
            const float q = m.frqs[static_cast<std::size_t>(r)][b] / background_frqs[b];
            product *= q;
        }
        if (product > hit.max_rs) {
            hit.max_rs = product;
            hit.best_pos = static_cast<int>(n);
        }
    }
    return hit;
}

#if defined(__x86_64__)
// Cycles per step of the AVX2 8-bit pass's scoring, measured alone: a table lookup of 32
// pair indices (vpshufb, the indices from memory) and a saturating addition, eight sums
// at once as the pass keeps them, from the L1 cache. On a processor that splits 256-bit
// operations in two, this, not the pass's bookkeeping, bounds the pass.
__attribute__((target("avx2"))) double avx2_lookup_cycles(double ghz)
{
    alignas(64) static std::uint8_t indices[4096];
    constexpr long passes = 200000;
    std::vector<double> cycles;
    for (int attempt = 0; attempt < 50; ++attempt) {
        __m256i s0 = _mm256_setzero_si256(), s1 = s0, s2 = s0, s3 = s0, s4 = s0, s5 = s0, s6 = s0, s7 = s0;
        const __m256i table = _mm256_set1_epi8(1);
        const double t0 = thread_seconds();
        for (long i = 0; i < passes; ++i)
            asm volatile("vpshufb 0(%9), %8, %%ymm14\n\tvpaddusb %%ymm14, %0, %0\n\t"
                         "vpshufb 32(%9), %8, %%ymm15\n\tvpaddusb %%ymm15, %1, %1\n\t"
                         "vpshufb 64(%9), %8, %%ymm14\n\tvpaddusb %%ymm14, %2, %2\n\t"
                         "vpshufb 96(%9), %8, %%ymm15\n\tvpaddusb %%ymm15, %3, %3\n\t"
                         "vpshufb 130(%9), %8, %%ymm14\n\tvpaddusb %%ymm14, %4, %4\n\t"
                         "vpshufb 162(%9), %8, %%ymm15\n\tvpaddusb %%ymm15, %5, %5\n\t"
                         "vpshufb 194(%9), %8, %%ymm14\n\tvpaddusb %%ymm14, %6, %6\n\t"
                         "vpshufb 226(%9), %8, %%ymm15\n\tvpaddusb %%ymm15, %7, %7"
                         : "+x"(s0), "+x"(s1), "+x"(s2), "+x"(s3), "+x"(s4), "+x"(s5), "+x"(s6), "+x"(s7)
                         : "x"(table), "r"(indices)
                         : "xmm14", "xmm15");
        cycles.push_back((thread_seconds() - t0) * ghz * 1e9 / (8.0 * passes));
    }
    std::sort(cycles.begin(), cycles.end());
    return cycles[cycles.size() / 10];
}
#endif

// Motif positions (windows x width) of one motif over a set of sequences.
long long motif_positions(int width, const std::vector<std::span<const std::uint8_t>>& seqs)
{
    long long positions = 0;
    for (const auto& codes : seqs) {
        const long n = static_cast<long>(codes.size()) - width + 1;
        if (n > 0)
            positions += n * width;
    }
    return positions;
}

bool same_hit(const window_hit& a, const window_hit& b)
{
    return a.best_pos == b.best_pos && std::memcmp(&a.max_rs, &b.max_rs, 10) == 0;
}

// The scan as a run makes it: for each group of motifs, blocks ending at scan_block_end
// letters, each scanned by every motif of the group, two motifs of like width at a time.
// With want, gives the hits differing from it.
long long scan_as_run(const std::vector<motif_quotients>& quotients,
    const std::vector<std::span<const std::uint8_t>>& seqs, int group, const std::vector<window_hit>* want,
    scan_counts* counts, scan_path path)
{
    const std::size_t ns = seqs.size();
    const std::size_t gs = static_cast<std::size_t>(group);
    std::vector<window_hit> hits(ns * gs);
    scan_block block;
    long long wrong = 0;
    for (std::size_t g0 = 0; g0 < quotients.size(); g0 += gs) {
        const std::size_t g1 = std::min(quotients.size(), g0 + gs);
        std::vector<fast_scanner> scanners;
        for (std::size_t mi = g0; mi < g1; ++mi)
            scanners.emplace_back(quotients[mi], path);
        std::vector<std::size_t> order(scanners.size());
        std::iota(order.begin(), order.end(), std::size_t{0});
        std::stable_sort(order.begin(), order.end(),
            [&](std::size_t a, std::size_t b) { return scanners[a].width() < scanners[b].width(); });
        for (std::size_t first = 0; first < ns;) {
            const std::size_t last = scan_block_end(seqs, first);
            block.assign(std::span(seqs).subspan(first, last - first), path);
            const auto hits_of = [&](std::size_t g) { return std::span(hits.data() + g * ns + first, last - first); };
            std::size_t p = 0;
            for (; p + 1 < order.size(); p += 2)
                fast_scanner::best_windows_of_two(scanners[order[p]], scanners[order[p + 1]], block, hits_of(order[p]),
                    hits_of(order[p + 1]), counts);
            if (p < order.size())
                scanners[order[p]].best_windows(block, hits_of(order[p]), counts);
            first = last;
        }
        if (want != nullptr)
            for (std::size_t g = 0; g < scanners.size(); ++g)
                for (std::size_t si = 0; si < ns; ++si)
                    wrong += !same_hit(hits[g * ns + si], (*want)[(g0 + g) * ns + si]);
    }
    return wrong;
}

// The straightforward scan and each vector path over every motif x sequence pair.
int measure(const char* title, const std::vector<const motif*>& motifs,
    const std::vector<std::span<const std::uint8_t>>& seqs, double ghz, int reps)
{
    const std::size_t ns = seqs.size();
    std::vector<motif_quotients> quotients;
    for (const motif* m : motifs)
        quotients.push_back(make_quotients(*m, background_frqs));
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
    std::printf("%s: %zu motifs x %zu sequences, %lld windows, %lld motif positions\n", title, motifs.size(), ns,
        windows, positions);
#if defined(__x86_64__)
    if (fast_scanner::supported(scan_path::avx2bytes)) {
        // The 8-bit pass's lookups: one per pair of rows and vector of 32 windows.
        long long lookups = 0;
        for (const motif_quotients& mq : quotients)
            for (const auto& codes : seqs)
                lookups += (static_cast<long>(codes.size()) - mq.width + 32) / 32 * ((mq.width + 1) / 2) *
                    (static_cast<long>(codes.size()) >= mq.width);
        const double step = avx2_lookup_cycles(ghz);
        std::printf("  an AVX2 lookup and addition of 32 lanes alone: %.2f cycles; these lookups alone cap the AVX2 "
                    "8-bit pass at %.2f G windows/s\n",
            step, static_cast<double>(windows) / (static_cast<double>(lookups) * step / (ghz * 1e9)) / 1e9);
    }
#endif

    // The straightforward scan, once: it is the slow one.
    std::vector<window_hit> want(motifs.size() * ns);
    auto t0 = clock_type::now();
    for (std::size_t mi = 0; mi < motifs.size(); ++mi)
        for (std::size_t si = 0; si < ns; ++si)
            want[mi * ns + si] = naive_best_window(*motifs[mi], seqs[si]);
    const double exact_s = seconds_since(t0);
    const double exact_rate = static_cast<double>(positions) / exact_s;
    std::printf("  %-20s %8.3f s  %9.1f M motif-positions/s  %.2f cycles per motif position\n", "straightforward",
        exact_s, exact_rate / 1e6, exact_s * ghz * 1e9 / static_cast<double>(positions));

    int failures = 0;
    std::vector<window_hit> hits(ns);
    scan_block block;
    const int group = motifs_per_group(ns, false);
    struct variant {
        scan_path path;
        bool batch;
        const char* name;
        bool block = false;       // a block's term indices made once for a group of motifs
        bool run_blocks = false;  // and, as a run does, blocks ending at scan_block_end, each scanned by every motif of the group
    };
    for (const variant& v :
        {variant{scan_path::avx2, false, "AVX2"}, variant{scan_path::avx2bytes, true, "AVX2 bytes, batch"},
            variant{scan_path::avx2bytes, true, "AVX2 bytes, run's", true, true},
            variant{scan_path::avx512, false, "AVX-512"}, variant{scan_path::avx512, true, "AVX-512, batch"},
            variant{scan_path::avx512vbmi, false, "AVX-512 VBMI"},
            variant{scan_path::avx512vbmi, true, "AVX-512 VBMI, batch"},
            variant{scan_path::avx512vbmi, true, "AVX-512 VBMI, block", true},
            variant{scan_path::avx512vbmi, true, "AVX-512 VBMI, run's", true, true},
            variant{scan_path::avx512bytes, true, "AVX-512 bytes, batch"},
            variant{scan_path::avx512bytes, true, "AVX-512 bytes, run's", true, true}}) {
        if (!fast_scanner::supported(v.path))
            continue;
        // One pass of the variant; with check, counting what the kernels do and comparing every
        // hit with the straightforward scan's. The timed passes do neither, as a run does not.
        const auto pass = [&](scan_counts* c, bool check) {
            long long wrong = 0;
            if (v.run_blocks)
                return scan_as_run(quotients, seqs, group, check ? &want : nullptr, c, v.path);
            for (std::size_t mi = 0; mi < quotients.size(); ++mi) {
                // Built per motif, as the analyses do.
                const fast_scanner scanner(quotients[mi], v.path);
                if (v.block) {
                    if (mi % static_cast<std::size_t>(group) == 0)
                        block.assign(seqs, v.path);
                    scanner.best_windows(block, hits, c);
                } else if (v.batch) {
                    scanner.best_windows(seqs, hits, c);
                } else {
                    for (std::size_t si = 0; si < ns; ++si)
                        hits[si] = scanner.best_window(seqs[si], c);
                }
                if (check)
                    for (std::size_t si = 0; si < ns; ++si)
                        wrong += !same_hit(hits[si], want[mi * ns + si]);
            }
            return wrong;
        };
        double best_s = 1e30;
        for (int rep = 0; rep < reps; ++rep) {
            t0 = clock_type::now();
            pass(nullptr, false);
            best_s = std::min(best_s, seconds_since(t0));
        }
        scan_counts counts;
        const long long wrong = pass(&counts, true);
        const double rate = static_cast<double>(positions) / best_s;
        std::printf("  %-20s %8.3f s  %9.1f M motif-positions/s  %6.1fx the straightforward scan (best of %d)\n",
            v.name, best_s, rate / 1e6, rate / exact_rate, reps);
        const double pairs = static_cast<double>(quotients.size()) * static_cast<double>(ns);
        std::printf("    exact products: %.3f per motif x sequence (%lld of %lld windows); results differing: %lld\n",
            static_cast<double>(counts.exact) / pairs, counts.exact, counts.windows, wrong);
        if (v.path == scan_path::avx512vbmi || v.path == scan_path::avx512bytes || v.path == scan_path::avx2bytes)
            std::printf("    sequences the 8-bit pass left to the 16-bit one: %lld of %.0f; windows it flagged: %.3f per "
                        "motif x sequence\n",
                counts.rescanned, pairs, static_cast<double>(counts.flagged) / pairs);
        std::printf("    %.2f G windows/s, %.3f cycles per window\n", static_cast<double>(windows) / best_s / 1e9,
            best_s * ghz * 1e9 / static_cast<double>(windows));
        const double cycles = best_s * ghz * 1e9;
        std::printf("    %.2f cycles per motif row per vector of 32 windows (%.0f cycles per motif x sequence), "
                    "all costs included\n",
            cycles / static_cast<double>(row_vectors), cycles / pairs);
        failures += wrong != 0;
    }
    return failures;
}

// Both strands (blocks, the reverse complements read from the given codes backwards): the
// given strand alone, one motif a pass and two (paired by width, as a run pairs them), both
// strands one after the other, both in one pass, and two motifs' both strands a pass as a
// run scans them. The ways alternate round by round, so that each meets the same load from
// other processes; the best round of each. Every reverse-complement result of the
// separate scan is checked against the given strand's scanner on the reverse complements,
// made here, every best over both strands of the one pass against the separate strands',
// and every hit of two motifs a pass against one's (not timed).
int measure_both_strands(const std::vector<const motif*>& motifs,
    const std::vector<std::span<const std::uint8_t>>& seqs, double ghz, int rounds)
{
    const std::size_t ns = seqs.size();
    std::vector<window_hit> given(ns);
    std::vector<window_hit> reverse_hits(ns);
    std::vector<window_hit> second(ns);
    std::vector<window_hit> second_rc(ns);
    scan_block block;
    block.assign(seqs);
    std::vector<const motif*> by_width = motifs;
    std::stable_sort(by_width.begin(), by_width.end(), [](const motif* a, const motif* b) { return a->len < b->len; });
    // Two motifs at a time, the odd one out alone.
    const auto in_pairs = [&](auto&& two, auto&& one) {
        std::size_t p = 0;
        for (; p + 1 < by_width.size(); p += 2)
            two(make_quotients(*by_width[p], background_frqs), make_quotients(*by_width[p + 1], background_frqs));
        if (p < by_width.size())
            one(make_quotients(*by_width[p], background_frqs));
    };
    constexpr int ways = 5;
    double best[ways] = {1e30, 1e30, 1e30, 1e30, 1e30};
    for (int round = 0; round < rounds; ++round)
        for (int way = 0; way < ways; ++way) {
            const auto t0 = clock_type::now();
            if (way == 1) {
                in_pairs([&](motif_quotients a, motif_quotients b) {
                    fast_scanner::best_windows_of_two(fast_scanner(std::move(a)), fast_scanner(std::move(b)), block,
                        given, second);
                }, [&](motif_quotients a) { fast_scanner(std::move(a)).best_windows(block, given); });
            } else if (way == 4) {
                in_pairs([&](const motif_quotients& a, const motif_quotients& b) {
                    both_strands_scanner::best_windows_of_two(both_strands_scanner(a), both_strands_scanner(b), block,
                        given, reverse_hits, second, second_rc);
                }, [&](const motif_quotients& a) { both_strands_scanner(a).best_windows(block, given, reverse_hits); });
            } else {
                for (const motif* m : motifs) {
                    const motif_quotients mq = make_quotients(*m, background_frqs);
                    if (way == 3) {
                        both_strands_scanner(mq).best_windows(block, given, reverse_hits);
                        continue;
                    }
                    fast_scanner(mq).best_windows(block, given);
                    if (way == 2)
                        fast_scanner(mq, scan_strand::reverse_complement).best_windows(block, reverse_hits);
                }
            }
            best[way] = std::min(best[way], seconds_since(t0));
        }
    std::vector<std::vector<std::uint8_t>> rc(ns);
    std::vector<std::span<const std::uint8_t>> rc_spans;
    for (std::size_t si = 0; si < ns; ++si) {
        rc[si].resize(seqs[si].size());
        reverse_complement_codes(seqs[si], rc[si]);
        rc_spans.emplace_back(rc[si]);
    }
    long long wrong = 0;
    long long wrong_together = 0;
    std::vector<window_hit> want(ns);
    std::vector<window_hit> together(ns);
    std::vector<window_hit> together_rc(ns);
    scan_counts apart_counts;
    scan_counts together_counts;
    for (const motif* m : motifs) {
        const motif_quotients mq = make_quotients(*m, background_frqs);
        fast_scanner(mq, scan_strand::reverse_complement).best_windows(block, reverse_hits, &apart_counts);
        fast_scanner(mq).best_windows(rc_spans, want);
        fast_scanner(mq).best_windows(block, given, &apart_counts);
        both_strands_scanner(mq).best_windows(block, together, together_rc, &together_counts);
        for (std::size_t si = 0; si < ns; ++si) {
            wrong += !same_hit(reverse_hits[si], want[si]);
            const bool apart = reverse_wins(given[si], reverse_hits[si]);
            const bool joint = reverse_wins(together[si], together_rc[si]);
            wrong_together += apart != joint ||
                !same_hit(apart ? reverse_hits[si] : given[si], joint ? together_rc[si] : together[si]);
        }
    }
    // Each motif's hits on both strands, two motifs a pass, as one gets them alone.
    long long wrong_two = 0;
    in_pairs([&](const motif_quotients& a, const motif_quotients& b) {
        both_strands_scanner::best_windows_of_two(
            both_strands_scanner(a), both_strands_scanner(b), block, given, reverse_hits, second, second_rc);
        both_strands_scanner(a).best_windows(block, together, together_rc);
        for (std::size_t si = 0; si < ns; ++si)
            wrong_two += !same_hit(given[si], together[si]) || !same_hit(reverse_hits[si], together_rc[si]);
        both_strands_scanner(b).best_windows(block, together, together_rc);
        for (std::size_t si = 0; si < ns; ++si)
            wrong_two += !same_hit(second[si], together[si]) || !same_hit(second_rc[si], together_rc[si]);
    }, [](const motif_quotients&) {});
    const double pairs = static_cast<double>(motifs.size()) * static_cast<double>(ns);
    std::printf("both strands, blocks (best of %d rounds, alternated):\n", rounds);
    const char* names[ways] = {"given strand alone", "given, two a pass", "both, one by one", "both in one pass",
        "both, two a pass"};
    for (int way = 0; way < ways; ++way)
        std::printf("  %-20s %8.3f s  %.0f cycles per motif x sequence  %.2fx the given strand alone\n", names[way],
            best[way], best[way] * ghz * 1e9 / pairs, best[way] / best[0]);
    std::printf("  two motifs a pass, as a run scans: both strands %.2fx the given strand\n", best[4] / best[1]);
    std::printf("  reverse-complement results differing from a scan of the reverse complements: %lld\n", wrong);
    std::printf("  bests over both strands of the one pass differing from the strands scanned apart: %lld\n",
        wrong_together);
    std::printf("  hits of two motifs a pass differing from one motif's: %lld\n", wrong_two);
    for (const auto& [name, c] : {std::pair{"one by one", apart_counts}, std::pair{"in one pass", together_counts}})
        std::printf("  %-12s per motif x sequence: %.3f windows flagged, %.3f exact products, %.4f scanned again\n",
            name, static_cast<double>(c.flagged) / pairs, static_cast<double>(c.exact) / pairs,
            static_cast<double>(c.rescanned) / pairs);
    return wrong == 0 && wrong_together == 0 && wrong_two == 0 ? 0 : 1;
}

std::vector<std::span<const std::uint8_t>> loaded_codes()
{
    std::vector<std::span<const std::uint8_t>> seqs;
    for (int si = 0; si < seq_n; ++si)
        seqs.emplace_back(seq_db[static_cast<std::size_t>(si)].base);
    return seqs;
}

// Prints the clock from both chains; they should agree to a few per cent.
double report_clock()
{
    const double ghz = measured_ghz();
    const double ghz_adds = measured_ghz_by_adds();
    std::printf("clock while busy: %.2f GHz from dependent multiplications (cycles below are at this clock), "
                "%.2f GHz from dependent additions\n",
        ghz, ghz_adds);
    if (std::abs(ghz / ghz_adds - 1.0) > 0.05)
        std::printf("  warning: the two clock readings differ by more than 5%%; cycle figures are doubtful\n");
    return ghz;
}

int run_scan(const std::string& motif_file, const std::string& seq_file)
{
    read_inputs(motif_file, seq_file);
    const double ghz = report_clock();

    std::vector<const motif*> motifs;
    for (int mi = 0; mi < motif_n; ++mi)
        motifs.push_back(&motif_db[static_cast<std::size_t>(mi)]);
    int failures = measure("real sequences", motifs, loaded_codes(), ghz, 5);
    std::printf("\n");
    if (fast_scanner::best_path() == scan_path::avx512vbmi)
        failures += measure_both_strands(motifs, loaded_codes(), ghz, 5);

    // Long sequences, where the per-sequence costs fade and the lookups dominate: random
    // bases, 5500 letters, against every 25th motif.
    std::mt19937 rng(7);
    std::vector<std::vector<std::uint8_t>> longs(400, std::vector<std::uint8_t>(5500));
    for (auto& l : longs)
        for (auto& c : l)
            c = static_cast<std::uint8_t>(rng() % 4);
    std::vector<std::span<const std::uint8_t>> long_spans(longs.begin(), longs.end());
    std::vector<const motif*> some;
    for (std::size_t mi = 0; mi < motifs.size(); mi += 25)
        some.push_back(motifs[mi]);
    std::printf("\n");
    failures += measure("random 5500-letter sequences", some, long_spans, ghz, 3);
    return failures == 0 ? 0 : 1;
}

// The straightforward scan over every motif x sequence pair of the two files, on the
// calling thread, timed alone; the vector scan then checks every hit (not timed).
int run_naive(const std::string& motif_file, const std::string& seq_file)
{
    read_inputs(motif_file, seq_file);
    const double ghz = report_clock();
    const std::vector<std::span<const std::uint8_t>> seqs = loaded_codes();
    const std::size_t ns = seqs.size();
    std::vector<window_hit> want(ns);
    std::vector<window_hit> hits(ns);
    long long positions = 0;
    long long wrong = 0;
    double naive_s = 0.0;
    double naive_cpu_s = 0.0;  // below naive_s when other processes took the core
    double fast_s = 0.0;
    for (int mi = 0; mi < motif_n; ++mi) {
        const motif& m = motif_db[static_cast<std::size_t>(mi)];
        positions += motif_positions(m.len, seqs);
        auto t0 = clock_type::now();
        const double cpu0 = thread_seconds();
        for (std::size_t si = 0; si < ns; ++si)
            want[si] = naive_best_window(m, seqs[si]);
        naive_cpu_s += thread_seconds() - cpu0;
        naive_s += seconds_since(t0);
        t0 = clock_type::now();
        const fast_scanner scanner(make_quotients(m, background_frqs));
        scanner.best_windows(seqs, hits);
        fast_s += seconds_since(t0);
        for (std::size_t si = 0; si < ns; ++si)
            wrong += !same_hit(hits[si], want[si]);
    }
    std::printf("naive: %d motifs x %zu sequences, %lld motif positions\n", motif_n, ns, positions);
    std::printf("naive scan seconds: %.3f\n", naive_s);
    std::printf("  %.1f M motif-positions/s; %.3f s of CPU time, %.2f cycles per motif position at the clock above\n",
        static_cast<double>(positions) / naive_s / 1e6, naive_cpu_s,
        naive_cpu_s * ghz * 1e9 / static_cast<double>(positions));
    std::printf("  vector scan (%s, several sequences per pass): %.3f s, %.1fx; results differing: %lld\n",
        fast_scanner::path_name(fast_scanner::best_path()), fast_s, naive_s / fast_s, wrong);
    return wrong == 0 ? 0 : 1;
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

// The scores' logarithms of powers, log_powers against the library's log(pow()) one at a
// time, on a million products of widths 6 to 20 whose scores lie within +-3 (as motifs'
// best windows do): ns per score, the best and the median of 7 alternated rounds, the
// share handed to the library, and how many results differ from the library's (none may).
int run_scores()
{
    constexpr int widths = 15;  // 6 to 20, each its own e; a motif's values come together
    constexpr std::size_t per_width = (std::size_t{1} << 20) / widths;
    std::mt19937_64 rng(19);
    std::uniform_real_distribution<double> unit(0.0, 1.0);
    std::vector<std::vector<double>> m(widths, std::vector<double>(per_width));
    std::vector<std::vector<double>> vector_out(widths, std::vector<double>(per_width));
    std::vector<std::vector<double>> library_out(widths, std::vector<double>(per_width));
    for (int w = 0; w < widths; ++w)
        for (double& v : m[static_cast<std::size_t>(w)])
            v = std::exp(static_cast<double>(6 + w) * (unit(rng) * 6.0 - 3.0));
    std::vector<double> vector_ns;
    std::vector<double> library_ns;
    std::size_t handed = 0;
    const double count = static_cast<double>(per_width * widths);
    for (int round = 0; round < 7; ++round) {
        for (int turn = 0; turn < 2; ++turn) {
            const auto t0 = clock_type::now();
            if ((turn == 0) == (round % 2 == 0)) {
                handed = 0;
                for (std::size_t w = 0; w < widths; ++w)
                    handed += log_powers(m[w], 1.0 / static_cast<double>(6 + w), vector_out[w]);
                vector_ns.push_back(seconds_since(t0) * 1e9 / count);
            } else {
                for (std::size_t w = 0; w < widths; ++w) {
                    const double e = 1.0 / static_cast<double>(6 + w);
                    for (std::size_t i = 0; i < per_width; ++i)
                        library_out[w][i] = std::log(std::pow(m[w][i], e));
                }
                library_ns.push_back(seconds_since(t0) * 1e9 / count);
            }
        }
    }
    std::size_t differing = 0;
    for (std::size_t w = 0; w < widths; ++w)
        for (std::size_t i = 0; i < per_width; ++i)
            differing += std::memcmp(&vector_out[w][i], &library_out[w][i], sizeof(double)) != 0 ? 1 : 0;
    const auto best_and_median = [](std::vector<double> v) {
        std::sort(v.begin(), v.end());
        return std::pair{v.front(), v[v.size() / 2]};
    };
    const auto [vector_best, vector_median] = best_and_median(vector_ns);
    const auto [library_best, library_median] = best_and_median(library_ns);
    std::printf("cpu: %s\n", cpuinfo("model name").c_str());
    std::printf("scores: %zu of widths 6 to 20, vector path: %s\n", per_width * widths,
        log_powers_lanes() == 8       ? "AVX-512"
            : log_powers_lanes() == 4 ? "AVX2"
                                      : "none");
    std::printf("  log_powers:                %.2f ns per score (median %.2f), %.1f%% handed to the library\n",
        vector_best, vector_median, 100.0 * static_cast<double>(handed) / count);
    std::printf("  the library's log(pow()):  %.2f ns per score (median %.2f)\n", library_best, library_median);
    std::printf("  results differing from the library's: %zu\n", differing);
    return differing == 0 ? 0 : 1;
}

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

// Writes `count` sequences of `length` letters, each stitched from pieces of the real
// sequences of `real_file`: pieces of 50 to 200 letters, each from a source and offset
// drawn at random, case kept, so that the result has real composition and real sites.
// A fixed generator (mt19937_64, whose output the C++ standard defines) and no library
// distributions: the same seed writes the same bytes with any compiler. Titles carry the
// first piece's chromosome and a valid interval of exactly `length` letters.
int run_make_workload(const std::string& real_file, const std::string& path, long count, long length, long seed)
{
    std::vector<seq> sources;
    {
        line_reader in(real_file);
        while (!in.at_end()) {
            std::optional<seq> s = read_seq2(in);
            if (!s)
                break;
            if (s->len >= 200)
                sources.push_back(std::move(*s));
        }
    }
    if (sources.empty() || count < 0 || length < 1) {
        std::fprintf(stderr, "tarnel_bench: %s: no sequence of 200 letters or more\n", real_file.c_str());
        return 1;
    }
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (out == nullptr) {
        std::perror(path.c_str());
        return 1;
    }
    std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
    const auto below = [&rng](std::size_t n) { return static_cast<std::size_t>(rng() % n); };
    std::string letters;
    for (long i = 0; i < count; ++i) {
        letters.clear();
        const seq* first = nullptr;
        long first_offset = 0;
        while (static_cast<long>(letters.size()) < length) {
            const seq& src = sources[below(sources.size())];
            const std::size_t want =
                std::min<std::size_t>(50 + below(151), static_cast<std::size_t>(length) - letters.size());
            const std::size_t offset = below(static_cast<std::size_t>(src.len) - want + 1);
            if (first == nullptr) {
                first = &src;
                first_offset = static_cast<long>(offset);
            }
            letters.append(src.seq, offset, want);
        }
        const long start = static_cast<long>(first->start) + first_offset;
        const char strand = rng() & 1 ? '-' : '+';
        std::fprintf(out, ">mix%ld::%s:%ld-%ld(%c)\n", i + 1, first->chrom.c_str(), start, start + length, strand);
        for (std::size_t done = 0; done < letters.size(); done += 60) {
            const std::size_t n = std::min<std::size_t>(60, letters.size() - done);
            std::fwrite(letters.data() + done, 1, n, out);
            std::fputc('\n', out);
        }
    }
    if (std::fclose(out) != 0) {
        std::perror(path.c_str());
        return 1;
    }
    return 0;
}

// The analysis of every 8th motif (scores, trimming, t tests and the reported records'
// sites) from its hits, scanned beforehand, again and again, as a whole-set run does it
// (only the reported records written): ns per motif x sequence, the mean and the best of
// 7 rounds, and the sums of the reported records' t values and p-values, which a change
// to the analysis must keep.
int run_analysis(const std::string& motif_file, const std::string& seq_file)
{
    read_inputs(motif_file, seq_file);
    analysis_workspace ws(seq_n);
    const auto n = static_cast<std::size_t>(seq_n);
    std::vector<int> set(n);
    std::iota(set.begin(), set.end(), 0);
    std::vector<int> motifs;
    std::vector<window_hit> hits;
    for (int mi = 0; mi < motif_n; mi += 8) {
        const int group[] = {mi};
        scan_group(group, set, ws);
        motifs.push_back(mi);
        hits.insert(hits.end(), ws.hits.begin(), ws.hits.begin() + static_cast<long>(n));
    }
    double total = 0.0;
    double best = 1e300;
    double t_sum = 0.0;
    double p_sum = 0.0;
    constexpr int rounds = 7;
    for (int round = 0; round < rounds; ++round) {
        const auto t0 = clock_type::now();
        t_sum = 0.0;
        p_sum = 0.0;
        for (std::size_t k = 0; k < motifs.size(); ++k) {
            int rt_n = 0;
            analyse_hits(motifs[k], set, std::span<const window_hit>(hits.data() + k * n, n), {}, ws, ws.matchs, rt_n,
                report_rule::t_reaches_threshold, record_set::reported);
            for (std::size_t r = 0; r < ws.reported_at.size(); ++r) {
                t_sum += ws.matchs[r].tvalue;
                p_sum += ws.matchs[r].pvalue;
            }
        }
        const double sec = seconds_since(t0);
        total += sec;
        best = std::min(best, sec);
    }
    const double pairs = static_cast<double>(motifs.size()) * static_cast<double>(n);
    std::printf("cpu: %s\n", cpuinfo("model name").c_str());
    std::printf("analysis: %zu motifs x %zu sequences; ns per motif x sequence: mean %.2f, best round %.2f\n",
        motifs.size(), n, total / rounds / pairs * 1e9, best / pairs * 1e9);
    std::printf("  sums of the reported records' t values %.17g and p-values %.17g\n", t_sum, p_sum);
    return 0;
}

// The lines a whole-set run writes for every 8th motif (both strands with `both`),
// formatted again and again from their records: ns per line, the mean and the best of 7
// rounds, and a checksum of the text that a change to the formatting must keep.
int run_lines(const std::string& motif_file, const std::string& seq_file, bool both)
{
    both_strands = both;
    read_inputs(motif_file, seq_file);
    analysis_workspace ws(seq_n);
    std::vector<std::vector<match>> reported;  // each motif's written records
    std::vector<int> order;
    long long lines = 0;
    for (int mi = 0; mi < motif_n; mi += 8) {
        int rt_n = 0;
        all_matchs(mi, ws, ws.matchs, rt_n, report_rule::t_reaches_threshold);
        auto& r = reported.emplace_back();
        for (const int at : ws.reported_at)
            r.push_back(ws.matchs[static_cast<std::size_t>(at)]);
        lines += static_cast<long long>(r.size());
        order.resize(std::max(order.size(), r.size()));
    }
    std::iota(order.begin(), order.end(), 0);
    std::string out;
    double total = 0.0;
    double best = 1e300;
    std::uint64_t sum = 0;
    std::size_t bytes = 0;
    constexpr int rounds = 7;
    for (int round = 0; round <= rounds; ++round) {
        const auto t0 = clock_type::now();
        for (const auto& r : reported) {
            out.clear();
            site_tally tally;
            append_reported_lines(out, r, std::span<const int>(order.data(), r.size()), tally);
            bytes += out.size();
            if (round == rounds)  // the text of the last round, untimed
                for (const char c : out)
                    sum = sum * 31 + static_cast<unsigned char>(c);
        }
        const double s = seconds_since(t0);
        if (round < rounds) {
            total += s;
            best = std::min(best, s);
        }
    }
    std::printf("cpu: %s\n", cpuinfo("model name").c_str());
    std::printf("lines%s: %lld lines of %zu motifs; ns per line: mean %.1f, best round %.1f\n",
        both ? " (both strands)" : "", lines, reported.size(), total / rounds / static_cast<double>(lines) * 1e9,
        best / static_cast<double>(lines) * 1e9);
    std::printf(
        "  text checksum %016llx, %zu bytes a round\n", static_cast<unsigned long long>(sum), bytes / (rounds + 1));
    return 0;
}

void usage()
{
    std::fprintf(stderr,
        "usage: tarnel_bench scan MOTIFS SEQS | naive MOTIFS SEQS | load SEQS | format [LINES]\n"
        "       tarnel_bench strands MOTIFS SEQS | analysis MOTIFS SEQS | lines MOTIFS SEQS [both] | scores\n"
        "       tarnel_bench make-seqs FILE COUNT LENGTH | make-workload REAL FILE COUNT LENGTH SEED\n");
}

}  // namespace

int main(int argc, char** argv)
{
    if (argc < 2) {
        usage();
        return 2;
    }
    const std::string mode = argv[1];
    prepare_heap();  // as the tool does: where the loaded data lie changes what the analysis and lines cost
    try {
        if (mode == "scan" && argc == 4) {
            std::printf("cpu: %s\n", cpuinfo("model name").c_str());
            std::printf("vector path: %s\n", fast_scanner::path_name(fast_scanner::best_path()));
            return run_scan(argv[2], argv[3]);
        }
        if (mode == "strands" && argc == 4) {
            std::printf("cpu: %s\n", cpuinfo("model name").c_str());
            read_inputs(argv[2], argv[3]);
            std::vector<const motif*> motifs;
            for (const motif& m : motif_db)
                motifs.push_back(&m);
            return measure_both_strands(motifs, loaded_codes(), report_clock(), 5);
        }
        if (mode == "naive" && argc == 4) {
            std::printf("cpu: %s\n", cpuinfo("model name").c_str());
            return run_naive(argv[2], argv[3]);
        }
        if (mode == "make-workload" && argc == 7)
            return run_make_workload(argv[2], argv[3], std::atol(argv[4]), std::atol(argv[5]), std::atol(argv[6]));
        if (mode == "load" && argc == 3)
            return run_load(argv[2]);
        if (mode == "format" && argc <= 3)
            return run_format(argc == 3 ? std::max(1L, std::atol(argv[2])) : 10000000);
        if (mode == "scores" && argc == 2)
            return run_scores();
        if (mode == "analysis" && argc == 4)
            return run_analysis(argv[2], argv[3]);
        if (mode == "lines" && (argc == 4 || (argc == 5 && std::string(argv[4]) == "both")))
            return run_lines(argv[2], argv[3], argc == 5);
        if (mode == "make-seqs" && argc == 5)
            return run_make_seqs(argv[2], std::atol(argv[3]), std::atol(argv[4]));
    } catch (const fatal_error& e) {
        std::fprintf(stderr, "tarnel_bench: %s\n", e.what());
        return 1;
    }
    usage();
    return 2;
}
