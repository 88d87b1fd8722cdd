// Motif files in the JASPAR, pfm and MEME formats, read into the tool's own records.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <iostream>

#include "errors.h"
#include "motif_formats.h"
#include "test_util.h"

namespace {

constexpr motif_format other_formats[] = {motif_format::jaspar, motif_format::pfm, motif_format::meme};

std::vector<motif> read_all(motif_format format, line_reader& in)
{
    std::vector<motif> motifs;
    while (auto m = read_motif_in(format, in))
        motifs.push_back(std::move(*m));
    return motifs;
}

std::vector<motif> read_text(motif_format format, const std::string& text)
{
    auto in = line_reader::from_text(text, "in.txt");
    return read_all(format, in);
}

void expect_same(const std::vector<motif>& got, const std::vector<motif>& want)
{
    ASSERT_EQ(got.size(), want.size());
    for (std::size_t i = 0; i < got.size(); ++i) {
        SCOPED_TRACE(want[i].name);
        EXPECT_EQ(got[i].name, want[i].name);
        EXPECT_EQ(got[i].len, want[i].len);
        EXPECT_EQ(got[i].matrix, want[i].matrix);
        EXPECT_EQ(got[i].frqs, want[i].frqs);
        EXPECT_EQ(got[i].copy_n, want[i].copy_n);
    }
}

int row_total(const std::array<int, 5>& row)
{
    return row[0] + row[1] + row[2] + row[3];
}

// Writes the motifs' names and counts in one of the other formats. MEME carries probabilities, count /
// row total, and one nsites per motif: its first row's total.
std::string write_as(motif_format format, const std::vector<motif>& motifs)
{
    std::string out = format != motif_format::meme
        ? ""
        : "MEME version 4\n\nALPHABET= ACGT\n\nstrands: + -\n\nBackground letter frequencies\n"
          "A 0.25 C 0.25 G 0.25 T 0.25\n\n";
    for (const motif& m : motifs) {
        if (format == motif_format::meme) {
            out += "MOTIF " + m.name + "\nletter-probability matrix: alength= 4 w= " + std::to_string(m.matrix.size()) +
                " nsites= " + std::to_string(row_total(m.matrix[0])) + " E= 0\n";
            for (const auto& row : m.matrix) {
                char p[4][32];
                for (int b = 0; b < 4; ++b)
                    std::snprintf(p[b], sizeof p[b], "%.17g", double(row[b]) / row_total(row));
                out += std::string(p[0]) + "  " + p[1] + "  " + p[2] + "  " + p[3] + "\n";
            }
            out += "URL http://example.org/motif\n\n";
        } else {
            out += ">" + m.name + "\n";
            for (int b = 0; b < 4; ++b) {
                if (format == motif_format::jaspar)
                    (out += "ACGT"[b]) += "  [";
                for (const auto& row : m.matrix)
                    (out += ' ') += std::to_string(row[b]);
                out += format == motif_format::jaspar ? " ]\n" : "\n";
            }
        }
    }
    return out;
}

// What MEME gives back: each count rounded from count / row total × nsites.
motif meme_carried(motif m)
{
    const double nsites = row_total(m.matrix[0]);
    for (auto& row : m.matrix) {
        const double total = row_total(row);
        for (int b = 0; b < 4; ++b)
            row[b] = static_cast<int>(std::lround(double(row[b]) / total * nsites));
    }
    normalize_pssm(m);
    return m;
}

}  // namespace

TEST(MotifFormat, NamesOfTheFormats)
{
    EXPECT_EQ(parse_motif_format("tarnel"), motif_format::tarnel);
    EXPECT_EQ(parse_motif_format("jaspar"), motif_format::jaspar);
    EXPECT_EQ(parse_motif_format("pfm"), motif_format::pfm);
    EXPECT_EQ(parse_motif_format("meme"), motif_format::meme);
    for (const char* name : {"JASPAR", "memes", ""})
        EXPECT_FALSE(parse_motif_format(name)) << name;
}

