#include "output_paths.h"

#include <cerrno>
#include <filesystem>
#include <sys/stat.h>
#include <unistd.h>

#include "command_line.h"
#include "errors.h"

namespace {

// Whether two paths name one file: the same name once made absolute, or, for files that
// exist, the same device and inode (hard and symbolic links included).
bool same_file(const std::string& a, const std::string& b)
{
    struct stat sa { };
    struct stat sb { };
    const int got_a = a == "-" ? fstat(STDIN_FILENO, &sa) : stat(a.c_str(), &sa);
    const int got_b = b == "-" ? fstat(STDIN_FILENO, &sb) : stat(b.c_str(), &sb);
    if (got_a == 0 && got_b == 0)
        return sa.st_dev == sb.st_dev && sa.st_ino == sb.st_ino;
    if (a == "-" || b == "-")
        return false;
    std::error_code ec_a;
    std::error_code ec_b;
    const auto full_a = std::filesystem::weakly_canonical(a, ec_a);
    const auto full_b = std::filesystem::weakly_canonical(b, ec_b);
    return !ec_a && !ec_b && full_a == full_b;
}

void check(const char* option, const std::string& path, const command_line& cl, const char* other_option,
    const std::string& other)
{
    if (path.empty())
        return;
    if (path == "-")
        return;  // the callers decide about standard output
    const std::pair<const char*, const std::string*> inputs[] = {
        {"-m/--motif", &cl.motif_file}, {"-i/--input", &cl.seq_file}};
    for (const auto& [input_option, input] : inputs) {
        if (same_file(path, *input)) {
            const std::string input_name = *input == "-" ? "standard input" : "'" + *input + "'";
            throw fatal_error(std::string(option) + ": " + path + " is the same file as the " + input_option +
                " input " + input_name + "; refusing to overwrite an input (nothing was written)");
        }
    }
    for (const auto& [taken_option, taken] :
        {std::pair<const char*, const std::string*>{"-o/--output", &cl.output_file}, {other_option, &other}}) {
        if (!taken->empty() && *taken != "-" && same_file(path, *taken))
            throw fatal_error(std::string(option) + ": " + path + " is the same file as the " + taken_option +
                " file; each needs its own (nothing was written)");
    }
    struct stat st { };
    if (stat(path.c_str(), &st) == 0) {
        if (S_ISDIR(st.st_mode))
            throw fatal_error(std::string(option) + ": " + system_reason(path, EISDIR));
        return;
    }
    const int missing = errno;
    // A file that does not exist yet must have a folder to be made in.
    std::filesystem::path folder = std::filesystem::path(path).parent_path();
    if (folder.empty())
        folder = ".";
    struct stat fst { };
    if (stat(folder.c_str(), &fst) != 0)
        throw fatal_error(std::string(option) + ": " + system_reason(path, errno));
    if (!S_ISDIR(fst.st_mode))
        throw fatal_error(std::string(option) + ": " + system_reason(path, ENOTDIR));
    if (missing != ENOENT)
        throw fatal_error(std::string(option) + ": " + system_reason(path, missing));
}

}  // namespace

void refuse_bad_figure_outputs(const command_line& cl)
{
    if (cl.report_file == "-")
        throw fatal_error("--report: the report is a page of its own and cannot go to standard output; give a file name");
    if (cl.summary_file == "-" && cl.output_file == "-")
        throw fatal_error("--summary -: the results already go to standard output (-o -); give the summary a file name");
    check("--summary", cl.summary_file, cl, "--report", cl.report_file);
    check("--report", cl.report_file, cl, "--summary", cl.summary_file);
}
