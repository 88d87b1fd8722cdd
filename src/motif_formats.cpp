#include "motif_formats.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <climits>
#include <cmath>
#include <cstdio>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "errors.h"
#include "messages.h"
#include "seq_reader.h"
#include "text_numbers.h"

namespace {

[[noreturn]] void fail(const line_reader& in, const std::string& expected)
{
    throw fatal_error(in.path() + ":" + std::to_string(in.line_number()) + ": " + expected);
}

bool is_space(char c)
{
    return c == ' ' || (c >= '\t' && c <= '\r');
}

std::string_view trim(std::string_view text)
{
    while (!text.empty() && is_space(text.front()))
        text.remove_prefix(1);
    while (!text.empty() && is_space(text.back()))
        text.remove_suffix(1);
    return text;
}

std::vector<std::string_view> words(std::string_view text)
{
    std::vector<std::string_view> found;
    std::size_t i = 0;
    while (i < text.size()) {
        while (i < text.size() && is_space(text[i]))
            ++i;
        std::size_t j = i;
        while (j < text.size() && !is_space(text[j]))
            ++j;
        if (j > i)
            found.push_back(text.substr(i, j - i));
        i = j;
    }
    return found;
}

// A matrix line of a width-100 motif is a few hundred characters; longer lines are read
// only this far, so that one huge line cannot exhaust memory.
constexpr std::size_t max_matrix_line = std::size_t{1} << 20;

// Refuses a line whose content is needed but was not kept whole.
void check_kept(const line_reader& in)
{
    if (in.line_length() > max_matrix_line)
        fail(in, "expected a line of at most " + std::to_string(max_matrix_line) + " characters");
}

// The next line holding more than white space, or nothing at the end of the input. A
// header keeps its start (the name is clipped anyway); any other line must be kept whole.
// The view lives until the reader's next call.
std::optional<std::string_view> next_filled_line(line_reader& in)
{
    for (;;) {
        bool filled = false;  // decided on the whole line, not on what is kept of it
        const auto raw = in.next_line(max_matrix_line, [&filled](std::string_view piece) {
            filled = filled || !trim(piece).empty();
        });
        if (!raw)
            return std::nullopt;
        if (!filled)
            continue;
        const std::string_view line = rtrim(*raw);
        if (line.front() != '>')
            check_kept(in);
        return line;
    }
}

// Counts are whole numbers, but some collections write them with a fraction (12.0, or
// averaged counts such as 12.7); such a count is taken as its integer part, as atoi
// would, so that these files read as the tool's own format reads the same numbers.
// Exponents and other text are refused: atoi would silently read 1e3 as 1.
int read_count(const line_reader& in, std::string_view word)
{
    std::size_t i = word.front() == '+' || word.front() == '-' ? 1 : 0;
    std::size_t digits = 0;
    for (; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i)
        ++digits;
    if (i < word.size() && word[i] == '.')
        for (++i; i < word.size() && word[i] >= '0' && word[i] <= '9'; ++i)
            ++digits;
    if (digits == 0 || i != word.size())
        fail(in, "expected a count, found '" + std::string(word) + "'");
    return parse_int_clamped(word);
}

// A decimal number taking the whole word (NaN and infinities included), or nothing.
std::optional<double> any_number(std::string_view word)
{
    if (!word.empty() && word.front() == '+')
        word.remove_prefix(1);
    double value = 0;
    const auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value);
    if (ec != std::errc() || end != word.data() + word.size())
        return std::nullopt;
    return value;
}

// A finite decimal number taking the whole word, or nothing.
std::optional<double> to_number(std::string_view word)
{
    const auto value = any_number(word);
    return value && std::isfinite(*value) ? value : std::nullopt;
}

void add_position(motif& m, const std::array<int, 5>& counts)
{
    if (static_cast<int>(m.matrix.size()) == max_motif_len) {
        std::fprintf(messages(), "motif width: >%d\n", max_motif_len);
        return;
    }
    m.matrix.push_back(counts);
}

// `positions`: the motif's positions in the file, dropped ones included.
motif finish(motif m, long positions)
{
    warn_if_cut(m, positions);
    m.len = static_cast<int>(m.matrix.size());
    normalize_pssm(m);
    return m;
}

// --- jaspar and pfm: a '>' header, then one row of counts per base, one column per position.

// The header that starts a record, or nothing at the end of the input.
std::optional<std::string> read_header(line_reader& in)
{
    const auto line = next_filled_line(in);
    if (!line)
        return std::nullopt;
    // A matrix ends after its fourth row without reading ahead, so a fifth row is met here.
    if (line->front() != '>') {
        // A row for a fifth letter (N) is the likely cause, and is named as such.
        const std::string_view row = trim(*line);
        const std::size_t open = row.find('[');
        if (open != std::string_view::npos && open > 0 && trim(row.substr(1, open - 1)).empty())
            fail(in, "expected a header line '>ID NAME', found a fifth row '" + std::string(1, row.front()) +
                    "' (each matrix has 4 rows A, C, G, T; rows for other letters are not read)");
        fail(in, "expected a header line '>ID NAME' (each matrix has 4 rows A, C, G, T)");
    }
    return clip_name(line->substr(1));
}

