// --genome and --regions: every region becomes the record that cutting it out of the genome
// first (bedtools getfasta -name -s) gives, so that every output equals the two-step
// pipeline's; bad regions stop the run with the file, the line and the problem.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <sys/stat.h>
#include <sys/wait.h>

#include <htslib/bgzf.h>
#include <zlib.h>

#include "loading.h"
#include "settings.h"
#include "test_util.h"

namespace {

const std::string example_motifs = std::string(TARNEL_SOURCE_DIR) + "/examples/motifs.txt";

bool have_bedtools()
{
    return shell("command -v bedtools >/dev/null 2>&1") == 0;
}

bool exists(const std::string& path)
{
    struct stat st { };
    return stat(path.c_str(), &st) == 0;
}

// A made-up genome of 60-letter lines: mixed case, runs of N and a few IUPAC codes, whose
// complements a '-' region must get right too.
std::string make_genome(unsigned seed, const std::vector<std::pair<std::string, int>>& chroms)
{
    std::mt19937 rng(seed);
    const std::string alphabet = "ACGTACGTACGTACGTacgtacgtacgtRYKMSWBDHVUNnry";
    std::string fasta;
    for (const auto& [name, length] : chroms) {
        fasta += ">" + name + " made up\n";
        for (int i = 0; i < length; ++i) {
            fasta += alphabet[rng() % alphabet.size()];
            if ((i + 1) % 60 == 0 || i + 1 == length)
                fasta += "\n";
        }
    }
    return fasta;
}

std::string write_bgzip(const std::string& path, const std::string& content)
{
    BGZF* f = bgzf_open(path.c_str(), "w1");
    EXPECT_NE(f, nullptr);
    EXPECT_EQ(bgzf_write(f, content.data(), content.size()), static_cast<ssize_t>(content.size()));
    EXPECT_EQ(bgzf_close(f), 0);
    return path;
}

std::string write_gzip(const std::string& path, const std::string& content)
{
    gzFile f = gzopen(path.c_str(), "wb");
    gzwrite(f, content.data(), static_cast<unsigned>(content.size()));
    gzclose(f);
    return path;
}

const std::vector<std::pair<std::string, int>> small_chroms{{"chr1", 30000}, {"chr2", 12000}, {"chrM", 7000}};

// Regions on every strand form, with names, of 1 to 700 letters, a few of exactly the
// longest length a sequence may have and one beyond it; `columns` 3, 6 or 10 (narrowPeak).
std::string make_regions(unsigned seed, int columns, int count = 400)
{
    std::mt19937 rng(seed);
    std::string bed = "track name=peaks\nbrowser position chr1:1-1000\n# made up\n";
    for (int i = 0; i < count; ++i) {
        const auto& [chrom, length] = small_chroms[rng() % small_chroms.size()];
        const int span = i == 7 ? 5501 : i % 50 == 3 ? 5500 : 1 + static_cast<int>(rng() % 700);
        const int start = static_cast<int>(rng() % static_cast<unsigned>(length - span));
        bed += chrom + "\t" + std::to_string(start) + "\t" + std::to_string(start + span);
        if (columns >= 6)
            bed += "\tpeak" + std::to_string(i) + "\t" + std::to_string(i % 1000) + "\t" + "+-."[i % 3];
        if (columns >= 10)
            bed += "\t3.5\t12.25\t-1\t" + std::to_string(rng() % static_cast<unsigned>(span));
        bed += "\n";
    }
    return bed;
}

// The genome twice: one copy for Tarnel (plain and bgzip-compressed) and one for bedtools,
// so that neither reads the other's index.
struct genome_files {
    scratch_dir dir;
    std::string text = make_genome(23, small_chroms);
    std::string plain;
    std::string bgzip;
    std::string for_bedtools;

    genome_files()
    {
        std::filesystem::create_directory(dir.path() / "cut");
        plain = dir.write("genome.fa", text);
        bgzip = write_bgzip(dir.file("genome.fa.gz"), text);
        for_bedtools = dir.write("cut/genome.fa", text);
    }

