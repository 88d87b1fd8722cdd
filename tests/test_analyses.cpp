// The per-motif analysis, the sample and the threaded run's handling of failures.
#include <gtest/gtest.h>

#include <cstdlib>
#include <cmath>
#include <numeric>
#include <set>

#include "analyses.h"
#include "errors.h"
#include "loading.h"
#include "random_generator.h"
#include "runs.h"
#include "settings.h"
#include "test_util.h"

namespace {

// One motif of width 1 that prefers A; each sequence is one letter, so its score is
// known from its letter alone.
void load_letters(const scratch_dir& dir, const std::string& letters)
{
    std::string seqs;
    for (std::size_t i = 0; i < letters.size(); ++i)
        seqs += ">s" + std::to_string(i) + "::c:0-1(+)\n" + letters[i] + "\n";
    read_inputs(dir.write("m.txt", ">m\n10\t2\t1\t0\n"), dir.write("s.fa", seqs));
}

std::vector<match> analyse_all(int& kept)
{
    analysis_workspace ws(seq_n);
    std::vector<match> matchs(static_cast<std::size_t>(seq_n));
    all_matchs(0, ws, matchs, kept);
    matchs.resize(static_cast<std::size_t>(kept));
    return matchs;
}

}  // namespace

TEST(Analysis, OutliersAreDroppedAndTheRestTestedAmongThemselves)
{
    reset_settings();
    scratch_dir dir;
    // Twenty C and one A: the A lies more than three standard deviations from the mean.
    load_letters(dir, std::string(20, 'C') + "A");
    int kept = 0;
    const auto matchs = analyse_all(kept);
    EXPECT_EQ(kept, 20);
    for (const match& m : matchs) {
        EXPECT_EQ(m.bsite, "C");
        EXPECT_EQ(m.tvalue, 0.0);  // equal kept scores: nothing stands out
        EXPECT_EQ(m.pvalue, 1.0);
    }
}

TEST(Analysis, TwoScoresAreKeptButNotTested)
{
    reset_settings();
    scratch_dir dir;
    load_letters(dir, "AC");
    int kept = 0;
    const auto matchs = analyse_all(kept);
    ASSERT_EQ(kept, 2);
    for (const match& m : matchs) {
        EXPECT_EQ(m.tvalue, 0.0);
        EXPECT_EQ(m.pvalue, 1.0);
    }
}

TEST(Analysis, SequencesWithoutAWindowStayOutOfTheSet)
{
    reset_settings();
    scratch_dir dir;
    read_inputs(dir.write("m.txt", ">m\n10\t0\t0\t0\n0\t10\t0\t0\n"),
        dir.write("s.fa", ">a::c:0-2(+)\nAC\n>b::c:0-2(+)\nGG\n>short::c:0-1(+)\nA\n>c::c:0-2(+)\nTT\n"));
    int kept = 0;
    const auto matchs = analyse_all(kept);
    ASSERT_EQ(kept, 3);  // the short sequence no longer wipes out the motif
    std::set<int> seen;
    for (const match& m : matchs)
        seen.insert(m.si);
    EXPECT_EQ(seen, (std::set<int>{0, 1, 3}));
    EXPECT_GT(matchs[0].tvalue, 0.0);
}

TEST(Analysis, SampleIsDistinctAndReproducibleFromTheSeed)
{
    std::vector<int> pool;
    std::vector<int> first(50);
    std::vector<int> second(50);
    seed_random(99);
    sampling_noputback(100, 50, first, pool);
    seed_random(99);
    sampling_noputback(100, 50, second, pool);
    EXPECT_EQ(first, second);
    EXPECT_EQ(std::set<int>(first.begin(), first.end()).size(), 50u);
    for (int i : first)
        EXPECT_TRUE(i >= 0 && i < 100);
    // Exactly one draw per slot: the generator moved on by 50 values.
    seed_random(99);
    for (int i = 0; i < 50; ++i)
        next_random();
    const int next = next_random();
    seed_random(99);
    sampling_noputback(100, 50, first, pool);
    EXPECT_EQ(next_random(), next);
}

TEST(Analysis, DealingUsesOneDrawPerMotif)
{
    reset_settings();
    scratch_dir dir;
    std::string motifs;
    for (int i = 0; i < 40; ++i)
        motifs += ">m" + std::to_string(i) + "\n1\t2\t3\t4\n";
    read_inputs(dir.write("m.txt", motifs), dir.write("s.fa", ""));
    std::vector<thread_para> paras(8);
    output_file out(dir.file("out.txt"));
    seed_random(5);
    assign_threads(paras, out);
    seed_random(5);
    int total = 0;
    for (int mi = 0; mi < 40; ++mi) {
        const int w = next_random() % 8;
        const auto& list = paras[static_cast<std::size_t>(w)].motif_indexs;
        EXPECT_NE(std::find(list.begin(), list.end(), mi), list.end());
    }
    for (const auto& p : paras) {
        EXPECT_EQ(p.msize, static_cast<int>(p.motif_indexs.size()));
        EXPECT_TRUE(std::is_sorted(p.motif_indexs.begin(), p.motif_indexs.end()));
        total += p.msize;
    }
    EXPECT_EQ(total, 40);
    out.close();
}

