#include "summary_file.h"

#include <algorithm>

#include "loading.h"
#include "number_format.h"
#include "settings.h"

namespace {

std::string fixed6(std::optional<double> v)
{
    if (!v)
        return "NA";
    std::string text;
    append_fixed6(text, *v);
    return text;
}

// Motif and sequence names may hold tabs: written as spaces, as in the output file.
std::string field_text(std::string_view text)
{
    std::string s(text);
    std::replace(s.begin(), s.end(), '\t', ' ');
    return s;
}

}  // namespace

std::optional<double> score_needed(const motif_figures& f)
{
    if (!tested(f))
        return std::nullopt;
    return f.mean + score_th * f.sd;
}

std::optional<double> score_needed_below(const motif_figures& f)
{
    if (!tested(f))
        return std::nullopt;
    return f.mean - score_th * f.sd;
}

std::optional<double> written_share(const motif_figures& f)
{
    if (f.kept_n == 0)
        return std::nullopt;
    return static_cast<double>(f.written) / f.kept_n;
}

std::optional<double> central_share(const motif_figures& f)
{
    if (f.written == 0)
        return std::nullopt;
    return static_cast<double>(f.central_n) / f.written;
}

std::optional<double> central_chance_share(const motif_figures& f)
{
    if (f.written == 0)
        return std::nullopt;
    return f.central_chance_sum / f.written;
}

std::vector<std::string> summary_columns()
{
    std::vector<std::string> columns{"motif", "width", "sequences", "with_window", "kept", "mean", "sd"};
    if (run_sampling) {
        columns.emplace_back("score_at_most");
        columns.emplace_back("score_at_least");
    } else {
        columns.emplace_back("score_needed");
    }
    for (const char* c : {"written", "written_share", "max_t", "max_t_sequence", "central_share", "central_chance"})
        columns.emplace_back(c);
    return columns;
}

std::vector<std::string> summary_fields(int mi, const motif_figures& f)
{
    const motif& mo = motif_db[static_cast<std::size_t>(mi)];
    const bool has_mean = f.kept_n >= 2;  // the analysis gives one set of one score mean 0
    std::vector<std::string> fields{field_text(mo.name), std::to_string(mo.len), std::to_string(f.set_n),
        std::to_string(f.scored_n), std::to_string(f.kept_n), fixed6(has_mean ? std::optional(f.mean) : std::nullopt),
        fixed6(has_mean ? std::optional(f.sd) : std::nullopt)};
    if (run_sampling)
        fields.push_back(fixed6(score_needed_below(f)));
    fields.push_back(fixed6(score_needed(f)));
    fields.push_back(std::to_string(f.written));
    fields.push_back(fixed6(written_share(f)));
    const bool has_max = f.max_t_si >= 0;
    fields.push_back(fixed6(has_max ? std::optional(f.max_t) : std::nullopt));
    fields.push_back(has_max ? field_text(seq_db[static_cast<std::size_t>(f.max_t_si)].name) : "NA");
    fields.push_back(fixed6(central_share(f)));
    fields.push_back(fixed6(central_chance_share(f)));
    return fields;
}

void append_summary(std::string& out, std::span<const motif_figures> figures, int first, int end)
{
    const auto join = [&out](const std::vector<std::string>& fields) {
        for (std::size_t i = 0; i < fields.size(); ++i) {
            if (i > 0)
                out += '\t';
            out += fields[i];
        }
        out += '\n';
    };
    join(summary_columns());
    for (int mi = first; mi < end; ++mi)
        join(summary_fields(mi, figures[static_cast<std::size_t>(mi)]));
}
