// The per-motif figures of one run and the two files made from them, the summary
// (--summary) and the report (--report). The runs hand every motif's analysis over as it
// finishes and ask for the files at the end.
#pragma once

#include <algorithm>
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

// The report's top motifs (most sites written, then the earlier motif) among those offered
// so far. Every motif of the final top is among the top when it is offered, whatever the
// order motifs come in; few others are. Workers may offer at once.
class top_motifs {
public:
    explicit top_motifs(int top) : top_(static_cast<std::size_t>(std::max(top, 0))) {}
    // Whether motif mi, with `written` sites, is among the top of those offered so far
    // (itself included); it is kept among them if so.
    bool offer(int mi, int written);

private:
    std::size_t top_;
    std::mutex lock_;
    std::vector<std::pair<int, int>> kept_;  // (written, -mi), larger ranks higher: a heap, lowest first
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
    figure_outputs outputs_;
    std::vector<motif_figures> figures_;
    int first_ = 0;
    int end_ = 0;
    std::unique_ptr<output_file> summary_;
    std::unique_ptr<output_file> report_;
    std::unique_ptr<top_motifs> top_;
};
