// What a user sees for every kind of bad input: message, exit status, output file.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <sys/stat.h>
#include <unistd.h>

#include "test_util.h"

namespace {

const std::string good_motifs = ">m1\n10\t0\t0\t0\n0\t10\t0\t0\n>m2\n0\t0\t10\t0\n";
const std::string good_seqs = ">a::chr1:0-6(+)\nGGACGG\n>b::chr1:10-16(-)\nACGTTT\n>c::chr2:5-11(+)\nTTTTAC\n";

struct bad_case {
    scratch_dir dir;
    std::string out = dir.file("out.txt");
    process_result run(const std::string& motifs, const std::string& seqs, std::vector<std::string> extra = {})
    {
        std::vector<std::string> args{
            "-m", dir.write("motifs.txt", motifs), "-i", dir.write("seqs.fa", seqs), "-o", out, "-r", "0"};
        args.insert(args.end(), extra.begin(), extra.end());
        return run_tarnel(args);
    }
};

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(BadInput, EmptyFilesRunAndWarn)
{
    bad_case c;
    process_result r = c.run("", good_seqs);
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "motifs.txt holds no motif")) << r.err;
    EXPECT_EQ(read_file(c.out), "");
    r = c.run(good_motifs, "");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "seqs.fa holds no sequence")) << r.err;
    EXPECT_EQ(read_file(c.out), "");
}

TEST(BadInput, SequenceFileWithoutTitlesWarns)
{
    bad_case c;
    const process_result r = c.run(good_motifs, "ACGTACGT\nACGT\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.err, "holds no sequence")) << r.err;
}

TEST(BadInput, DirectoryMissingAndUnreadableInputsFail)
{
    bad_case c;
    const std::string seqs = c.dir.write("s.fa", good_seqs);
    process_result r = run_tarnel({"-m", c.dir.path().string(), "-i", seqs, "-o", c.out});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, c.dir.path().string() + ": Is a directory")) << r.err;
    r = run_tarnel({"-m", c.dir.file("nothing"), "-i", seqs, "-o", c.out});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "nothing: No such file or directory")) << r.err;
    EXPECT_EQ(read_file(c.out), "");
    if (geteuid() != 0) {  // permissions do not stop root
        const std::string locked = c.dir.write("locked", good_motifs);
        chmod(locked.c_str(), 0);
        r = run_tarnel({"-m", locked, "-i", seqs, "-o", c.out});
        EXPECT_EQ(r.status, 1);
        EXPECT_TRUE(contains(r.err, "locked: Permission denied")) << r.err;
    }
}

TEST(BadInput, BinaryInputIsRefusedWithItsLine)
{
    bad_case c;
    process_result r = c.run(std::string(">m\n1\t2\0\t3\t4\n", 12), good_seqs);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "motifs.txt:2: holds a NUL byte")) << r.err;
    std::string garbage;
    for (int i = 0; i < 4096; ++i)
        garbage += static_cast<char>((i * 7919) % 256);
    r = c.run(good_motifs, garbage);
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "seqs.fa:")) << r.err;
    EXPECT_TRUE(contains(r.err, "NUL byte")) << r.err;
}

TEST(BadInput, HugeAndNegativeCountsGiveDefinedResults)
{
    bad_case c;
    // Clamped counts, negative counts (negative and zero frequencies) and a row whose
    // total cancels to zero: the run completes and every written number is finite.
    const std::string motifs = ">huge\n99999999999\t1\t1\t1\n1\t1\t1\t1\n>negative\n-5\t10\t3\t-1\n2\t2\t2\t2\n"
                               ">cancel\n1048576\t-2097153\t1048575\t0\n1\t1\t1\t1\n";
    std::string seqs;
    for (int i = 0; i < 30; ++i)
        seqs += ">s" + std::to_string(i) + "::chr1:0-8(+)\n" + std::string("ACGTACGTAC").substr(i % 3, 8) + "\n";
    const process_result r = c.run(motifs, seqs);
    EXPECT_EQ(r.status, 0) << r.err;
    for (const std::string& line : split(read_file(c.out), '\n')) {
        const auto f = split(line, '\t');
        ASSERT_EQ(f.size(), 10u) << line;
        for (int i : {7, 8, 9})
            EXPECT_TRUE(std::isfinite(std::stod(f[static_cast<std::size_t>(i)]))) << line;
    }
}

TEST(BadInput, RowOfAThousandFieldsUsesTheFirstFour)
{
    bad_case c;
    std::string row = "10\t0\t0\t0";
    for (int i = 0; i < 996; ++i)
        (row += '\t') += std::to_string(i);
    const process_result wide = c.run(std::string(">m1\n") + row + "\n0\t10\t0\t0\n>m2\n0\t0\t10\t0\n", good_seqs);
    EXPECT_EQ(wide.status, 0);
    const std::string wide_out = read_file(c.out);
    c.run(good_motifs, good_seqs);
    EXPECT_EQ(wide_out, read_file(c.out));
}

TEST(BadInput, TenMegabyteLines)
{
    bad_case c;
    const std::string big(10'000'000, 'A');
    // As a header: the name keeps 2499 characters and the record stays whole.
    process_result r = c.run(std::string(">") + big + "\n10\t0\t0\t0\n", good_seqs);
    EXPECT_EQ(r.status, 0);
    for (const std::string& line : split(read_file(c.out), '\n'))
        EXPECT_EQ(split(line, '\t')[0].size(), 2499u);
    // As sequence text: one length message, and the next record still loads.
    r = c.run(good_motifs, ">big::chr1:0-10(+)\n" + big + "\n" + good_seqs, {"-r", "-100"});
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "seq len: >5500\n")) << r.out.substr(0, 200);
    EXPECT_TRUE(contains(read_file(c.out), "\tc\tchr2\t")) << read_file(c.out);
}

