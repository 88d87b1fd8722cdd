// Splits arbitrary bytes into arguments and parses them as a command line.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <getopt.h>
#include <string>
#include <vector>

#include "command_line.h"
#include "fuzz_check.h"
#include "settings.h"

namespace {

// Enough for every option with its value and a few stray words.
constexpr std::size_t max_args = 16;

// Every NUL ends an argument; the bytes after the last NUL are the last one, so an empty
// argument can be given. No bytes at all is a command line without arguments.
std::vector<std::string> split_args(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args;
    if (size == 0)
        return args;
    const char* text = reinterpret_cast<const char*>(data);
    std::size_t begin = 0;
    for (;;) {
        const void* nul = std::memchr(text + begin, '\0', size - begin);
        const std::size_t end = nul ? static_cast<std::size_t>(static_cast<const char*>(nul) - text) : size;
        args.emplace_back(text + begin, end - begin);
        if (args.size() == max_args || nul == nullptr)
            break;
        begin = end + 1;
    }
    return args;
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    // The option parser's own diagnostics go to the error stream, which the fuzzer needs
    // for its reports; switching them off changes none of the parser's answers.
    opterr = 0;
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    std::vector<std::string> args = split_args(data, size);
    // The parser may permute argv, so it gets its own writable copies.
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("Tarnel");
    for (auto& a : args)
        storage.push_back(std::move(a));
    std::vector<char*> argv;
    for (auto& s : storage)
        argv.push_back(s.data());
    argv.push_back(nullptr);
    const int argc = static_cast<int>(storage.size());
    std::vector<char*> given = argv;

    const command_line result = parse_command_line(argc, argv.data());

    if (result.run) {
        CHECK(result.exit_status == 0);
        CHECK(result.motif_file.size() <= static_cast<std::size_t>(max_text_len));
        CHECK(result.seq_file.size() <= static_cast<std::size_t>(max_text_len));
        CHECK(result.output_file.size() <= static_cast<std::size_t>(max_text_len));
        CHECK(run_sampling == 0 || run_sampling == 1);
        CHECK(thread_n >= 1 && thread_n <= 1024);
        // One source of sequences: a sequence file, or a genome with its regions.
        CHECK(genome_file.empty() == regions_file.empty());
        CHECK(genome_file.empty() || result.seq_file.empty());
        CHECK(summit_window == 0 || !genome_file.empty());
        CHECK(genome_file != "-");
    } else {
        CHECK(result.exit_status == 0 || result.exit_status == 1);
    }
    // No arguments at all is the usage error, never a run.
    if (argc == 1)
        CHECK(!result.run && result.exit_status == 1);
    // The parser may reorder the arguments but must keep every one of them.
    CHECK(argv[0] == given[0] && argv[argc] == nullptr);
    std::sort(argv.begin(), argv.end());
    std::sort(given.begin(), given.end());
    CHECK(argv == given);
    return 0;
}
