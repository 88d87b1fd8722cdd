// Checks of the summary and report paths, made before any file is opened: a bad path must
// not cost an input, the output file, or a whole run.
#pragma once

#include <string>

struct command_line;

// Throws fatal_error when the --summary or --report path given in `cl` cannot be used: it
// names an input (-m, -i, standard input included), the -o file or the other of the two,
// a folder, or a file in a folder that does not exist; the report cannot be standard
// output, and the summary can only when the results go to a file.
void refuse_bad_figure_outputs(const command_line& cl);
