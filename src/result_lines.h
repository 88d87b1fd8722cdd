// The lines a run writes for its reported sites: the tab-separated output line or BED.
#pragma once

#include <span>
#include <string>

#include "analyses.h"
#include "scan.h"

// Appends the output line of one kept record: motif, sequence, chromosome, start, end,
// strand, site, score, t value and p-value, tab-separated.
void append_output_line(std::string& out, const match& m);

// Appends the BED line of one kept record: chromosome, start (0-based), end (exclusive),
// motif, score 0 to 1000 from the t value, strand, then sequence, site, score, t value and
// p-value. Returns false, appending nothing, when the sequence's title gives no strand
// '+' or '-': such a site cannot be placed on the genome.
bool append_bed_line(std::string& out, const match& m);

// The line of the output format chosen (bed_output); false when the site is left out.
bool append_site_line(std::string& out, const match& m);

// round(100 t) within 0 to 1000: the BED score of a site.
int bed_score(double tvalue);

// Appends the lines (append_site_line) of the records of `matchs` that `rule` reports, in
// order; returns how many of them were left out.
long long append_reported_lines(std::string& out, std::span<const match> matchs, report_rule rule);

// One warning line on standard error for the sites a BED file could not hold (none: nothing).
void warn_left_out(long long left_out);
