// The real binary on small hand-checked inputs and on the real data.
#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <map>
#include <set>

#include "test_util.h"

namespace {

const std::string small_motifs = ">m1 AC\n10\t0\t0\t0\n0\t10\t0\t0\n";
const std::string small_seqs = ">s1::chr1:100-106(+)\nGGACGG\n>s2::chr2:200-206(-)\nacg\nggg\n>s3::chr3:300-306(+)"
                               "\nGGGGTT\n>s4::chr4:400-401(+)\nA\n";

// Worked by hand: s4 is shorter than the motif and stays out of the set.
const std::string line_s1 = "m1 AC\ts1\tchr1\t103\t104\t+\tAC\t1.862820\t0.707107\t3.453463e-01\n";
const std::string line_s2 = "m1 AC\ts2\tchr2\t204\t205\t-\tac\t1.862820\t0.707107\t3.453463e-01\n";
const std::string line_s3 = "m1 AC\ts3\tchr3\t305\t306\t+\tTT\t-1.281710\t-1.414214\t1.339746e-01\n";

std::string thread_banner(int workers)
{
    std::string text = "start threading\n";
    for (int i = 1; i <= workers; ++i)
        text += "start thread " + std::to_string(i) + "\n";
    return text;
}

struct small_case {
    scratch_dir dir;
    std::string motifs = dir.write("motifs.txt", small_motifs);
    std::string seqs = dir.write("seqs.fa", small_seqs);
    std::string out = dir.file("out.txt");
};

}  // namespace

TEST(EndToEnd, ThreadedRunWritesSitesAboveTheMeanOnly)
{
    small_case c;
    const process_result r = run_tarnel({"-m", c.motifs, "-i", c.seqs, "-o", c.out, "-r", "0.5"});
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.out, thread_banner(8) + "1/1\n");
    EXPECT_EQ(read_file(c.out), line_s1 + line_s2);

    const process_result strict = run_tarnel({"-m", c.motifs, "-i", c.seqs, "-o", c.out});
    EXPECT_EQ(strict.status, 0);
    EXPECT_EQ(read_file(c.out), "");  // no t value reaches 1.0; the file exists, empty
}

TEST(EndToEnd, SampledRunComparesTheMagnitudeAndCapsTheSample)
{
    small_case c;
    const process_result r = run_tarnel({"-m", c.motifs, "-i", c.seqs, "-o", c.out, "-n", "10"});
    EXPECT_EQ(r.status, 0) << r.err;
    const auto out_lines = split(r.out, '\n');
    ASSERT_EQ(out_lines.size(), 2u) << r.out;
    EXPECT_EQ(out_lines[0].rfind("warning: sample size 10", 0), 0u);
    EXPECT_EQ(out_lines[1], "1/1");
    EXPECT_EQ(read_file(c.out), line_s3);  // |t| >= 1 takes the site far below the mean

    run_tarnel({"-m", c.motifs, "-i", c.seqs, "-o", c.out, "-n", "4", "-r", "0"});
    const auto lines = split(read_file(c.out), '\n');
    ASSERT_EQ(lines.size(), 3u);  // all three, in the order of the sample
    EXPECT_EQ(std::multiset<std::string>(lines.begin(), lines.end()),
        (std::multiset<std::string>{line_s1.substr(0, line_s1.size() - 1), line_s2.substr(0, line_s2.size() - 1),
            line_s3.substr(0, line_s3.size() - 1)}));
}

TEST(EndToEnd, SampleOfZeroPrintsProgressAndWritesNothing)
{
    small_case c;
    const process_result r = run_tarnel({"-m", c.motifs, "-i", c.seqs, "-o", c.out, "-n", "0", "-r", "0"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, "1/1\n");
    EXPECT_EQ(read_file(c.out), "");
}

TEST(EndToEnd, NoMotifsStartsEveryWorkerAndWritesNothing)
{
    small_case c;
    const process_result r = run_tarnel({"-m", c.dir.write("none", ""), "-i", c.seqs, "-o", c.out});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out, thread_banner(8));
    EXPECT_EQ(read_file(c.out), "");
}

