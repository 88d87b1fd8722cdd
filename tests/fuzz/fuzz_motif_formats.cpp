// Feeds arbitrary bytes to the JASPAR, pfm and MEME readers (the first byte picks the
// format) and checks every record they return; a malformed file may only be refused
// with fatal_error.
#include <cmath>
#include <cstddef>
#include <cstdint>
#include <string>

#include "errors.h"
#include "fuzz_check.h"
#include "line_reader.h"
#include "motif_formats.h"
#include "settings.h"

namespace {

void check_record(const motif& m)
{
    CHECK(m.len >= 0 && m.len <= max_motif_len);
    CHECK(m.matrix.size() == static_cast<std::size_t>(m.len));
    CHECK(m.frqs.size() == static_cast<std::size_t>(m.len));
    CHECK(m.name.size() <= static_cast<std::size_t>(max_text_len));
    CHECK(m.name.find_first_of("\r\n") == std::string::npos);
    for (std::size_t r = 0; r < m.matrix.size(); ++r) {
        CHECK(m.matrix[r][4] == 0);
        for (float f : m.frqs[r])
            CHECK(std::isfinite(f));
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
    if (size == 0)
        return 0;
    constexpr motif_format formats[] = {motif_format::jaspar, motif_format::pfm, motif_format::meme};
    const motif_format format = formats[data[0] % 3];
    line_reader in = line_reader::from_text(std::string(reinterpret_cast<const char*>(data) + 1, size - 1), "fuzz");
    try {
        std::size_t records = 0;
        while (auto m = read_motif_in(format, in)) {
            check_record(*m);
            // Every record consumes at least its header line: the reader cannot loop.
            CHECK(++records <= size);
        }
        CHECK(in.at_end());
    } catch (const fatal_error& e) {
        // Refusals name the input and a line.
        CHECK(std::string(e.what()).rfind("fuzz:", 0) == 0);
    }
    return 0;
}
