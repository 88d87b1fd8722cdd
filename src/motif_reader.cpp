#include "motif_reader.h"

#include <algorithm>
#include <climits>
#include <cmath>
#include <cstdio>

#include "messages.h"
#include "settings.h"
#include "text_numbers.h"

std::string_view rtrim(std::string_view text)
{
    while (!text.empty() && (text.back() == '\r' || text.back() == '\n'))
        text.remove_suffix(1);
    return text;
}

std::string clip_name(std::string_view text)
{
    return std::string(text.substr(0, max_text_len));
}

namespace {

// The first four tab-separated fields as counts of A, C, G and T; missing fields count
// 0, a fifth field is the count of N and is discarded, later fields are ignored.
std::array<int, 5> parse_row(std::string_view line)
{
    std::array<int, 5> counts{};
    std::size_t field = 0;
    std::size_t i = 0;
    while (field < 4) {
        while (i < line.size() && line[i] == '\t')
            ++i;
        if (i == line.size())
            break;
        std::size_t j = line.find('\t', i);
        if (j == std::string_view::npos)
            j = line.size();
        counts[field++] = parse_int_clamped(line.substr(i, j - i));
        i = j;
    }
    return counts;
}

}  // namespace

std::optional<motif> read_motif2(line_reader& in)
{
    motif m;
    bool header_seen = false;
    while (auto raw = in.next_line()) {
        std::string_view line = rtrim(*raw);
        if (!line.empty() && line.front() == '>') {
            if (header_seen) {
                in.unread();
                break;
            }
            m.name = clip_name(line.substr(1));
            header_seen = true;
            continue;
        }
        if (static_cast<int>(m.matrix.size()) == max_motif_len) {
            std::fprintf(messages(), "motif width: >%d\n", max_motif_len);
            continue;
        }
        m.matrix.push_back(parse_row(line));
    }
    if (!header_seen)
        return std::nullopt;
    m.len = static_cast<int>(m.matrix.size());
    normalize_pssm(m);
    return m;
}

void normalize_pssm(motif& m)
{
    m.frqs.assign(static_cast<std::size_t>(m.len), {});
    float total = 0.0f;
    for (int r = 0; r < m.len; ++r) {
        auto& row = m.frqs[static_cast<std::size_t>(r)];
        float row_total = 0.0f;
        for (int c = 0; c < 5; ++c) {
            row[c] = static_cast<float>(m.matrix[static_cast<std::size_t>(r)][c]) + pseudocount;
            row_total += row[c];
        }
        total += row_total;
        for (int c = 0; c < 5; ++c)
            row[c] /= row_total;
        // Negative counts can cancel the row to a total of exactly 0; such a row gets
        // frequencies of 0 rather than infinities and NaN.
        if (row_total == 0.0f)
            row.fill(0.0f);
    }
    if (m.len == 0) {
        m.copy_n = 0;
        return;
    }
    // Clamped counts can make the mean exceed an int; keep it in range.
    const double mean = std::round(static_cast<double>(total / static_cast<float>(m.len)));
    m.copy_n = static_cast<int>(std::clamp(mean, double(INT_MIN), double(INT_MAX)));
}
