// Loading the tables, the pooled composition and the best-site scan.
#include <gtest/gtest.h>

#include <cmath>

#include "errors.h"
#include "loading.h"
#include "scan.h"
#include "settings.h"
#include "test_util.h"

namespace {

// Loads the two texts as files.
void load(const scratch_dir& dir, const std::string& motifs, const std::string& seqs)
{
    read_inputs(dir.write("motifs.txt", motifs), dir.write("seqs.fa", seqs));
}

}  // namespace

TEST(Loading, PooledCompositionCountsEveryLetter)
{
    scratch_dir dir;
    load(dir, ">m\n1\t1\t1\t1\n", ">a::c:1-4(+)\nACGT\n>b::c:1-4(+)\naaaa\n");
    EXPECT_EQ(motif_n, 1);
    EXPECT_EQ(seq_n, 2);
    EXPECT_FLOAT_EQ(background_frqs[0], 5.375f / 9.875f);
    EXPECT_NEAR(background_frqs[0], 0.544304, 1e-6);
    for (int c = 1; c < 4; ++c)
        EXPECT_NEAR(background_frqs[c], 0.139241, 1e-6);
    EXPECT_NEAR(background_frqs[4], 0.037975, 1e-6);
}

TEST(Loading, EmptyFilesGiveEmptyTablesAndAnEvenComposition)
{
    scratch_dir dir;
    load(dir, "", "");
    EXPECT_EQ(motif_n, 0);
    EXPECT_EQ(seq_n, 0);
    for (float f : background_frqs)
        EXPECT_FLOAT_EQ(f, 0.2f);
}

TEST(Loading, MotifsBeyondCapacityAreDroppedWithOneMessage)
{
    scratch_dir dir;
    std::string motifs;
    for (int i = 0; i < 5001; ++i)
        motifs += ">m" + std::to_string(i) + "\n1\t2\t3\t4\n";
    testing::internal::CaptureStdout();
    load(dir, motifs, ">a::c:1-4(+)\nACGT");
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "motif_n: >5000\n");
    EXPECT_EQ(motif_n, 5000);
    EXPECT_EQ(motif_db.back().name, "m4999");
    EXPECT_EQ(seq_n, 1);  // the sequence file is still loaded
}

TEST(Loading, SequencesBeyondCapacityAreDroppedWithOneMessage)
{
    scratch_dir dir;
    std::string seqs;
    for (int i = 0; i < 50001; ++i)
        seqs += ">s" + std::to_string(i) + "::c:1-2(+)\nAC\n";
    testing::internal::CaptureStdout();
    load(dir, ">m\n1\t1\t1\t1\n", seqs);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "seq_n: >50000\n");
    EXPECT_EQ(seq_n, 50000);
    EXPECT_EQ(seq_db.back().name, "s49999");
}

TEST(Loading, UnopenableFileStopsLoading)
{
    scratch_dir dir;
    EXPECT_THROW(read_inputs(dir.file("missing"), dir.write("s", "")), fatal_error);
}

TEST(Loading, TheMotifFilesMessagesAndErrorsComeFirst)
{
    // The sequences are read while the motifs are: a long motif file whose last motif is
    // too wide, beside a short sequence file whose sequence is too long.
    scratch_dir dir;
    std::string motifs;
    for (int i = 0; i < 4000; ++i)
        motifs += ">m" + std::to_string(i) + "\n1\t2\t3\t4\n5\t6\t7\t8\n";
    motifs += ">wide\n";
    for (int r = 0; r < max_motif_len + 1; ++r)
        motifs += "1\t2\t3\t4\n";
    const std::string long_seq = ">a::c:1-5501(+)\n" + std::string(max_seq_len + 1, 'A') + "\n";
    testing::internal::CaptureStdout();
    read_inputs(dir.write("motifs.txt", motifs), dir.write("seqs.fa", long_seq), input_reading::at_once);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "motif width: >100\nseq len: >5500\n");
    EXPECT_EQ(motif_n, 4001);
    EXPECT_EQ(seq_n, 1);

    // Both files unreadable: the motif file's error, as when it was read alone first.
    try {
        read_inputs(dir.file("no motifs"), dir.file("no sequences"), input_reading::at_once);
        ADD_FAILURE() << "no error";
    } catch (const fatal_error& e) {
        EXPECT_NE(std::string(e.what()).find("no motifs"), std::string::npos) << e.what();
    }
    // Only the sequence file unreadable: its error, after the motifs were read.
    EXPECT_THROW(read_inputs(dir.file("motifs.txt"), dir.file("no sequences"), input_reading::at_once), fatal_error);
}

