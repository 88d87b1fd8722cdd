#include "command_line.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <getopt.h>
#include <string_view>

#include "motif_formats.h"
#include "settings.h"

namespace {

// Integer options convert as atoi does on this platform: the long value truncated to int.
int to_int(const char* text)
{
    return static_cast<int>(std::strtol(text, nullptr, 10));
}

// A whole positive number of workers, or 0 when the text is not one.
int to_thread_count(const char* text)
{
    char* end = nullptr;
    errno = 0;
    const long value = std::strtol(text, &end, 10);
    if (end == text || *end != '\0' || errno != 0 || value < 1 || value > 1024)
        return 0;
    return static_cast<int>(value);
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
    {nullptr, 0, nullptr, 0},
};

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
    while ((c = getopt_long(argc, argv, "hm:i:s:n:r:o:t:", long_options, nullptr)) != -1) {
        switch (c) {
        case 'h':
            std::puts(usage_line);
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
        case 't':
            thread_n = to_thread_count(optarg);
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
    if (result.motif_file == "-" && result.seq_file == "-") {
        std::fprintf(stderr, "Tarnel: only one of -m/--motif and -i/--input can read standard input (-)\n");
        return stop(1);
    }
    result.run = true;
    return result;
}
