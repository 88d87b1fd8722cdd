#include "statistics.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <limits>

#include "cdflib.h"

namespace {

// std_mean of data whose sum, taken in order, is `total`.
void std_mean_of_total(std::span<const double> data, double total, double& std_dev, double& meanr)
{
    const std::size_t n = data.size();
    if (n <= 1) {
        std_dev = 0.0;
        meanr = 0.0;
        return;
    }
    const double mean = total / static_cast<double>(n);
    double cov_cum = 0.0;
    for (const double v : data)
        cov_cum += std::pow(v - mean, 2.0);
    std_dev = std::sqrt(cov_cum / static_cast<double>(n));
    meanr = mean;
}

}  // namespace

void std_mean(std::span<const double> data, double& std_dev, double& meanr)
{
    double total = 0.0;
    for (const double v : data)
        total += v;
    std_mean_of_total(data, total, std_dev, meanr);
}

void std_mean(std::span<const double> data, running_summary sums, double& std_dev, double& meanr)
{
    std_mean_of_total(data, sums.total(), std_dev, meanr);
}

bool all_equal(std::span<const double> data)
{
    if (data.empty())
        return true;
    // Without branches on the values, which follow no pattern.
    double low = data[0];
    double high = data[0];
    for (const double d : data) {
        low = std::min(low, d);
        high = std::max(high, d);
    }
    return low == high;
}

void one_sample_ttest(double one, std::span<const double> rdm_rs, double& pvalue, double& t)
{
    double sd = 0.0, mean = 0.0;
    if (rdm_rs.size() > 2 && !all_equal(rdm_rs))
        std_mean(rdm_rs, sd, mean);
    one_sample_ttest(one, rdm_rs.size(), mean, sd, pvalue, t);
}

double zero_pvalue_from(std::size_t n)
{
    return n <= 2 ? std::numeric_limits<double>::infinity() : cdflib::t_tail_zero_from(static_cast<double>(n) - 1.0);
}

void one_sample_ttest(double one, std::size_t n, double mean, double sd, double& pvalue, double& t)
{
    if (n <= 2) {
        pvalue = 1.0;
        t = 0.0;
        return;
    }
    if (sd == 0.0) {
        // All scores equal: no score stands out (and 0/0 would give NaN).
        pvalue = 1.0;
        t = 0.0;
        return;
    }
    const double nd = static_cast<double>(n);
    const double diff = one - mean;
    const double ts = diff / sd;
    const double tt = diff / (sd / std::sqrt(nd));
    double df = nd - 1.0;

    // The two-sided p-value is the lower tail at -|tt| plus the upper tail at
    // +|tt|. Both come from the same incomplete beta value (half of it each, to
    // the last bit), so one evaluation gives both: the sum is the same number as
    // with two evaluations, at half the cost of the analysis' costliest step.
    const int which = 1;
    double t_r = std::fabs(tt), p_r = 0.0, q_r = 0.0, bound_r = 0.0;
    int status_r = 0;
    cdflib::cdft(&which, &p_r, &q_r, &t_r, &df, &status_r, &bound_r);
    const double p_l = q_r;

    pvalue = status_r != 0 ? 1.0 : q_r + p_l;
    // The reported t value is the standardised difference, not tt.
    t = ts;
}

void one_sample_ttests(std::span<const double> scores, std::size_t n, double mean, double sd, double zero_from,
    std::span<double> pvalues, std::span<double> ts)
{
    if (n <= 2 || sd == 0.0) {
        for (std::size_t i = 0; i < scores.size(); ++i)
            one_sample_ttest(scores[i], n, mean, sd, pvalues[i], ts[i]);
        return;
    }
    const double nd = static_cast<double>(n);
    const double df = nd - 1.0;
    // As one_sample_ttest forms them; the tails of those not certainly 0 in batches.
    constexpr std::size_t batch = 64;
    std::array<double, batch> t_r{}, q_r{};
    std::array<std::size_t, batch> at{};
    for (std::size_t first = 0; first < scores.size(); first += batch) {
        const std::size_t last = std::min(scores.size(), first + batch);
        std::size_t tails = 0;
        for (std::size_t i = first; i < last; ++i) {
            const double diff = scores[i] - mean;
            ts[i] = diff / sd;
            const double tt = diff / (sd / std::sqrt(nd));
            if (tt * tt >= zero_from) {  // both tails 0.0, as the t distribution gives them
                pvalues[i] = 0.0;
                continue;
            }
            t_r[tails] = std::fabs(tt);
            at[tails++] = i;
        }
        cdflib::cumt_upper_tails(&df, t_r.data(), tails, q_r.data());
        for (std::size_t k = 0; k < tails; ++k)
            pvalues[at[k]] = q_r[k] + q_r[k];
    }
}
