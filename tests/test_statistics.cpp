// Tests of the sample statistics and the one-sample t test.
#include <gtest/gtest.h>

#include <cmath>
#include <cstring>
#include <vector>

#include "statistics.h"

namespace {

struct TTest {
    double pvalue = -7.0, t = -7.0;  // sentinels
};

TTest run_ttest(double one, const std::vector<double>& set)
{
    TTest r;
    one_sample_ttest(one, set, r.pvalue, r.t);
    return r;
}

// Two-sided tail of Student's t with 2 degrees of freedom beyond |t|.
double two_sided_df2(double t)
{
    const long double s = std::sqrt(2.0L + static_cast<long double>(t) * t);
    return static_cast<double>(2.0L / (s * (s + std::fabs(t))));
}

// ---------------------------------------------------------------------------
// Sample statistics
// ---------------------------------------------------------------------------

TEST(SampleStatistics, FewerThanTwoValuesGiveZeros)
{
    for (const std::vector<double>& data : {std::vector<double>{}, std::vector<double>{4.5}}) {
        double sd = -1.0, mean = -1.0;
        std_mean(data, sd, mean);
        EXPECT_EQ(sd, 0.0);
        EXPECT_EQ(mean, 0.0);
    }
}

TEST(SampleStatistics, PopulationStandardDeviation)
{
    double sd = 0.0, mean = 0.0;
    const std::vector<double> two{-1.25, 3.75};
    std_mean(two, sd, mean);
    EXPECT_DOUBLE_EQ(mean, 1.25);
    EXPECT_DOUBLE_EQ(sd, 2.5);  // |a - b| / 2

    // Divided by n, not n - 1.
    const std::vector<double> four{1.0, 2.0, 3.0, 4.0};
    std_mean(four, sd, mean);
    EXPECT_DOUBLE_EQ(mean, 2.5);
    EXPECT_DOUBLE_EQ(sd, std::sqrt(1.25));

    // Two passes: a large common offset does not wash out the spread.
    const std::vector<double> shifted{1e8 + 1.0, 1e8 + 2.0, 1e8 + 3.0};
    std_mean(shifted, sd, mean);
    EXPECT_DOUBLE_EQ(mean, 1e8 + 2.0);
    EXPECT_NEAR(sd, std::sqrt(2.0 / 3.0), 1e-8);
}

// ---------------------------------------------------------------------------
// One-sample t test
// ---------------------------------------------------------------------------

// Gathered value by value, the summary gives std_mean's numbers and all_equal's answer,
// for NaNs first or later (all_equal passes over the later ones), zeros of both signs,
// infinities, one value and none.
TEST(SampleStatistics, RunningSummaryAgreesWithThePasses)
{
    const double nan = std::nan("");
    const double inf = INFINITY;
    const std::vector<std::vector<double>> sets{{}, {2.5}, {1.0, 1.0, 1.0}, {0.0, -0.0}, {-0.0, 0.0, 0.0},
        {1.0, 2.0, 4.0, 0.1}, {nan, 1.0, 1.0}, {1.0, nan, 1.0}, {1.0, nan, 2.0}, {-inf, -inf}, {-inf, 3.0, inf}};
    for (const auto& data : sets) {
        running_summary sums;
        for (const double v : data)
            sums.add(v);
        EXPECT_EQ(sums.all_equal(), all_equal(data)) << data.size() << " values";
        double sd = 0.0, mean = 0.0, want_sd = 0.0, want_mean = 0.0;
        std_mean(data, sums, sd, mean);
        std_mean(data, want_sd, want_mean);
        EXPECT_TRUE(std::memcmp(&sd, &want_sd, sizeof sd) == 0 && std::memcmp(&mean, &want_mean, sizeof mean) == 0)
            << sd << " " << want_sd << ", " << mean << " " << want_mean;
    }
}

TEST(OneSampleTTest, WorkedExample)
{
    const TTest r = run_ttest(3.0, {1.0, 2.0, 3.0});
    EXPECT_NEAR(r.t, 1.224745, 5e-7);  // (3 - 2) / sqrt(2/3), not times sqrt(3)
    EXPECT_NEAR(r.pvalue, 0.167950, 5e-7);
    EXPECT_NEAR(r.pvalue, two_sided_df2(r.t * std::sqrt(3.0)), 1e-14);

    // Below the mean: the mirror image.
    const TTest lo = run_ttest(1.0, {1.0, 2.0, 3.0});
    EXPECT_EQ(lo.t, -r.t);
    EXPECT_EQ(lo.pvalue, r.pvalue);
}

TEST(OneSampleTTest, ReportedValueIsTheStandardisedDifference)
{
    // mean 3, population sd sqrt(2): t value sqrt(2); the p-value comes from
    // sqrt(5) times it, sqrt(10), with 4 degrees of freedom.
    const TTest r = run_ttest(5.0, {1.0, 2.0, 3.0, 4.0, 5.0});
    EXPECT_DOUBLE_EQ(r.t, std::sqrt(2.0));
    EXPECT_NEAR(r.pvalue, 0.0341094231674096257, 1e-14);
}

TEST(OneSampleTTest, SmallSetsAreNotTested)
{
    for (const std::vector<double>& set :
        {std::vector<double>{}, std::vector<double>{1.0}, std::vector<double>{1.0, 9.0}}) {
        const TTest r = run_ttest(9.0, set);
        EXPECT_EQ(r.pvalue, 1.0);
        EXPECT_EQ(r.t, 0.0);
    }
}

TEST(OneSampleTTest, ScoreAtTheMeanHasPValueOne)
{
    const TTest r = run_ttest(2.0, {1.0, 2.0, 3.0});
    EXPECT_EQ(r.t, 0.0);
    EXPECT_EQ(r.pvalue, 1.0);  // two tails of exactly 0.5
}

TEST(OneSampleTTest, EqualScoresStandOutNowhere)
{
    const TTest r = run_ttest(0.75, {0.75, 0.75, 0.75, 0.75});
    EXPECT_EQ(r.t, 0.0);
    EXPECT_EQ(r.pvalue, 1.0);
    // Seven equal scores whose mean is not exact: the deviation comes out a few ulps, not 0,
    // yet no score stands out.
    const std::vector<double> seven(7, 0.1);
    double sd = 0.0, mean = 0.0;
    std_mean(seven, sd, mean);
    ASSERT_NE(sd, 0.0) << "the case needs an inexact mean";
    const TTest s = run_ttest(0.1, seven);
    EXPECT_EQ(s.t, 0.0);
    EXPECT_EQ(s.pvalue, 1.0);
}

TEST(OneSampleTTest, ManyAtOnceAndTheZeroBoundChangeNoResult)
{
    // Scores from the middle of the set to far beyond where the p-value reaches 0, on both
    // sides, for sets too small for a bound or the batch's series, and large ones.
    for (const std::size_t n : {2u, 3u, 17u, 18u, 200u, 1500u, 50000u}) {
        const double from = zero_pvalue_from(n);
        std::vector<double> scores;
        for (int k = -4000; k <= 4000; ++k)
            scores.push_back(0.5 + k * 0.003);
        std::vector<double> pvalues(scores.size(), -7.0), ts(scores.size(), -7.0);
        one_sample_ttests(scores, n, 0.5, 0.2, from, pvalues, ts);
        int zeros = 0;
        for (std::size_t i = 0; i < scores.size(); ++i) {
            TTest plain, many{pvalues[i], ts[i]};
            one_sample_ttest(scores[i], n, 0.5, 0.2, plain.pvalue, plain.t);
            ASSERT_EQ(std::memcmp(&plain, &many, sizeof plain), 0) << n << " " << scores[i];
            zeros += plain.pvalue == 0.0;
        }
        if (n >= 200) {
            EXPECT_GT(zeros, 1000) << "the case needs p-values of 0, for " << n;
        }
    }
    // A set whose scores are all equal.
    double p = -7.0, t = -7.0;
    one_sample_ttests(std::vector<double>{0.5}, 40, 0.5, 0.0, zero_pvalue_from(40), std::span(&p, 1), std::span(&t, 1));
    EXPECT_TRUE(p == 1.0 && t == 0.0);
}

TEST(OneSampleTTest, FarOutlierKeepsATinyPValue)
{
    // The two tails are added, never formed as one minus a number near one,
    // so a very small p-value survives.
    std::vector<double> set;
    for (int i = 0; i < 49; ++i)
        set.push_back(0.01 * (i % 7));
    set.push_back(50.0);
    const TTest r = run_ttest(50.0, set);
    EXPECT_GT(r.t, 6.9);
    EXPECT_GT(r.pvalue, 0.0);
    EXPECT_LT(r.pvalue, 1e-30);
}

}  // namespace
