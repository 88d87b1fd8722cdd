#include "line_reader.h"

#include <algorithm>
#include <bit>
#include <cstdint>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include "errors.h"

namespace {
constexpr std::size_t chunk_size = 1 << 20;
constexpr unsigned char gzip_magic[2] = {0x1f, 0x8b};
}  // namespace

line_reader::line_reader(const std::string& path) : path_(path == "-" ? "standard input" : path)
{
    fd_ = path == "-" ? dup(STDIN_FILENO) : open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd_ < 0)
        throw fatal_error(system_reason(path_, errno));
    struct stat st { };
    if (fstat(fd_, &st) == 0 && S_ISDIR(st.st_mode)) {
        close(fd_);
        fd_ = -1;
        throw fatal_error(system_reason(path_, EISDIR));
    }
    raw_.resize(chunk_size);
    buffer_.resize(2 * chunk_size);
    // A compressed file is told apart by its magic bytes, not by its name.
    while (raw_end_ < 2 && !raw_eof_) {
        const std::size_t got = read_raw(raw_.data() + raw_end_, raw_.size() - raw_end_);
        raw_end_ += got;
        raw_eof_ = got == 0;
    }
    gzip_ = raw_end_ >= 2 && raw_[0] == gzip_magic[0] && raw_[1] == gzip_magic[1];
    if (gzip_) {
        // 16 + window bits: gzip members only, with their checksums verified.
        if (inflateInit2(&zs_, 16 + MAX_WBITS) != Z_OK) {
            close(fd_);
            fd_ = -1;
            throw fatal_error(path_ + ": cannot be read (zlib could not start)");
        }
        zs_ready_ = true;
    }
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
    if (zs_ready_)
        inflateEnd(&zs_);
    if (fd_ >= 0)
        close(fd_);
}

std::size_t line_reader::read_raw(unsigned char* to, std::size_t room)
{
    for (;;) {
        const ssize_t got = read(fd_, to, room);
        if (got >= 0)
            return static_cast<std::size_t>(got);
        if (errno != EINTR)
            throw fatal_error(system_reason(path_, errno));
    }
}

bool line_reader::raw_input_left()
{
    if (raw_begin_ < raw_end_)
        return true;
    if (raw_eof_)
        return false;
    raw_begin_ = 0;
    raw_end_ = read_raw(raw_.data(), raw_.size());
    raw_eof_ = raw_end_ == 0;
    return raw_end_ > 0;
}

std::size_t line_reader::inflate_more(char* to, std::size_t room)
{
    zs_.next_out = reinterpret_cast<Bytef*>(to);
    zs_.avail_out = static_cast<uInt>(std::min<std::size_t>(room, 1u << 30));
    while (zs_.avail_out > 0) {
        if (!raw_input_left()) {
            if (zs_ready_ && zs_.total_in > 0 && !member_done_)
                throw fatal_error(path_ + ": compressed data ends unexpectedly (file cut short?)");
            break;
        }
        if (member_done_) {
            // Members may follow each other (cat a.gz b.gz); anything else after the last
            // one would be silently lost, so it is refused.
            if (raw_end_ - raw_begin_ < 2 && !raw_eof_) {
                std::memmove(raw_.data(), raw_.data() + raw_begin_, raw_end_ - raw_begin_);
                raw_end_ -= raw_begin_;
                raw_begin_ = 0;
                const std::size_t got = read_raw(raw_.data() + raw_end_, raw_.size() - raw_end_);
                raw_end_ += got;
                raw_eof_ = got == 0;
                continue;
            }
            if (raw_end_ - raw_begin_ < 2 || raw_[raw_begin_] != gzip_magic[0] || raw_[raw_begin_ + 1] != gzip_magic[1])
                throw fatal_error(path_ + ": holds data after the end of its gzip data that is not gzip data");
            inflateReset(&zs_);
            member_done_ = false;
        }
        zs_.next_in = raw_.data() + raw_begin_;
        zs_.avail_in = static_cast<uInt>(raw_end_ - raw_begin_);
        const int ret = inflate(&zs_, Z_NO_FLUSH);
        raw_begin_ = raw_end_ - zs_.avail_in;
        if (ret == Z_STREAM_END) {
            member_done_ = true;
            continue;
        }
        if (ret != Z_OK && ret != Z_BUF_ERROR)
            throw fatal_error(path_ + ": " + (zs_.msg != nullptr ? zs_.msg : "damaged compressed data"));
    }
    return room - zs_.avail_out;
}