TEST(EndToEnd, UnopenableOutputFailsBeforeLoading)
{
    small_case c;
    const process_result r = run_tarnel({"-m", c.motifs, "-i", c.seqs, "-o", c.dir.file("no/such/dir/out.txt")});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, "");
    EXPECT_NE(r.err.find("no/such/dir/out.txt: No such file or directory"), std::string::npos) << r.err;
}

TEST(EndToEnd, UnopenableInputFailsAndNamesTheFile)
{
    small_case c;
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-m", c.dir.file("absent.motifs"), "-i", c.seqs}, {"-m", c.motifs, "-i", c.dir.file("absent.fa")}}) {
        std::vector<std::string> all = args;
        all.insert(all.end(), {"-o", c.out});
        const process_result r = run_tarnel(all);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("absent."), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("No such file or directory"), std::string::npos) << r.err;
        EXPECT_EQ(r.out.find("start threading"), std::string::npos);
        EXPECT_EQ(read_file(c.out), "");
    }
}

TEST(EndToEnd, FullDiskIsAFailure)
{
    SKIP_WITHOUT_FULL_DEVICE();
    small_case c;
    for (const char* mode : {"", "-n"}) {
        std::vector<std::string> args{"-m", c.motifs, "-i", c.seqs, "-o", "/dev/full", "-r", "0"};
        if (*mode) {
            args.push_back(mode);
            args.push_back("4");
        }
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 1) << mode;
        EXPECT_NE(r.err.find("/dev/full: No space left on device"), std::string::npos) << r.err;
    }
}

namespace {

struct region {
    std::string chrom;
    long start = 0;
    long end = 0;
    char strand = '.';
    std::string letters;
};

std::map<std::string, region> read_regions(const std::string& path)
{
    std::map<std::string, region> regions;
    std::string name;
    for (const std::string& line : split(read_file(path), '\n')) {
        if (line.empty())
            continue;
        if (line[0] == '>') {
            name = line.substr(1, line.find(':') - 1);
            region r;
            const auto rest = line.substr(line.find("::") + 2);
            r.chrom = rest.substr(0, rest.find(':'));
            r.start = std::stol(rest.substr(rest.find(':') + 1));
            r.end = std::stol(rest.substr(rest.find('-') + 1));
            r.strand = rest[rest.find('(') + 1];
            regions[name] = r;
        } else {
            regions[name].letters += line;
        }
    }
    return regions;
}

std::map<std::string, int> read_widths(const std::string& path)
{
    std::map<std::string, int> widths;
    std::string name;
    for (const std::string& line : split(read_file(path), '\n')) {
        if (!line.empty() && line[0] == '>')
            name = line.substr(1);
        else if (!line.empty())
            ++widths[name];
    }
    return widths;
}

// Every line has ten fields whose values agree with the inputs; returns the lines.
std::vector<std::string> check_output(const std::string& output, bool signed_threshold, double threshold)
{
    static const auto regions = read_regions(example_data_path("real_seqs.fa"));
    static const auto widths = read_widths(example_data_path("jaspar_core.motifs"));
    const auto lines = split(read_file(output), '\n');
    for (const std::string& line : lines) {
        const auto f = split(line, '\t');
        EXPECT_EQ(f.size(), 10u) << line;
        if (f.size() != 10u)
            continue;
        EXPECT_TRUE(widths.count(f[0]) && regions.count(f[1])) << line;
        if (!widths.count(f[0]) || !regions.count(f[1]))
            continue;
        const region& r = regions.at(f[1]);
        const int w = widths.at(f[0]);
        const long start = std::stol(f[3]);
        const long end = std::stol(f[4]);
        EXPECT_EQ(f[2], r.chrom);
        EXPECT_EQ(f[5], std::string(1, r.strand));
        EXPECT_EQ(end - start + 1, w) << line;
        EXPECT_EQ(static_cast<int>(f[6].size()), w) << line;
        // The site's letters stand in the sequence where its coordinates say.
        const long length = static_cast<long>(r.letters.size());
        const long location = r.strand == '+' ? start - r.end + length - 1 : r.start + length - 1 - end;
        EXPECT_GE(location, 0) << line;
        if (location >= 0) {
            EXPECT_EQ(r.letters.substr(static_cast<std::size_t>(location), static_cast<std::size_t>(w)), f[6]) << line;
        }
        const double t = std::stod(f[8]);
        const double p = std::stod(f[9]);
        EXPECT_GE(signed_threshold ? t : std::fabs(t), threshold) << line;
        EXPECT_TRUE(p >= 0.0 && p <= 1.0) << line;
    }
    return lines;
}

}  // namespace

