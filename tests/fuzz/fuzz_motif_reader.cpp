// Feeds arbitrary bytes to the motif reader as a motif file and checks every record.
#include <algorithm>
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "errors.h"
#include "fuzz_check.h"
#include "line_reader.h"
#include "motif_reader.h"
#include "settings.h"

namespace {

// Rows of each record as the lines show them: the header count fixes how many records
// there must be, and the lines between two headers how many rows the first one has.
// Lines before the first header belong to the first record. Fills `rows` as it goes, so
// that what was read before the line reader gave up stays there.
void rows_per_record(const std::string& text, std::vector<std::size_t>& rows)
{
    std::size_t leading = 0;
    line_reader in = line_reader::from_text(text, "fuzz input");
    while (auto raw = in.next_line()) {
        const std::string_view line = rtrim(*raw);
        if (!line.empty() && line.front() == '>')
            rows.push_back(rows.empty() ? leading : 0);
        else if (rows.empty())
            ++leading;
        else
            ++rows.back();
    }
}

void check_record(const motif& m, std::size_t rows_in_file)
{
    CHECK(m.len >= 0 && m.len <= max_motif_len);
    CHECK(static_cast<std::size_t>(m.len) == std::min<std::size_t>(rows_in_file, max_motif_len));
    CHECK(m.matrix.size() == static_cast<std::size_t>(m.len));
    CHECK(m.frqs.size() == static_cast<std::size_t>(m.len));
    CHECK(m.name.size() <= static_cast<std::size_t>(max_text_len));
    // A line end inside a name would split an output line in two.
    CHECK(m.name.find_first_of("\r\n") == std::string::npos);
    for (std::size_t r = 0; r < m.matrix.size(); ++r) {
        const auto& counts = m.matrix[r];
        const auto& frqs = m.frqs[r];
        CHECK(counts[4] == 0);
        bool non_negative = true;
        for (int c = 0; c < 4; ++c)
            non_negative = non_negative && counts[c] >= 0;
        float sum = 0.0f;
        for (int c = 0; c < 5; ++c) {
            CHECK(std::isfinite(frqs[c]));
            sum += frqs[c];
            // With counts that cannot cancel, smoothing leaves no frequency at 0 or above 1.
            if (non_negative)
                CHECK(frqs[c] > 0.0f && frqs[c] <= 1.0f);
        }
        if (non_negative)
            CHECK(std::fabs(sum - 1.0f) < 1e-4f);
    }
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***)
{
    silence_stdout();
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    const std::string text(reinterpret_cast<const char*>(data), size);
    // The line reader rejects text it cannot take as lines (NUL bytes) with fatal_error,
    // which the program reports as the input's fault; the motif reader must then reject
    // it too, and must not reject anything else. Records returned before that were ended
    // by a header the line reader did reach, so they can still be checked whole.
    std::vector<std::size_t> expected_rows;
    bool rejected = false;
    try {
        rows_per_record(text, expected_rows);
    } catch (const fatal_error&) {
        rejected = true;
    }
    line_reader in = line_reader::from_text(text, "fuzz input");
    std::size_t records = 0;
    try {
        while (auto m = read_motif2(in)) {
            // More records than headers means a reader that does not move on.
            CHECK(records + (rejected ? 1 : 0) < expected_rows.size());
            check_record(*m, expected_rows[records]);
            ++records;
        }
    } catch (const fatal_error&) {
        CHECK(rejected);
        return 0;
    }
    CHECK(!rejected);
    CHECK(records == expected_rows.size());
    CHECK(in.at_end());
    return 0;
}
