#include "result_lines.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <string_view>

#include "loading.h"
#include "number_format.h"
#include "seq_reader.h"
#include "settings.h"

namespace {

// A tab inside a text field would split it into two; it is written as a space.
void tabs_to_spaces(std::string& out, std::size_t from)
{
    std::replace(out.begin() + static_cast<std::ptrdiff_t>(from), out.end(), '\t', ' ');
}

void append_field(std::string& out, std::string_view text)
{
    const std::size_t from = out.size();
    out += text;
    tabs_to_spaces(out, from);
}

// The site's letters as the motif reads them.
void append_site_letters(std::string& out, const match& m)
{
    const std::size_t from = out.size();
    if (m.reverse)
        append_reverse_complement(out, m.bsite);
    else
        out += m.bsite;
    tabs_to_spaces(out, from);
}

// Score, t value and p-value as printf's "%f\t%f\t%e\n" write them, byte for byte.
void append_numbers(std::string& out, const match& m)
{
    append_fixed6(out, m.rs);
    out += '\t';
    append_fixed6(out, m.tvalue);
    out += '\t';
    append_exp6(out, m.pvalue);
    out += '\n';
}

}  // namespace

void append_output_line(std::string& out, const match& m)
{
    // Texts are appended whole (they are views, not terminated strings); numbers are
    // written as printf's "%d\t%d\t%c\t" and "\t%f\t%f\t%e\n" write them, byte for byte.
    for (std::string_view text : {std::string_view(motif_db[static_cast<std::size_t>(m.mi)].name),
             std::string_view(seq_db[static_cast<std::size_t>(m.si)].name), m.chrom}) {
        append_field(out, text);
        out += '\t';
    }
    append_integer(out, m.start);
    out += '\t';
    append_integer(out, m.end);
    out += '\t';
    out += m.strand == '\t' ? ' ' : m.strand;
    out += '\t';
    append_site_letters(out, m);
    out += '\t';
    append_numbers(out, m);
}

int bed_score(double tvalue)
{
    const double score = std::round(100.0 * tvalue);
    if (!(score > 0.0))  // negative, or not a number
        return 0;
    return score < 1000.0 ? static_cast<int>(score) : 1000;
}

bool title_spans_letters(const seq& s)
{
    std::int64_t span = 0;
    return (s.strand == '+' || s.strand == '-') && !__builtin_sub_overflow(s.end, s.start, &span) &&
        span == s.len + s.cut_letters;
}

bool append_bed_line(std::string& out, const match& m)
{
    // The written start and end follow the title's strand: 1-based on '+' titles, 0-based
    // inclusive on '-' titles (see calculated_pos2), whichever strand the site is on. Within
    // a title that spans its letters neither bound can leave the 64-bit range.
    const seq& s = seq_db[static_cast<std::size_t>(m.si)];
    if (!title_spans_letters(s))
        return false;
    append_field(out, m.chrom);
    out += '\t';
    append_integer(out, s.strand == '+' ? m.start - 1 : m.start);
    out += '\t';
    append_integer(out, s.strand == '+' ? m.end : m.end + 1);
    out += '\t';
    append_field(out, motif_db[static_cast<std::size_t>(m.mi)].name);
    out += '\t';
    append_integer(out, bed_score(m.tvalue));
    out += '\t';
    out += m.strand;
    out += '\t';
    append_field(out, seq_db[static_cast<std::size_t>(m.si)].name);
    out += '\t';
    append_site_letters(out, m);
    out += '\t';
    append_numbers(out, m);
    return true;
}

void append_site_line(std::string& out, const match& m, site_tally& tally)
{
    if (bed_output) {
        tally.left_out += append_bed_line(out, m) ? 0 : 1;
        return;
    }
    append_output_line(out, m);
    // A title without a strand is reported by the scan already ("unknown strand!").
    const seq& s = seq_db[static_cast<std::size_t>(m.si)];
    if ((s.strand == '+' || s.strand == '-') && !title_spans_letters(s))
        ++tally.misplaced;
}

void append_reported_lines(std::string& out, std::span<const match> matchs, report_rule rule, site_tally& tally)
{
    // The names and letters of the written sites lie all over the sequence table, and the
    // misses on them cost more than formatting the line: they are fetched a few written
    // lines ahead.
    constexpr int ahead = 8;
    std::size_t fetched = 0;  // records looked at by the prefetching cursor
    int in_flight = 0;        // written records fetched but not yet written
    for (const match& m : matchs) {
        for (; fetched < matchs.size() && in_flight < ahead; ++fetched) {
            const match& next = matchs[fetched];
            if (!reported(next.tvalue, rule))
                continue;
            __builtin_prefetch(&seq_db[static_cast<std::size_t>(next.si)]);
            __builtin_prefetch(next.bsite.data());
            __builtin_prefetch(next.chrom.data());
            ++in_flight;
        }
        if (reported(m.tvalue, rule)) {
            append_site_line(out, m, tally);
            --in_flight;
        }
    }
}

void warn_about(const site_tally& tally)
{
    if (tally.left_out > 0)
        std::fprintf(stderr,
            "Tarnel: warning: %lld site(s) left out of the BED file: their sequence titles give no location "
            "with strand + or -, or a start and end that do not span their letters\n",
            tally.left_out);
    if (tally.misplaced > 0)
        std::fprintf(stderr,
            "Tarnel: warning: %lld site(s) written with coordinates from titles whose start and end do not span "
            "their letters; those coordinates are not the sites' places on the genome\n",
            tally.misplaced);
}
