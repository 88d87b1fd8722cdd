// The two tables and the pooled base composition, filled once before any analysis.
#pragma once

#include <array>
#include <string>
#include <vector>

#include "motif_reader.h"
#include "seq_reader.h"

extern std::vector<motif> motif_db;
extern int motif_n;
extern std::vector<seq> seq_db;
extern int seq_n;
extern std::array<float, 5> background_frqs;

// How the two files are read: one after the other on the calling thread, or, for a run
// that has threads anyway, a regular sequence file on a thread of its own while the
// motifs are read.
enum class input_reading { in_turn, at_once };

// Reads every motif and every sequence, then pools the composition; the messages and
// errors come as if the motifs were read first, however they are read. The sequences come
// from `seq_file`, or, when genome_file is set, from the regions of regions_file read out
// of that genome (seq_file is then not read). Throws fatal_error when a file cannot be
// opened or read, or a region is not in the genome.
void read_inputs(
    const std::string& motif_file, const std::string& seq_file, input_reading reading = input_reading::in_turn);

// background_frqs from seq_db entries 0 to seq_n - 1.
void calculat_bgfrqs_all();

// Empties both tables (the tests load many inputs in one process).
void clear_tables();
