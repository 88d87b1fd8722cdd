#include "command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string_view>
#include <sys/stat.h>
#include <unistd.h>

#include "motif_formats.h"
#include "settings.h"

namespace {

// Integer options convert as atoi does on this platform: the long value truncated to int.
int to_int(const char* text)
{
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// The whole number `text` holds when it lies within [1, most], or 0 when it is not one.
int to_whole_number(const char* text, long most)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1 || value > most)
        return 0;
    return static_cast<int>(value);
}

constexpr long most_threads = 1024;
constexpr long most_summit_window = 1000000000;

// The refusals of a command line that names the sequences' source wrongly; checked before
// anything is opened. Returns false after printing the reason.
bool check_sequence_source(bool input_given, bool genome_given, bool regions_given, const command_line& result)
{
    const char* problem = nullptr;
    if (genome_given && input_given)
        problem = "--genome and --regions read the sequences in place of -i/--input; give one or the other";
    else if (genome_given && !regions_given)
        problem = "--genome needs --regions: the file of regions to read from the genome";
    else if (regions_given && !genome_given)
        problem = "--regions needs --genome: the indexed genome the regions are read from";
    else if (summit_window > 0 && !regions_given)
        problem = "--summit-window needs --genome and --regions (a narrowPeak file)";
    else if (genome_given && (genome_file.empty() || regions_file.empty()))
        problem = "--genome and --regions take file names";
    else if (genome_file == "-")
        problem = "--genome cannot read standard input: the genome is read through its index, beside the file";
    else if (result.motif_file == "-" && regions_file == "-")
        problem = "only one of -m/--motif and --regions can read standard input (-)";
    if (problem != nullptr)
        std::fprintf(stderr, "Tarnel: %s\n", problem);
    return problem == nullptr;
}

// Takes the option's file name unless it is longer than a name may be.
bool take_file_name(std::string& file, const char* option)
{
    if (std::string_view(optarg).size() > static_cast<std::size_t>(max_text_len)) {
        std::fprintf(stderr, "Tarnel: the file name given to %s is longer than %d characters\n", option, max_text_len);
        return false;
    }
    file = optarg;
    return true;
}

constexpr int version_option = 1000;
constexpr int motif_format_option = 1001;
constexpr int both_strands_option = 1002;
constexpr int bed_option = 1003;
constexpr int genome_option = 1004;
constexpr int regions_option = 1005;
constexpr int summit_window_option = 1006;
constexpr int motif_range_option = 1007;

// "FROM-TO", two whole numbers with 1 <= FROM <= TO <= the motif table's capacity, into
// motif_range_first and motif_range_last; false when the text is not one.
bool take_motif_range(const char* text)
{
    const std::string_view range(text);
    const auto dash = range.find('-');
    if (dash == std::string_view::npos)
        return false;
    const auto number = [](std::string_view digits, int& value) {
        if (digits.empty() || digits.size() > 9 || digits.find_first_not_of("0123456789") != std::string_view::npos)
            return false;
        value = 0;
        for (char d : digits)
            value = value * 10 + (d - '0');
        return true;
    };
    int first = 0;
    int last = 0;
    if (!number(range.substr(0, dash), first) || !number(range.substr(dash + 1), last) || first < 1 || last < first ||
        last > max_motifs)
        return false;
    motif_range_first = first;
    motif_range_last = last;
    return true;
}

constexpr int summary_option = 1008;
constexpr int report_option = 1009;
constexpr int report_top_option = 1010;

// A whole number from 0 to max_motifs, or -1 when the text is not one.
int to_motif_count(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 0 || value > max_motifs)
        return -1;
    return static_cast<int>(value);
}

