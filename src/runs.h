// The two runs over all motifs: each loads the inputs, analyses every motif and writes the
// reported sites to the output file.
#pragma once

#include <cstddef>
#include <functional>
#include <string>

class run_figures;

// Lets the tests make the start of chosen workers fail (0-based index).
using start_failure = std::function<bool(int worker)>;

// What a test may set small, or watch, in a threaded run.
struct threaded_run_hooks {
    start_failure fail_start;
    std::function<void(int first_motif)> before_group;  // called as a worker starts a group
    int group_size = 0;                                 // motifs scanned together; 0: motifs_per_group's
    std::size_t parked_budget = std::size_t{32} << 20;  // finished lines waiting for their turn
    int busy = 0;                                       // workers analysing at once; 0: one per core
    std::size_t* peak_parked = nullptr;                 // receives the most bytes parked at once
};

// The sampled run: every motif against its own random sample of rdm_n sequences, the
// motifs side by side on thread_n workers, at most one busy per core (of the hooks, busy,
// fail_start and parked_budget apply); writes the kept sites with |t| >= score_th, motif
// after motif in file order. With `figures`, each motif's figures are collected for the
// summary and the report.
void random_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    const threaded_run_hooks& hooks = {}, run_figures* figures = nullptr);

// The threaded run: every motif against all sequences on thread_n workers, at most one
// busy per core; writes the kept sites with t >= score_th, motif after motif in file order.
void extream_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    const threaded_run_hooks& hooks = {}, run_figures* figures = nullptr);
