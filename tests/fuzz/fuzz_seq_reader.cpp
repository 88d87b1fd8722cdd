// Feeds arbitrary bytes to the sequence reader as a sequence file and checks every
// record, its title pieces included, against the lines it came from.
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
#include "seq_reader.h"
#include "settings.h"

namespace {

struct expected_record {
    std::string title;                   // as the reader keeps it: clipped to the text width
    std::string letters;                 // all sequence lines joined
    std::vector<std::size_t> line_ends;  // length of `letters` after each sequence line
};

// Lines before the first title are joined into the first record. Fills `records` as it
// goes, so that what was read before the line reader gave up stays there.
void records_in(const std::string& text, std::vector<expected_record>& records)
{
    expected_record leading;
    line_reader in = line_reader::from_text(text, "fuzz input");
    while (auto raw = in.next_line()) {
        const std::string_view line = rtrim(*raw);
        if (!line.empty() && line.front() == '>') {
            expected_record next = records.empty() ? std::move(leading) : expected_record{};
            next.title = std::string(line.substr(1, max_text_len));
            records.push_back(std::move(next));
            continue;
        }
        expected_record& current = records.empty() ? leading : records.back();
        current.letters.append(line);
        current.line_ends.push_back(current.letters.size());
    }
}

// A record too long for the table stops at the first line that does not fit.
std::size_t letters_that_fit(const expected_record& e)
{
    std::size_t kept = 0;
    for (std::size_t end : e.line_ends) {
        if (end > static_cast<std::size_t>(max_seq_len))
            break;
        kept = end;
    }
    return kept;
}

void check_record(const seq& s, const expected_record& e)
{
    CHECK(s.len >= 0 && s.len <= max_seq_len);
    CHECK(s.seq.size() == static_cast<std::size_t>(s.len));
    CHECK(s.base.size() == static_cast<std::size_t>(s.len));
    for (std::size_t i = 0; i < s.seq.size(); ++i) {
        CHECK(s.base[i] <= 4);
        CHECK(s.base[i] == base_2int(s.seq[i]));
    }
    // Letters are kept as read; a record too long for the table keeps the whole lines
    // before the one that does not fit.
    if (e.letters.size() <= static_cast<std::size_t>(max_seq_len)) {
        CHECK(s.seq == e.letters);
    } else {
        CHECK(s.seq.size() == letters_that_fit(e));
        CHECK(e.letters.compare(0, s.seq.size(), s.seq) == 0);
    }
    // Every letter is counted, kept or not.
    CHECK(static_cast<std::size_t>(s.len + s.cut_letters) == e.letters.size());
    float sum = 0.0f;
    for (float f : s.background_frqs) {
        CHECK(std::isfinite(f));
        CHECK(f > 0.0f && f <= 1.0f);
        sum += f;
    }
    CHECK(std::fabs(sum - 1.0f) < 1e-4f);

    CHECK(s.name.size() <= static_cast<std::size_t>(max_text_len));
    CHECK(s.chrom.size() <= static_cast<std::size_t>(max_text_len));
    // The pieces are cut from the title at their delimiters, which they cannot contain;
    // a name ends at the last "::", and only without one at the first ':'.
    if (const std::size_t last = e.title.rfind("::"); last != std::string::npos)
        CHECK(s.name == e.title.substr(0, last));
    else
        CHECK(s.name.find(':') == std::string::npos);
    CHECK(s.chrom.find(':') == std::string::npos);
    CHECK(e.title.find(s.name) != std::string::npos);
    CHECK(e.title.find(s.chrom) != std::string::npos);
    CHECK(s.strand == '.' || (s.strand != ')' && e.title.find(s.strand) != std::string::npos));
    // A title without any piece beyond the name has no location.
    if (e.title.find(':') == std::string::npos) {
        CHECK(s.chrom.empty() && s.start == 0 && s.end == 0 && s.strand == '.');
        CHECK(s.name == e.title);
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
    // which the program reports as the input's fault; the sequence reader must then
    // reject it too, and must not reject anything else. Records returned before that
    // were ended by a title the line reader did reach, so they can still be checked whole.
    std::vector<expected_record> expected;
    bool rejected = false;
    try {
        records_in(text, expected);
    } catch (const fatal_error&) {
        rejected = true;
    }
    line_reader in = line_reader::from_text(text, "fuzz input");
    std::size_t records = 0;
    try {
        while (auto s = read_seq2(in)) {
            // More records than titles means a reader that does not move on.
            CHECK(records + (rejected ? 1 : 0) < expected.size());
            check_record(*s, expected[records]);
            ++records;
        }
    } catch (const fatal_error&) {
        CHECK(rejected);
        return 0;
    }
    CHECK(!rejected);
    CHECK(records == expected.size());
    CHECK(in.at_end());
    return 0;
}
