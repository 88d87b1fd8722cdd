// The summary file: one tab-separated line per motif, in motif-file order, under a header.
#pragma once

#include <optional>
#include <span>
#include <string>
#include <vector>

#include "motif_figures.h"

// The columns of the run chosen (run_sampling): the sampled run writes sites on both
// sides of the mean, so it has two score bounds where the threaded run has one.
std::vector<std::string> summary_columns();

// The fields of one motif, as the summary writes them ("NA" where a figure is undefined).
std::vector<std::string> summary_fields(int mi, const motif_figures& f);

// Header and one line per motif.
// The lines of motifs first to end - 1 (the motifs a run analysed), after the header.
void append_summary(std::string& out, std::span<const motif_figures> figures, int first, int end);

// Helpers the report shares: the score a site needs (mean + threshold x sd), its lower
// twin for the sampled run, and the derived shares; nothing when undefined.
std::optional<double> score_needed(const motif_figures& f);
std::optional<double> score_needed_below(const motif_figures& f);
std::optional<double> written_share(const motif_figures& f);
std::optional<double> central_share(const motif_figures& f);
std::optional<double> central_chance_share(const motif_figures& f);
