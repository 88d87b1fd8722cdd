// The output file of a run; every write, the flush and the close are checked.
#pragma once

#include <cstdio>
#include <string>
#include <string_view>

class output_file {
public:
    // Opens (creating or emptying) `path`; throws fatal_error naming it when it cannot.
    // "-" is standard output, flushed but left open at the close.
    explicit output_file(const std::string& path);
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Throws fatal_error when the text cannot be written.
    void write(std::string_view text);
    // Flushes and closes; throws fatal_error when either fails.
    void close();

private:
    std::string path_;  // as errors name it
    std::FILE* file_ = nullptr;
    bool owned_ = true;  // false for standard output
};
