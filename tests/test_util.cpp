#include "test_util.h"

#include <csignal>
#include <cstdlib>
#include <fstream>
#if defined(__GLIBC__)
#include <malloc.h>
#endif
#include <sstream>
#include <stdexcept>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

scratch_dir::scratch_dir()
{
    std::string tmpl = (std::filesystem::temp_directory_path() / "tarnel-test-XXXXXX").string();
    if (mkdtemp(tmpl.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    path_ = tmpl;
}

scratch_dir::~scratch_dir()
{
    std::error_code ec;
    std::filesystem::permissions(path_, std::filesystem::perms::owner_all, std::filesystem::perm_options::add, ec);
    std::filesystem::remove_all(path_, ec);
}

std::string scratch_dir::write(const std::string& name, const std::string& content) const
{
    const std::string p = file(name);
    std::ofstream out(p, std::ios::binary);
    out << content;
    return p;
}

std::string read_file(const std::string& path)
{
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

namespace {

std::string drain(int fd)
{
    std::string text;
    char buf[65536];
    ssize_t n = 0;
    while ((n = read(fd, buf, sizeof buf)) > 0)
        text.append(buf, static_cast<std::size_t>(n));
    close(fd);
    return text;
}

}  // namespace

process_result run_tarnel(const std::vector<std::string>& args, const std::string& input, child_streams streams)
{
    // Standard output and error go to files so that a large output cannot block the child.
    char out_name[] = "/tmp/tarnel-out-XXXXXX";
    char err_name[] = "/tmp/tarnel-err-XXXXXX";
    char in_name[] = "/tmp/tarnel-in-XXXXXX";
    const int out_fd = mkstemp(out_name);
    const int err_fd = mkstemp(err_name);
    const int in_fd = mkstemp(in_name);
    if (write(in_fd, input.data(), input.size()) != static_cast<ssize_t>(input.size()))
        throw std::runtime_error("cannot write the child's input");
    lseek(in_fd, 0, SEEK_SET);
    int pipe_fds[2] = {-1, -1};
    if (streams == child_streams::stdout_reader_gone && pipe(pipe_fds) != 0)
        throw std::runtime_error("pipe failed");
#if defined(__GLIBC__)
    // The child's peak memory, as the system reports it, counts the pages this process
    // holds when the child starts its program: freed memory that the allocator keeps would
    // be counted as the child's.
    malloc_trim(0);
#endif
    const pid_t pid = fork();
    if (pid == 0) {
        dup2(in_fd, 0);
        dup2(out_fd, 1);
        dup2(err_fd, 2);
        switch (streams) {
        case child_streams::captured:
            break;
        case child_streams::stdout_closed:
            close(1);
            break;
        case child_streams::stderr_closed:
            close(2);
            break;
        case child_streams::stdout_reader_gone:
            close(pipe_fds[0]);  // nobody reads: writes fail as after `| head -1` has ended
            dup2(pipe_fds[1], 1);
            close(pipe_fds[1]);
            signal(SIGPIPE, SIG_DFL);  // as a shell starts its commands
            break;
        }
        std::vector<char*> argv;
        std::string binary = TARNEL_BINARY;
        argv.push_back(binary.data());
        std::vector<std::string> copies = args;
        for (std::string& a : copies)
            argv.push_back(a.data());
        argv.push_back(nullptr);
        execv(binary.c_str(), argv.data());
        _exit(127);
    }
    if (pipe_fds[0] >= 0) {
        close(pipe_fds[0]);
        close(pipe_fds[1]);
    }
    int wstatus = 0;
    rusage usage{};
    wait4(pid, &wstatus, 0, &usage);
    process_result result;
    result.peak_rss_kb = usage.ru_maxrss;
    result.status = WIFEXITED(wstatus) ? WEXITSTATUS(wstatus) : 128 + WTERMSIG(wstatus);
    lseek(out_fd, 0, SEEK_SET);
    lseek(err_fd, 0, SEEK_SET);
    result.out = drain(out_fd);
    result.err = drain(err_fd);
    close(in_fd);
    unlink(out_name);
    unlink(err_name);
    unlink(in_name);
    return result;
}

std::vector<std::string> split(const std::string& text, char separator)
{
    std::vector<std::string> parts;
    std::string current;
    for (char c : text) {
        if (c == separator) {
            parts.push_back(current);
            current.clear();
        } else {
            current += c;
        }
    }
    if (!current.empty())
        parts.push_back(current);
    return parts;
}

int shell(const std::string& command)
{
    const int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}
