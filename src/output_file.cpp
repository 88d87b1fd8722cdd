#include "output_file.h"

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.h"
#include "interruption.h"

namespace {

// The folder of a path and the name in it.
std::pair<std::string, std::string> split_path(const std::string& path)
{
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos)
        return {".", path};
    return {slash == 0 ? "/" : path.substr(0, slash), path.substr(slash + 1)};
}

// What a new file gets from fopen: 0666 less the process's umask.
mode_t default_mode()
{
    const mode_t mask = umask(0);
    umask(mask);
    return 0666 & ~mask;
}

}  // namespace

output_file::output_file(const std::string& path, const std::vector<named_input>& inputs, bool background_writes)
    : path_(path)
{
    if (path == "-") {
        path_ = "standard output";
        file_ = stdout;
        owned_ = false;
        return;
    }
    // The system's own names (/dev/stdout, /dev/full, /proc/self/fd/1) are written as they are.
    if (path.rfind("/dev/", 0) == 0 || path.rfind("/proc/", 0) == 0) {
        open_in_place(path, inputs);
        return;
    }
    // Through a symbolic link the results go to the file it names, as opening it would.
    std::string target = path;
    struct stat st { };
    if (lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
        char resolved[PATH_MAX];
        if (realpath(path.c_str(), resolved) == nullptr) {
            open_in_place(path, inputs);  // a link to nothing yet: opening creates what it names
            return;
        }
        target = resolved;
    }
    const bool exists = stat(target.c_str(), &st) == 0;
    if (exists && S_ISDIR(st.st_mode))
        throw fatal_error(system_reason(path, EISDIR));
    if (exists && !S_ISREG(st.st_mode)) {  // a pipe or a device
        open_in_place(path, inputs);
        return;
    }
    const auto [folder, name] = split_path(target);
    std::string temp = folder + "/." + name + ".tarnel-XXXXXX";
    const signals_held held;
    const int fd = mkstemp(temp.data());
    if (fd < 0) {
        const int err = errno;
        // A folder closed to new files may still hold a writable output.
        if (exists && (err == EACCES || err == EPERM || err == EROFS)) {
            open_in_place(path, inputs);
            return;
        }
        throw fatal_error(system_reason(path, err));
    }
    temp_path_ = temp;
    final_path_ = target;
    remove_on_signal(temp_path_);
    // The results keep the permissions of the file they replace, or get a new file's.
    fchmod(fd, exists ? (st.st_mode & 07777) : default_mode());
    direct_ = direct_writer::open(fd, background_writes);
    if (direct_ != nullptr)
        return;
    file_ = fdopen(fd, "w");
    if (file_ == nullptr) {
        const int err = errno;
        ::close(fd);
        discard();
        throw fatal_error(system_reason(path, err));
    }
}

void output_file::open_in_place(const std::string& path, const std::vector<named_input>& inputs)
{
    // Opened without truncating, checked by what was opened, and only then emptied: a link
    // to an input made after any check by name cannot cost that input its contents.
    int fd = -1;
    int err = 0;
    {
        const signals_held held;  // not while a pipe's open below waits for its reader
        fd = open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOCTTY | O_CLOEXEC, 0666);
        err = errno;
        created_ = fd >= 0;
        if (created_)
            remove_on_signal(path);
    }
    if (fd < 0 && err == EEXIST) {
        fd = open(path.c_str(), O_WRONLY | O_NOCTTY | O_CLOEXEC);
        err = errno;
    }
    if (fd < 0)
        throw fatal_error(system_reason(path, err));
    try {
        refuse_descriptor_over_input(fd, path, inputs);
        struct stat st { };
        if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && ftruncate(fd, 0) != 0)
            throw fatal_error(system_reason(path, errno));
        file_ = fdopen(fd, "w");
        if (file_ == nullptr)
            throw fatal_error(system_reason(path, errno));
    } catch (...) {
        ::close(fd);
        discard();
        throw;
    }
}

void output_file::discard()
{
    if (!temp_path_.empty())
        unlink(temp_path_.c_str());
    else if (created_)
        unlink(path_.c_str());
    forget_on_signal();
    temp_path_.clear();
    created_ = false;
}

output_file::~output_file()
{
    if (direct_ != nullptr) {
        direct_.reset();
        discard();
    }
    if (file_ != nullptr && owned_) {
        std::fclose(file_);
        discard();
    }
}

void output_file::write(std::string_view text)
{
    if (direct_ != nullptr) {
        if (const int err = direct_->write(text); err != 0)
            throw fatal_error(system_reason(path_, err));
        return;
    }
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        throw fatal_error(system_reason(path_, errno));
}

void output_file::expect_end()
{
    if (direct_ != nullptr)
        direct_->expect_end();
}

void output_file::close()
{
    if (direct_ != nullptr) {
        const int err = direct_->close();
        direct_.reset();
        if (err != 0) {
            discard();
            throw fatal_error(system_reason(path_, err));
        }
    } else {
        std::FILE* file = file_;
        file_ = nullptr;
        const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
        const int flush_errno = errno;
        const bool closed = !owned_ || std::fclose(file) == 0;
        const int close_errno = errno;
        if (!flushed || !closed) {
            discard();
            throw fatal_error(system_reason(path_, flushed ? close_errno : flush_errno));
        }
    }
    if (!temp_path_.empty() && std::rename(temp_path_.c_str(), final_path_.c_str()) != 0) {
        const int err = errno;
        discard();
        throw fatal_error(system_reason(path_, err));
    }
    forget_on_signal();
    temp_path_.clear();
    created_ = false;
}
