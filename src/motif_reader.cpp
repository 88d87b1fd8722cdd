#include "motif_reader.h"

#include <algorithm>
#include <array>
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

std::string_view clipped_name(std::string_view text)
{
    return text.substr(0, max_text_len);
}

std::string clip_name(std::string_view text)
{
    return std::string(clipped_name(text));
}

void warn_if_cut(const motif& m, long positions)
{
    if (positions > max_motif_len)
        std::fprintf(stderr, "Tarnel: warning: motif '%s' has %ld positions; only the first %d are used\n",
            m.name.c_str(), positions, max_motif_len);
}

namespace {

// The first four tab-separated fields of a row as counts of A, C, G and T, read as the
// line reader hands the row on, so that a row of any length is never held: missing fields
// count 0, a fifth field is the count of N and is discarded, later fields are ignored.
class row_counts {
public:
    void take(std::string_view piece)
    {
        for (const char c : piece) {
            if (field_ == 4)
                return;
            if (c == '\t') {  // runs of tabs are one separator
                if (in_field_)
                    end_field();
                continue;
            }
            if (!in_field_) {
                in_field_ = true;
                number_ = leading_integer(int_limit);
            }
            number_.take(c);
        }
    }

    std::array<int, 5> counts()
    {
        if (in_field_ && field_ < 4)
            end_field();
        return counts_;
    }

private:
    void end_field()
    {
        counts_[field_++] = clamped_int(number_);
        in_field_ = false;
    }

    std::array<int, 5> counts_{};
    std::size_t field_ = 0;
    bool in_field_ = false;
    leading_integer number_{int_limit};
};

}  // namespace

std::optional<motif> read_motif2(line_reader& in)
{
    motif m;
    bool header_seen = false;
    long positions = 0;  // rows of the record, dropped ones included
    // The rows are gathered here and the matrix made once at its size: grown row by row,
    // a motif's matrix took six allocations.
    std::array<std::array<int, 5>, max_motif_len> rows;
    std::size_t kept = 0;
    for (;;) {
        row_counts row;
        // A header keeps max_text_len characters after its '>'; a row is read as it passes.
        const auto raw = in.next_line(max_text_len + 1, [&row](std::string_view piece) { row.take(piece); });
        if (!raw)
            break;
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
        ++positions;
        if (kept == rows.size()) {
            std::fprintf(messages(), "motif width: >%d\n", max_motif_len);
            continue;
        }
        rows[kept++] = row.counts();
    }
    if (!header_seen)
        return std::nullopt;
    m.matrix.assign(rows.begin(), rows.begin() + static_cast<std::ptrdiff_t>(kept));
    warn_if_cut(m, positions);
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
