// The report: one self-contained HTML page of a run (no file or address outside it): the
// run, a table of every motif with its logo and summary figures, and plots and the highest
// sites of the motifs with the most written sites.
#pragma once

#include <span>
#include <string>

#include "motif_figures.h"

struct run_description {
    std::string command_line;  // as typed, for the reader to repeat the run
    std::string motif_file;
    std::string seq_file;
    int top = 20;  // motifs shown in detail
};

// The page, from the figures of every motif (in motif-file order) and the loaded tables.
void append_report(std::string& out, std::span<const motif_figures> figures, const run_description& run);