const option long_options[] = {
    {"help", no_argument, nullptr, 'h'},
    {"motif", required_argument, nullptr, 'm'},
    {"input", required_argument, nullptr, 'i'},
    {"seed", required_argument, nullptr, 's'},
    {"rand_n", required_argument, nullptr, 'n'},
    {"score", required_argument, nullptr, 'r'},
    {"output", required_argument, nullptr, 'o'},
    {"threads", required_argument, nullptr, 't'},
    {"version", no_argument, nullptr, version_option},
    {"motif-format", required_argument, nullptr, motif_format_option},
    {"both-strands", no_argument, nullptr, both_strands_option},
    {"bed", no_argument, nullptr, bed_option},
    {"genome", required_argument, nullptr, genome_option},
    {"regions", required_argument, nullptr, regions_option},
    {"summit-window", required_argument, nullptr, summit_window_option},
    {"motif-range", required_argument, nullptr, motif_range_option},
    {"summary", required_argument, nullptr, summary_option},
    {"report", required_argument, nullptr, report_option},
    {"report-top", required_argument, nullptr, report_top_option},
    {nullptr, 0, nullptr, 0},
};

// Every option, after the usage line of -h.
constexpr const char* option_help = R"(
  -m, --motif FILE          motif file (default motif.txt; - reads standard input)
  -i, --input FILE          sequence file, name::chrom:start-end(strand) titles (default seq.txt; -)
      --genome FILE         indexed genome (FASTA or bgzip, with .fai) to read the regions from, in place of -i
      --regions FILE        BED3 to BED12 or narrowPeak regions, plain or gzip (with --genome; -)
      --summit-window W     with narrowPeak regions: the W bases centred on each summit
  -o, --output FILE         output file (default output.txt); - writes the results to standard output
  -s, --seed N              seed of the random generator (default 12345)
  -n, --rand_n N            sample size; selects the sampled run (default 2000)
  -r, --score X             output threshold on the t value (default 1.0)
  -t, --threads N           workers of either run, 1 to 1024 (default 8)
      --motif-format F      tarnel, jaspar, pfm or meme (default tarnel)
      --motif-range A-B     analyse only motifs A to B of the motif file (1-based, inclusive)
      --summary FILE        one tab-separated line of figures per motif (- : standard output)
      --report FILE.html    a self-contained HTML report of the run
      --report-top N        motifs shown in detail in the report (default 20)
      --both-strands        scan every sequence's reverse complement too
      --bed                 write the output as BED
      --version             print the version and exit
  -h, --help                print this help and exit
)";

// Whether reading `file` reads standard input: "-", or a name of the file standard input
// is (/dev/stdin, /dev/fd/0, the file it was redirected from). Compared as files, since
// many names lead to one stream and two readers of it would each get part of it.
bool reads_standard_input(const std::string& file)
{
    if (file == "-")
        return true;
    struct stat in { };
    struct stat named { };
    return fstat(STDIN_FILENO, &in) == 0 && stat(file.c_str(), &named) == 0 && in.st_dev == named.st_dev &&
        in.st_ino == named.st_ino;
}

command_line stop(int status)
{
    command_line result;
    result.exit_status = status;
    return result;
}

}  // namespace

