// --bed (checked by bedtools cutting the written intervals out of the genome again) and
// -o - (results alone on standard output).
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <set>
#include <sys/wait.h>

#include "loading.h"
#include "result_lines.h"
#include "test_util.h"

namespace {

const std::string example_motifs = std::string(TARNEL_SOURCE_DIR) + "/examples/motifs.txt";
const std::string example_seqs = std::string(TARNEL_SOURCE_DIR) + "/examples/seqs.fa";

bool have_bedtools()
{
    return shell("command -v bedtools >/dev/null 2>&1") == 0;
}

// A random genome of mixed case with a few N, and bedtools' cut of regions of it on
// both strands (name::chrom:start-end(strand) titles).
struct cut_genome {
    scratch_dir dir;
    std::string genome = dir.file("genome.fa");
    std::string seqs = dir.file("regions.fa");

    cut_genome()
    {
        std::mt19937 rng(41);
        const std::string alphabet = "ACGTACGTACGTacgtacgtN";
        std::string fasta;
        for (const char* chrom : {"chr1", "chr2"}) {
            fasta += std::string(">") + chrom + "\n";
            for (int line = 0; line < 400; ++line) {
                for (int i = 0; i < 60; ++i)
                    fasta += alphabet[rng() % alphabet.size()];
                fasta += "\n";
            }
        }
        dir.write("genome.fa", fasta);
        std::string bed;
        for (int i = 0; i < 400; ++i) {
            const long start = static_cast<long>(rng() % 23000);
            bed += std::string(i % 3 ? "chr1" : "chr2") + "\t" + std::to_string(start) + "\t" +
                std::to_string(start + 30 + static_cast<long>(rng() % 200)) + "\tregion" + std::to_string(i) + "\t0\t" +
                (i % 2 ? "-" : "+") + "\n";
        }
        const std::string regions = dir.write("regions.bed", bed);
        EXPECT_EQ(
            shell("bedtools getfasta -fi " + genome + " -bed " + regions + " -name -s -fo " + seqs + " 2>/dev/null"),
            0);
    }
};

}  // namespace

TEST(BedOutput, BedtoolsCutsTheWrittenSitesOutOfTheGenomeAgain)
{
    if (!have_bedtools())
        GTEST_SKIP() << "bedtools is not installed (.ci/install installs it)";
    cut_genome g;
    for (const std::vector<std::string>& extra :
        std::vector<std::vector<std::string>>{{}, {"--both-strands"}, {"--both-strands", "-n", "150", "-r", "0"}}) {
        std::vector<std::string> args{"-m", example_motifs, "-i", g.seqs, "-o", g.dir.file("sites.bed"), "--bed"};
        args.insert(args.end(), {"-r", "-100"});
        args.insert(args.end(), extra.begin(), extra.end());
        const process_result r = run_tarnel(args);
        ASSERT_EQ(r.status, 0) << r.err;
        EXPECT_EQ(r.err, "");
        const auto lines = split(read_file(g.dir.file("sites.bed")), '\n');
        ASSERT_GT(lines.size(), 300u);
        ASSERT_EQ(shell("bedtools getfasta -s -tab -fi " + g.genome + " -bed " + g.dir.file("sites.bed") + " -fo " +
                      g.dir.file("cut.tab")),
            0);
        const auto cut = split(read_file(g.dir.file("cut.tab")), '\n');
        ASSERT_EQ(cut.size(), lines.size());
        std::set<std::string> strands;
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto f = split(lines[i], '\t');
            ASSERT_EQ(f.size(), 11u) << lines[i];
            EXPECT_EQ(split(cut[i], '\t').at(1), f[7]) << lines[i];  // the genome's letters, case included
            const double t = std::stod(f[9]);
            EXPECT_EQ(std::stoi(f[4]), t <= 0 ? 0 : std::min(1000L, std::lround(100 * t))) << lines[i];
            strands.insert(f[5]);
        }
        EXPECT_EQ(strands, (std::set<std::string>{"+", "-"}));
    }
}