// CR LF and bare LF, blank lines between matrices, a last line without line end.
TEST(MotifFormat, HandWrittenFilesGiveTheRecordsOfTheOwnFormat)
{
    const auto want =
        read_text(motif_format::tarnel, ">MA1 Foo\tbar\n8\t0\t1\t1\n0\t0\t10\t0\n2\t3\t2\t3\n>MA2\n1\t2\t3\t4\n");
    const auto jaspar = read_text(motif_format::jaspar,
        ">MA1 Foo\tbar\nA  [ 8 0 2 ]\nC[0 0 3]\n  G [ 1\t10 2 ]  \nT [ 1 0 3 ]\n\n \n>MA2\r\nT [ 4.9 ]\r\nG [ 3.0 "
        "]\r\nC [ 2 ]\r\nA [ 1 ]");
    const auto pfm =
        read_text(motif_format::pfm, ">MA1 Foo\tbar\r\n8 0 2\r\n0\t0  3\r\n1 10 2\r\n1 0 3\r\n\r\n>MA2\n1\n2\n3\n4.7");
    const auto meme = read_text(motif_format::meme,
        "MEME version 4\n\nALPHABET= ACGT\n\nstrands: + -\n\nBackground letter frequencies\nA 0.3 C 0.2 G 0.2 T 0.3\n\n"
        "MOTIF MA1   Foo\tbar\r\nletter-probability matrix: alength= 4 w= 3 nsites= 10 E= 1e-3\r\n"
        " 0.8 0 0.1 0.1\r\n0 0 1 0\r\n0.2 0.3 0.2 0.3\r\nURL http://example.org/MA1\n\n"
        "MOTIF MA2\nletter-probability matrix: alength=4 w=1 nsites=10\n0.1 0.2 0.3 0.4");
    ASSERT_EQ(want.size(), 2u);
    EXPECT_EQ(want[0].matrix[2], (std::array<int, 5>{2, 3, 2, 3, 0}));
    expect_same(jaspar, want);
    expect_same(pfm, want);
    expect_same(meme, want);  // "id name": one space after the id, the rest of the line kept
}

// Without nsites= a MEME matrix counts 20 sites, halves rounding away from zero; without
// w= its rows end at the first line that is not a row.
TEST(MotifFormat, MemeDefaultsForMissingKeys)
{
    const auto got = read_text(motif_format::meme,
        "MOTIF a\nletter-probability matrix:\n0.125 0.375 0.5 0\n0 0 0 1\nMOTIF b\n"
        "letter-probability matrix: w= 1 nsites= 8\n0.125 0.375 0.5 0\n");
    ASSERT_EQ(got.size(), 2u);
    EXPECT_EQ(got[0].name, "a");
    EXPECT_EQ(got[0].matrix, (std::vector<std::array<int, 5>>{{3, 8, 10, 0, 0}, {0, 0, 0, 20, 0}}));
    EXPECT_EQ(got[1].matrix, (std::vector<std::array<int, 5>>{{1, 3, 4, 0, 0}}));
}

TEST(MotifFormat, PositionsBeyondOneHundredAreDroppedWithAMessageEach)
{
    // Besides the message per row, one summary line per motif on standard error.
    {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        std::string tarnel = ">w\n";
        for (int p = 0; p < 103; ++p)
            tarnel += "1\t0\t0\t0\n";
        read_text(motif_format::tarnel, tarnel + ">v\n1\t0\t0\t0\n");
        testing::internal::GetCapturedStdout();
        EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "Tarnel: warning: motif 'w' has 103 positions; only the first 100 are used\n");
    }
    motif wide;
    wide.name = "wide";
    for (int p = 0; p < 101; ++p)
        wide.matrix.push_back({p, 100 - p, 0, 0, 0});
    for (const motif_format format : other_formats) {
        testing::internal::CaptureStdout();
        testing::internal::CaptureStderr();
        const auto got = read_text(format, write_as(format, {wide}));
        EXPECT_EQ(testing::internal::GetCapturedStdout(), "motif width: >100\n");
        EXPECT_NE(testing::internal::GetCapturedStderr().find("motif 'wide' has 101 positions"), std::string::npos);
        ASSERT_EQ(got.size(), 1u);
        EXPECT_EQ(got[0].len, 100);
        EXPECT_EQ(got[0].matrix[99], (std::array<int, 5>{99, 1, 0, 0, 0}));
    }
}

