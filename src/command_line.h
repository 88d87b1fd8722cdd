// The command line: options into the process-wide settings and the three file names.
#pragma once

#include <string>

struct command_line {
    bool run = false;  // false: the process ends now with exit_status
    int exit_status = 0;
    std::string motif_file = "motif.txt";
    std::string seq_file = "seq.txt";  // empty when the sequences come from --genome and --regions
    std::string output_file = "output.txt";
    std::string summary_file;  // --summary: empty when not asked for
    std::string report_file;   // --report: empty when not asked for
    int report_top = 20;       // motifs the report shows in detail
};

inline constexpr const char* usage_line = "Tarnel -m motif -i seq [-s seed] [-n rand_n] [-r score] -o output";

// Parses argv into the settings (which it first resets) and the file names, printing
// the usage line or the error message where the command line asks for it.
command_line parse_command_line(int argc, char** argv);
