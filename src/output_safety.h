// Checks that keep a run from destroying one of its own inputs.
#pragma once

#include <string>

// Throws fatal_error, before anything is opened, when the output path names an existing
// file that is also one of the inputs: opening it for writing would destroy that input.
void refuse_output_over_input(
    const std::string& output_path, const std::string& motif_file, const std::string& seq_file);