// The counts between the brackets of a JASPAR row "<letter> [ counts ]", and the row's base.
std::pair<int, std::string_view> split_jaspar_row(const line_reader& in, std::string_view line)
{
    const std::string_view row = trim(line);
    const std::size_t open = row.find('[');
    const bool letter = (row.front() >= 'A' && row.front() <= 'Z') || (row.front() >= 'a' && row.front() <= 'z');
    if (!letter || open == std::string_view::npos || !trim(row.substr(1, open - 1)).empty() || row.back() != ']')
        fail(in, "expected a row '<letter> [ counts ]'");
    const int base = base_2int(row.front());
    if (base == 4)
        fail(in, "expected only the rows A, C, G and T, found a row for '" + std::string(1, row.front()) + "'");
    return {base, row.substr(open + 1, row.size() - open - 2)};
}

std::optional<motif> read_count_rows(line_reader& in, bool bracketed)
{
    auto name = read_header(in);
    if (!name)
        return std::nullopt;
    const std::string_view rows_expected = bracketed ? "expected 4 rows A, C, G, T of equal length"
                                                     : "expected 4 rows of counts for A, C, G, T of equal length";
    std::array<std::vector<int>, 4> rows;
    std::array<bool, 4> seen{};
    std::size_t width = 0;
    for (int k = 0; k < 4; ++k) {
        const auto line = next_filled_line(in);
        if (!line || line->front() == '>')
            fail(in, std::string(rows_expected));
        // Plain pfm rows come in the order A, C, G, T; a JASPAR row names its base.
        int base = k;
        std::string_view counts = *line;
        if (bracketed) {
            std::tie(base, counts) = split_jaspar_row(in, *line);
            if (seen[static_cast<std::size_t>(base)])
                fail(in, std::string(rows_expected));
            seen[static_cast<std::size_t>(base)] = true;
        }
        auto& row = rows[static_cast<std::size_t>(base)];
        for (const std::string_view word : words(counts))
            row.push_back(read_count(in, word));
        if (k == 0)
            width = row.size();
        else if (row.size() != width)
            fail(in, std::string(rows_expected));
    }
    motif m;
    m.name = std::move(*name);
    for (std::size_t p = 0; p < width; ++p)
        add_position(m, {rows[0][p], rows[1][p], rows[2][p], rows[3][p], 0});
    return finish(std::move(m), static_cast<long>(width));
}

// --- meme: "MOTIF id [name]", then "letter-probability matrix: ..." and w rows of A C G T.

constexpr double default_nsites = 20;

bool is_motif_line(std::string_view line)
{
    return line.starts_with("MOTIF") && (line.size() == 5 || is_space(line[5]));
}

// "id name", or "id" alone, as the other formats' headers name a motif.
std::string meme_name(const line_reader& in, std::string_view motif_line)
{
    const std::string_view rest = trim(motif_line.substr(5));
    if (rest.empty())
        fail(in, "expected a motif id after MOTIF");
    const std::size_t gap = std::min(rest.find(' '), rest.find('\t'));
    if (gap == std::string_view::npos)
        return clip_name(rest);
    return clip_name(std::string(rest.substr(0, gap)) + " " + std::string(trim(rest.substr(gap))));
}

// The value of "key=" on the matrix line; writers put a space after '=' or not.
std::optional<std::string_view> key_value(const std::vector<std::string_view>& keys, std::string_view key)
{
    for (std::size_t i = 0; i < keys.size(); ++i) {
        const std::string_view word = keys[i];
        if (word.size() <= key.size() || !word.starts_with(key) || word[key.size()] != '=')
            continue;
        if (word.size() > key.size() + 1)
            return word.substr(key.size() + 1);
        return i + 1 < keys.size() ? keys[i + 1] : std::string_view();
    }
    return std::nullopt;
}

// Counts from probabilities: a probability times the number of sites, rounded to the
// nearest integer with halves away from zero, which gives back the counts of a matrix
// written as count / nsites.
int to_count(double probability, double nsites)
{
    const double sites = std::clamp(probability * nsites, double(INT_MIN), double(INT_MAX));
    return static_cast<int>(std::lround(sites));
}

// How far a row's probabilities may sum from 1: files print them rounded, to six decimals
// (MEME) or to as few as two, so each of the four may be off by up to 0.005.
constexpr double probability_sum_tolerance = 0.02;

// True when the line begins with a number: a row (NaN and infinities are numbers, so that
// such a row is refused for what it holds rather than taken for the end of the matrix).
bool is_meme_row(std::string_view line)
{
    const std::vector<std::string_view> values = words(line);
    return !values.empty() && any_number(values.front());
}