TEST(Scan, SingleWindowCoversTheWholeSequence)
{
    scratch_dir dir;
    load(dir, ">m\n10\t0\t0\t0\n0\t10\t0\t0\n", ">a::chr1:100-102(+)\naC\n");
    const match m = scan_seq_match(0, 0);
    EXPECT_EQ(m.location, 0);
    EXPECT_EQ(m.pos, -2);
    EXPECT_EQ(m.bsite, "aC");
    EXPECT_EQ(m.chrom, "chr1");
    // The score is ln of the geometric mean of the two quotients.
    const float qa = (10.375f / 11.875f) / background_frqs[0];
    const float qc = (10.375f / 11.875f) / background_frqs[1];
    scan_product product(1.0f);
    product *= qa;
    product *= qc;
    EXPECT_DOUBLE_EQ(m.rs, std::log(std::pow(static_cast<double>(product), 0.5)));
}

TEST(Scan, EqualProductsReportTheEarliestWindow)
{
    scratch_dir dir;
    load(dir, ">m\n0\t0\t10\t0\n", ">a::c:0-9(+)\nATGTTG\n");
    EXPECT_EQ(scan_seq_match(0, 0).location, 2);
}

TEST(Scan, OtherLettersScoreWithTheNColumn)
{
    scratch_dir dir;
    // N is rare in the pool, so the N column's quotient beats A's on this motif row.
    load(dir, ">m\n1\t0\t0\t0\n", ">a::c:0-9(+)\nAAxAA\n>b::c:0-9(+)\n" + std::string(200, 'A') + "\n");
    const match m = scan_seq_match(0, 0);
    EXPECT_EQ(m.location, 2);
    EXPECT_EQ(m.bsite, "x");
}

TEST(Scan, CoordinatesOnBothStrands)
{
    // Best window at location 3 of 20 letters, width 4; the same region also lies beyond
    // 2^31, where chromosomes longer than 2.1 Gb put it.
    const std::string letters = "CCCGGGGCCCCCCCCCCCCC";
    for (const std::int64_t base : {std::int64_t{1000}, std::int64_t{3000000000}}) {
        scratch_dir dir;
        const std::string where = "::chr1:" + std::to_string(base) + "-" + std::to_string(base + 20);
        load(dir, ">m\n0\t0\t9\t0\n0\t0\t9\t0\n0\t0\t9\t0\n0\t0\t9\t0\n",
            ">p" + where + "(+)\n" + letters + "\n>q" + where + "(-)\n" + letters + "\n");
        const match plus = scan_seq_match(0, 0);
        EXPECT_EQ(plus.location, 3);
        EXPECT_EQ(plus.pos, -17);
        EXPECT_EQ(plus.start, base + 4);
        EXPECT_EQ(plus.end, base + 7);
        EXPECT_EQ(plus.strand, '+');
        const match minus = scan_seq_match(0, 1);
        EXPECT_EQ(minus.end, base + 16);
        EXPECT_EQ(minus.start, base + 13);
        EXPECT_EQ(minus.strand, '-');
    }
}

