// Many small motifs on many workers, run again and again: the output never changes.
#include <gtest/gtest.h>

#include <random>

#include "test_util.h"

TEST(Stress, ThreadedOutputIsByteIdenticalRunAfterRun)
{
    scratch_dir dir;
    std::mt19937 gen(2024);
    std::string motifs;
    for (int i = 0; i < 400; ++i) {
        motifs += ">motif" + std::to_string(i) + "\n";
        const int width = 1 + static_cast<int>(gen() % 4);
        for (int r = 0; r < width; ++r)
            motifs += std::to_string(gen() % 20) + "\t" + std::to_string(gen() % 20) + "\t" +
                std::to_string(gen() % 20) + "\t" + std::to_string(gen() % 20) + "\n";
    }
    std::string seqs;
    for (int i = 0; i < 60; ++i) {
        seqs += ">s" + std::to_string(i) + "::chr1:" + std::to_string(100 * i) + "-" + std::to_string(100 * i + 30) +
            (i % 2 ? "(-)\n" : "(+)\n");
        for (int k = 0; k < 30; ++k)
            seqs += "ACGT"[gen() % 4];
        seqs += "\n";
    }
    const std::string m = dir.write("m.txt", motifs);
    const std::string s = dir.write("s.fa", seqs);
    std::string first;
    for (int run = 0; run < 12; ++run) {
        const std::string threads = std::to_string(run % 3 == 0 ? 8 : 1 + run % 5);
        const process_result r = run_tarnel({"-m", m, "-i", s, "-o", dir.file("out.txt"), "-r", "0.5", "-t", threads});
        ASSERT_EQ(r.status, 0) << r.err;
        const std::string out = read_file(dir.file("out.txt"));
        if (run == 0) {
            first = out;
            EXPECT_GT(split(first, '\n').size(), 1000u);
        } else {
            EXPECT_EQ(out, first) << "run " << run << " with " << threads << " workers";
        }
    }
}
