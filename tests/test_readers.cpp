// The line reader, the motif reader and the sequence reader with its title grammar.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdint>
#include <random>

#include "errors.h"
#include "line_reader.h"
#include "motif_reader.h"
#include "seq_reader.h"
#include "settings.h"
#include "test_util.h"
#include "text_numbers.h"

namespace {

std::vector<std::string> all_lines(const std::string& path)
{
    line_reader in(path);
    std::vector<std::string> lines;
    while (auto line = in.next_line())
        lines.emplace_back(*line);
    return lines;
}

template <typename Record, typename Reader> std::vector<Record> all_records(const std::string& path, Reader read)
{
    line_reader in(path);
    std::vector<Record> records;
    while (auto r = read(in))
        records.push_back(std::move(*r));
    return records;
}

std::vector<motif> all_motifs(const std::string& path)
{
    return all_records<motif>(path, read_motif2);
}

// Through one builder kept from record to record, as the loader keeps it: what one record
// leaves in it must not reach the next.
std::vector<seq> all_seqs(const std::string& path)
{
    seq_builder record;
    return all_records<seq>(path, [&record](line_reader& in) { return read_seq2(in, record); });
}

}  // namespace

TEST(LineReader, LineEndsOfEveryKindGiveTheSameLines)
{
    scratch_dir dir;
    const std::vector<std::string> expected{"ab", "", "cd", "e"};
    EXPECT_EQ(all_lines(dir.write("lf", "ab\n\ncd\ne\n")), expected);
    EXPECT_EQ(all_lines(dir.write("crlf", "ab\r\n\r\ncd\r\ne\r\n")), expected);
    EXPECT_EQ(all_lines(dir.write("cr", "ab\r\rcd\re\r")), expected);  // CR CR: an empty line, as LF LF
    EXPECT_EQ(all_lines(dir.write("no_final", "ab\n\ncd\ne")), expected);
    EXPECT_EQ(all_lines(dir.write("crcrlf", "ab\r\r\n")), std::vector<std::string>{"ab"});
    EXPECT_TRUE(all_lines(dir.write("empty", "")).empty());
}

TEST(LineReader, LineEndsAndNulBytesAreFoundAtEveryOffsetOfAWord)
{
    // Lines of 0 to 19 letters put each line end, and each NUL, at every offset within the
    // eight bytes the search reads at a time.
    scratch_dir dir;
    std::vector<std::string> expected;
    std::string text;
    for (int n = 0; n < 20; ++n) {
        expected.push_back(std::string(static_cast<std::size_t>(n), 'a' + n % 26));
        text += expected.back() + (n % 3 == 0 ? "\n" : n % 3 == 1 ? "\r\n" : "\r");
    }
    EXPECT_EQ(all_lines(dir.write("ends", text)), expected);
    for (int at = 0; at < 12; ++at) {
        std::string line(17, 'x');
        line[static_cast<std::size_t>(at)] = '\0';
        EXPECT_THROW(all_lines(dir.write("nul" + std::to_string(at), "header\n" + line + "\n")), fatal_error) << at;
    }
}

TEST(LineReader, UnreadReturnsTheSameLineAgain)
{
    scratch_dir dir;
    line_reader in(dir.write("f", "one\ntwo\n"));
    EXPECT_EQ(*in.next_line(), "one");
    in.unread();
    EXPECT_FALSE(in.at_end());
    EXPECT_EQ(*in.next_line(), "one");
    EXPECT_EQ(in.line_number(), 1);  // a line put back is not counted twice
    EXPECT_EQ(*in.next_line(), "two");
    EXPECT_EQ(in.line_number(), 2);
    EXPECT_TRUE(in.at_end());
    EXPECT_FALSE(in.next_line().has_value());
}

TEST(LineReader, LinesLongerThanTheReadChunkStayWhole)
{
    scratch_dir dir;
    const std::string long_line(3'000'000, 'x');
    const auto lines = all_lines(dir.write("long", "a\n" + long_line + "\r\nb"));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[1], long_line);
    EXPECT_EQ(lines[2], "b");
}