    // bedtools' cut of `regions`, as a FASTA file.
    std::string cut(const std::string& regions, const std::string& name) const
    {
        const std::string out = dir.file(name);
        EXPECT_EQ(shell("bedtools getfasta -fi " + for_bedtools + " -bed " + regions + " -name -s -fo " + out + " 2>/dev/null"), 0);
        return out;
    }
};

std::vector<std::string> sorted_lines(const std::string& text)
{
    std::vector<std::string> lines = split(text, '\n');
    std::sort(lines.begin(), lines.end());
    return lines;
}

// Standard error without the note that the index was built.
std::string without_index_note(const std::string& err)
{
    std::string kept;
    for (const std::string& line : split(err, '\n'))
        if (line.find("had no index; built") == std::string::npos)
            kept += line + "\n";
    return kept;
}

}  // namespace

TEST(GenomeRegions, RecordsEqualThoseOfTheCutSequenceFile)
{
    if (!have_bedtools())
        GTEST_SKIP() << "bedtools is not installed (.ci/install installs it)";
    genome_files g;
    for (const int columns : {3, 6, 10}) {
        const std::string regions = g.dir.write("r" + std::to_string(columns) + ".bed", make_regions(5, columns));
        const std::string cut = g.cut(regions, "cut" + std::to_string(columns) + ".fa");
        std::vector<seq> expected;
        read_inputs(example_motifs, cut);
        expected = seq_db;
        for (const std::string& genome : {g.plain, g.bgzip}) {
            genome_file = genome;
            regions_file = regions;
            read_inputs(example_motifs, "");
            reset_settings();
            ASSERT_EQ(seq_n, static_cast<int>(expected.size())) << genome;
            for (std::size_t i = 0; i < expected.size(); ++i) {
                SCOPED_TRACE(genome + " " + regions + " record " + std::to_string(i));
                EXPECT_EQ(seq_db[i].name, expected[i].name);
                EXPECT_EQ(seq_db[i].chrom, expected[i].chrom);
                EXPECT_EQ(seq_db[i].start, expected[i].start);
                EXPECT_EQ(seq_db[i].end, expected[i].end);
                EXPECT_EQ(seq_db[i].strand, expected[i].strand);
                EXPECT_EQ(seq_db[i].seq, expected[i].seq);
                EXPECT_EQ(seq_db[i].base, expected[i].base);
                EXPECT_EQ(seq_db[i].len, expected[i].len);
            }
        }
        // The long regions are there: one record holds the most letters, one none.
        EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [](const seq& s) { return s.len == max_seq_len; }));
        EXPECT_TRUE(std::any_of(expected.begin(), expected.end(), [](const seq& s) { return s.len == 0; }));
    }
    clear_tables();
}

