// Regions of an indexed genome as sequence records: each region becomes the record that a
// sequence file cut from the genome with the region's name and strand gives, title and
// letters alike.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "region_reader.h"
#include "seq_reader.h"

// The title of a region's record: name::chrom:start-end(strand), the name and strand as the
// regions file gives them (empty for columns it lacks).
std::string region_title(const region& r);

// Appends the reverse complement of `letters` as a '-' region's letters are written: case
// kept, IUPAC ambiguity codes complemented too (R <-> Y, K <-> M, B <-> V, D <-> H, U -> A),
// every other character as it is.
void append_region_reverse_complement(std::string& out, std::string_view letters);

// Reads the regions of `regions_path` (with `window` > 0, the `window` bases around each
// narrowPeak summit) from the genome `genome_path`, at most `most` of them, in file order.
// Throws fatal_error naming the file, the line and the problem for a region that the
// genome does not hold.
std::vector<seq> read_region_records(
    const std::string& genome_path, const std::string& regions_path, int window, std::size_t most);