TEST(LineReader, MissingFileAndDirectoryNameTheFileAndReason)
{
    scratch_dir dir;
    try {
        line_reader in(dir.file("absent.txt"));
        FAIL() << "opened a missing file";
    } catch (const fatal_error& e) {
        EXPECT_NE(std::string(e.what()).find("absent.txt: No such file or directory"), std::string::npos) << e.what();
    }
    try {
        line_reader in(dir.path().string());
        FAIL() << "opened a directory";
    } catch (const fatal_error& e) {
        EXPECT_NE(std::string(e.what()).find("Is a directory"), std::string::npos) << e.what();
    }
}

TEST(MotifReader, RowsBecomeSmoothedFrequencies)
{
    scratch_dir dir;
    const auto motifs = all_motifs(dir.write("m", ">MA1 name\twith tab\n10\t0\t0\t0\n8\t0\t1\t1\n0\t0\t10\t0\n"));
    ASSERT_EQ(motifs.size(), 1u);
    const motif& m = motifs[0];
    EXPECT_EQ(m.name, "MA1 name\twith tab");
    ASSERT_EQ(m.len, 3);
    EXPECT_EQ(m.matrix[1], (std::array<int, 5>{8, 0, 1, 1, 0}));
    EXPECT_FLOAT_EQ(m.frqs[0][0], 10.375f / 11.875f);
    for (int c = 1; c < 5; ++c)
        EXPECT_FLOAT_EQ(m.frqs[0][c], 0.375f / 11.875f);
    EXPECT_NEAR(m.frqs[0][0], 0.873684, 1e-6);
    EXPECT_EQ(m.copy_n, 12);  // 11.875 rounded
}

TEST(MotifReader, FieldsAreCountedLikeAtoi)
{
    scratch_dir dir;
    // Runs of tabs are one separator, a fifth field is dropped, 12.7 counts 12, text 0,
    // a short row and a blank line are positions with missing counts 0.
    const auto motifs = all_motifs(dir.write("m", ">x\n\t\t12.7\t\t-3\tabc\t 5\t99\t7\n1\t2\n\n"));
    ASSERT_EQ(motifs.size(), 1u);
    const motif& m = motifs[0];
    ASSERT_EQ(m.len, 3);
    EXPECT_EQ(m.matrix[0], (std::array<int, 5>{12, -3, 0, 5, 0}));
    EXPECT_EQ(m.matrix[1], (std::array<int, 5>{1, 2, 0, 0, 0}));
    EXPECT_EQ(m.matrix[2], (std::array<int, 5>{0, 0, 0, 0, 0}));
    EXPECT_FLOAT_EQ(m.frqs[2][0], 0.2f);
}

TEST(MotifReader, CountsBeyondThirtyTwoBitsAreClamped)
{
    scratch_dir dir;
    const auto motifs = all_motifs(dir.write("m", ">x\n99999999999999999999\t-99999999999\t1\t1\n"));
    ASSERT_EQ(motifs.size(), 1u);
    EXPECT_EQ(motifs[0].matrix[0][0], 2147483647);
    EXPECT_EQ(motifs[0].matrix[0][1], -2147483647 - 1);
    for (float f : motifs[0].frqs[0])
        EXPECT_TRUE(std::isfinite(f));
}

TEST(MotifReader, RowThatCancelsToZeroGetsZeroFrequencies)
{
    scratch_dir dir;
    // In single precision these counts plus 0.375 each sum to exactly 0.
    const auto motifs = all_motifs(dir.write("m", ">x\n1048576\t-2097153\t1048575\t0\n"));
    ASSERT_EQ(motifs.size(), 1u);
    for (float f : motifs[0].frqs[0])
        EXPECT_EQ(f, 0.0f);
}

TEST(MotifReader, LineEndsAndFinalLineDoNotChangeTheRecords)
{
    scratch_dir dir;
    const std::string lf = ">a\n1\t2\t3\t4\n>b\n5\t6\t7\t8\n";
    std::string crlf;
    for (char c : lf)
        crlf += c == '\n' ? std::string("\r\n") : std::string(1, c);
    const auto a = all_motifs(dir.write("lf", lf));
    const auto b = all_motifs(dir.write("crlf", crlf));
    const auto c = all_motifs(dir.write("nofinal", lf.substr(0, lf.size() - 1)));
    ASSERT_EQ(a.size(), 2u);
    for (const auto* other : {&b, &c}) {
        ASSERT_EQ(other->size(), 2u);
        for (std::size_t i = 0; i < 2; ++i) {
            EXPECT_EQ((*other)[i].name, a[i].name);
            EXPECT_EQ((*other)[i].matrix, a[i].matrix);
            EXPECT_EQ((*other)[i].frqs, a[i].frqs);
        }
    }
}