TEST(BedOutput, SitesWithoutALocationAreLeftOutWithOneWarning)
{
    scratch_dir dir;
    std::string seqs = read_file(example_seqs);
    seqs += ">plain title\nGATAAGGATAAGcacgtgTT\n>odd::chr9:10-30(?)\nGATAAGGATAAGcacgtgTT\n";
    const std::string s = dir.write("s.fa", seqs);
    for (const char* strands : {"", "--both-strands"}) {
        std::vector<std::string> args{"-m", example_motifs, "-i", s, "-r", "-100", "-o", dir.file("sites.txt")};
        if (*strands)
            args.push_back(strands);
        ASSERT_EQ(run_tarnel(args).status, 0);
        std::size_t unplaced = 0;
        const auto all = split(read_file(dir.file("sites.txt")), '\n');
        for (const std::string& line : all) {
            const std::string strand = split(line, '\t').at(5);
            unplaced += strand != "+" && strand != "-";
        }
        ASSERT_GT(unplaced, 0u);

        args[7] = dir.file("sites.bed");
        args.push_back("--bed");
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(split(read_file(dir.file("sites.bed")), '\n').size(), all.size() - unplaced);
        EXPECT_EQ(r.err,
            "Tarnel: warning: " + std::to_string(unplaced) +
                " site(s) left out of the BED file: their sequence titles give no location with strand + or -, or a "
                "start and end that do not span their letters\n");
    }
}

TEST(BedOutput, TitlesThatDoNotSpanTheirLettersOrSitNearTheLimitNeverGiveWrongIntervals)
{
    scratch_dir dir;
    // 30 letters under titles of 10 bases, and 4 letters at the very end of the 64-bit range.
    const std::string big = "9223372036854775807";
    std::string seqs;
    for (int i = 0; i < 6; ++i)
        seqs += ">p" + std::to_string(i) + "::chr1:0-10(" + (i % 2 ? "-" : "+") + ")\nACGTACGTTGCAACGTACGTTGCAACGTAC\n";
    for (int i = 0; i < 6; ++i)
        seqs += ">q" + std::to_string(i) + "::chr1:9223372036854775803-" + big + "(" + (i % 2 ? "-" : "+") +
            ")\nACGT\n";
    const std::string s = dir.write("s.fa", seqs);
    const std::string m = dir.write("m.txt", ">m\n10\t0\t0\t0\n0\t10\t0\t0\n");
    for (const std::string sampled : {"", "-n"}) {
        std::vector<std::string> args{"-m", m, "-i", s, "-r", "-100", "-o", dir.file("sites.txt")};
        if (!sampled.empty())
            args.insert(args.end(), {"-n", "12"});
        process_result r = run_tarnel(args);
        ASSERT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("warning: 6 site(s) written with coordinates from titles whose start and end do not span"),
            std::string::npos) << r.err;
        for (const std::string& line : split(read_file(dir.file("sites.txt")), '\n'))
            if (line.find("\tq") != std::string::npos) {
                const auto f = split(line, '\t');
                EXPECT_LE(std::stoll(f[3]), std::stoll(f[4])) << line;  // no end wrapped below its start
                EXPECT_GT(std::stoll(f[3]), 0) << line;
            }
        args[7] = dir.file("sites.bed");
        args.push_back("--bed");
        r = run_tarnel(args);
        ASSERT_EQ(r.status, 0);
        EXPECT_NE(r.err.find("warning: 6 site(s) left out of the BED file"), std::string::npos) << r.err;
        const auto lines = split(read_file(dir.file("sites.bed")), '\n');
        EXPECT_EQ(lines.size(), 6u);
        for (const std::string& line : lines) {
            const auto f = split(line, '\t');
            EXPECT_EQ(f[6].substr(0, 1), "q") << line;
            EXPECT_GE(std::stoll(f[1]), 9223372036854775803LL) << line;
            EXPECT_EQ(f[2].size(), big.size()) << line;
            EXPECT_LE(std::stoll(f[1]), std::stoll(f[2])) << line;
        }
    }
}

TEST(StandardOutputResults, ResultsAloneOnStandardOutputAndEveryMessageOnStandardError)
{
    scratch_dir dir;
    // A plain title and an over-long sequence add messages of the scan and the reader.
    const std::string s = dir.write(
        "s.fa", read_file(example_seqs) + ">plain\nGATAAGcacgtg\n>long::c:0-6000(+)\n" + std::string(6000, 'A') + "\n");
    for (const std::vector<std::string>& extra :
        std::vector<std::vector<std::string>>{{}, {"-n", "100000", "--bed", "--both-strands"}}) {
        std::vector<std::string> to_file{"-m", example_motifs, "-i", s, "-r", "0.5", "-o", dir.file("sites.txt")};
        to_file.insert(to_file.end(), extra.begin(), extra.end());
        const process_result file_run = run_tarnel(to_file);
        ASSERT_EQ(file_run.status, 0);
        std::vector<std::string> to_stdout = to_file;
        to_stdout[7] = "-";
        const process_result stdout_run = run_tarnel(to_stdout);
        ASSERT_EQ(stdout_run.status, 0);
        EXPECT_FALSE(stdout_run.out.empty());
        EXPECT_EQ(stdout_run.out, read_file(dir.file("sites.txt")));
        // The same messages, on the other stream (a worker's progress line may come
        // before a later "start thread" line).
        auto messages = split(stdout_run.err, '\n');
        auto expected = split(file_run.out, '\n');
        for (const std::string& line : split(file_run.err, '\n'))
            expected.push_back(line);
        EXPECT_EQ(std::multiset<std::string>(messages.begin(), messages.end()),
            std::multiset<std::string>(expected.begin(), expected.end()));
        EXPECT_NE(stdout_run.err.find("unknown strand!"), std::string::npos);
        EXPECT_NE(stdout_run.err.find("seq len: >5500"), std::string::npos);
    }
}

