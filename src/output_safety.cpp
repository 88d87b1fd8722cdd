#include "output_safety.h"

#include <sys/stat.h>
#include <unistd.h>
#include <utility>

#include "errors.h"

namespace {

// Same device and inode: the same file, whatever the name, link or symbolic link.
bool same_file(const struct stat& a, const struct stat& b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

void refuse_output_over_input(
    const std::string& output_path, const std::string& motif_file, const std::string& seq_file)
{
    if (output_path == "-")
        return;  // standard output: nothing is opened, nothing truncated
    struct stat out { };
    if (stat(output_path.c_str(), &out) != 0)
        return;  // it does not exist yet, so it cannot be an input
    const std::pair<const char*, const std::string*> inputs[] = {
        {"-m/--motif", &motif_file}, {"-i/--input", &seq_file}};
    for (const auto& [option, path] : inputs) {
        struct stat in { };
        const int got = *path == "-" ? fstat(STDIN_FILENO, &in) : stat(path->c_str(), &in);
        if (got == 0 && same_file(out, in)) {
            const std::string input_name = *path == "-" ? "standard input" : "'" + *path + "'";
            throw fatal_error("-o/--output: " + output_path + " is the same file as the " + option + " input " +
                input_name + "; refusing to overwrite an input (nothing was written)");
        }
    }
}