TEST(GenomeRegions, OutputEqualsTheTwoStepPipelineByteForByte)
{
    if (!have_bedtools())
        GTEST_SKIP() << "bedtools is not installed (.ci/install installs it)";
    genome_files g;
    struct regions_form {
        std::string name;
        int columns;
        bool gzip;
    };
    const std::vector<std::vector<std::string>> option_sets{{}, {"--both-strands"}, {"--bed"},
        {"--both-strands", "--bed"}, {"-n", "150"}, {"-n", "150", "--both-strands", "--bed"}};
    for (const regions_form& form : {regions_form{"bed3.bed", 3, false}, regions_form{"bed6.bed.gz", 6, true},
             regions_form{"peaks.narrowPeak", 10, false}}) {
        const std::string text = make_regions(11, form.columns);
        const std::string plain_regions = g.dir.write("plain_" + form.name, text);
        const std::string regions = form.gzip ? write_gzip(g.dir.file(form.name), text) : plain_regions;
        const std::string cut = g.cut(plain_regions, form.name + ".fa");
        for (const std::string& genome : {g.plain, g.bgzip}) {
            for (const auto& options : option_sets) {
                for (const bool to_stdout : {false, true}) {
                    std::string label = form.name + " " + genome + (to_stdout ? " -o -" : "");
                    for (const std::string& o : options)
                        label += " " + o;
                    SCOPED_TRACE(label);
                    std::vector<std::string> ours{"-m", example_motifs, "--genome", genome, "--regions", regions,
                        "-r", "-100", "-o", to_stdout ? "-" : g.dir.file("ours.txt")};
                    std::vector<std::string> theirs{
                        "-m", example_motifs, "-i", cut, "-r", "-100", "-o", to_stdout ? "-" : g.dir.file("theirs.txt")};
                    ours.insert(ours.end(), options.begin(), options.end());
                    theirs.insert(theirs.end(), options.begin(), options.end());
                    const process_result a = run_tarnel(ours);
                    const process_result b = run_tarnel(theirs);
                    ASSERT_EQ(a.status, 0) << a.err;
                    ASSERT_EQ(b.status, 0) << b.err;
                    const bool sampled = options.size() >= 2 && options[0] == "-n";
                    if (!to_stdout) {
                        EXPECT_EQ(read_file(g.dir.file("ours.txt")), read_file(g.dir.file("theirs.txt")));
                        // BED3 titles carry no strand: a BED file of them stays empty.
                        if (form.columns > 3 || std::find(options.begin(), options.end(), "--bed") == options.end()) {
                            EXPECT_GT(read_file(g.dir.file("ours.txt")).size(), 1000u);
                        }
                    }
                    // Threads print their progress lines in the order they finish.
                    if (sampled || to_stdout)
                        EXPECT_EQ(a.out, b.out);
                    else
                        EXPECT_EQ(sorted_lines(a.out), sorted_lines(b.out));
                    if (sampled || !to_stdout)
                        EXPECT_EQ(without_index_note(a.err), without_index_note(b.err));
                    else
                        EXPECT_EQ(sorted_lines(without_index_note(a.err)), sorted_lines(without_index_note(b.err)));
                    // The record beyond the longest length is handled as in a sequence file.
                    EXPECT_NE((to_stdout ? a.err : a.out).find("seq len: >5500\n"), std::string::npos);
                }
            }
        }
    }
}

TEST(GenomeRegions, MoreRegionsThanTheTableHoldsAreCutAsInASequenceFile)
{
    if (!have_bedtools())
        GTEST_SKIP() << "bedtools is not installed (.ci/install installs it)";
    genome_files g;
    std::string bed;
    for (int i = 0; i <= max_seqs; ++i)
        bed += "chr1\t" + std::to_string(i % 29000) + "\t" + std::to_string(i % 29000 + 20 + i % 7) + "\tr" +
            std::to_string(i) + "\t0\t" + (i % 2 ? "-" : "+") + "\n";
    const std::string regions = g.dir.write("many.bed", bed);
    const std::string cut = g.cut(regions, "many.fa");
    const process_result a = run_tarnel(
        {"-m", example_motifs, "--genome", g.plain, "--regions", regions, "-n", "300", "-o", g.dir.file("ours.txt")});
    const process_result b = run_tarnel({"-m", example_motifs, "-i", cut, "-n", "300", "-o", g.dir.file("theirs.txt")});
    ASSERT_EQ(a.status, 0) << a.err;
    EXPECT_EQ(a.out, b.out);
    EXPECT_NE(a.out.find("seq_n: >50000\n"), std::string::npos);
    EXPECT_EQ(read_file(g.dir.file("ours.txt")), read_file(g.dir.file("theirs.txt")));
}