TEST(MotifReader, EmptyLinesCountTheSameWhateverTheLineEnds)
{
    scratch_dir dir;
    // The empty line is a position of 0 counts; a CR-only file must not lose it.
    const auto lf = all_motifs(dir.write("lf", ">m\n1\t2\t3\t4\n\n5\t0\t0\t0\n"));
    const auto cr = all_motifs(dir.write("cr", ">m\r1\t2\t3\t4\r\r5\t0\t0\t0\r"));
    ASSERT_EQ(lf.size(), 1u);
    ASSERT_EQ(cr.size(), 1u);
    EXPECT_EQ(lf[0].len, 3);
    EXPECT_EQ(cr[0].len, 3);
    EXPECT_EQ(cr[0].matrix, lf[0].matrix);
}

TEST(MotifReader, EachCallReadsOneRecordAndStopsAtTheNextHeader)
{
    scratch_dir dir;
    line_reader in(dir.write("m", ">first\n1\t1\t1\t1\n>second\n>third\n2\t2\t2\t2\n"));
    auto first = read_motif2(in);
    ASSERT_TRUE(first);
    EXPECT_EQ(first->name, "first");
    EXPECT_EQ(first->len, 1);
    EXPECT_EQ(*in.next_line(), ">second");  // the reader left the next header unread
    in.unread();
    auto second = read_motif2(in);
    ASSERT_TRUE(second);
    EXPECT_EQ(second->len, 0);
    EXPECT_EQ(second->copy_n, 0);
    auto third = read_motif2(in);
    ASSERT_TRUE(third);
    EXPECT_EQ(third->copy_n, 10);  // rows of 8 sites: 9.875 rounds to 10
    EXPECT_FALSE(read_motif2(in));
}

TEST(MotifReader, RowsBeyondOneHundredAreDroppedWithAMessageEach)
{
    scratch_dir dir;
    std::string text = ">wide\n";
    for (int r = 0; r < 102; ++r)
        text += std::to_string(r) + "\t0\t0\t0\n";
    testing::internal::CaptureStdout();
    const auto motifs = all_motifs(dir.write("m", text));
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_EQ(out, "motif width: >100\nmotif width: >100\n");
    ASSERT_EQ(motifs.size(), 1u);
    EXPECT_EQ(motifs[0].len, 100);
    EXPECT_EQ(motifs[0].matrix[99][0], 99);
}

TEST(MotifReader, OverlongHeaderKeepsItsFirstCharactersAndNothingElse)
{
    scratch_dir dir;
    const std::string name(3000, 'n');
    const auto motifs = all_motifs(dir.write("m", ">" + name + "\n1\t2\t3\t4\n"));
    ASSERT_EQ(motifs.size(), 1u);
    EXPECT_EQ(motifs[0].name, name.substr(0, max_text_len));
    EXPECT_EQ(motifs[0].len, 1);
}

TEST(MotifReader, FileWithoutHeaderGivesNoRecord)
{
    scratch_dir dir;
    EXPECT_TRUE(all_motifs(dir.write("empty", "")).empty());
    EXPECT_TRUE(all_motifs(dir.write("rows", "1\t2\t3\t4\n")).empty());
}

TEST(SeqReader, TitleGrammar)
{
    seq s;
    s.name = "gene7::chr2:10500-11000(-)";
    parse_seq_title(s);
    EXPECT_EQ(s.name, "gene7");
    EXPECT_EQ(s.chrom, "chr2");
    EXPECT_EQ(s.start, 10500);
    EXPECT_EQ(s.end, 11000);
    EXPECT_EQ(s.strand, '-');

    s.name = "g:chrX:5-9(+)";  // a single ':' parses the same way
    parse_seq_title(s);
    EXPECT_EQ(s.name, "g");
    EXPECT_EQ(s.chrom, "chrX");
    EXPECT_EQ(s.start, 5);
    EXPECT_EQ(s.end, 9);
    EXPECT_EQ(s.strand, '+');

    s.name = "plain fasta title";  // no location: empty chromosome, 0, 0 and '.'
    parse_seq_title(s);
    EXPECT_EQ(s.name, "plain fasta title");
    EXPECT_EQ(s.chrom, "");
    EXPECT_EQ(s.start, 0);
    EXPECT_EQ(s.end, 0);
    EXPECT_EQ(s.strand, '.');

    s.name = "far::chr1:3000000000-3000000012(+)";  // long chromosomes pass 2^31
    parse_seq_title(s);
    EXPECT_EQ(s.start, 3000000000);
    EXPECT_EQ(s.end, 3000000012);

    s.name = "n::chr1:100-200";  // no strand piece
    parse_seq_title(s);
    EXPECT_EQ(s.chrom, "chr1");
    EXPECT_EQ(s.start, 100);
    EXPECT_EQ(s.end, 200);
    EXPECT_EQ(s.strand, '.');
}

