// Region files: BED3 to BED12 and narrowPeak (BED6+4), tab-separated, plain or gzip.
#pragma once

#include <cstdint>
#include <optional>
#include <string>

#include "line_reader.h"

struct region {
    std::string chrom;
    std::int64_t start = 0;  // 0-based
    std::int64_t end = 0;    // exclusive
    std::string name;        // column 4; empty when the line has fewer columns
    std::string strand;      // column 6, as written; empty when the line has fewer columns
    std::int64_t summit = -1;  // narrowPeak's column 10: offset of the summit from start; -1 for none
    long line = 0;             // where the region stands in its file
};

// The next region of the file, or nothing at its end. `track`, `browser`, `#` and blank
// lines are skipped. With `with_summit`, column 10 is read as narrowPeak's summit.
// Throws fatal_error "<file>:<line>: <problem>" for a line that is not a region.
std::optional<region> read_region(line_reader& in, bool with_summit);

// The `width` bases centred on the region's summit (its middle when it has none), clipped
// to [0, chrom_length); returns true when the clipping cut the window short.
bool centre_on_summit(region& r, std::int64_t width, std::int64_t chrom_length);
