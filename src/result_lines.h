// The lines a run writes for its reported sites: the tab-separated output line or BED.
#pragma once

#include <span>
#include <string>

#include "analyses.h"
#include "scan.h"
#include "seq_reader.h"

// Appends the output line of one kept record: motif, sequence, chromosome, start, end,
// strand, site, score, t value and p-value, tab-separated.
void append_output_line(std::string& out, const match& m);

// Appends the BED line of one kept record: chromosome, start (0-based), end (exclusive),
// motif, score 0 to 1000 from the t value, strand, then sequence, site, score, t value and
// p-value. Returns false, appending nothing, when the site cannot be placed on the genome:
// its title gives no strand '+' or '-', or a start and end that do not span its letters.
bool append_bed_line(std::string& out, const match& m);

// Whether a title's location spans exactly the letters of its sequence (those kept and
// those cut), so that the coordinates it gives a site are that site's.
bool title_spans_letters(const seq& s);

// What a run says, at its end, about sites it could not write as located.
struct site_tally {
    long long left_out = 0;   // left out of a BED file
    long long misplaced = 0;  // written with coordinates from a title that does not span its letters
};

// The line of the output format chosen (bed_output), counted into `tally`.
void append_site_line(std::string& out, const match& m, site_tally& tally);

// round(100 t) within 0 to 1000: the BED score of a site.
int bed_score(double tvalue);

// Appends the lines (append_site_line) of the records of `matchs` at the positions
// `reported` (as analyse_hits lists them), in that order.
void append_reported_lines(
    std::string& out, std::span<const match> matchs, std::span<const int> reported, site_tally& tally);
// The same for records written packed (record_set::reported): all of them, in order.
void append_reported_lines(std::string& out, std::span<const match> reported, site_tally& tally);

// One warning line on standard error for each count of `tally` that is not 0.
void warn_about(const site_tally& tally);
