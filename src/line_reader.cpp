#include "line_reader.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.h"

namespace {
constexpr std::size_t chunk_size = 1 << 20;
}

line_reader::line_reader(const std::string& path) : path_(path == "-" ? "standard input" : path)
{
    int fd = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0)
        throw fatal_error(system_reason(path_, errno));
    struct stat st { };
    if (fstat(fd, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd);
        throw fatal_error(system_reason(path_, EISDIR));
    }
    // The gzip layer passes input that is not compressed through unchanged, so a
    // compressed file is told apart by its magic bytes, not by its name.
    file_ = gzdopen(fd, "rb");
    if (file_ == nullptr) {
        close(fd);
        throw fatal_error(path_ + ": cannot be read");
    }
    gzbuffer(file_, chunk_size);
    buffer_.resize(2 * chunk_size);
}

line_reader line_reader::from_text(std::string text, const std::string& name)
{
    return line_reader(in_memory{}, std::move(text), name);
}

line_reader::line_reader(in_memory, std::string text, const std::string& name)
    : path_(name), buffer_(text.begin(), text.end()), end_(text.size()), eof_(true)
{
}

line_reader::~line_reader()
{
    if (file_ != nullptr)
        gzclose(file_);
}

bool line_reader::fill()
{
    if (eof_)
        return false;
    if (begin_ > 0) {  // keep the partial line at the front
        std::memmove(buffer_.data(), buffer_.data() + begin_, end_ - begin_);
        end_ -= begin_;
        begin_ = 0;
    }
    if (buffer_.size() - end_ < chunk_size)
        buffer_.resize(buffer_.size() + 2 * chunk_size);
    errno = 0;
    const int got = gzread(file_, buffer_.data() + end_, static_cast<unsigned>(buffer_.size() - end_));
    if (got < 0) {
        int zerr = Z_OK;
        const char* message = gzerror(file_, &zerr);
        throw fatal_error(zerr == Z_ERRNO ? system_reason(path_, errno) : path_ + ": " + message);
    }
    if (got == 0) {
        // A compressed stream cut short ends without error from gzread but leaves this.
        int zerr = Z_OK;
        gzerror(file_, &zerr);
        if (zerr == Z_BUF_ERROR)
            throw fatal_error(path_ + ": compressed data ends unexpectedly (file cut short?)");
        eof_ = true;
        return false;
    }
    end_ += static_cast<std::size_t>(got);
    return true;
}

std::optional<std::string_view> line_reader::next_line()
{
    if (pushed_back_) {
        pushed_back_ = false;
        ++line_number_;
        return last_;
    }
    std::size_t scanned = 0;  // bytes of the current line already searched
    for (;;) {
        const char* first = buffer_.data() + begin_;
        const std::size_t avail = end_ - begin_;
        // A line ends at the first LF or CR; a CR followed by LF ends it as one line end.
        const char* stop = nullptr;
        for (const char* p = first + scanned; p < first + avail; ++p) {
            if (*p == '\n' || *p == '\r') {
                stop = p;
                break;
            }
            // Text formats never hold NUL: such input is binary, and reading it as
            // records would give garbage that looks like data.
            if (*p == '\0')
                throw fatal_error(
                    path_ + ":" + std::to_string(line_number_ + 1) + ": holds a NUL byte; not a text file");
        }
        if (stop != nullptr) {
            // Trailing CRs before an LF belong to the line end; so does a run of lone CRs.
            const char* after = stop;
            while (after < first + avail && *after == '\r')
                ++after;
            if (after == first + avail && !eof_) {  // the line end may go on in the next chunk
                scanned = static_cast<std::size_t>(stop - first);
                fill();  // at the end of the input this sets eof_, and the line ends here
                continue;
            }
            if (after < first + avail && *after == '\n')
                ++after;
            last_ = std::string_view(first, static_cast<std::size_t>(stop - first));
            begin_ += static_cast<std::size_t>(after - first);
            ++line_number_;
            return last_;
        }
        scanned = avail;
        if (!fill()) {
            if (end_ == begin_)
                return std::nullopt;
            last_ = std::string_view(buffer_.data() + begin_, end_ - begin_);
            begin_ = end_;
            ++line_number_;
            return last_;
        }
    }
}

bool line_reader::at_end()
{
    if (pushed_back_ || begin_ < end_)
        return false;
    return !fill();
}