TEST(MotifFormat, MalformedFilesNameTheFileAndLine)
{
    const struct {
        motif_format format;
        std::string text, message;
    } cases[] = {
        {motif_format::jaspar, ">a\nA [ 1 2 ]\nC 1 2\n", "in.txt:3: expected a row '<letter> [ counts ]'"},
        {motif_format::jaspar, ">a\nA [ 1 2 ]\nC [ 1 ]\nG [ 1 2 ]\nT [ 1 2 ]\n",
            "in.txt:3: expected 4 rows A, C, G, T of equal length"},
        {motif_format::jaspar, ">a\nA [1]\nA [1]\n", "in.txt:3: expected 4 rows A, C, G, T of equal length"},
        {motif_format::jaspar, ">a\nA [1]\nC [1]\nG [1]\n\n>b\n",
            "in.txt:6: expected 4 rows A, C, G, T of equal length"},
        {motif_format::jaspar, ">a\nA [1]\nC [1]\nG [1]\nT [1]\nN [1]\n",
            "in.txt:6: expected a header line '>ID NAME', found a fifth row 'N' (each matrix has 4 rows A, C, G, T; "
            "rows for other letters are not read)"},
        {motif_format::jaspar, ">a\nA [ 1 x ]\n", "in.txt:2: expected a count, found 'x'"},
        {motif_format::pfm, ">a\n1\n2\n3\n", "in.txt:4: expected 4 rows of counts for A, C, G, T of equal length"},
        {motif_format::pfm, ">a\n1 2\n1 2\n1\n1 2\n",
            "in.txt:4: expected 4 rows of counts for A, C, G, T of equal length"},
        {motif_format::pfm, ">a\n1 1e3\n", "in.txt:2: expected a count, found '1e3'"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 3\n0 0 0 1\n0 1 0 0\n\nMOTIF b\n",
            "in.txt:6: expected w= 3 rows of 4 probabilities A, C, G, T"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 1\n0.5 0.5 0\n",
            "in.txt:3: expected 4 probabilities A, C, G, T"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 1\n0.2 0.2 0.2 0.2 0.2\n",
            "in.txt:3: expected 4 probabilities A, C, G, T"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 1\n0.5 0.5 x 0\n",
            "in.txt:3: expected a probability, found 'x'"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: nsites= many\n",
            "in.txt:2: expected a positive number of sites after nsites=, found 'many'"},
        {motif_format::meme, "MOTIF a\nMOTIF b\n",
            "in.txt:2: expected a line 'letter-probability matrix: alength= 4 w= W nsites= N'"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 1 nsites= 0\n1 0 0 0\n",
            "in.txt:2: expected a positive number of sites after nsites=, found '0'"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 1\n1.2 -0.2 0 0\n",
            "in.txt:3: expected a probability from 0 to 1, found '1.2'"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix:\n0.5 0.5 0 0\n0 0 0 0\n",
            "in.txt:4: expected probabilities A, C, G, T summing to 1, found a sum of 0"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 1\n0.5 0.4 0.05 0.02\n",
            "in.txt:3: expected probabilities A, C, G, T summing to 1, found a sum of 0.97"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix: w= 2\n1 0 0 0\n0 1 0 0\n\n0 0 1 0\n",
            "in.txt:6: expected w= 2 rows of 4 probabilities A, C, G, T, found more rows"},
        {motif_format::meme, "MOTIF a\nletter-probability matrix:\n1 0 0 0\nnan 0 0 1\n",
            "in.txt:4: expected a probability from 0 to 1, found 'nan'"},
        {motif_format::jaspar, ">a\nA [1]\nC [1]\nN [1]\nT [1]\n",
            "in.txt:4: expected only the rows A, C, G and T, found a row for 'N'"},
        // The first matrix ends only when the next MOTIF line has been read and put back.
        {motif_format::meme,
            "MOTIF a\nletter-probability matrix:\n0 0 0 1\nMOTIF b\nletter-probability matrix: w= 1\nx\n",
            "in.txt:6: expected w= 1 rows of 4 probabilities A, C, G, T"},
    };
    for (const auto& c : cases) {
        try {
            read_text(c.format, c.text);
            ADD_FAILURE() << "no error for " << c.text;
        } catch (const fatal_error& e) {
            EXPECT_EQ(e.what(), c.message);
        }
    }
}

TEST(MotifFormat, PublicCollectionInEveryFormatGivesTheSameRecords)
{
    line_reader original(example_data_path("jaspar_core.motifs"));
    std::vector<motif> want;
    while (auto m = read_motif2(original))
        want.push_back(std::move(*m));
    ASSERT_EQ(want.size(), 746u);
    scratch_dir dir;
    for (const motif_format format : other_formats) {
        line_reader in(dir.write("motifs", write_as(format, want)));
        const auto got = read_all(format, in);
        if (format != motif_format::meme) {
            expect_same(got, want);
            continue;
        }
        // One nsites per motif cannot carry rows whose totals differ from it.
        std::vector<motif> carried;
        int exact = 0;
        for (const motif& m : want) {
            carried.push_back(meme_carried(m));
            exact += carried.back().matrix == m.matrix;
        }
        expect_same(got, carried);
        std::cout << "meme: " << exact << " of " << want.size() << " motifs keep their counts\n";
    }
}