command_line parse_command_line(int argc, char** argv)
{
    reset_settings();
    if (argc <= 1) {
        std::puts(usage_line);
        return stop(1);
    }
    command_line result;
    // A fresh scan on every call. glibc starts over, its state of an earlier scan dropped,
    // only at optind 0; the BSDs (macOS) at optreset; POSIX promises no more than optind 1.
#if defined(__GLIBC__)
    optind = 0;
#else
    optind = 1;
#if defined(__APPLE__) || defined(__FreeBSD__) || defined(__NetBSD__) || defined(__OpenBSD__) || defined(__DragonFly__)
    optreset = 1;
#endif
#endif
    int c = 0;
    bool input_given = false;
    bool genome_given = false;
    bool regions_given = false;
    while ((c = getopt_long(argc, argv, "hm:i:s:n:r:o:t:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            // The fixed usage line first: callers that parse it find it unchanged.
            std::puts(usage_line);
            std::fputs(option_help, stdout);
            return stop(0);
        case version_option:
            std::printf("Tarnel %s\n", TARNEL_VERSION);
            return stop(0);
        case 'm':
            if (!take_file_name(result.motif_file, "-m/--motif"))
                return stop(1);
            break;
        case 'i':
            if (!take_file_name(result.seq_file, "-i/--input"))
                return stop(1);
            input_given = true;
            break;
        case genome_option:
            if (!take_file_name(genome_file, "--genome"))
                return stop(1);
            genome_given = true;
            break;
        case regions_option:
            if (!take_file_name(regions_file, "--regions"))
                return stop(1);
            regions_given = true;
            break;
        case summit_window_option:
            summit_window = to_whole_number(optarg, most_summit_window);
            if (summit_window == 0) {
                std::fprintf(stderr, "Tarnel: --summit-window takes a whole number of bases from 1 to %ld, not '%s'\n",
                    most_summit_window, optarg);
                return stop(1);
            }
            break;
        case motif_range_option:
            if (!take_motif_range(optarg)) {
                std::fprintf(stderr,
                    "Tarnel: --motif-range takes FROM-TO, motifs FROM to TO of the motif file (1 <= FROM <= TO <= %d), "
                    "not '%s'\n",
                    max_motifs, optarg);
                return stop(1);
            }
            break;
        case 'o':
            if (!take_file_name(result.output_file, "-o/--output"))
                return stop(1);
            break;
        case 's':
            random_seed = static_cast<std::uint32_t>(to_int(optarg));
            break;
        case 'n':
            rdm_n = to_int(optarg);
            run_sampling = 1;
            break;
        case 'r':
            score_th = std::atof(optarg);
            break;
        case motif_format_option:
            if (const auto format = parse_motif_format(optarg)) {
                motif_file_format = *format;
                break;
            }
            std::fprintf(stderr, "Tarnel: --motif-format takes tarnel, jaspar, pfm or meme, not '%s'\n", optarg);
            return stop(1);
        case both_strands_option:
            both_strands = true;
            break;
        case bed_option:
            bed_output = true;
            break;
        case summary_option:
            if (!take_file_name(result.summary_file, "--summary"))
                return stop(1);
            if (result.summary_file.empty()) {
                std::fprintf(stderr, "Tarnel: --summary needs a file name\n");
                return stop(1);
            }
            break;
        case report_option:
            if (!take_file_name(result.report_file, "--report"))
                return stop(1);
            if (result.report_file.empty()) {
                std::fprintf(stderr, "Tarnel: --report needs a file name\n");
                return stop(1);
            }
            break;
        case report_top_option:
            result.report_top = to_motif_count(optarg);
            if (result.report_top < 0) {
                std::fprintf(stderr, "Tarnel: --report-top takes a whole number of motifs from 0 to %d, not '%s'\n",
                    max_motifs, optarg);
                return stop(1);
            }
            break;
        case 't':
            thread_n = to_whole_number(optarg, most_threads);
            if (thread_n == 0) {
                std::fprintf(
                    stderr, "Tarnel: -t/--threads takes a whole number of workers from 1 to 1024, not '%s'\n", optarg);
                return stop(1);
            }
            break;
        default: {
            // The parser names the option on the error stream; repeat it here.
            const char* given = optind > 0 && optind <= argc ? argv[optind - 1] : "";
            std::printf("invalid option: %s", given);
            std::fflush(stdout);
            return stop(1);
        }
        }
    }
    if (reads_standard_input(result.motif_file) && reads_standard_input(result.seq_file)) {
        std::fprintf(stderr, "Tarnel: only one of -m/--motif and -i/--input can read standard input (-)\n");
        return stop(1);
    }
    if (!check_sequence_source(input_given, genome_given, regions_given, result))
        return stop(1);
    if (genome_given)
        result.seq_file.clear();  // no sequence file is read
    result.run = true;
    return result;
}
