// Line-by-line reading of an input file, plain or gzip-compressed, or standard input.
#pragma once

#include <cstddef>
#include <functional>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <zlib.h>

#include "uninitialised_allocator.h"

class line_reader {
public:
    // Opens `path` for reading; "-" is standard input. Throws fatal_error naming the
    // file and the system's reason when it cannot be opened or is a directory.
    explicit line_reader(const std::string& path);
    // Reads lines from `text` held in memory, as from a plain file called `name`.
    static line_reader from_text(std::string text, const std::string& name = "text");
    ~line_reader();
    line_reader(const line_reader&) = delete;
    line_reader& operator=(const line_reader&) = delete;

    // Every piece of a line, in order, as it is read (see next_line).
    using piece_sink = std::function<void(std::string_view)>;
    static constexpr std::size_t whole_line = std::numeric_limits<std::size_t>::max();

    // The next line without its line end, or nothing at the end of the input. A line
    // ends at LF, at CR LF, or at a lone CR; the view lives until the next call of
    // next_line or at_end. Of a line longer than `keep`, only its first `keep` bytes are
    // kept and returned; the rest is counted (line_length) and dropped as it is read, so
    // that memory stays bounded whatever the line's length. `every_piece`, when given,
    // sees the whole line, dropped bytes included, in pieces (a line put back by unread
    // is seen only as kept).
    // Throws fatal_error when the input cannot be read (or a compressed one is damaged).
    std::optional<std::string_view> next_line(std::size_t keep = whole_line, const piece_sink& every_piece = {});

    // Length of the line last returned, dropped bytes included.
    std::size_t line_length() const { return line_length_; }

    // Makes the next call return the line just returned again: a reader that meets the
    // next record's header leaves it for the next record.
    void unread()
    {
        pushed_back_ = true;
        --line_number_;  // the line is counted again when it is read again
    }

    // True when no further line can be returned.
    bool at_end();

    // 1-based number of the line last returned.
    long line_number() const { return line_number_; }
    const std::string& path() const { return path_; }

private:
    struct in_memory { };
    line_reader(in_memory, std::string text, const std::string& name);
    bool fill();  // reads more input into the buffer; false at the end of the input
    // Appends what the file gives next, decompressed when it is gzip; 0 at its end.
    std::size_t read_more(char* to, std::size_t room);
    std::size_t read_raw(unsigned char* to, std::size_t room);  // 0 at the end of the file
    std::size_t inflate_more(char* to, std::size_t room);
    bool raw_input_left();  // true when undecoded bytes remain (reads more to tell)

    std::string path_;
    int fd_ = -1;
    bool gzip_ = false;
    z_stream zs_{};
    bool zs_ready_ = false;
    std::vector<unsigned char, uninitialised_allocator<unsigned char>> raw_;  // bytes read, not yet consumed
    std::size_t raw_begin_ = 0;
    std::size_t raw_end_ = 0;
    bool raw_eof_ = false;
    bool member_done_ = false;  // the last gzip member read has ended
    std::vector<char, uninitialised_allocator<char>> buffer_;
    std::size_t begin_ = 0;  // first unread byte
    std::size_t end_ = 0;    // one past the last byte read
    bool eof_ = false;
    bool pushed_back_ = false;
    std::string_view last_;
    std::size_t line_length_ = 0;
    std::string kept_;  // the kept start of a line too long to stay in the buffer
    long line_number_ = 0;
};
