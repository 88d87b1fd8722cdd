// Sample statistics and the one-sample t test used to tell which best-site
// score stands out from the scores of its set.
#pragma once

#include <algorithm>
#include <cmath>
#include <cstddef>
#include <limits>
#include <span>

// Mean and population standard deviation (divided by n, not n - 1) of data.
// Fewer than two values give 0 and 0.
void std_mean(std::span<const double> data, double& std_dev, double& meanr);

// What std_mean and all_equal take from a set of values, gathered as a caller makes them
// one by one, in order: the same numbers as theirs, without passes of their own over the
// values (the sums are chains of dependent additions, which then overlap the caller's work).
class running_summary {
public:
    void add(double v)
    {
        total_ += v;
        // As all_equal compares them, which passes over a NaN but one in first place: the
        // lowest and highest from the infinities on, and the first value's NaN aside, keep
        // the chains of comparisons one instruction long.
        first_nan_ = count_ == 0 ? std::isnan(v) : first_nan_;
        low_ = std::min(low_, v);
        high_ = std::max(high_, v);
        ++count_;
    }
    bool all_equal() const { return count_ == 0 || (!first_nan_ && low_ == high_); }
    double total() const { return total_; }

private:
    double total_ = 0.0;
    double low_ = std::numeric_limits<double>::infinity();
    double high_ = -std::numeric_limits<double>::infinity();
    std::size_t count_ = 0;
    bool first_nan_ = false;
};

// std_mean of `data`, whose values were added to `sums` in this order. By value: a summary
// whose address is taken stays in memory, and its chain of additions goes through it.
void std_mean(std::span<const double> data, running_summary sums, double& std_dev, double& meanr);

// True when every value is the same (or there are none). Decided from the values, not
// from a standard deviation of 0: the mean of equal doubles is not always exact, and the
// deviation then comes out a few ulps instead of 0.
bool all_equal(std::span<const double> data);

// Tests `one` against the reference scores rdm_rs (which normally include it).
// t receives the standardised difference (one - mean) / sd, pvalue the
// two-sided p-value of sqrt(n) * t under Student's t with n - 1 degrees of
// freedom. Sets of 2 or fewer scores, or whose scores are all equal, give p 1 and t 0.
void one_sample_ttest(double one, std::span<const double> rdm_rs, double& pvalue, double& t);

// The t value alone, as one_sample_ttest reports it: (one - mean) / sd, or 0 for sets of
// 2 or fewer scores or sd 0. Deciding which records to write needs only this.
inline double standardised_difference(double one, std::size_t n, double mean, double sd)
{
    if (n <= 2 || sd == 0.0)
        return 0.0;
    return (one - mean) / sd;
}

// The same test when the set's size n, mean and population standard deviation
// are already known: a set's scores are all tested against the same summary,
// and computing it once per score would make the analysis quadratic.
void one_sample_ttest(double one, std::size_t n, double mean, double sd, double& pvalue, double& t);

// The least squared t statistic from which every test of a set of n scores has the
// p-value 0 (far-out scores, most of a large set's written ones), or +infinity.
double zero_pvalue_from(std::size_t n);

// That test of every score against the same set, each result the same as alone, given
// zero_pvalue_from(n): those with the p-value 0 without evaluating the t distribution,
// the others' tails side by side.
void one_sample_ttests(std::span<const double> scores, std::size_t n, double mean, double sd, double zero_from,
    std::span<double> pvalues, std::span<double> ts);
