#include "settings.h"

int run_sampling = 0;
std::uint32_t random_seed = 12345;
int rdm_n = 2000;
double score_th = 1.0;
double outlier_fc = 3.0;
float pseudocount = 0.375f;
int thread_n = default_thread_n;
bool both_strands = false;
bool bed_output = false;
std::string genome_file;
std::string regions_file;
int summit_window = 0;
int motif_range_first = 0;
int motif_range_last = 0;
motif_format motif_file_format = motif_format::tarnel;

void reset_settings()
{
    run_sampling = 0;
    random_seed = 12345;
    rdm_n = 2000;
    score_th = 1.0;
    outlier_fc = 3.0;
    pseudocount = 0.375f;
    thread_n = default_thread_n;
    both_strands = false;
    bed_output = false;
    genome_file.clear();
    regions_file.clear();
    summit_window = 0;
    motif_range_first = 0;
    motif_range_last = 0;
    motif_file_format = motif_format::tarnel;
}