std::size_t line_reader::read_more(char* to, std::size_t room)
{
    if (gzip_)
        return inflate_more(to, room);
    if (raw_begin_ < raw_end_) {  // the bytes read to look for the magic come first
        const std::size_t n = std::min(room, raw_end_ - raw_begin_);
        std::memcpy(to, raw_.data() + raw_begin_, n);
        raw_begin_ += n;
        return n;
    }
    return raw_eof_ ? 0 : read_raw(reinterpret_cast<unsigned char*>(to), room);
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
    const std::size_t got = read_more(buffer_.data() + end_, buffer_.size() - end_);
    if (got == 0) {
        eof_ = true;
        return false;
    }
    end_ += got;
    return true;
}

namespace {

// The first LF, CR or NUL in [p, end), or end. Eight bytes at a time: (v - 1...1) & ~v &
// 8...8 has its lowest set bit in the first zero byte of v (borrows only mark bytes above
// it), so the lowest of the three words marks the first byte that is any of the three.
const char* first_line_stop(const char* p, const char* end)
{
    if constexpr (std::endian::native == std::endian::little) {
        constexpr std::uint64_t ones = 0x0101010101010101ULL;
        constexpr std::uint64_t highs = 0x8080808080808080ULL;
        const auto zero_bytes = [](std::uint64_t v) { return (v - ones) & ~v & highs; };
        for (; end - p >= 8; p += 8) {
            std::uint64_t v = 0;
            std::memcpy(&v, p, sizeof v);
            const std::uint64_t found = zero_bytes(v) | zero_bytes(v ^ (ones * '\n')) | zero_bytes(v ^ (ones * '\r'));
            if (found != 0)
                return p + __builtin_ctzll(found) / 8;
        }
    }
    for (; p < end; ++p)
        if (*p == '\n' || *p == '\r' || *p == '\0')
            return p;
    return end;
}

}  // namespace

std::optional<std::string_view> line_reader::next_line(std::size_t keep, const piece_sink& every_piece)
{
    if (pushed_back_) {
        pushed_back_ = false;
        ++line_number_;
        if (every_piece)
            every_piece(last_);
        return last_;
    }
    std::size_t scanned = 0;  // bytes of the current line in the buffer already searched
    std::size_t dropped = 0;  // bytes of the current line already passed on and discarded
    // Ends the line with the n bytes of it still in the buffer at `first`.
    const auto take_line = [&](const char* first, std::size_t n) {
        if (every_piece && n > 0)
            every_piece(std::string_view(first, n));
        line_length_ = dropped + n;
        if (dropped > 0) {
            kept_.append(first, std::min(n, keep - kept_.size()));
            last_ = kept_;
        } else {
            last_ = std::string_view(first, std::min(n, keep));
        }
        ++line_number_;
        return last_;
    };
    for (;;) {
        const char* first = buffer_.data() + begin_;
        const std::size_t avail = end_ - begin_;
        // A line ends at the first LF or CR; a CR followed by LF ends it as one line end.
        const char* stop = first_line_stop(first + scanned, first + avail);
        if (stop == first + avail) {
            stop = nullptr;
        } else if (*stop == '\0') {
            // Text formats never hold NUL: such input is binary, and reading it as
            // records would give garbage that looks like data.
            throw fatal_error(path_ + ":" + std::to_string(line_number_ + 1) + ": holds a NUL byte; not a text file");
        }
        if (stop != nullptr) {
            // CRs right before an LF belong to its line end (CR LF, and the CR CR LF some
            // conversions leave). A lone CR is a line end by itself, so in CR-only files
            // CR CR is a line end followed by an empty line, as LF LF is.
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
            else
                after = stop + 1;
            begin_ += static_cast<std::size_t>(after - first);
            return take_line(first, static_cast<std::size_t>(stop - first));
        }
        if (avail > keep) {
            // More than is kept: keep the start, pass the rest on and free its room.
            if (dropped == 0)
                kept_.assign(first, keep);
            if (every_piece)
                every_piece(std::string_view(first, avail));
            dropped += avail;
            begin_ += avail;
            scanned = 0;
        } else {
            scanned = avail;
        }
        if (!fill()) {
            if (end_ == begin_ && dropped == 0)
                return std::nullopt;
            const char* rest = buffer_.data() + begin_;
            const std::size_t n = end_ - begin_;
            begin_ = end_;
            return take_line(rest, n);
        }
    }
}

bool line_reader::at_end()
{
    if (pushed_back_ || begin_ < end_)
        return false;
    return !fill();
}
