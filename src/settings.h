// Process-wide settings: written while the command line is parsed, read-only afterwards.
#pragma once

#include <cstdint>
#include <string>

extern int run_sampling;  // 1 when a sample size was given (-n)
extern std::uint32_t random_seed;
extern int rdm_n;          // sample size of the sampled run
extern double score_th;    // output threshold on the t value
extern double outlier_fc;  // outlier cut, in standard deviations
extern float pseudocount;  // added to every count before normalising
extern int thread_n;       // workers of either run (at most one per core analyse at once)
extern bool both_strands;  // scan the reverse complement of every sequence too
extern bool bed_output;    // write the output file as BED

// The sequences' source when they are read from a genome (--genome, --regions) in place
// of a sequence file: both names set, or both empty. read_inputs consults them.
extern std::string genome_file;
extern std::string regions_file;
extern int summit_window;
// --motif-range: the motifs analysed, 1-based and inclusive, in motif-file order; 0 and 0
// for all of them.
extern int motif_range_first;
extern int motif_range_last;  // --summit-window: bases around each narrowPeak summit; 0 = the whole regions

// Layouts of motif file the reader understands; tarnel is the tool's own.
enum class motif_format { tarnel, jaspar, pfm, meme };
extern motif_format motif_file_format;

// Capacities of the tables and texts.
inline constexpr int max_motifs = 5000;
inline constexpr int max_seqs = 50000;
inline constexpr int max_motif_len = 100;
inline constexpr int max_seq_len = 5500;
inline constexpr int max_text_len = 2499;  // names, titles, chromosomes, file names
inline constexpr int default_thread_n = 8;

// Puts every setting back to its initial value (the tests parse many command lines).
void reset_settings();
