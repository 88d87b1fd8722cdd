#include "output_safety.h"

#include <sys/stat.h>
#include <unistd.h>

#include "errors.h"
#include "settings.h"

namespace {

// Same device and inode: the same file, whatever the name, link or symbolic link.
bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// The file an input names, as it is now; false when it cannot be looked at (it is then
// not opened by the run either, which reports that itself).
bool stat_input(const named_input& input, struct stat& st)
{
    return (input.path == "-" ? fstat(STDIN_FILENO, &st) : stat(input.path.c_str(), &st)) == 0;
}

std::string input_name(const named_input& input)
{
    return input.path == "-" ? "standard input" : "'" + input.path + "'";
}

// Throws when `out` is one of the inputs; `what` says which output it is.
void refuse_same_file(const struct stat& out, const std::string& what, const std::vector<named_input>& inputs)
{
    for (const named_input& input : inputs) {
        struct stat in { };
        if (stat_input(input, in) && same_file(out, in))
            throw fatal_error(what + " is the same file as the " + input.option + " input " + input_name(input) +
                "; refusing to overwrite an input (nothing was written)");
    }
}

}  // namespace

std::vector<named_input> inputs_of_run(const std::string& motif_file, const std::string& seq_file)
{
    if (genome_file.empty())
        return {{"-m/--motif", motif_file}, {"-i/--input", seq_file}};
    // The genome's index files are inputs too: overwriting one would break the genome.
    return {{"-m/--motif", motif_file}, {"--genome", genome_file}, {"--genome index", genome_file + ".fai"},
        {"--genome index", genome_file + ".gzi"}, {"--regions", regions_file}};
}

void refuse_output_over_input(const std::string& output_path, const std::vector<named_input>& inputs)
{
    struct stat st { };
    // Standard output carries the results (-o -) or the progress: a shell's `1<> input` or
    // `>> input` would have them overwrite or grow an input.
    if (fstat(STDOUT_FILENO, &st) == 0 && S_ISREG(st.st_mode))
        refuse_same_file(st, output_path == "-" ? "-o/--output: standard output" : "standard output", inputs);
    if (output_path != "-" && stat(output_path.c_str(), &st) == 0)
        refuse_same_file(st, "-o/--output: " + output_path, inputs);
}

void refuse_descriptor_over_input(int fd, const std::string& output_name, const std::vector<named_input>& inputs)
{
    struct stat st { };
    if (fstat(fd, &st) == 0)
        refuse_same_file(st, "-o/--output: " + output_name, inputs);
}

namespace {

// The names under which a process reaches its own standard descriptor fd.
bool names_standard_stream(const std::string& path, int fd)
{
    const std::string n = std::to_string(fd);
    return path == "-" || path == "/dev/fd/" + n || path == "/proc/self/fd/" + n ||
        path == (fd == 0 ? "/dev/stdin" : "/dev/stdout");
}

}  // namespace

void refuse_closed_streams(
    const closed_streams& closed, const std::string& output_path, const std::vector<named_input>& inputs)
{
    // /dev/null stands in for a closed stream: results written there would be lost, and an
    // input read from there would look empty.
    if (closed.output && names_standard_stream(output_path, STDOUT_FILENO))
        throw fatal_error("-o/--output: standard output is closed; the results would be lost (nothing was run)");
    if (closed.input)
        for (const named_input& input : inputs)
            if (names_standard_stream(input.path, STDIN_FILENO))
                throw fatal_error(input.option + ": standard input is closed; it cannot be read (nothing was run)");
}