TEST(ThreadedRun, WorkerThatCannotStartIsReportedAndTheOthersFinish)
{
    reset_settings();
    score_th = -1e9;  // write every kept site
    scratch_dir dir;
    std::string motifs;
    for (int i = 0; i < 30; ++i)
        motifs += ">m" + std::to_string(i) + "\n" + std::to_string(i) + "\t3\t2\t1\n";
    std::string seqs;
    for (int i = 0; i < 12; ++i)
        seqs += ">s" + std::to_string(i) + "::c:0-4(+)\n" + std::string("ACGTAC").substr(i % 3, 4) + "\n";
    const std::string m = dir.write("m.txt", motifs);
    const std::string s = dir.write("s.fa", seqs);

    seed_random(1);
    testing::internal::CaptureStdout();
    extream_gene_set(m, s, dir.file("all.txt"));
    testing::internal::GetCapturedStdout();

    seed_random(1);
    testing::internal::CaptureStdout();
    EXPECT_THROW(extream_gene_set(m, s, dir.file("part.txt"), [](int worker) { return worker == 2; }), fatal_error);
    const std::string out = testing::internal::GetCapturedStdout();
    EXPECT_NE(out.find("start thread 3\npthread_create error: 2start thread 4\n"), std::string::npos) << out;

    // The lines written are those of every motif but the failed worker's, in order.
    seed_random(1);
    std::vector<thread_para> paras(8);
    output_file scratch(dir.file("scratch.txt"));
    assign_threads(paras, scratch);
    scratch.close();
    const std::set<int> lost(paras[2].motif_indexs.begin(), paras[2].motif_indexs.end());
    ASSERT_FALSE(lost.empty());
    std::string expected;
    for (const std::string& line : split(read_file(dir.file("all.txt")), '\n')) {
        const int mi = std::stoi(line.substr(1, line.find('\t') - 1));
        if (!lost.count(mi))
            expected += line + "\n";
    }
    EXPECT_EQ(read_file(dir.file("part.txt")), expected);
    EXPECT_FALSE(expected.empty());
}

TEST(Analysis, GroupScanOverSeveralBlocksEqualsTheStraightforwardScan)
{
    reset_settings();
    scratch_dir dir;
    // 320 000 letters: more than one block of the group scan.
    std::string seqs;
    std::uint32_t state = 12345;
    const auto next = [&] { return (state = state * 1103515245u + 12345u) >> 16; };
    for (int i = 0; i < 1000; ++i) {
        seqs += ">s" + std::to_string(i) + "::c:0-500(+)\n";
        for (int j = 0; j < 500 - (i % 7) * 60; ++j)
            seqs += "ACGTNacgt"[next() % 9];
        seqs += "\n";
    }
    std::string motifs;
    for (int m = 0; m < 3; ++m) {
        motifs += ">m" + std::to_string(m) + "\n";
        for (int r = 0; r < 6 + 5 * m; ++r)
            motifs += std::to_string(next() % 20) + "\t" + std::to_string(next() % 20) + "\t" +
                std::to_string(next() % 20) + "\t" + std::to_string(next() % 20) + "\n";
    }
    read_inputs(dir.write("m.txt", motifs), dir.write("s.fa", seqs));
    analysis_workspace ws(seq_n, 3);
    std::vector<int> set(static_cast<std::size_t>(seq_n));
    std::iota(set.begin(), set.end(), 0);
    const int group[] = {2, 0, 1};
    scan_group(group, set, ws);
    for (std::size_t g = 0; g < 3; ++g) {
        const motif_quotients mq = make_quotients(motif_db[static_cast<std::size_t>(group[g])], background_frqs);
        for (std::size_t i = 0; i < set.size(); ++i) {
            const window_hit want = best_window_exact(mq, seq_db[i].base);
            const window_hit& got = ws.hits[g * set.size() + i];
            ASSERT_EQ(got.best_pos, want.best_pos) << "motif " << group[g] << " sequence " << i;
            ASSERT_EQ(got.max_rs, want.max_rs) << "motif " << group[g] << " sequence " << i;
        }
    }
}

TEST(Analysis, PValuesAreComputedForTheReportedRecordsOnly)
{
    reset_settings();
    scratch_dir dir;
    load_letters(dir, "AAACCCCGGGGTTTACGTCA");
    int kept = 0;
    const auto every = analyse_all(kept);
    analysis_workspace ws(seq_n);
    std::vector<match> some(static_cast<std::size_t>(seq_n));
    int some_kept = 0;
    all_matchs(0, ws, some, some_kept, report_rule::t_reaches_threshold);
    ASSERT_EQ(some_kept, kept);
    int written = 0;
    for (int i = 0; i < kept; ++i) {
        const auto k = static_cast<std::size_t>(i);
        EXPECT_EQ(some[k].tvalue, every[k].tvalue);
        if (reported(every[k].tvalue, report_rule::t_reaches_threshold)) {
            EXPECT_EQ(some[k].pvalue, every[k].pvalue);
            ++written;
        } else {
            EXPECT_TRUE(std::isnan(some[k].pvalue));
        }
    }
    EXPECT_GT(written, 0);
    EXPECT_LT(written, kept);
}
