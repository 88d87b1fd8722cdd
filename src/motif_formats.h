// Motif files kept from public databases: JASPAR bracket matrices, plain pfm matrices
// and the MEME minimal text format, read into the same records as the tool's own format.
#pragma once

#include <optional>
#include <string_view>

#include "line_reader.h"
#include "motif_reader.h"
#include "settings.h"

// "tarnel", "jaspar", "pfm" or "meme"; nothing for any other text.
std::optional<motif_format> parse_motif_format(std::string_view name);

// Reads the next motif of the given format from `in` (tarnel: read_motif2). Returns
// nothing at the end of the input; leaves the reader at the start of the next record.
// Throws fatal_error "<file>:<line>: <what was expected>" on a malformed record.
std::optional<motif> read_motif_in(motif_format format, line_reader& in);
