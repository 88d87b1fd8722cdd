// Helpers shared by the tests: scratch files and running the real binary.
#pragma once

#include <filesystem>
#include <string>
#include <vector>

// A scratch folder removed at the end of the test.
class scratch_dir {
public:
    scratch_dir();
    ~scratch_dir();
    scratch_dir(const scratch_dir&) = delete;
    scratch_dir& operator=(const scratch_dir&) = delete;
    const std::filesystem::path& path() const { return path_; }
    // Writes `content` to a file of that name in the folder and returns its path.
    std::string write(const std::string& name, const std::string& content) const;
    std::string file(const std::string& name) const { return (path_ / name).string(); }

private:
    std::filesystem::path path_;
};

std::string read_file(const std::string& path);

struct process_result {
    int status = -1;
    std::string out;
    std::string err;
    long peak_rss_kb = 0;
};

// How the child's standard streams are set up: captured to files (the default), or
// broken the ways a user's shell can break them.
enum class child_streams { captured, stdout_closed, stderr_closed, stdout_reader_gone };

// Runs the Tarnel binary with `args` (no shell), optionally feeding `input` on stdin.
// Also reports the child's peak resident memory in kilobytes.
process_result run_tarnel(const std::vector<std::string>& args, const std::string& input = "",
    child_streams streams = child_streams::captured);

// Exit status of a shell command (-1 when it did not exit normally).
int shell(const std::string& command);

// Whether the system has /dev/full, on which every write fails for lack of space (Linux
// has it; macOS and the BSDs do not): the full-disk tests skip without it.
inline bool have_full_device()
{
    return std::filesystem::exists("/dev/full");
}
#define SKIP_WITHOUT_FULL_DEVICE() \
    if (!have_full_device())       \
    GTEST_SKIP() << "no /dev/full on this system to stand for a full disk"

// Splits text into lines (without their line ends) and a line into tab-separated fields.
std::vector<std::string> split(const std::string& text, char separator);

// The real motif collection and sequences that the repository carries (examples/data).
inline std::string example_data_path(const std::string& name)
{
    return std::string(TARNEL_SOURCE_DIR) + "/examples/data/" + name;
}
