#include "region_reader.h"

#include <algorithm>
#include <charconv>
#include <string_view>
#include <vector>

#include "errors.h"

namespace {

constexpr std::size_t summit_column = 9;  // 0-based: narrowPeak's tenth column

bool is_header(std::string_view line)
{
    if (line.empty() || line.front() == '#')
        return true;
    for (std::string_view word : {std::string_view("track"), std::string_view("browser")}) {
        if (line.starts_with(word) && (line.size() == word.size() || line[word.size()] == ' ' || line[word.size()] == '\t'))
            return true;
    }
    return false;
}

bool is_blank(std::string_view line)
{
    return line.find_first_not_of(" \t") == std::string_view::npos;
}

std::vector<std::string_view> tab_fields(std::string_view line)
{
    std::vector<std::string_view> fields;
    for (;;) {
        const std::size_t tab = line.find('\t');
        fields.push_back(line.substr(0, tab));
        if (tab == std::string_view::npos)
            return fields;
        line.remove_prefix(tab + 1);
    }
}

[[noreturn]] void refuse(const line_reader& in, const std::string& problem)
{
    throw fatal_error(in.path() + ":" + std::to_string(in.line_number()) + ": " + problem);
}

// A coordinate: decimal digits only, no sign, within 64 bits.
std::int64_t coordinate(const line_reader& in, std::string_view text, const char* what)
{
    std::int64_t value = 0;
    const auto [stop, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    const bool digits_only = !text.empty() && text.find_first_not_of("0123456789") == std::string_view::npos;
    if (!text.empty() && text.front() == '-' && error == std::errc{} && stop == text.data() + text.size())
        refuse(in, std::string(what) + " " + std::string(text) + " is negative");
    if (!digits_only)
        refuse(in, std::string(what) + " '" + std::string(text) + "' is not a whole number");
    if (error != std::errc{})
        refuse(in, std::string(what) + " " + std::string(text) + " is too large");
    return value;
}

}  // namespace

std::optional<region> read_region(line_reader& in, bool with_summit)
{
    while (auto line = in.next_line()) {
        if (is_header(*line) || is_blank(*line))
            continue;
        const std::vector<std::string_view> fields = tab_fields(*line);
        if (fields.size() < 3)
            refuse(in, "holds " + std::to_string(fields.size()) +
                    " column(s); a region needs at least three, chromosome, start and end, separated by tabs");
        region r;
        r.line = in.line_number();
        r.chrom = std::string(fields[0]);
        r.start = coordinate(in, fields[1], "start");
        r.end = coordinate(in, fields[2], "end");
        if (r.start >= r.end)
            refuse(in, "start " + std::to_string(r.start) + " is not below end " + std::to_string(r.end));
        if (fields.size() > 3)
            r.name = std::string(fields[3]);
        if (fields.size() > 5)
            r.strand = std::string(fields[5]);
        if (with_summit) {
            if (fields.size() <= summit_column)
                refuse(in, "holds " + std::to_string(fields.size()) +
                        " columns; --summit-window reads the summit from column 10 of a narrowPeak file");
            const std::string_view text = fields[summit_column];
            if (text != "-1") {
                r.summit = coordinate(in, text, "summit");
                if (r.summit >= r.end - r.start)
                    refuse(in, "summit " + std::string(text) + " lies outside the peak (an offset from its start, below " +
                            std::to_string(r.end - r.start) + ")");
            }
        }
        return r;
    }
    return std::nullopt;
}

bool centre_on_summit(region& r, std::int64_t width, std::int64_t chrom_length)
{
    const std::int64_t centre = r.start + (r.summit >= 0 ? r.summit : (r.end - r.start) / 2);
    const std::int64_t start = centre - width / 2;
    const std::int64_t end = start + width;
    r.start = std::max<std::int64_t>(start, 0);
    r.end = std::min(end, chrom_length);
    return r.start != start || r.end != end;
}