TEST(SeqReader, LettersJoinAcrossLinesAndKeepTheirCase)
{
    scratch_dir dir;
    const auto seqs =
        all_seqs(dir.write("s", ">gene7::chr2:10500-11000(-)\nACGTACGTNN\r\nacgt\n\n>g2::c:1-2(+)\nacgtN-x"));
    ASSERT_EQ(seqs.size(), 2u);
    EXPECT_EQ(seqs[0].seq, "ACGTACGTNNacgt");
    EXPECT_EQ(seqs[0].len, 14);
    EXPECT_EQ(seqs[0].base, (std::vector<std::uint8_t>{0, 1, 2, 3, 0, 1, 2, 3, 4, 4, 0, 1, 2, 3}));
    EXPECT_EQ(seqs[1].seq, "acgtN-x");
    EXPECT_EQ(seqs[1].base, (std::vector<std::uint8_t>{0, 1, 2, 3, 4, 4, 4}));
    EXPECT_EQ(seqs[1].strand, '+');
}

TEST(SeqReader, OwnComposition)
{
    scratch_dir dir;
    const auto seqs = all_seqs(dir.write("s", ">a\nAAAACCCC\n>empty\n"));
    ASSERT_EQ(seqs.size(), 2u);
    EXPECT_FLOAT_EQ(seqs[0].background_frqs[0], 4.375f / 9.875f);
    EXPECT_FLOAT_EQ(seqs[0].background_frqs[1], 4.375f / 9.875f);
    EXPECT_NEAR(seqs[0].background_frqs[2], 0.037975, 1e-6);
    EXPECT_EQ(seqs[1].len, 0);
    for (float f : seqs[1].background_frqs)
        EXPECT_FLOAT_EQ(f, 0.2f);
}

TEST(SeqReader, CodesAndCountsAgreeWithTheTable)
{
    std::string every_byte;
    for (int c = 0; c < 256; ++c)
        every_byte += static_cast<char>(c);
    std::vector<std::uint8_t> codes(every_byte.size());
    encode_letters(every_byte, codes.data());
    for (int c = 0; c < 256; ++c)
        EXPECT_EQ(codes[static_cast<std::size_t>(c)], base_codes[static_cast<std::size_t>(c)]) << c;
    // Lengths past the 255 words whose byte sums are added up at a time, with odd tails.
    std::mt19937 rng(5);
    for (const std::size_t n : {0u, 1u, 7u, 8u, 9u, 2039u, 2040u, 2041u, 5000u}) {
        std::vector<std::uint8_t> random(n);
        std::array<std::int64_t, 5> want{};
        for (std::uint8_t& x : random)
            ++want[x = static_cast<std::uint8_t>(rng() % 5)];
        EXPECT_EQ(count_codes(random), want) << n;
        const std::vector<std::uint8_t> all_t(n, 3);
        EXPECT_EQ(count_codes(all_t), (std::array<std::int64_t, 5>{0, 0, 0, static_cast<std::int64_t>(n), 0})) << n;
    }
}