// A row of four probabilities A, C, G, T, or nothing when the line does not begin with a
// number (which, without w=, ends the matrix).
std::optional<std::array<int, 5>> meme_row(const line_reader& in, std::string_view line, double nsites)
{
    if (!is_meme_row(line))
        return std::nullopt;
    check_kept(in);
    const std::vector<std::string_view> values = words(line);
    std::array<int, 5> counts{};
    if (values.size() != 4)
        fail(in, "expected 4 probabilities A, C, G, T");
    double sum = 0;
    for (std::size_t b = 0; b < 4; ++b) {
        const auto p = any_number(values[b]);
        if (!p)
            fail(in, "expected a probability, found '" + std::string(values[b]) + "'");
        if (!(*p >= 0 && *p <= 1))  // NaN too
            fail(in, "expected a probability from 0 to 1, found '" + std::string(values[b]) + "'");
        sum += *p;
        counts[b] = to_count(*p, nsites);
    }
    if (std::fabs(sum - 1) > probability_sum_tolerance) {
        char found[32];
        std::snprintf(found, sizeof found, "%g", sum);
        fail(in, "expected probabilities A, C, G, T summing to 1, found a sum of " + std::string(found));
    }
    return counts;
}

std::optional<motif> read_meme(line_reader& in)
{
    // The preamble, and whatever follows the previous matrix (URL lines, a log-odds
    // matrix), is skipped up to the next MOTIF line.
    std::optional<std::string_view> line;
    while ((line = in.next_line(max_matrix_line)) && !is_motif_line(*line)) { }
    if (!line)
        return std::nullopt;
    motif m;
    m.name = meme_name(in, *line);
    constexpr std::string_view matrix_key = "letter-probability matrix:";
    for (;;) {
        line = in.next_line(max_matrix_line);
        if (!line || is_motif_line(*line))
            fail(in, "expected a line 'letter-probability matrix: alength= 4 w= W nsites= N'");
        if (trim(*line).starts_with(matrix_key))
            break;
    }
    check_kept(in);
    const std::vector<std::string_view> keys = words(trim(*line).substr(matrix_key.size()));
    if (const auto text = key_value(keys, "alength"); text && to_number(*text) != 4.0)
        fail(in, "expected alength= 4");
    int w = -1;  // unknown: rows go on until a line that is not a row
    if (const auto text = key_value(keys, "w")) {
        const auto value = to_number(*text);
        if (!value || *value < 0 || *value != std::floor(*value) || *value > INT_MAX)
            fail(in, "expected a width after w=, found '" + std::string(*text) + "'");
        w = static_cast<int>(*value);
    }
    double nsites = default_nsites;
    if (const auto text = key_value(keys, "nsites")) {
        const auto value = to_number(*text);
        // No sites make every count 0: a flat matrix whose sites would be written as found.
        if (!value || *value <= 0)
            fail(in, "expected a positive number of sites after nsites=, found '" + std::string(*text) + "'");
        nsites = *value;
    }
    if (w >= 0) {
        const std::string rows_expected = "expected w= " + std::to_string(w) + " rows of 4 probabilities A, C, G, T";
        for (int r = 0; r < w; ++r) {
            line = next_filled_line(in);
            const auto counts = line ? meme_row(in, *line, nsites) : std::nullopt;
            if (!counts)  // the end of the input, the next MOTIF line or other text
                fail(in, rows_expected);
            add_position(m, *counts);
        }
        // A row beyond w= would otherwise be skipped as text between motifs.
        while ((line = in.next_line(max_matrix_line)) && trim(*line).empty()) { }
        if (line) {
            if (is_meme_row(*line))
                fail(in, rows_expected + ", found more rows");
            in.unread();
        }
        return finish(std::move(m), w);
    }
    long rows = 0;
    while ((line = in.next_line(max_matrix_line))) {
        const auto counts = meme_row(in, *line, nsites);
        if (!counts) {
            if (is_motif_line(*line))
                in.unread();
            break;
        }
        add_position(m, *counts);
        ++rows;
    }
    return finish(std::move(m), rows);
}

}  // namespace

std::optional<motif_format> parse_motif_format(std::string_view name)
{
    if (name == "tarnel")
        return motif_format::tarnel;
    if (name == "jaspar")
        return motif_format::jaspar;
    if (name == "pfm")
        return motif_format::pfm;
    if (name == "meme")
        return motif_format::meme;
    return std::nullopt;
}

std::optional<motif> read_motif_in(motif_format format, line_reader& in)
{
    switch (format) {
    case motif_format::jaspar:
        return read_count_rows(in, true);
    case motif_format::pfm:
        return read_count_rows(in, false);
    case motif_format::meme:
        return read_meme(in);
    case motif_format::tarnel:
        break;
    }
    return read_motif2(in);
}