TEST(BadInput, CarriageReturnLineEndsReadLikeLineFeeds)
{
    bad_case c;
    auto with_cr = [](std::string text) {
        for (char& ch : text)
            if (ch == '\n')
                ch = '\r';
        return text;
    };
    c.run(good_motifs, good_seqs);
    const std::string lf_out = read_file(c.out);
    EXPECT_FALSE(lf_out.empty());
    const process_result r = c.run(with_cr(good_motifs), with_cr(good_seqs));
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(c.out), lf_out);
}

TEST(BadInput, TitleWithoutLocationIsReportedAndWritten)
{
    bad_case c;
    const process_result r =
        c.run(">m\n10\t0\t0\t0\n", ">plain\nCCACC\n>x::chr1:0-5(+)\nCCCCC\n>y::chr1:0-5(+)\nCCCCG\n");
    EXPECT_EQ(r.status, 0);
    EXPECT_TRUE(contains(r.out, "unknown strand!\n"));
    EXPECT_TRUE(contains(read_file(c.out), "m\tplain\t\t-2\t-2\t.\tA\t")) << read_file(c.out);
}

TEST(BadInput, OutputThatCannotBeWritten)
{
    bad_case c;
    process_result r = c.run(good_motifs, good_seqs, {"-o", c.dir.file("missing/out.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "missing/out.txt: No such file or directory")) << r.err;
    r = c.run(good_motifs, good_seqs, {"-o", c.dir.path().string()});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "Is a directory")) << r.err;
    SKIP_WITHOUT_FULL_DEVICE();
    r = c.run(good_motifs, good_seqs, {"-o", "/dev/full"});
    EXPECT_EQ(r.status, 1);
    EXPECT_TRUE(contains(r.err, "/dev/full: No space left on device")) << r.err;
}

TEST(BadInput, FullStandardOutputIsAFailure)
{
    SKIP_WITHOUT_FULL_DEVICE();
    bad_case c;
    const std::string cmd = std::string(TARNEL_BINARY) + " -m " + c.dir.write("m", good_motifs) + " -i " +
        c.dir.write("s", good_seqs) + " -o " + c.out + " > /dev/full 2>/dev/null";
    const int status = std::system(cmd.c_str());
    EXPECT_EQ(WEXITSTATUS(status), 1);
}

TEST(BadInput, IdenticalSequencesStandOutNowhere)
{
    bad_case c;
    // Duplicated regions give equal scores whose mean is not exact; the deviation is then a
    // few ulps, and every site would stand out with t = +-1 if it were taken for spread.
    std::string seqs;
    for (int i = 0; i < 50; ++i)
        seqs += ">dup" + std::to_string(i) + "::chr1:" + std::to_string(i * 100) + "-" + std::to_string(i * 100 + 9) +
            "(+)\nCAGATAAGG\n";
    const std::string motifs = ">gata\n1\t2\t3\t4\n9\t1\t0\t1\n2\t1\t7\t1\n9\t0\t1\t0\n0\t1\t0\t9\n";
    for (const std::vector<std::string>& run :
        {std::vector<std::string>{"-r", "1"}, std::vector<std::string>{"-n", "7", "-r", "1"}}) {
        const process_result r = c.run(motifs, seqs, run);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(read_file(c.out), "");
    }
    // Written regardless of the threshold, every line says so.
    c.run(motifs, seqs, {"-r", "-1"});
    const auto lines = split(read_file(c.out), '\n');
    ASSERT_EQ(lines.size(), 50u);
    for (const std::string& line : lines) {
        const auto f = split(line, '\t');
        EXPECT_EQ(f[8], "0.000000");
        EXPECT_EQ(f[9], "1.000000e+00");
    }
}

TEST(BadInput, TitleWithoutLocationIsReportedEvenWithoutAWindow)
{
    bad_case c;
    // Two motifs, each scanning the short plain sequence once.
    const process_result r =
        c.run(">m1\n10\t0\t0\t0\n0\t10\t0\t0\n0\t10\t0\t0\n>m2\n1\t1\t1\t1\n1\t1\t1\t1\n1\t1\t1\t1\n",
            ">short\nAC\n>x::chr1:0-5(+)\nCCCCC\n", {"-t", "1"});
    EXPECT_EQ(r.status, 0);
    std::size_t reported = 0;
    for (std::size_t at = r.out.find("unknown strand!\n"); at != std::string::npos;
         at = r.out.find("unknown strand!\n", at + 1))
        ++reported;
    EXPECT_EQ(reported, 2u) << r.out;
}

TEST(BadInput, CoordinatesBeyondThirtyTwoBitsAreWrittenWhole)
{
    bad_case c;
    std::string seqs;
    for (int i = 0; i < 5; ++i)
        seqs +=
            ">far" + std::to_string(i) + "::chr1:3000000000-3000000012(" + (i % 2 ? "-" : "+") + ")\nCCCGGGGCCCCC\n";
    const process_result r = c.run(">m\n0\t0\t9\t0\n0\t0\t9\t0\n0\t0\t9\t0\n0\t0\t9\t0\n", seqs, {"-r", "-1"});
    EXPECT_EQ(r.status, 0);
    const std::string out = read_file(c.out);
    EXPECT_TRUE(contains(out, "far0\tchr1\t3000000004\t3000000007\t+\tGGGG\t")) << out;
    EXPECT_TRUE(contains(out, "far1\tchr1\t3000000005\t3000000008\t-\tGGGG\t")) << out;
}
