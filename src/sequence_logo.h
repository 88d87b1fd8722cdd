// Sequence logos as inline SVG: per position, the letters stacked by their share of the
// position's information content, in bits.
#pragma once

#include <array>
#include <string>

#include "motif_reader.h"

// Information content in bits of each position of a motif, from its smoothed frequencies
// (negative ones counted as 0, the rest scaled to sum 1): 2 - the entropy of A, C, G, T.
// The height of letter b at a position is its frequency times that content.
std::array<double, 4> letter_heights(const std::array<float, 5>& frequencies);

// The glyphs the logos draw, to be written once in the page before any logo.
void append_logo_glyphs(std::string& out);

// A logo of the motif `column_px` pixels wide per position and `height_px` high (2 bits).
void append_sequence_logo(std::string& out, const motif& m, int column_px, int height_px);
