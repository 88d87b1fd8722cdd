#include "output_file.h"

#include <cerrno>

#include "errors.h"

output_file::output_file(const std::string& path) : path_(path)
{
    if (path == "-") {
        path_ = "standard output";
        file_ = stdout;
        owned_ = false;
        return;
    }
    file_ = std::fopen(path.c_str(), "w");
    if (file_ == nullptr)
        throw fatal_error(system_reason(path, errno));
}

output_file::~output_file()
{
    if (file_ != nullptr && owned_)
        std::fclose(file_);
}

void output_file::write(std::string_view text)
{
    if (std::fwrite(text.data(), 1, text.size(), file_) != text.size())
        throw fatal_error(system_reason(path_, errno));
}

void output_file::close()
{
    std::FILE* file = file_;
    file_ = nullptr;
    const bool flushed = std::fflush(file) == 0 && std::ferror(file) == 0;
    const int flush_errno = errno;
    const bool closed = !owned_ || std::fclose(file) == 0;
    if (!flushed || !closed)
        throw fatal_error(system_reason(path_, flushed ? errno : flush_errno));
}
