#include "report.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>

#include "loading.h"
#include "scan.h"
#include "seq_reader.h"
#include "sequence_logo.h"
#include "settings.h"
#include "summary_file.h"

namespace {

void append_escaped(std::string& out, std::string_view text)
{
    for (const char c : text) {
        switch (c) {
        case '&': out += "&amp;"; break;
        case '<': out += "&lt;"; break;
        case '>': out += "&gt;"; break;
        case '"': out += "&quot;"; break;
        case '\'': out += "&#39;"; break;
        case '\t': out += ' '; break;
        default: out += c;
        }
    }
}

std::string escaped(std::string_view text)
{
    std::string out;
    append_escaped(out, text);
    return out;
}

// Fixed decimals, printf's C-locale rounding: the same page on every run.
std::string fixed(double v, int decimals)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

std::string fixed(std::optional<double> v, int decimals)
{
    return v ? fixed(*v, decimals) : "NA";
}

std::string percent(std::optional<double> share)
{
    return share ? fixed(100.0 * *share, 1) + "%" : "NA";
}

constexpr const char* style = R"(<style>
body{font-family:sans-serif;margin:1.5em;color:#222;max-width:100em}
h1{font-size:1.6em}h2{font-size:1.3em;border-bottom:1px solid #ccc;margin-top:1.6em}h3{font-size:1.1em;margin-bottom:.3em}
table{border-collapse:collapse;font-size:.9em}
td,th{padding:2px 6px;border-bottom:1px solid #e4e4e4;text-align:right;vertical-align:middle}
th{background:#f2f2f2;position:sticky;top:0}
#motif-table th[data-sort]{cursor:pointer}
#motif-table th[aria-sort=descending]::after{content:" \25BE"}#motif-table th[aria-sort=ascending]::after{content:" \25B4"}
td.text,th.text{text-align:left}
table.run td,table.run th{text-align:left;vertical-align:top}
code,.letters{font-family:monospace}
.glyphs{position:absolute}
figure{display:inline-block;margin:0 1.5em 1em 0;vertical-align:top}
figcaption{font-size:.85em;max-width:30em}
.detail{border-top:1px solid #ddd;margin-top:1em}
.note{font-size:.9em;color:#444;max-width:60em}
</style>
)";

// Click a column's header to sort by it; a second click reverses. Without scripts the
// table stays as written, by sites written.
constexpr const char* sort_script = R"(<script>
(function(){
var table=document.getElementById('motif-table');if(!table)return;
var body=table.tBodies[0],heads=table.tHead.rows[0].cells;
function key(row,c,num){var s=row.cells[c].textContent;if(!num)return s;var v=parseFloat(s);return isNaN(v)?-Infinity:v;}
function sortBy(c){var h=heads[c],num=h.getAttribute('data-sort')==='num';
var down=h.getAttribute('aria-sort')!=='descending';
var rows=Array.prototype.slice.call(body.rows).map(function(r,i){return{r:r,k:key(r,c,num),i:i};});
rows.sort(function(a,b){var d=a.k<b.k?-1:a.k>b.k?1:0;return (down?-d:d)||a.i-b.i;});
for(var i=0;i<heads.length;i++)heads[i].removeAttribute('aria-sort');
h.setAttribute('aria-sort',down?'descending':'ascending');
rows.forEach(function(x){body.appendChild(x.r);});}
for(var i=0;i<heads.length;i++)if(heads[i].hasAttribute('data-sort'))
heads[i].addEventListener('click',sortBy.bind(null,i));
})();
</script>
)";

void append_row(std::string& out, std::string_view label, std::string_view html_value)
{
    out += "<tr><th>";
    out += label;
    out += "</th><td>";
    out += html_value;
    out += "</td></tr>\n";
}

void append_run(std::string& out, std::span<const motif_figures> figures, const run_description& run)
{
    long long letters = 0;
    int shortest = seq_n > 0 ? max_seq_len : 0;
    int longest = 0;
    for (int i = 0; i < seq_n; ++i) {
        const int len = seq_db[static_cast<std::size_t>(i)].len;
        letters += len;
        shortest = std::min(shortest, len);
        longest = std::max(longest, len);
    }
    long long written = 0;
    for (const motif_figures& f : figures)
        written += f.written;
    std::string composition;
    for (int b = 0; b < 5; ++b) {
        composition += b > 0 ? ", " : "";
        composition += DNA_Bases[b];
        composition += ' ' + fixed(100.0 * background_frqs[static_cast<std::size_t>(b)], 2) + "%";
    }

    out += "<section id=\"run\"><h2>The run</h2><table class=\"run\">\n";
    append_row(out, "Command line", "<code>" + escaped(run.command_line) + "</code>");
    append_row(out, "Version", "Tarnel " TARNEL_VERSION);
    append_row(out, "Motifs",
        "<code>" + escaped(run.motif_file) + "</code>: " + std::to_string(motif_n) + " motifs loaded");
    append_row(out, "Sequences",
        "<code>" + escaped(run.seq_file) + "</code>: " + std::to_string(seq_n) + " sequences loaded, " +
            std::to_string(letters) + " letters (" + std::to_string(shortest) + " to " + std::to_string(longest) +
            " per sequence)");
    append_row(out, "Pooled base composition", composition + " (with the pseudocount)");
    append_row(out, "Run",
        run_sampling ? "sampled: every motif against its own random sample of " +
                std::to_string(std::clamp(rdm_n, 0, seq_n)) + " sequences"
                     : "threaded whole-set: every motif against all " + std::to_string(seq_n) + " sequences");
    append_row(out, "Threshold",
        std::string(run_sampling ? "|t| &ge; " : "t &ge; ") + fixed(score_th, 6) +
            (run_sampling ? " (far above or far below the mean)" : " (above the mean only)"));
    append_row(out, "Seed", std::to_string(random_seed));
    append_row(out, "Strands", both_strands ? "both (each sequence and its reverse complement)" : "the given strand only");
    append_row(out, "Output format", bed_output ? "BED" : "tab-separated, ten fields");
    append_row(out, "Workers", std::to_string(thread_n));  // either run: -t, at most one per core busy
    append_row(out, "Sites written", std::to_string(written));
    out += "</table></section>\n";
}

void append_cell(std::string& out, std::string_view html, bool text = false)
{
    out += text ? "<td class=\"text\">" : "<td>";
    out += html;
    out += "</td>";
}

std::string motif_anchor(int mi)
{
    std::string anchor(1, 'm');
    anchor += std::to_string(mi + 1);
    return anchor;
}

void append_table(std::string& out, std::span<const motif_figures> figures, std::span<const int> order, int top)
{
    out += "<section id=\"motifs\"><h2>Motifs</h2>\n<p class=\"note\">One row per motif, by sites written "
           "(most first; equal counts in motif-file order). Click a column's header to sort by it. The motifs "
           "with the most sites written are shown in detail below (their names link there).</p>\n";
    out += "<table id=\"motif-table\"><thead><tr><th data-sort=\"num\">rank</th><th class=\"text\">logo</th>"
           "<th class=\"text\" data-sort=\"text\">motif</th><th data-sort=\"num\">width</th>"
           "<th data-sort=\"num\">sequences</th><th data-sort=\"num\">with window</th><th data-sort=\"num\">kept</th>"
           "<th data-sort=\"num\">mean</th><th data-sort=\"num\">sd</th>";
    out += run_sampling ? "<th data-sort=\"num\">score at most</th><th data-sort=\"num\">score at least</th>"
                        : "<th data-sort=\"num\">score needed</th>";
    out += "<th data-sort=\"num\">written</th><th data-sort=\"num\">written share</th><th data-sort=\"num\">max t</th>"
           "<th class=\"text\" data-sort=\"text\">max t sequence</th><th data-sort=\"num\">central</th>"
           "<th data-sort=\"num\">by chance</th></tr></thead>\n<tbody>\n";
    for (std::size_t rank = 0; rank < order.size(); ++rank) {
        const int mi = order[rank];
        const motif_figures& f = figures[static_cast<std::size_t>(mi)];
        const motif& mo = motif_db[static_cast<std::size_t>(mi)];
        const bool has_mean = f.kept_n >= 2;
        out += "<tr>";
        append_cell(out, std::to_string(rank + 1));
        out += "<td class=\"text\">";
        append_sequence_logo(out, mo, 8, 24);
        out += "</td>";
        const std::string name = escaped(mo.name);
        append_cell(out,
            static_cast<int>(rank) < top ? "<a href=\"#" + motif_anchor(mi) + "\">" + name + "</a>" : name, true);
        append_cell(out, std::to_string(mo.len));
        append_cell(out, std::to_string(f.set_n));
        append_cell(out, std::to_string(f.scored_n));
        append_cell(out, std::to_string(f.kept_n));
        append_cell(out, has_mean ? fixed(f.mean, 3) : "NA");
        append_cell(out, has_mean ? fixed(f.sd, 3) : "NA");
        if (run_sampling)
            append_cell(out, fixed(score_needed_below(f), 3));
        append_cell(out, fixed(score_needed(f), 3));
        append_cell(out, std::to_string(f.written));
        append_cell(out, percent(written_share(f)));
        append_cell(out, f.max_t_si >= 0 ? fixed(f.max_t, 3) : "NA");
        append_cell(out, f.max_t_si >= 0 ? escaped(seq_db[static_cast<std::size_t>(f.max_t_si)].name) : "NA", true);
        append_cell(out, percent(central_share(f)));
        append_cell(out, percent(central_chance_share(f)));
        out += "</tr>\n";
    }
    out += "</tbody></table></section>\n";
}

// Bar chart geometry shared by the two histograms.
constexpr int plot_w = 420;
constexpr int plot_h = 170;
constexpr int left = 44;
constexpr int right = 10;
constexpr int top_margin = 10;
constexpr int bottom = 36;
constexpr int inner_w = plot_w - left - right;
constexpr int inner_h = plot_h - top_margin - bottom;

void append_number(std::string& out, double v)
{
    out += fixed(v, 1);
}

void append_rect(std::string& out, double x, double y, double w, double h, const char* fill)
{
    out += "<rect x=\"";
    append_number(out, x);
    out += "\" y=\"";
    append_number(out, y);
    out += "\" width=\"";
    append_number(out, w);
    out += "\" height=\"";
    append_number(out, h);
    out += "\" fill=\"";
    out += fill;
    out += "\"/>";
}

void append_text(std::string& out, double x, double y, const char* anchor, std::string_view text)
{
    out += "<text x=\"";
    append_number(out, x);
    out += "\" y=\"";
    append_number(out, y);
    out += "\" text-anchor=\"";
    out += anchor;
    out += "\">";
    append_escaped(out, text);
    out += "</text>";
}

void append_vertical_line(std::string& out, double x, const char* colour, const char* dash)
{
    out += "<line x1=\"";
    append_number(out, x);
    out += "\" x2=\"";
    append_number(out, x);
    out += "\" y1=\"" + std::to_string(top_margin) + "\" y2=\"" + std::to_string(top_margin + inner_h) +
        "\" stroke=\"" + colour + "\" stroke-width=\"2\"";
    if (*dash)
        out += std::string(" stroke-dasharray=\"") + dash + "\"";
    out += "/>";
}

void open_plot(std::string& out, std::string_view label, double y_max, std::string_view y_label)
{
    out += "<svg class=\"plot\" width=\"" + std::to_string(plot_w) + "\" height=\"" + std::to_string(plot_h) +
        "\" viewBox=\"0 0 " + std::to_string(plot_w) + " " + std::to_string(plot_h) +
        "\" role=\"img\" aria-label=\"";
    append_escaped(out, label);
    out += "\" font-family=\"sans-serif\" font-size=\"10\">";
    out += "<rect x=\"" + std::to_string(left) + "\" y=\"" + std::to_string(top_margin) + "\" width=\"" +
        std::to_string(inner_w) + "\" height=\"" + std::to_string(inner_h) +
        "\" fill=\"#fafafa\" stroke=\"#bbb\"/>";
    append_text(out, left - 4, top_margin + 8, "end", fixed(y_max, y_max < 10 ? 1 : 0));
    append_text(out, left - 4, top_margin + inner_h, "end", "0");
    out += "<text transform=\"translate(12 " + std::to_string(top_margin + inner_h / 2) +
        ") rotate(-90)\" text-anchor=\"middle\">";
    append_escaped(out, y_label);
    out += "</text>";
}

void append_score_plot(std::string& out, const motif_figures& f)
{
    const motif_details& d = *f.details;
    int y_max = 1;
    for (int b = 0; b < score_bins; ++b)
        y_max = std::max(y_max, d.kept_scores[static_cast<std::size_t>(b)] + d.trimmed_scores[static_cast<std::size_t>(b)]);
    open_plot(out, "histogram of the best scores", y_max, "sequences");
    const double bin_w = static_cast<double>(inner_w) / score_bins;
    for (int b = 0; b < score_bins; ++b) {
        const double kept = d.kept_scores[static_cast<std::size_t>(b)];
        const double trimmed = d.trimmed_scores[static_cast<std::size_t>(b)];
        const double kept_h = kept / y_max * inner_h;
        const double trimmed_h = trimmed / y_max * inner_h;
        const double x = left + b * bin_w;
        if (kept > 0)
            append_rect(out, x, top_margin + inner_h - kept_h, bin_w - 0.5, kept_h, "#4a78b0");
        if (trimmed > 0)
            append_rect(out, x, top_margin + inner_h - kept_h - trimmed_h, bin_w - 0.5, trimmed_h, "#c9823a");
    }
    const double span = d.score_high - d.score_low;
    const auto x_of = [&](double score) { return left + (span > 0 ? (score - d.score_low) / span : 0.0) * inner_w; };
    for (const auto& bound : {score_needed(f), run_sampling ? score_needed_below(f) : std::nullopt})
        if (bound && *bound >= d.score_low && *bound <= d.score_high)
            append_vertical_line(out, x_of(*bound), "#b00020", "4 2");
    const double axis_y = top_margin + inner_h + 12;
    append_text(out, left, axis_y, "start", fixed(d.score_low, 3));
    append_text(out, left + inner_w / 2.0, axis_y, "middle", fixed(d.score_low + span / 2, 3));
    append_text(out, left + inner_w, axis_y, "end", fixed(d.score_high, 3));
    append_text(out, left + inner_w / 2.0, axis_y + 14, "middle", "best score of the sequence");
    out += "</svg>";
}

void append_position_plot(std::string& out, const motif_figures& f)
{
    const motif_details& d = *f.details;
    const auto total = [](const std::array<std::int32_t, position_bins>& bins) {
        return std::accumulate(bins.begin(), bins.end(), 0LL);
    };
    const long long all_n = total(d.best_positions);
    const long long written_n = total(d.written_positions);
    const auto share = [](std::int32_t n, long long of) { return of > 0 ? 100.0 * n / static_cast<double>(of) : 0.0; };
    double y_max = 1.0;
    for (int b = 0; b < position_bins; ++b) {
        y_max = std::max(y_max, share(d.best_positions[static_cast<std::size_t>(b)], all_n));
        y_max = std::max(y_max, share(d.written_positions[static_cast<std::size_t>(b)], written_n));
    }
    open_plot(out, "histogram of the best sites' positions", y_max, "% of the sites");
    const double bin_w = static_cast<double>(inner_w) / position_bins;
    append_rect(out, left + 0.4 * inner_w, top_margin, 0.2 * inner_w, inner_h, "#eeeeee");
    for (int b = 0; b < position_bins; ++b) {
        const double x = left + b * bin_w;
        const double all_h = share(d.best_positions[static_cast<std::size_t>(b)], all_n) / y_max * inner_h;
        const double written_h = share(d.written_positions[static_cast<std::size_t>(b)], written_n) / y_max * inner_h;
        if (all_h > 0)
            append_rect(out, x + 0.5, top_margin + inner_h - all_h, bin_w - 1, all_h, "#a9c1dd");
        if (written_h > 0)
            append_rect(out, x + bin_w * 0.3, top_margin + inner_h - written_h, bin_w * 0.4, written_h, "#1f3f6e");
    }
    append_vertical_line(out, left + inner_w / 2.0, "#555", "3 3");
    const double axis_y = top_margin + inner_h + 12;
    append_text(out, left, axis_y, "start", "start");
    append_text(out, left + inner_w / 2.0, axis_y, "middle", "centre");
    append_text(out, left + inner_w, axis_y, "end", "end");
    append_text(out, left + inner_w / 2.0, axis_y + 14, "middle", "centre of the best site along its sequence");
    out += "</svg>";
}

void append_top_sites(std::string& out, int mi, const motif_details& d)
{
    const motif& mo = motif_db[static_cast<std::size_t>(mi)];
    out += "<table class=\"sites\"><thead><tr><th>#</th><th class=\"text\">sequence</th><th class=\"text\">location</th>"
           "<th>strand</th><th class=\"text\">letters</th><th>score</th><th>t</th></tr></thead><tbody>\n";
    for (int k = 0; k < d.top_n; ++k) {
        const top_site& s = d.top[static_cast<std::size_t>(k)];
        window_hit hit;
        hit.best_pos = s.best_pos;
        const match m = locate_site(mi, s.si, mo.len, hit, s.reverse);
        std::string letters;
        if (m.reverse)
            append_reverse_complement(letters, m.bsite);
        else
            letters = m.bsite;
        out += "<tr>";
        append_cell(out, std::to_string(k + 1));
        append_cell(out, escaped(seq_db[static_cast<std::size_t>(s.si)].name), true);
        append_cell(out, escaped(m.chrom) + ":" + std::to_string(m.start) + "-" + std::to_string(m.end), true);
        append_cell(out, escaped(std::string(1, m.strand)));
        append_cell(out, "<span class=\"letters\">" + escaped(letters) + "</span>", true);
        append_cell(out, fixed(s.score, 3));
        append_cell(out, fixed(s.t, 3));
        out += "</tr>\n";
    }
    out += "</tbody></table>\n";
}

void append_details(std::string& out, std::span<const motif_figures> figures, std::span<const int> order, int top)
{
    const auto shown = static_cast<std::size_t>(std::clamp(top, 0, static_cast<int>(order.size())));
    out += "<section id=\"details\"><h2>The " + std::to_string(shown) + " motifs with the most sites written</h2>\n";
    for (std::size_t rank = 0; rank < shown; ++rank) {
        const int mi = order[rank];
        const motif_figures& f = figures[static_cast<std::size_t>(mi)];
        const motif& mo = motif_db[static_cast<std::size_t>(mi)];
        out += "<div class=\"detail\" id=\"" + motif_anchor(mi) + "\"><h3>" + std::to_string(rank + 1) + ". ";
        append_escaped(out, mo.name);
        out += "</h3>\n";
        append_sequence_logo(out, mo, 20, 60);
        out += "<p>" + std::to_string(f.written) + " sites written of " + std::to_string(f.kept_n) + " kept (" +
            percent(written_share(f)) + "); kept mean " + (f.kept_n >= 2 ? fixed(f.mean, 3) : "NA") + ", sd " +
            (f.kept_n >= 2 ? fixed(f.sd, 3) : "NA") + "; " + percent(central_share(f)) +
            " of the written sites centred in the central fifth, " + percent(central_chance_share(f)) +
            " by chance.</p>\n";
        if (f.details) {
            out += "<figure>";
            append_score_plot(out, f);
            out += "<figcaption>Best score of every sequence with a window: kept (blue) and trimmed as outliers "
                   "(orange), stacked; the dashed red line is the score a site needs to be written.</figcaption>"
                   "</figure>\n<figure>";
            append_position_plot(out, f);
            out += "<figcaption>Where the best site's centre falls along its sequence: every sequence with a "
                   "window (light) and the written sites (dark), each as a share of its own total; the grey band "
                   "is the central fifth, the dashed line the centre.</figcaption></figure>\n";
            append_top_sites(out, mi, *f.details);
        }
        out += "<p><a href=\"#motifs\">back to the table</a></p></div>\n";
    }
    out += "</section>\n";
}

}  // namespace

void append_report(std::string& out, std::span<const motif_figures> figures, const run_description& run)
{
    std::vector<int> order(figures.size());
    std::iota(order.begin(), order.end(), 0);
    std::stable_sort(order.begin(), order.end(), [&](int a, int b) {
        return figures[static_cast<std::size_t>(a)].written > figures[static_cast<std::size_t>(b)].written;
    });

    out += "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n"
           "<meta name=\"viewport\" content=\"width=device-width, initial-scale=1\">\n<title>Tarnel report: ";
    append_escaped(out, run.motif_file);
    out += " on ";
    append_escaped(out, run.seq_file);
    out += "</title>\n";
    out += style;
    out += "</head>\n<body>\n";
    append_logo_glyphs(out);
    out += "<h1>Tarnel report</h1>\n";
    append_run(out, figures, run);
    append_table(out, figures, order, run.top);
    append_details(out, figures, order, run.top);
    out += sort_script;
    out += "</body>\n</html>\n";
}
