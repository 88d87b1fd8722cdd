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

// Reads every motif and every sequence, then pools the composition; the messages and
// errors come as if the motifs were read first (a sequence file is read beside them on a
// thread of its own where it is a regular file). The sequences come
// from `seq_file`, or, when genome_file is set, from the regions of regions_file read out
// of that genome (seq_file is then not read). Throws fatal_error when a file cannot be
// opened or read, or a region is not in the genome.
void read_inputs(const std::string& motif_file, const std::string& seq_file);

// background_frqs from seq_db entries 0 to seq_n - 1.
void calculat_bgfrqs_all();

// Empties both tables (the tests load many inputs in one process).
void clear_tables();