TEST(EndToEndRealData, ThreadedRunIsConsistentAndReproducible)
{
    scratch_dir dir;
    const std::string motifs = example_data_path("jaspar_core.motifs");
    const std::string seqs = example_data_path("real_seqs.fa");
    const process_result first = run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("a.txt"), "-r", "2"});
    ASSERT_EQ(first.status, 0) << first.err;
    const auto lines = check_output(dir.file("a.txt"), true, 2.0);
    EXPECT_GT(lines.size(), 1000u);
    // Progress counts every motif once, in order (early ones may come between the
    // "start thread" lines).
    std::vector<std::string> progress;
    for (const std::string& line : split(first.out, '\n'))
        if (line.rfind("start thread", 0) != 0)
            progress.push_back(line);
    ASSERT_EQ(progress.size(), 746u);
    for (int i = 0; i < 746; ++i)
        EXPECT_EQ(progress[static_cast<std::size_t>(i)], std::to_string(i + 1) + "/746");

    const process_result again = run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("b.txt"), "-r", "2"});
    ASSERT_EQ(again.status, 0);
    EXPECT_EQ(read_file(dir.file("a.txt")), read_file(dir.file("b.txt")));
    const process_result one = run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("c.txt"), "-r", "2", "-t", "1"});
    ASSERT_EQ(one.status, 0);
    EXPECT_EQ(one.out.substr(0, thread_banner(1).size()), thread_banner(1));
    EXPECT_EQ(read_file(dir.file("a.txt")), read_file(dir.file("c.txt")));
}

TEST(EndToEndRealData, SampledRunIsConsistentAndReproducibleFromTheSeed)
{
    scratch_dir dir;
    const std::string motifs = example_data_path("jaspar_core.motifs");
    const std::string seqs = example_data_path("real_seqs.fa");
    std::string printed;
    const auto run = [&](const std::string& out, const std::string& seed, const std::string& workers = "8",
                         const std::string& from = "") {
        const process_result r = run_tarnel({"-m", motifs, "-i", from.empty() ? seqs : from, "-o", dir.file(out), "-n",
            "300", "-s", seed, "-t", workers});
        EXPECT_EQ(r.status, 0) << r.err;
        printed = r.out;
        return read_file(dir.file(out));
    };
    const std::string a = run("a.txt", "7");
    const std::string a_printed = printed;
    const auto lines = check_output(dir.file("a.txt"), false, 1.0);
    EXPECT_GT(lines.size(), 1000u);
    EXPECT_EQ(run("b.txt", "7"), a);
    EXPECT_NE(run("c.txt", "8"), a);
    // Motifs analysed side by side draw the samples one thread draws, in the same order,
    // and print the same progress lines.
    EXPECT_EQ(run("one.txt", "7", "1"), a);
    EXPECT_EQ(printed, a_printed);
    // Titles without a strand have each scan reported as it happens: between the right
    // progress lines, as on one thread.
    std::string strandless;
    int title = 0;
    for (const std::string& line : split(read_file(seqs), '\n')) {
        const bool drop = !line.empty() && line[0] == '>' && ++title % 50 == 0;
        strandless += (drop ? line.substr(0, line.rfind('(')) : line) + "\n";
    }
    const std::string unstranded = dir.write("unstranded.fa", strandless);
    const std::string u = run("u.txt", "7", "8", unstranded);
    const std::string u_printed = printed;
    EXPECT_NE(u_printed.find("1/746\nunknown strand!\n"), std::string::npos);
    EXPECT_EQ(run("u1.txt", "7", "1", unstranded), u);
    EXPECT_EQ(printed, u_printed);
}