TEST(StandardOutputResults, StandardOutputThatCannotBeWrittenIsAFailure)
{
    SKIP_WITHOUT_FULL_DEVICE();
    scratch_dir dir;
    for (const char* run : {"", "-n 30"}) {
        const int status = shell(std::string(TARNEL_BINARY) + " -m " + example_motifs + " -i " + example_seqs +
            " -r -100 -o - " + run + " >/dev/full 2>" + dir.file("err.txt"));
        EXPECT_EQ(status, 1) << run;
        EXPECT_NE(
            read_file(dir.file("err.txt")).find("Tarnel: standard output: No space left on device"), std::string::npos)
            << read_file(dir.file("err.txt"));
    }
}

// The lines of records made here, against the same lines written one field at a time:
// names of every length up to 20 with a tab at each place (fields are cleaned a word at a
// time, the last word overlapping the one before), sites on either strand, and records
// that share a score but not their t value or p-value (whose text is remembered).
TEST(ResultLines, EveryTabBecomesASpaceAndEveryRecordGetsItsOwnNumbers)
{
    const auto saved_motifs = motif_db;
    const auto saved_seqs = seq_db;
    motif_db.clear();
    seq_db.clear();
    std::vector<match> records;
    std::string want;
    const auto field = [](std::string text) {
        std::replace(text.begin(), text.end(), '\t', ' ');
        return text;
    };
    const std::string letters = "acGT\tNxAC";
    for (std::size_t length = 0; length <= 20; ++length)
        for (std::size_t tab = 0; tab <= length; ++tab) {
            std::string name(length, 'n');
            for (std::size_t i = 0; i < length; ++i)
                name[i] = static_cast<char>('a' + (i + length) % 26);
            if (tab < length)
                name[tab] = '\t';  // tab == length: none
            motif mo;
            mo.name = "M" + name;
            motif_db.push_back(mo);
            seq s;
            s.name = name;
            s.chrom = name + "c";
            s.strand = '+';
            seq_db.push_back(s);
            match m;
            m.mi = static_cast<int>(motif_db.size()) - 1;
            m.si = static_cast<int>(seq_db.size()) - 1;
            m.rs = 1.5;
            m.tvalue = records.size() % 3 == 0 ? 2.25 : -0.5;
            m.pvalue = records.size() % 2 == 0 ? 1e-7 : 0.125;
            m.start = static_cast<std::int64_t>(length) * 1000;
            m.end = m.start + 8;
            m.strand = '+';
            m.reverse = tab % 2 == 1;
            m.bsite = std::string_view(letters).substr(0, length % letters.size());
            records.push_back(m);
        }
    std::vector<int> reported(records.size());
    for (std::size_t r = 0; r < records.size(); ++r) {
        match& m = records[r];
        m.chrom = seq_db[r].chrom;  // now that the table holds them all
        std::string site;
        if (m.reverse)
            append_reverse_complement(site, m.bsite);
        else
            site = std::string(m.bsite);
        char numbers[128];
        std::snprintf(numbers, sizeof numbers, "%f\t%f\t%e\n", m.rs, m.tvalue, m.pvalue);
        want += field(motif_db[static_cast<std::size_t>(m.mi)].name) + "\t" +
            field(seq_db[static_cast<std::size_t>(m.si)].name) + "\t" + field(std::string(m.chrom)) + "\t" +
            std::to_string(m.start) + "\t" + std::to_string(m.end) + "\t+\t" + field(site) + "\t" + numbers;
        reported[r] = static_cast<int>(r);
    }
    std::string got;
    site_tally tally;
    append_reported_lines(got, records, reported, tally);
    motif_db = saved_motifs;
    seq_db = saved_seqs;
    EXPECT_EQ(got, want);
}
