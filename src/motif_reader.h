// The motif file: '>' header lines naming each motif, then one tab-separated row of
// counts of A, C, G and T per position.
#pragma once

#include <array>
#include <optional>
#include <string>
#include <vector>

#include "line_reader.h"

struct motif {
    int len = 0;                             // positions, 0 to 100
    std::string name;                        // header text after '>'
    std::vector<std::array<int, 5>> matrix;  // counts, one row per position, N always 0
    std::vector<std::array<float, 5>> frqs;  // smoothed relative frequencies
    int copy_n = 0;                          // rounded mean row total
};

// Reads the next motif record. Returns nothing when the input ends before a header.
// Leaves the reader at the next record's header line.
std::optional<motif> read_motif2(line_reader& in);

// Fills frqs and copy_n from len and matrix.
void normalize_pssm(motif& m);

// Strips every trailing CR and LF.
std::string_view rtrim(std::string_view text);

// Warns on standard error, once, that a motif of more than 100 positions keeps only its first 100.
void warn_if_cut(const motif& m, long positions);

// Keeps at most the first 2499 characters of a header or title.
std::string clip_name(std::string_view text);
// The same characters, where they lie.
std::string_view clipped_name(std::string_view text);