TEST(GenomeRegions, SummitWindowsAreCentredAndClippedAtTheChromosomesEnds)
{
    if (!have_bedtools())
        GTEST_SKIP() << "bedtools is not installed (.ci/install installs it)";
    genome_files g;
    // Peaks with their summits: in the middle of chr2, 30 bases from chr1's start, 40 from
    // chrM's end, and one without a summit (-1: its middle).
    const std::string peaks = g.dir.write("p.narrowPeak",
        "chr2\t1000\t1500\tmid\t0\t+\t1\t2\t3\t150\n"
        "chr1\t10\t300\tlow\t0\t-\t1\t2\t3\t20\n"
        "chrM\t6900\t6990\thigh\t0\t.\t1\t2\t3\t60\n"
        "chr2\t2000\t2101\tnone\t0\t-\t1\t2\t3\t-1\n");
    // The same windows by hand: [summit - 100, summit + 100) within [0, length).
    const std::string windows = g.dir.write("w.bed",
        "chr2\t1050\t1250\tmid\t0\t+\n"
        "chr1\t0\t130\tlow\t0\t-\n"
        "chrM\t6860\t7000\thigh\t0\t.\n"
        "chr2\t1950\t2150\tnone\t0\t-\n");
    const std::string cut = g.cut(windows, "w.fa");
    for (const char* run : {"", "-n"}) {
        std::vector<std::string> ours{"-m", example_motifs, "--genome", g.bgzip, "--regions", peaks, "--summit-window",
            "200", "-r", "-100", "-o", g.dir.file("ours.txt")};
        std::vector<std::string> theirs{"-m", example_motifs, "-i", cut, "-r", "-100", "-o", g.dir.file("theirs.txt")};
        if (*run) {
            ours.insert(ours.end(), {"-n", "4"});
            theirs.insert(theirs.end(), {"-n", "4"});
        }
        const process_result a = run_tarnel(ours);
        ASSERT_EQ(a.status, 0) << a.err;
        ASSERT_EQ(run_tarnel(theirs).status, 0);
        EXPECT_EQ(read_file(g.dir.file("ours.txt")), read_file(g.dir.file("theirs.txt")));
        EXPECT_EQ(split(read_file(g.dir.file("ours.txt")), '\n').size(), 12u);
        EXPECT_NE(a.err.find("Tarnel: --summit-window: 2 of 4 windows clipped at a chromosome's end\n"),
            std::string::npos)
            << a.err;
    }
}

TEST(GenomeRegions, AMissingIndexIsBuiltBesideTheGenomeAndSaidOnce)
{
    genome_files g;
    const std::string regions = g.dir.write("r.bed", "chr1\t100\t400\tx\t0\t-\n");
    const std::vector<std::string> args{
        "-m", example_motifs, "--genome", g.bgzip, "--regions", regions, "-o", g.dir.file("out.txt")};
    process_result r = run_tarnel(args);
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(r.err, "Tarnel: " + g.bgzip + " had no index; built " + g.bgzip + ".fai and " + g.bgzip +
            ".gzi beside it\n");
    EXPECT_TRUE(exists(g.bgzip + ".fai") && exists(g.bgzip + ".gzi"));
    r = run_tarnel(args);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.err, "");
}

TEST(GenomeRegions, AGenomeThatCannotBeIndexedStopsTheRun)
{
    scratch_dir dir;
    const std::string regions = dir.write("r.bed", "chr1\t0\t10\n");
    struct bad_genome {
        std::string name;
        std::string problem;
    };
    // Lines of two lengths within a sequence cannot be indexed; gzip (not bgzip) cannot be
    // read by position.
    const std::string ragged = dir.write("ragged.fa", ">chr1\nACGTACGT\nACG\nACGTACGT\n");
    const std::string gzipped = write_gzip(dir.file("plain_gzip.fa.gz"), ">chr1\nACGTACGT\n");
    for (const auto& [genome, problem] : {std::pair{ragged, ": cannot be indexed ("},
             std::pair{gzipped, ": is compressed with gzip, not bgzip;"}}) {
        const process_result r = run_tarnel(
            {"-m", example_motifs, "--genome", genome, "--regions", regions, "-o", dir.file("out.txt")});
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("Tarnel: " + genome + problem), std::string::npos) << r.err;
        EXPECT_FALSE(exists(genome + ".fai")) << "a failed index is left behind";
    }
}

