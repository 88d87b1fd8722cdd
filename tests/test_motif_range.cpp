// --motif-range: shards of the motif file whose outputs, put together, are the whole run's.
#include <gtest/gtest.h>

#include <filesystem>
#include <random>

#include "test_util.h"

namespace {

const std::string motifs = example_data_path("jaspar_core.motifs");
const std::string seqs = example_data_path("real_seqs.fa");

std::string output_of(const scratch_dir& dir, std::vector<std::string> args)
{
    const std::string out = dir.file("out.txt");
    args.insert(args.end(), {"-m", motifs, "-i", seqs, "-o", out});
    const process_result r = run_tarnel(args);
    EXPECT_EQ(r.status, 0) << r.err;
    return read_file(out);
}

}  // namespace

TEST(MotifRange, ConsecutiveShardsPutTogetherAreTheWholeRun)
{
    scratch_dir dir;
    std::mt19937 rng(7);
    for (const std::vector<std::string>& options : std::vector<std::vector<std::string>>{
             {}, {"-n", "300", "-s", "11"}, {"--both-strands", "--bed"}, {"-n", "200", "--both-strands"}}) {
        const std::string whole = output_of(dir, options);
        ASSERT_GT(whole.size(), 10000u);
        // Three cuts at random places of the 746 motifs; the sampled run's shards must draw
        // the samples the whole run draws.
        std::vector<int> cuts{1, 1 + static_cast<int>(rng() % 300), 301 + static_cast<int>(rng() % 400), 747};
        std::string joined;
        for (std::size_t k = 0; k + 1 < cuts.size(); ++k) {
            std::vector<std::string> args = options;
            args.insert(args.end(), {"--motif-range", std::to_string(cuts[k]) + "-" + std::to_string(cuts[k + 1] - 1)});
            joined += output_of(dir, args);
        }
        EXPECT_EQ(joined, whole) << "cuts at " << cuts[1] << " and " << cuts[2];
    }
    // Progress counts the shard's motifs.
    const process_result r =
        run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("p.txt"), "-n", "5", "--motif-range", "10-12"});
    EXPECT_EQ(r.out, "1/3\n2/3\n3/3\n");
}

TEST(MotifRange, BadRangesAreRefusedAndNothingIsWritten)
{
    scratch_dir dir;
    for (const std::string range : {"0-3", "5-4", "a-b", "7", "1-", "-3", "1-5001", "2-3x"}) {
        const process_result r =
            run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("out.txt"), "--motif-range", range});
        EXPECT_EQ(r.status, 1) << range;
        EXPECT_NE(r.err.find("--motif-range takes FROM-TO"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // Past the end of the file: known only once the motifs are read.
    for (const std::string run : {"", "-n"}) {
        std::vector<std::string> args{"-m", motifs, "-i", seqs, "-o", dir.file("out.txt"), "--motif-range", "700-747"};
        if (!run.empty())
            args.insert(args.end(), {"-n", "10"});
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 1);
        EXPECT_NE(r.err.find("holds 746 motif(s)"), std::string::npos) << r.err;
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("out.txt")));
}
