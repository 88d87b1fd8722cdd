// Checks that keep a run from destroying one of its own inputs, or from writing its
// results where nobody can read them.
#pragma once

#include <string>
#include <vector>

// One input of a run: the option that names it and its path ("-": standard input).
struct named_input {
    std::string option;
    std::string path;
};

// The inputs of a run with these motif and sequence files.
std::vector<named_input> inputs_of_run(const std::string& motif_file, const std::string& seq_file);

// Throws fatal_error, before anything is opened, when the output names an existing file
// that is also one of the inputs (opening it for writing would destroy that input), or,
// for "-", when standard output is one of them. Standard output, which otherwise carries
// the progress, must not be an input either.
void refuse_output_over_input(const std::string& output_path, const std::vector<named_input>& inputs);

// The same check for an output already opened as descriptor fd (named `output_name` in
// messages): what matters is the file the descriptor holds, whatever a name points to now.
void refuse_descriptor_over_input(int fd, const std::string& output_name, const std::vector<named_input>& inputs);

// Which standard descriptors were closed when the process started (before /dev/null was
// put on them), so that a run does not read from or write its results to that stand-in.
struct closed_streams {
    bool input = false;
    bool output = false;
};

// Throws fatal_error when the run would read a closed standard input or write its results
// to a closed standard output.
void refuse_closed_streams(const closed_streams& closed, const std::string& output_path,
    const std::vector<named_input>& inputs);
