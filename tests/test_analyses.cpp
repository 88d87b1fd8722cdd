// The per-motif analysis and the sample.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <numeric>
#include <set>

#include "analyses.h"
#include "loading.h"
#include "random_generator.h"
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

TEST(Analysis, GroupsAreAsLargeAsTheirHitsAllow)
{
    // A group's hits, one per sequence (and on both strands a byte for its strand), stay
    // within 32 MiB unless the group is already at its floor of 8; below its ceiling of 16,
    // one motif more would pass them.
    constexpr std::size_t budget = std::size_t{32} << 20;
    for (const std::size_t n : {0, 1, 20000, 50000, 70000, 200000, 10000000})
        for (const bool both : {false, true}) {
            const std::size_t per_motif = std::max<std::size_t>(n, 1) * (sizeof(window_hit) + (both ? 1 : 0));
            const auto g = static_cast<std::size_t>(motifs_per_group(n, both));
            ASSERT_GE(g, 8u) << n;
            ASSERT_LE(g, 16u) << n;
            if (g > 8) {
                EXPECT_LE(g * per_motif, budget) << n << (both ? " both strands" : "");
            }
            if (g < 16) {
                EXPECT_GT((g + 1) * per_motif, budget) << n << (both ? " both strands" : "");
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

    // Packed, the reported records are the same ones, in the same order.
    const std::vector<int> at = ws.reported_at;
    ASSERT_EQ(at.size(), static_cast<std::size_t>(written));
    std::vector<match> packed(static_cast<std::size_t>(seq_n));
    int packed_kept = 0;
    all_matchs(0, ws, packed, packed_kept, report_rule::t_reaches_threshold, record_set::reported);
    EXPECT_EQ(packed_kept, kept);
    ASSERT_EQ(ws.reported_at, at);
    for (std::size_t k = 0; k < at.size(); ++k) {
        const match& want = some[static_cast<std::size_t>(at[k])];
        EXPECT_EQ(packed[k].si, want.si) << k;
        EXPECT_EQ(packed[k].location, want.location) << k;
        EXPECT_EQ(packed[k].rs, want.rs) << k;
        EXPECT_EQ(packed[k].tvalue, want.tvalue) << k;
        EXPECT_EQ(packed[k].pvalue, want.pvalue) << k;
    }
}

TEST(Analysis, EqualScoresAreNeverOutliersWhateverTheirNumber)
{
    reset_settings();
    scratch_dir dir;
    // The mean of equal scores rounds exactly for some counts (deviation 0) and not for
    // others (a few ulps): the kept set must not depend on which.
    const std::string motifs = ">gata\n1\t2\t3\t4\n9\t1\t0\t1\n2\t1\t7\t1\n9\t0\t1\t0\n0\t1\t0\t9\n";
    for (const int n : {2, 3, 4, 5, 6, 7, 8, 11, 16, 20}) {
        std::string seqs;
        for (int i = 0; i < n; ++i)
            seqs += ">dup" + std::to_string(i) + "::chr1:0-9(+)\nCAGATAAGG\n";
        read_inputs(dir.write("m.txt", motifs), dir.write("s.fa", seqs));
        int kept = 0;
        const auto matchs = analyse_all(kept);
        EXPECT_EQ(kept, n) << n << " identical sequences";
        for (const match& m : matchs) {
            EXPECT_EQ(m.tvalue, 0.0);
            EXPECT_EQ(m.pvalue, 1.0);
        }
    }
}

TEST(Analysis, ScoreExactlyOnTheOutlierCutIsDropped)
{
    reset_settings();
    scratch_dir dir;
    load_letters(dir, std::string(10, 'C'));
    // Nine scores 0 and one 10: mean 1, deviation exactly 3, and the 10 lies exactly
    // 3 deviations (9) from the mean, every step exact in doubles.
    double ten = std::exp(10.0);
    for (int step = 0; step < 64 && std::log(ten) != 10.0; ++step)
        ten = std::nextafter(ten, std::log(ten) < 10.0 ? HUGE_VAL : 0.0);
    ASSERT_EQ(std::log(ten), 10.0);
    std::vector<window_hit> hits(10, window_hit{0, 1.0L});
    hits[4].max_rs = ten;
    analysis_workspace ws(seq_n);
    std::vector<int> set(10);
    std::iota(set.begin(), set.end(), 0);
    std::vector<match> matchs(10);
    int kept = 0;
    analyse_hits(0, set, hits, {}, ws, matchs, kept);
    EXPECT_EQ(kept, 9);
    for (int i = 0; i < kept; ++i)
        EXPECT_NE(matchs[static_cast<std::size_t>(i)].si, 4);
}

TEST(Analysis, RememberedScoresAreThoseOfTheirProductAndWidth)
{
    score_memo memo;
    // Products beyond a double's range first (scored by the extended logarithm, not by a
    // power), then products that share table slots, products met again and products a
    // power of two apart (the same significand), then the same ones for another width:
    // every score must be window_score's for that hit and width.
    std::vector<window_hit> hits{{0, static_cast<scan_product>(1e-400L)}, {0, static_cast<scan_product>(1e400L)}};
    for (int i = 0; i < 20000; ++i) {
        window_hit h;
        h.best_pos = 0;
        h.max_rs = static_cast<scan_product>(1.0L + static_cast<long double>(i % 7000) / 64.0L);
        hits.push_back(h);
    }
    hits.push_back({0, static_cast<scan_product>(0.0L)});
    // Products told apart by their sign alone, each right after its opposite is remembered
    // (theirs are -inf, not the scores of 1 and 2).
    for (const long double p : {1.0L, -1.0L, 2.0L, -2.0L})
        hits.push_back({0, static_cast<scan_product>(p)});
    // Asked for all at once, as a motif's are: those met again wait for the first one's.
    std::vector<double> scores(hits.size());
    for (const int width : {1, 2, 7}) {
        memo.start(width);
        for (std::size_t i = 0; i < hits.size(); ++i)
            memo.ask(hits[i], &scores[i]);
        memo.finish();
        for (std::size_t i = 0; i < hits.size(); ++i)
            ASSERT_EQ(scores[i], window_score(hits[i], width)) << static_cast<double>(hits[i].max_rs) << " width " << width;
    }
    // Motifs of distinct products turn the lookups off, motifs of a few products met again
    // and again turn them back on: either way, every score is window_score's.
    for (int motif = 0; motif < 24; ++motif) {
        const bool distinct = motif < 12;
        const auto hit_of = [&](std::size_t i) { return hits[distinct ? i : i % 50]; };
        std::fill(scores.begin(), scores.end(), std::nan(""));
        memo.start(3);
        for (std::size_t i = 0; i < 7000; ++i)
            memo.ask(hit_of(i), &scores[i]);
        memo.finish();
        for (std::size_t i = 0; i < 7000; ++i)
            ASSERT_EQ(scores[i], window_score(hit_of(i), 3)) << "motif " << motif << ", hit " << i;
    }
    // A product asked for, then left alone for as many generations as the memo tells apart,
    // must still be forgotten, not taken for a later one's: the 100 are asked for again one
    // at a time, each in a generation of its own, across the one its tag comes back at
    // (starting a motif and finishing one each begin a generation).
    memo.start(3);
    for (std::size_t i = 0; i < 100; ++i)
        memo.ask(hits[i], &scores[i]);
    memo.finish();
    for (int motifs = 0; motifs < 65480; ++motifs)
        memo.start(4 + motifs % 2);
    memo.start(5);
    for (std::size_t i = 0; i < 100; ++i) {
        double score = 0.0;
        memo.ask(hits[i], &score);
        memo.finish();
        ASSERT_EQ(score, window_score(hits[i], 5)) << "hit " << i;
    }
}