TEST(SeqReader, FiftyFiveHundredLettersFitAndOneMoreIsCutAtTheLine)
{
    scratch_dir dir;
    const std::string full(5500, 'A');
    testing::internal::CaptureStdout();
    auto seqs = all_seqs(dir.write("fits", ">a\n" + full.substr(0, 5000) + "\n" + full.substr(5000) + "\n"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
    ASSERT_EQ(seqs.size(), 1u);
    EXPECT_EQ(seqs[0].len, 5500);

    // The line that does not fit and the rest of the record are skipped; the next
    // record starts at its own title.
    testing::internal::CaptureStdout();
    seqs = all_seqs(dir.write("over", ">a\n" + full.substr(0, 5000) + "\n" + full.substr(0, 501) + "\nCCCC\n>b\nGG\n"));
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "seq len: >5500\n");
    ASSERT_EQ(seqs.size(), 2u);
    EXPECT_EQ(seqs[0].len, 5000);
    EXPECT_EQ(seqs[0].seq, full.substr(0, 5000));
    EXPECT_EQ(seqs[0].base.size(), 5000u);
    EXPECT_EQ(seqs[1].name, "b");
    EXPECT_EQ(seqs[1].seq, "GG");
}

TEST(SeqReader, TitleOnlyRecordsAndFilesWithoutTitles)
{
    scratch_dir dir;
    auto seqs = all_seqs(dir.write("s", ">a::c:1-2(+)\n>b::c:3-4(-)"));
    ASSERT_EQ(seqs.size(), 2u);
    EXPECT_EQ(seqs[0].len, 0);
    EXPECT_EQ(seqs[1].len, 0);
    EXPECT_EQ(seqs[1].name, "b");
    EXPECT_TRUE(all_seqs(dir.write("none", "ACGT\nACGT\n")).empty());
}

TEST(SeqReader, NamesHoldingColonsEndAtTheLastDoubleColon)
{
    seq s;
    s.name = "chr1:568-798::chr7:568-798(+)";  // a name made from coordinates
    parse_seq_title(s);
    EXPECT_EQ(s.name, "chr1:568-798");
    EXPECT_EQ(s.chrom, "chr7");
    EXPECT_EQ(s.start, 568);
    EXPECT_EQ(s.end, 798);
    EXPECT_EQ(s.strand, '+');
    s.name = "a::b::chrX:5-9(-)";
    parse_seq_title(s);
    EXPECT_EQ(s.name, "a::b");
    EXPECT_EQ(s.chrom, "chrX");
    EXPECT_EQ(s.strand, '-');
}

TEST(SeqReader, TitleNumbersOfTwoToTheSixtyFourOrMoreClamp)
{
    seq s;
    s.name = "a::chr1:18446744073709551616-99999999999999999999(+)";
    parse_seq_title(s);
    EXPECT_EQ(s.start, INT64_MAX);
    EXPECT_EQ(s.end, INT64_MAX);
    EXPECT_EQ(parse_int64_clamped("-18446744073709551617"), INT64_MIN);
    EXPECT_EQ(parse_int64_clamped("9223372036854775807"), INT64_MAX);  // the limit itself is exact
    EXPECT_EQ(parse_int64_clamped("-9223372036854775807"), -INT64_MAX);
}

TEST(SeqReader, EveryLetterOfACutRecordIsCounted)
{
    scratch_dir dir;
    testing::internal::CaptureStdout();
    // One line too long for the table keeps nothing (whole lines only), but is counted.
    const auto seqs = all_seqs(dir.write("s", ">a\n" + std::string(5000, 'A') + "\n" + std::string(700, 'C') +
            "\nGG\n>b\n" + std::string(6000, 'T') + "\n>c\nAC\n"));
    testing::internal::GetCapturedStdout();
    ASSERT_EQ(seqs.size(), 3u);
    EXPECT_EQ(seqs[0].len, 5000);
    EXPECT_EQ(seqs[0].cut_letters, 702);
    EXPECT_EQ(seqs[1].len, 0);
    EXPECT_EQ(seqs[1].cut_letters, 6000);
    EXPECT_EQ(seqs[2].cut_letters, 0);
}

TEST(MotifReader, RowFieldsAreReadWithoutHoldingTheRow)
{
    scratch_dir dir;
    // The first field lies beyond three megabytes of spaces; the header is clipped.
    testing::internal::CaptureStderr();
    const auto motifs = all_motifs(dir.write("m", ">" + std::string(3000, 'n') + "\n" + std::string(3'000'000, ' ') +
            "7\t\t-2\t99999999999\t4\t5\n"));
    testing::internal::GetCapturedStderr();
    ASSERT_EQ(motifs.size(), 1u);
    EXPECT_EQ(motifs[0].name.size(), 2499u);
    EXPECT_EQ(motifs[0].matrix[0], (std::array<int, 5>{7, -2, 2147483647, 4, 0}));
}