TEST(Scan, UnknownStrandIsReportedAndLocatedAsPlus)
{
    scratch_dir dir;
    load(dir, ">m\n0\t0\t9\t0\n", ">plain title\nCCGCC\n");
    testing::internal::CaptureStdout();
    const match m = scan_seq_match(0, 0);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "unknown strand!\n");
    EXPECT_EQ(m.location, 2);
    EXPECT_EQ(m.start, 0 - 5 + 2 + 1);
    EXPECT_EQ(m.end, m.start);
}

TEST(Scan, SequenceShorterThanTheMotifHasNoWindow)
{
    scratch_dir dir;
    load(dir, ">m\n1\t1\t1\t1\n1\t1\t1\t1\n1\t1\t1\t1\n", ">a::c:5-7(+)\nAC\n");
    const match m = scan_seq_match(0, 0);
    EXPECT_EQ(m.location, -1);
    EXPECT_EQ(m.pos, -3);
    EXPECT_TRUE(std::isinf(m.rs) && m.rs < 0);
    EXPECT_EQ(m.bsite, "");
    EXPECT_EQ(m.start, 0);
    EXPECT_EQ(m.end, 0);
}

TEST(Scan, ProductBelowDoubleRangeKeepsARealScore)
{
    // 100 rows whose quotient is about 1e-4 each: the product, about 1e-400, is a
    // long double but rounds to 0 as a double.
    motif_quotients mq;
    mq.width = 100;
    mq.q.assign(500, 1e-4f);
    const std::vector<std::uint8_t> codes(150, 2);
    const window_hit hit = best_window_exact(mq, codes);
    ASSERT_EQ(hit.best_pos, 0);
    ASSERT_GT(hit.max_rs, scan_product{});
    ASSERT_EQ(static_cast<double>(hit.max_rs), 0.0);
    EXPECT_NEAR(window_score(hit, 100), std::log(1e-4f), 1e-6);
}

TEST(Scan, NoPositiveProductMeansNoWindow)
{
    motif_quotients mq;
    mq.width = 1;
    mq.q = {-1.0f, -2.0f, -3.0f, -4.0f, -5.0f};
    const std::vector<std::uint8_t> codes{0, 1, 2};
    const window_hit hit = best_window_exact(mq, codes);
    EXPECT_EQ(hit.best_pos, -1);
    EXPECT_TRUE(std::isinf(window_score(hit, 1)));
}

TEST(Scan, CutRecordKeepsTheCoordinatesOfTheLettersKept)
{
    // A 5,560-letter region on 60-letter lines keeps its first 91 lines (5,460 letters);
    // the title's numbers span all 5,560. The site GGGG lies at offset 100 of the record.
    std::string letters(5560, 'C');
    letters.replace(100, 4, "GGGG");
    std::string wrapped;
    for (std::size_t at = 0; at < letters.size(); at += 60)
        wrapped += letters.substr(at, 60) + "\n";
    scratch_dir dir;
    testing::internal::CaptureStdout();
    load(dir, ">m\n0\t0\t9\t0\n0\t0\t9\t0\n0\t0\t9\t0\n0\t0\t9\t0\n",
        ">p::chr1:1000-6560(+)\n" + wrapped + ">q::chr1:1000-6560(-)\n" + wrapped);
    EXPECT_EQ(testing::internal::GetCapturedStdout(), "seq len: >5500\nseq len: >5500\n");
    ASSERT_EQ(seq_db[0].len, 5460);
    EXPECT_EQ(seq_db[0].cut_letters, 100);
    const match plus = scan_seq_match(0, 0);
    ASSERT_EQ(plus.location, 100);
    EXPECT_EQ(plus.start, 1101);  // bases 1101 to 1104, 1-based: counted from the title's start
    EXPECT_EQ(plus.end, 1104);
    const match minus = scan_seq_match(0, 1);
    EXPECT_EQ(minus.end, 6559 - 100);  // counted down from the title's end, as on whole records
    EXPECT_EQ(minus.start, 6556 - 100);
}