TEST(GenomeRegions, AnIndexThatCannotBeWrittenNamesTheCommandThatMakesOne)
{
    scratch_dir dir;
    const std::string genome = dir.write("genome.fa", ">chr1\nACGTACGT\n");
    const std::string regions = dir.write("r.bed", "chr1\t0\t5\n");
    // The motifs and the program are copied beside the genome: the checkout may lie in a
    // folder that the other user cannot enter.
    const std::string motifs_copy = dir.write("m.txt", read_file(example_motifs));
    const std::string binary = dir.file("Tarnel");
    std::filesystem::copy_file(TARNEL_BINARY, binary);
    std::string run_as;
    if (geteuid() == 0) {
        // root writes anywhere: the run goes as nobody into a folder that is root's.
        if (shell("command -v setpriv >/dev/null 2>&1") != 0)
            GTEST_SKIP() << "setpriv is not installed";
        run_as = "setpriv --reuid=65534 --regid=65534 --clear-groups ";
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0755));
    } else {
        std::filesystem::permissions(dir.path(), std::filesystem::perms(0555));
    }
    const int status = shell(run_as + binary + " -m " + motifs_copy + " --genome " + genome + " --regions " +
        regions + " -o - >/dev/null 2>" + "/tmp/tarnel-genome-err-" + std::to_string(getpid()));
    std::filesystem::permissions(dir.path(), std::filesystem::perms::owner_all);
    const std::string err_file = "/tmp/tarnel-genome-err-" + std::to_string(getpid());
    const std::string err = read_file(err_file);
    std::filesystem::remove(err_file);
    EXPECT_EQ(status, 1);
    EXPECT_EQ(err, "Tarnel: " + genome + ": has no index " + genome +
            ".fai, and it cannot be written beside the genome (Permission denied); make one with 'samtools faidx " +
            genome + "'\n");
}

TEST(GenomeRegions, BadRegionsStopTheRunWithFileLineAndProblem)
{
    genome_files g;
    struct bad_case {
        std::string regions;
        std::string problem;  // after "<file>:"
        std::vector<std::string> extra = {};
    };
    const std::vector<bad_case> cases{
        {"chr1\t5\t10\nchrX\t1\t10\n", "2: chromosome 'chrX' is not in the genome " + g.plain +
                " (which has, for one, 'chr1' and 'chr2'; another assembly, or 'chr1' against '1'?)"},
        {"1\t1\t10\n", "1: chromosome '1' is not in the genome"},
        {"# header\nchr2\t11000\t12001\tp\n", "2: region chr2:11000-12001 ends past the end of chr2 (12000 letters in " +
                g.plain + ")"},
        {"chr1\t10\t10\n", "1: start 10 is not below end 10"},
        {"chr1\t20\t10\n", "1: start 20 is not below end 10"},
        {"chr1\t-5\t10\n", "1: start -5 is negative"},
        {"chr1\t5\tabc\n", "1: end 'abc' is not a whole number"},
        {"chr1\t5\t1e3\n", "1: end '1e3' is not a whole number"},
        {"chr1\t5\t\n", "1: end '' is not a whole number"},
        {"chr1\t99999999999999999999\t1\n", "1: start 99999999999999999999 is too large"},
        {"chr1 5 10 name\n", "1: holds 1 column(s); a region needs at least three, chromosome, start and end, separated by tabs"},
        {"chr1\t5\n", "1: holds 2 column(s)"},
        {"chr1\t5\t100\tp\t0\t+\n", "1: holds 6 columns; --summit-window reads the summit from column 10 of a narrowPeak file",
            {"--summit-window", "50"}},
        {"chr1\t5\t100\tp\t0\t+\t1\t2\t3\t95\n", "1: summit 95 lies outside the peak (an offset from its start, below 95)",
            {"--summit-window", "50"}},
        {"chr1\t5\t100\tp\t0\t+\t1\t2\t3\tx\n", "1: summit 'x' is not a whole number", {"--summit-window", "50"}},
    };
    for (const bad_case& c : cases) {
        const std::string regions = g.dir.write("bad.bed", c.regions);
        std::vector<std::string> args{
            "-m", example_motifs, "--genome", g.plain, "--regions", regions, "-o", g.dir.file("out.txt")};
        args.insert(args.end(), c.extra.begin(), c.extra.end());
        std::filesystem::remove(g.dir.file("out.txt"));
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 1) << c.regions;
        EXPECT_NE(r.err.find("Tarnel: " + regions + ":" + c.problem), std::string::npos) << r.err;
        EXPECT_EQ(read_file(g.dir.file("out.txt")), "") << c.regions;
    }
    // A damaged and a cut gzip regions file.
    std::string packed = read_file(write_gzip(g.dir.file("whole.bed.gz"), make_regions(3, 6, 3000)));
    std::string damaged = packed;
    for (std::size_t i = 100; i < 140; ++i)
        damaged[i] = static_cast<char>(damaged[i] ^ 0x5a);
    for (const auto& [name, bytes, problem] :
        {std::tuple{"damaged.bed.gz", damaged, std::string(": ")},
            std::tuple{"cut.bed.gz", packed.substr(0, packed.size() / 2),
                std::string(": compressed data ends unexpectedly (file cut short?)")}}) {
        const std::string regions = g.dir.write(name, bytes);
        const process_result r = run_tarnel(
            {"-m", example_motifs, "--genome", g.plain, "--regions", regions, "-o", g.dir.file("out.txt")});
        EXPECT_EQ(r.status, 1) << name;
        EXPECT_NE(r.err.find("Tarnel: " + regions + problem), std::string::npos) << r.err;
        EXPECT_EQ(read_file(g.dir.file("out.txt")), "");
    }
}

