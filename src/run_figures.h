// The per-motif figures of one run and the two files made from them, the summary
// (--summary) and the report (--report). The runs hand every motif's analysis over as it
// finishes and ask for the files at the end.
#pragma once

#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "analyses.h"
#include "motif_figures.h"
#include "report.h"

class output_file;

struct figure_outputs {
    std::string summary_file;  // empty: none; "-": standard output
    std::string report_file;   // empty: none
    run_description run;
};

class run_figures {
public:
    explicit run_figures(figure_outputs outputs);
    ~run_figures();
    run_figures(const run_figures&) = delete;
    run_figures& operator=(const run_figures&) = delete;

    // After loading, before any analysis: makes room for every motif's figures and opens
    // (creates or empties) the files; throws fatal_error naming a file that cannot be opened.
    // The motifs analysed are first to end - 1 (a --motif-range slice, or all).
    void begin(int first, int end);
    // The figures of motif mi from the analysis ws holds last; workers may call it at
    // once, each for its own motifs.
    void collect(int mi, const analysis_workspace& ws);
    // Writes and closes the files; throws fatal_error when one cannot be written.
    void finish();

private:
    // Whether motif mi, with `written` sites, is among the report's top motifs of those
    // collected so far (then taken into them).
    bool among_top(int mi, int written);

    figure_outputs outputs_;
    std::vector<motif_figures> figures_;
    int first_ = 0;
    int end_ = 0;
    std::unique_ptr<output_file> summary_;
    std::unique_ptr<output_file> report_;
    std::mutex top_lock_;
    std::vector<std::pair<int, int>> top_;  // the top motifs so far, as (written, -mi): a heap, lowest first
};
