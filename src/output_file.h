// The output file of a run. Results are written to a temporary file beside it, which
// replaces the output only when every line has been written and flushed: a run that fails
// or is interrupted never leaves a partial file under the output's name (an existing file
// stays as it was). Outputs that cannot be replaced that way (standard output, a pipe, a
// device) are written in place. Every write, the flush and the close are checked.
#pragma once

#include <cstdio>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "direct_writer.h"
#include "output_safety.h"

class output_file {
public:
    // Opens the output; "-" is standard output, flushed but left open at the close.
    // Throws fatal_error naming `path` when it cannot be opened, or when the file opened
    // is one of `inputs`. With `background_writes`, a file written past the page cache is
    // written on a thread of its own while the caller goes on.
    output_file(const std::string& path, const std::vector<named_input>& inputs, bool background_writes = false);
    // Without a successful close(): removes what it wrote under a name of its own.
    ~output_file();
    output_file(const output_file&) = delete;
    output_file& operator=(const output_file&) = delete;

    // Throws fatal_error when the text cannot be written.
    void write(std::string_view text);
    // Little more is coming: what has been written may go to the file sooner, so that the
    // close waits for less. Called by the one who writes.
    void expect_end();
    // Flushes, closes and puts the results in place; throws fatal_error when that fails.
    void close();

private:
    void open_in_place(const std::string& path, const std::vector<named_input>& inputs);
    void discard();

    std::string path_;        // as errors name it
    std::string final_path_;  // where a temporary file goes at the close
    std::string temp_path_;   // empty when written in place
    bool created_ = false;    // written in place to a file this run created
    std::FILE* file_ = nullptr;
    std::unique_ptr<direct_writer> direct_;  // in place of file_ for a temporary file that takes it
    bool owned_ = true;                      // false for standard output
};