TEST(GenomeRegions, AMistakenSourceIsRefusedBeforeAnythingIsOpened)
{
    scratch_dir dir;
    const std::string genome = dir.write("genome.fa", ">chr1\nACGTACGT\n");
    const std::string regions = dir.write("r.bed", "chr1\t0\t5\n");
    const std::string seqs = dir.write("s.fa", ">a::chr1:0-5(+)\nACGTA\n");
    const std::string out = dir.file("out.txt");
    const std::vector<std::pair<std::vector<std::string>, std::string>> cases{
        {{"--genome", genome}, "--genome needs --regions: the file of regions to read from the genome"},
        {{"--regions", regions}, "--regions needs --genome: the indexed genome the regions are read from"},
        {{"--genome", genome, "--regions", regions, "-i", seqs},
            "--genome and --regions read the sequences in place of -i/--input; give one or the other"},
        {{"-i", seqs, "--summit-window", "200"}, "--summit-window needs --genome and --regions (a narrowPeak file)"},
        {{"--genome", genome, "--regions", regions, "--summit-window", "0"},
            "--summit-window takes a whole number of bases from 1 to 1000000000, not '0'"},
        {{"--genome", "-", "--regions", regions}, "--genome cannot read standard input"},
        {{"--genome", genome, "--regions", "-", "-m", "-"},
            "only one of -m/--motif and --regions can read standard input (-)"},
    };
    for (const auto& [options, message] : cases) {
        std::vector<std::string> args{"-m", example_motifs, "-o", out};
        args.insert(args.end(), options.begin(), options.end());
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 1) << message;
        EXPECT_NE(r.err.find("Tarnel: " + message), std::string::npos) << r.err;
        EXPECT_FALSE(exists(out)) << message;
        EXPECT_FALSE(exists(genome + ".fai")) << message;
    }
}

TEST(GenomeRegions, TheOutputMayNotOverwriteTheGenomeItsIndexOrTheRegions)
{
    scratch_dir dir;
    const std::string text = ">chr1\nACGTACGTAC\n";
    const std::string genome = dir.write("genome.fa", text);
    const std::string regions = dir.write("r.bed", "chr1\t0\t5\n");
    ASSERT_EQ(run_tarnel({"-m", example_motifs, "--genome", genome, "--regions", regions, "-o", "-"}).status, 0);
    const std::string index = read_file(genome + ".fai");
    std::filesystem::create_symlink(regions, dir.file("link.bed"));
    for (const auto& [target, option] : {std::pair{genome, std::string("--genome")},
             std::pair{genome + ".fai", std::string("--genome index")}, std::pair{dir.file("link.bed"), std::string("--regions")}}) {
        const process_result r =
            run_tarnel({"-m", example_motifs, "--genome", genome, "--regions", regions, "-o", target});
        EXPECT_EQ(r.status, 1) << target;
        EXPECT_NE(r.err.find("is the same file as the " + option + " input"), std::string::npos) << r.err;
    }
    EXPECT_EQ(read_file(genome), text);
    EXPECT_EQ(read_file(genome + ".fai"), index);
    EXPECT_EQ(read_file(regions), "chr1\t0\t5\n");
}

TEST(GenomeRegions, PeakMemoryFollowsTheRegionsNotTheGenome)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep shadow memory of their own: the peak says nothing of the program's";
#endif
    // 120 million letters against 1000 regions of 500: the run holds the regions' letters
    // and htslib's few blocks, not the genome (it still reads all of it once, to index it).
    scratch_dir dir;
    const std::string genome = dir.file("big.fa.gz");
    {
        BGZF* f = bgzf_open(genome.c_str(), "w1");
        ASSERT_NE(f, nullptr);
        std::mt19937 rng(7);
        std::string line(60, 'A');
        line += '\n';
        for (const char* chrom : {">chrA\n", ">chrB\n"}) {
            ASSERT_GE(bgzf_write(f, chrom, 6), 0);
            for (int i = 0; i < 1000000; ++i) {
                for (int j = 0; j < 60; ++j)
                    line[static_cast<std::size_t>(j)] = "ACGT"[rng() & 3];
                ASSERT_EQ(bgzf_write(f, line.data(), line.size()), 61);
            }
        }
        ASSERT_EQ(bgzf_close(f), 0);
    }
    std::string bed;
    for (int i = 0; i < 1000; ++i)
        bed += std::string(i % 2 ? "chrA" : "chrB") + "\t" + std::to_string(i * 59000) + "\t" +
            std::to_string(i * 59000 + 500) + "\tr" + std::to_string(i) + "\t0\t-\n";
    const std::string regions = dir.write("r.bed", bed);
    const process_result r = run_tarnel(
        {"-m", example_motifs, "--genome", genome, "--regions", regions, "-r", "-100", "-o", dir.file("out.txt")});
    ASSERT_EQ(r.status, 0) << r.err;
    EXPECT_GT(split(read_file(dir.file("out.txt")), '\n').size(), 2900u);  // outliers are set aside
    const long genome_kb = 120000000 / 1024;
    EXPECT_GT(r.peak_rss_kb, 0);
    std::printf("peak RSS %ld kB, genome %ld kB of letters\n", r.peak_rss_kb, genome_kb);
    EXPECT_LT(r.peak_rss_kb, 48 * 1024) << "peak " << r.peak_rss_kb << " kB for a genome of " << genome_kb << " kB";
}

TEST(GenomeRegions, TheBundledExampleEqualsThePipelineAndFindsThePlantedSites)
{
    if (!have_bedtools())
        GTEST_SKIP() << "bedtools is not installed (.ci/install installs it)";
    const std::string examples = std::string(TARNEL_SOURCE_DIR) + "/examples/";
    scratch_dir dir;
    const std::string copy = dir.write("genome.fa", read_file(examples + "genome.fa"));
    ASSERT_EQ(shell("bedtools getfasta -fi " + copy + " -bed " + examples + "peaks.narrowPeak -name -s -fo " +
                  dir.file("peaks.fa") + " 2>/dev/null"),
        0);
    const process_result ours = run_tarnel({"-m", example_motifs, "--genome", examples + "genome.fa", "--regions",
        examples + "peaks.narrowPeak", "-o", dir.file("ours.txt")});
    ASSERT_EQ(ours.status, 0) << ours.err;
    EXPECT_EQ(ours.err, "");  // its index is bundled: nothing is written into the repository
    ASSERT_EQ(run_tarnel({"-m", example_motifs, "-i", dir.file("peaks.fa"), "-o", dir.file("theirs.txt")}).status, 0);
    const std::string sites = read_file(dir.file("ours.txt"));
    EXPECT_EQ(sites, read_file(dir.file("theirs.txt")));
    EXPECT_NE(sites.find("\tGATAAG\t"), std::string::npos);
    EXPECT_NE(sites.find("\tCACGTG\t"), std::string::npos);
}
