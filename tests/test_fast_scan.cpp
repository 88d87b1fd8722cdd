// The vector scan against a straightforward scan written here, on generated motifs and
// sequences: every result must agree to the last bit.
#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <utility>
#include <vector>

#include "fast_scan.h"
#include "motif_reader.h"
#include "scan.h"
#include "scan_kernels.h"
#include "seq_reader.h"

namespace {

using codes_t = std::vector<std::uint8_t>;

// Every window's product in extended precision, in window order; a window replaces the
// best only when strictly larger, starting from 0.
window_hit reference_scan(const motif_quotients& mq, const codes_t& codes)
{
    window_hit hit;
    const long windows = static_cast<long>(codes.size()) - mq.width + 1;
    for (long n = 0; n < windows; ++n) {
        scan_product product(1.0f);
        for (int r = 0; r < mq.width; ++r)
            product *= mq.q[static_cast<std::size_t>(r) * 5 + codes[static_cast<std::size_t>(n + r)]];
        if (product > hit.max_rs) {
            hit.max_rs = product;
            hit.best_pos = static_cast<int>(n);
        }
    }
    return hit;
}

// The 80 bits of an x87 extended value (the rest of its storage is padding), or the
// fields of the type that stands for it elsewhere.
[[maybe_unused]] std::array<unsigned char, 10> bits_of(long double v)
{
    std::array<unsigned char, 10> b{};
    std::memcpy(b.data(), &v, b.size());
    return b;
}
[[maybe_unused]] std::tuple<bool, int, std::uint64_t, std::uint64_t> bits_of(const extended& v)
{
    return {v.negative(), v.exponent(), v.significand(), std::bit_cast<std::uint64_t>(static_cast<double>(v))};
}

[[maybe_unused]] std::string product_text(long double p)
{
    char text[64];
    std::snprintf(text, sizeof text, "%.21Lg", p);
    return text;
}
[[maybe_unused]] std::string product_text(const extended& p)
{
    char text[64];
    std::snprintf(text, sizeof text, "about %.17g", static_cast<double>(p));
    return text;
}

std::string describe(const window_hit& h)
{
    return "pos " + std::to_string(h.best_pos) + ", product " + product_text(h.max_rs);
}

codes_t reverse_complement(const codes_t& codes)
{
    codes_t rc(codes.size());
    reverse_complement_codes(codes, rc);
    return rc;
}

// The reference's result on the strand a scanner reads.
window_hit reference_on(scan_strand strand, const motif_quotients& mq, const codes_t& codes)
{
    return reference_scan(mq, strand == scan_strand::given ? codes : reverse_complement(codes));
}

// Checks the scanner against the reference on one sequence, and the same motif's scanner
// on the same path that reads the reverse complement from the same codes.
void expect_same(const fast_scanner& scanner, const motif_quotients& mq, const codes_t& codes, const std::string& what)
{
    for (const scan_strand strand : {scan_strand::given, scan_strand::reverse_complement}) {
        const window_hit want = reference_on(strand, mq, codes);
        const window_hit got = strand == scan_strand::given
            ? scanner.best_window(codes)
            : fast_scanner(mq, scanner.path(), strand).best_window(codes);
        const std::string on = strand == scan_strand::given ? what : what + ", reverse complement";
        EXPECT_EQ(got.best_pos, want.best_pos) << on << ": got " << describe(got) << ", want " << describe(want);
        EXPECT_EQ(bits_of(got.max_rs), bits_of(want.max_rs))
            << on << ": got " << describe(got) << ", want " << describe(want);
    }
}

codes_t random_codes(std::mt19937& rng, std::size_t n, double n_share = 0.0)
{
    std::uniform_int_distribution<int> base(0, 3);
    std::bernoulli_distribution other(n_share);
    codes_t c(n);
    for (auto& x : c)
        x = static_cast<std::uint8_t>(other(rng) ? 4 : base(rng));
    return c;
}

// A pooled composition like a real one: N rare.
constexpr std::array<float, 5> pooled{0.29f, 0.21f, 0.21f, 0.29f, 0.00125f};

// Quotients as the loader makes them, from random counts out of `sites` sites.
motif_quotients counts_motif(std::mt19937& rng, int width, int sites = 100, const std::array<float, 5>& bg = pooled)
{
    motif m;
    m.len = width;
    std::uniform_real_distribution<double> u(0.0, 1.0);
    for (int r = 0; r < width; ++r) {
        // A peaked row now and then, as in real matrices.
        std::array<double, 4> w{u(rng), u(rng), u(rng), u(rng)};
        if (u(rng) < 0.5)
            w[static_cast<std::size_t>(rng() % 4)] += 3.0;
        const double sum = w[0] + w[1] + w[2] + w[3];
        std::array<int, 5> row{};
        for (int c = 0; c < 4; ++c)
            row[static_cast<std::size_t>(c)] =
                static_cast<int>(std::lround(sites * w[static_cast<std::size_t>(c)] / sum));
        m.matrix.push_back(row);
    }
    normalize_pssm(m);
    return make_quotients(m, bg);
}

motif_quotients direct_motif(int width, std::vector<float> q)
{
    motif_quotients mq;
    mq.width = width;
    mq.q = std::move(q);
    return mq;
}

// The paths of 8-bit penalties, which leave a sequence whose best saturates to the 16-bit pass.
bool eight_bit(scan_path path)
{
    return path == scan_path::avx512vbmi || path == scan_path::avx512bytes || path == scan_path::avx2bytes;
}

class FastScan : public testing::TestWithParam<scan_path> {
protected:
    void SetUp() override
    {
        if (!fast_scanner::supported(GetParam()))
            GTEST_SKIP() << fast_scanner::path_name(GetParam()) << " is not supported by this processor";
    }
    // A scanner on the path under test; motifs the log domain takes must really use it.
    fast_scanner scanner(
        const motif_quotients& mq, bool log_domain = true, scan_strand strand = scan_strand::given) const
    {
        fast_scanner s(mq, GetParam(), strand);
        EXPECT_EQ(s.path(), log_domain ? GetParam() : scan_path::exact);
        return s;
    }
};

// ---- Motifs and sequences like the real ones ----

TEST_P(FastScan, RandomMotifsOnRandomSequences)
{
    std::mt19937 rng(1);
    for (int trial = 0; trial < 300; ++trial) {
        const int width = 1 + static_cast<int>(rng() % 30);
        const motif_quotients mq = counts_motif(rng, width);
        const fast_scanner s = scanner(mq);
        for (int k = 0; k < 4; ++k) {
            const std::size_t len = 1 + rng() % 700;
            expect_same(s, mq, random_codes(rng, len, 0.01), "trial " + std::to_string(trial));
        }
    }
}

TEST_P(FastScan, EveryWidthUpToTheMaximum)
{
    std::mt19937 rng(2);
    for (int width = 1; width <= fast_scanner::max_width; ++width) {
        const motif_quotients mq = counts_motif(rng, width);
        const fast_scanner s = scanner(mq);
        expect_same(s, mq, random_codes(rng, 400, 0.02), "width " + std::to_string(width));
    }
}

TEST_P(FastScan, FullLengthSequences)
{
    std::mt19937 rng(3);
    for (int width : {1, 6, 12, 24, 57, 100}) {
        const motif_quotients mq = counts_motif(rng, width);
        const fast_scanner s = scanner(mq);
        expect_same(s, mq, random_codes(rng, 5500, 0.001), "width " + std::to_string(width));
        expect_same(s, mq, random_codes(rng, 5499), "width " + std::to_string(width));
    }
}

TEST_P(FastScan, SequencesLongerThanOneChunk)
{
    // Beyond the largest sequence the tables hold; the scan must still be exact, with the
    // best window early, late or across a chunk's end.
    std::mt19937 rng(4);
    const motif_quotients mq = counts_motif(rng, 15);
    const fast_scanner s = scanner(mq);
    for (std::size_t len : {6158u, 6159u, 6160u, 13000u, 20000u})
        expect_same(s, mq, random_codes(rng, len, 0.001), "length " + std::to_string(len));
    codes_t c = random_codes(rng, 20000);
    for (std::size_t at : {0u, 6140u, 6143u, 6150u, 12290u, 19985u}) {
        codes_t planted = c;
        for (std::size_t i = 0; i < 15; ++i)
            planted[at + i] = 4;  // N scores far above any base here
        expect_same(s, mq, planted, "planted at " + std::to_string(at));
    }
}

TEST_P(FastScan, LengthsAroundTheVectorBlocks)
{
    // Window counts just below, at and above 32, 64 and 128 lanes, for odd and even widths.
    std::mt19937 rng(5);
    for (int width : {1, 2, 7, 8, 31}) {
        const motif_quotients mq = counts_motif(rng, width);
        const fast_scanner s = scanner(mq);
        for (int windows : {1, 2, 31, 32, 33, 63, 64, 65, 95, 96, 97, 127, 128, 129, 160, 255, 256, 257})
            for (int rep = 0; rep < 3; ++rep)
                expect_same(s, mq, random_codes(rng, static_cast<std::size_t>(windows + width - 1), 0.05),
                    "width " + std::to_string(width) + ", windows " + std::to_string(windows));
    }
}

// ---- Sequence shorter than, as long as, or empty against the motif ----

TEST_P(FastScan, SequenceShorterThanTheMotifHasNoWindow)
{
    std::mt19937 rng(6);
    const motif_quotients mq = counts_motif(rng, 10);
    const fast_scanner s = scanner(mq);
    for (std::size_t len : {0u, 1u, 9u}) {
        const window_hit hit = s.best_window(random_codes(rng, len));
        EXPECT_EQ(hit.best_pos, -1);
        EXPECT_EQ(hit.max_rs, scan_product{});
    }
}

TEST_P(FastScan, SequenceAsLongAsTheMotifHasOneWindow)
{
    std::mt19937 rng(7);
    for (int width : {1, 2, 13, 100}) {
        const motif_quotients mq = counts_motif(rng, width);
        const fast_scanner s = scanner(mq);
        const codes_t c = random_codes(rng, static_cast<std::size_t>(width), 0.1);
        const window_hit hit = s.best_window(c);
        EXPECT_EQ(hit.best_pos, 0);
        expect_same(s, mq, c, "width " + std::to_string(width));
    }
}

// ---- Equal and nearly equal products ----

TEST_P(FastScan, UniformRowsTieEverywhereAndTheFirstWindowWins)
{
    std::mt19937 rng(8);
    for (int width : {1, 5, 12, 100}) {
        std::vector<float> q;
        for (int r = 0; r < width; ++r)
            q.insert(q.end(), 5, 0.5f + static_cast<float>(r % 7) * 0.25f);
        const motif_quotients mq = direct_motif(width, q);
        const fast_scanner s = scanner(mq);
        const codes_t c = random_codes(rng, 900, 0.1);
        const window_hit hit = s.best_window(c);
        EXPECT_EQ(hit.best_pos, 0);
        expect_same(s, mq, c, "width " + std::to_string(width));
    }
}

TEST_P(FastScan, RepeatedContentReportsTheEarliestCopy)
{
    std::mt19937 rng(9);
    for (int period : {1, 3, 12, 37}) {
        const codes_t unit = random_codes(rng, static_cast<std::size_t>(period), 0.05);
        codes_t c;
        // Random lead-in, then many copies of the unit.
        c = random_codes(rng, rng() % 50);
        while (c.size() < 1500)
            c.insert(c.end(), unit.begin(), unit.end());
        for (int width : {1, 4, 12, 30}) {
            const motif_quotients mq = counts_motif(rng, width);
            expect_same(scanner(mq), mq, c, "period " + std::to_string(period) + ", width " + std::to_string(width));
        }
    }
}

TEST_P(FastScan, PlantedCopiesOfTheBestSiteTie)
{
    std::mt19937 rng(10);
    for (int trial = 0; trial < 50; ++trial) {
        const int width = 2 + static_cast<int>(rng() % 25);
        const motif_quotients mq = counts_motif(rng, width);
        codes_t site(static_cast<std::size_t>(width));
        for (int r = 0; r < width; ++r) {  // the consensus, bases only
            int best = 0;
            for (int b = 1; b < 4; ++b)
                if (mq.ratio(r, b) > mq.ratio(r, best))
                    best = b;
            site[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(best);
        }
        // Every fifth a longer sequence with one copy past its first 2,048 windows (64
        // vectors of 32), where a pass keeps track of its flags otherwise.
        const bool longer = trial % 5 == 4;
        codes_t c = random_codes(rng, longer ? 3000 : 1000);
        for (int copy = 0; copy < (longer ? 1 : 3); ++copy) {
            const std::size_t at = longer ? 2048 + rng() % 600 : rng() % (c.size() - site.size());
            std::copy(site.begin(), site.end(), c.begin() + static_cast<long>(at));
        }
        expect_same(scanner(mq), mq, c, "trial " + std::to_string(trial));
    }
}

TEST_P(FastScan, PermutedRowsGiveProductsThatDifferInTheLastBits)
{
    // Every row holds the same five quotients in another order, so that many windows
    // multiply the same numbers in different orders: their exact products differ by a
    // rounding or not at all, and only the exact comparison can tell them apart.
    std::mt19937 rng(11);
    const std::array<float, 5> values{0.3f, 1.7f, 2.9f, 0.71f, 1.3f};
    for (int trial = 0; trial < 60; ++trial) {
        const int width = 2 + static_cast<int>(rng() % 40);
        std::vector<float> q;
        for (int r = 0; r < width; ++r) {
            std::array<float, 5> row = values;
            std::shuffle(row.begin(), row.end(), rng);
            q.insert(q.end(), row.begin(), row.end());
        }
        const motif_quotients mq = direct_motif(width, q);
        const fast_scanner s = scanner(mq);
        for (int k = 0; k < 3; ++k)
            expect_same(s, mq, random_codes(rng, 300 + rng() % 300, 0.2), "trial " + std::to_string(trial));
    }
}

TEST_P(FastScan, FewDistinctQuotientsTieOften)
{
    // Quotients that are powers of two multiply exactly, so windows with the same count
    // of each value tie exactly.
    std::mt19937 rng(12);
    for (int trial = 0; trial < 40; ++trial) {
        const int width = 1 + static_cast<int>(rng() % 20);
        std::vector<float> q(static_cast<std::size_t>(width) * 5);
        for (auto& x : q)
            x = std::ldexp(1.0f, static_cast<int>(rng() % 3) - 1);
        const motif_quotients mq = direct_motif(width, q);
        expect_same(scanner(mq), mq, random_codes(rng, 500, 0.1), "trial " + std::to_string(trial));
    }
}

// Quotients whose penalty at the finest scale (2^16 units per unit of ln, which the
// tables use when the spread is small) is `units`: ln q = -units / 2^16.
float quotient_of_units(double units)
{
    return static_cast<float>(std::exp(-units / 65536.0));
}

TEST_P(FastScan, RoundingAgainstTheTrueWinnerInEveryTerm)
{
    // Window B (all C) has the larger product, but in every table term its penalty rounds
    // up by almost 1/2 while window A's (all A) rounds down by as much: B's penalty then
    // lies K - 1 units above the lowest. Built once for one row per term and once for
    // two; a margin smaller than the proven one loses B on the matching path.
    const double eps = 0.015;
    for (int rows_per_term : {1, 2}) {
        const int width = 16;
        std::vector<float> q;
        for (int r = 0; r < width; ++r) {
            const double base = rows_per_term == 1 ? 10.5 : 5.25;
            const double a_units = base - eps / rows_per_term;
            const double b_units = base + eps / rows_per_term - (r == 0 ? 1.0 : 0.0);
            const float row[5] = {
                quotient_of_units(a_units), quotient_of_units(b_units), 1.0f, quotient_of_units(4000.0), 1.0f};
            for (double units : {a_units, b_units})
                ASSERT_NEAR(-65536.0 * std::log(static_cast<double>(quotient_of_units(units))), units, 0.0025);
            q.insert(q.end(), row, row + 5);
        }
        const motif_quotients mq = direct_motif(width, q);
        codes_t c;
        for (std::uint8_t code : {3, 0, 3, 1, 3})  // bad, A, bad, B, bad
            c.insert(c.end(), static_cast<std::size_t>(width), code);
        const window_hit want = reference_scan(mq, c);
        ASSERT_EQ(want.best_pos, 3 * width);  // B wins exactly
        expect_same(scanner(mq), mq, c, std::to_string(rows_per_term) + " rows per term");
    }
}

// ---- Letters other than A, C, G and T ----

TEST_P(FastScan, OtherLettersScoreWithTheNColumn)
{
    std::mt19937 rng(13);
    for (double share : {0.0, 0.01, 0.3, 1.0}) {
        for (int width : {1, 9, 20}) {
            const motif_quotients mq = counts_motif(rng, width);
            const fast_scanner s = scanner(mq);
            expect_same(s, mq, random_codes(rng, 800, share), "N share " + std::to_string(share));
        }
    }
    // A run of N in the middle of bases.
    const motif_quotients mq = counts_motif(rng, 10);
    codes_t c = random_codes(rng, 600);
    std::fill(c.begin() + 200, c.begin() + 260, 4);
    expect_same(scanner(mq), mq, c, "run of N");
}

// ---- Quotients the log domain does not take ----

TEST_P(FastScan, NegativeQuotientsFromNegativeCounts)
{
    std::mt19937 rng(14);
    for (int trial = 0; trial < 40; ++trial) {
        const int width = 1 + static_cast<int>(rng() % 12);
        motif m;
        m.len = width;
        for (int r = 0; r < width; ++r) {
            std::array<int, 5> row{};
            for (int c = 0; c < 4; ++c)
                row[static_cast<std::size_t>(c)] = static_cast<int>(rng() % 60) - 30;
            m.matrix.push_back(row);
        }
        normalize_pssm(m);
        const motif_quotients mq = make_quotients(m, pooled);
        bool any_negative = false;
        for (float x : mq.q)
            any_negative = any_negative || x < 0.0f;
        ASSERT_TRUE(any_negative);
        const fast_scanner s = scanner(mq, false);
        for (int k = 0; k < 3; ++k)
            expect_same(s, mq, random_codes(rng, 1 + rng() % 300, 0.05), "trial " + std::to_string(trial));
    }
}

TEST_P(FastScan, ZeroQuotients)
{
    // A zero quotient makes every window through it score 0, which never wins: a whole
    // row of zeros leaves no window at all.
    std::mt19937 rng(15);
    for (int variant = 0; variant < 3; ++variant) {
        motif_quotients z = counts_motif(rng, 8);
        if (variant == 0)
            std::fill(z.q.begin() + 10, z.q.begin() + 15, 0.0f);  // row 2
        if (variant == 1)
            for (int r = 0; r < 8; ++r)
                z.q[static_cast<std::size_t>(r) * 5 + 2] = 0.0f;  // every G
        if (variant == 2)
            z.q[3 * 5 + 4] = 0.0f;  // N in row 3 only
        const fast_scanner s = scanner(z, false);
        for (int k = 0; k < 5; ++k)
            expect_same(s, z, random_codes(rng, 200, 0.05), "variant " + std::to_string(variant));
        if (variant == 0) {
            EXPECT_EQ(s.best_window(random_codes(rng, 200)).best_pos, -1);
        }
    }
}

TEST_P(FastScan, InfiniteAndNotANumberQuotients)
{
    std::mt19937 rng(16);
    const float inf = std::numeric_limits<float>::infinity();
    const float nan = std::numeric_limits<float>::quiet_NaN();
    for (float bad : {inf, nan}) {
        motif_quotients z = counts_motif(rng, 6);
        z.q[2 * 5 + 1] = bad;
        const fast_scanner s = scanner(z, false);
        for (int k = 0; k < 5; ++k)
            expect_same(s, z, random_codes(rng, 300), "bad quotient");
    }
}

TEST_P(FastScan, WidthZeroScoresEveryWindowAsOne)
{
    const motif_quotients mq = direct_motif(0, {});
    const fast_scanner s = scanner(mq, false);
    const codes_t c{0, 1, 2, 3};
    const window_hit hit = s.best_window(c);
    EXPECT_EQ(hit.best_pos, 0);
    EXPECT_EQ(hit.max_rs, scan_product(1.0f));
    expect_same(s, mq, {}, "empty sequence");
}

TEST_P(FastScan, WiderThanTheTablesUsesTheExactLoop)
{
    std::mt19937 rng(17);
    motif_quotients mq = counts_motif(rng, 101);
    const fast_scanner s = scanner(mq, false);
    expect_same(s, mq, random_codes(rng, 400), "width 101");
}

// ---- Products beyond the range of a double, and extreme spreads ----

TEST_P(FastScan, ProductsThatUnderflowADouble)
{
    std::mt19937 rng(18);
    std::uniform_real_distribution<float> u(0.5f, 4.0f);
    for (int width : {60, 80, 100}) {
        std::vector<float> q(static_cast<std::size_t>(width) * 5);
        for (auto& x : q)
            x = 1e-7f * u(rng);  // at most 4e-7: below 1e-380 over 60 rows
        const motif_quotients mq = direct_motif(width, q);
        const fast_scanner s = scanner(mq);
        const codes_t c = random_codes(rng, 700, 0.05);
        const window_hit hit = s.best_window(c);
        ASSERT_GE(hit.best_pos, 0);
        EXPECT_EQ(static_cast<double>(hit.max_rs), 0.0);  // below a double, still a long double
        expect_same(s, mq, c, "width " + std::to_string(width));
    }
}

TEST_P(FastScan, QuotientsAtTheEndsOfTheFloatRange)
{
    // Subnormal and huge floats, 100 rows: the products stay within a long double.
    std::mt19937 rng(19);
    const std::array<float, 6> extremes{std::numeric_limits<float>::denorm_min(), 1e-42f,
        std::numeric_limits<float>::min(), 1.0f, 1e30f, std::numeric_limits<float>::max()};
    for (int trial = 0; trial < 10; ++trial) {
        std::vector<float> q(500);
        for (auto& x : q)
            x = extremes[rng() % extremes.size()];
        const motif_quotients mq = direct_motif(100, q);
        const fast_scanner s = scanner(mq);
        for (int k = 0; k < 3; ++k)
            expect_same(s, mq, random_codes(rng, 100 + rng() % 500, 0.2), "trial " + std::to_string(trial));
    }
}

TEST_P(FastScan, OneExtremeQuotientCoarsensTheScaleButStaysExact)
{
    // One tiny quotient widens the spread the penalties must cover; many windows then
    // fall within the margin and are decided by their exact products.
    std::mt19937 rng(20);
    for (int width : {2, 30, 100}) {
        motif_quotients mq = counts_motif(rng, width);
        mq.q[0] = 1e-38f;
        mq.q[static_cast<std::size_t>(width - 1) * 5 + 3] = 3e38f;
        const fast_scanner s = scanner(mq);
        for (int k = 0; k < 3; ++k)
            expect_same(s, mq, random_codes(rng, 1000, 0.01), "width " + std::to_string(width));
    }
}

TEST_P(FastScan, CountsAsTheLoaderMakesThemFromLargeCounts)
{
    // Counts near the int range and rare letters in the pool give huge quotients.
    std::mt19937 rng(21);
    const std::array<float, 5> skewed{0.7f, 0.2f, 0.0999f, 1e-6f, 1e-9f};
    for (int trial = 0; trial < 30; ++trial) {
        const int width = 1 + static_cast<int>(rng() % 40);
        const motif_quotients mq = counts_motif(rng, width, 2000000000, skewed);
        expect_same(scanner(mq), mq, random_codes(rng, 600, 0.01), "trial " + std::to_string(trial));
    }
}

// ---- Use as the analyses use it ----

TEST_P(FastScan, OneScannerFromSeveralThreads)
{
    std::mt19937 rng(22);
    const motif_quotients mq = counts_motif(rng, 14);
    const fast_scanner s = scanner(mq);
    std::vector<codes_t> seqs;
    std::vector<window_hit> want;
    for (int i = 0; i < 200; ++i) {
        seqs.push_back(random_codes(rng, 200 + rng() % 2000, 0.01));
        want.push_back(reference_scan(mq, seqs.back()));
    }
    std::vector<int> wrong(4, 0);
    std::vector<std::thread> workers;
    for (int t = 0; t < 4; ++t)
        workers.emplace_back([&, t] {
            for (int round = 0; round < 5; ++round)
                for (std::size_t i = 0; i < seqs.size(); ++i) {
                    const window_hit got = s.best_window(seqs[i]);
                    if (got.best_pos != want[i].best_pos || bits_of(got.max_rs) != bits_of(want[i].max_rs))
                        ++wrong[static_cast<std::size_t>(t)];
                }
        });
    for (auto& w : workers)
        w.join();
    for (int t = 0; t < 4; ++t)
        EXPECT_EQ(wrong[static_cast<std::size_t>(t)], 0) << "thread " << t;
}

TEST_P(FastScan, TheLogDomainLeavesFewWindowsToTheExactProduct)
{
    // On a motif of real shape most windows are ruled out by their penalty alone, and the
    // counts tell how many were scored and how many multiplied out.
    std::mt19937 rng(23);
    const motif_quotients mq = counts_motif(rng, 12);
    const fast_scanner s = scanner(mq);
    scan_counts counts;
    for (int i = 0; i < 100; ++i) {
        const codes_t c = random_codes(rng, 500);
        const window_hit got = s.best_window(c, &counts);
        ASSERT_EQ(got.best_pos, reference_scan(mq, c).best_pos);
    }
    EXPECT_EQ(counts.windows, 100 * (500 - 12 + 1));
    EXPECT_GE(counts.exact, 100);  // at least the winner of each
    if (GetParam() == scan_path::exact) {
        EXPECT_EQ(counts.exact, counts.windows);
    } else {
        EXPECT_LT(counts.exact, counts.windows / 20);
    }
}

// ---- Many sequences in one call ----

TEST_P(FastScan, BatchGivesEachSequenceItsOwnResult)
{
    // Lengths mixed so that single candidates, several candidates, long sequences and
    // sequences without a window alternate, in batches not a multiple of four.
    std::mt19937 rng(26);
    for (int trial = 0; trial < 30; ++trial) {
        const int width = 1 + static_cast<int>(rng() % 24);
        const motif_quotients mq = trial % 3 == 0
            ? direct_motif(width, std::vector<float>(static_cast<std::size_t>(width) * 5, 1.5f))
            : counts_motif(rng, width);
        const fast_scanner s = scanner(mq);
        std::vector<codes_t> seqs;
        const std::size_t count = 1 + rng() % 23;
        for (std::size_t i = 0; i < count; ++i) {
            const std::size_t len = rng() % 5 == 0 ? rng() % static_cast<unsigned>(width + 1)
                : rng() % 7 == 0                   ? 300 + rng() % 7000
                                                   : 1 + rng() % 400;
            seqs.push_back(random_codes(rng, len, 0.02));
        }
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        std::vector<window_hit> hits(count, window_hit{-7, -7.0L});
        scan_counts counts;
        s.best_windows(spans, hits, &counts);
        long long windows = 0;
        for (std::size_t i = 0; i < count; ++i) {
            const window_hit want = reference_scan(mq, seqs[i]);
            EXPECT_EQ(hits[i].best_pos, want.best_pos) << "trial " << trial << ", sequence " << i;
            EXPECT_EQ(bits_of(hits[i].max_rs), bits_of(want.max_rs)) << "trial " << trial << ", sequence " << i;
            windows += std::max(0L, static_cast<long>(seqs[i].size()) - width + 1);
        }
        EXPECT_EQ(counts.windows, windows);
        // The same through a block whose term indices every motif shares.
        scan_block block;
        block.assign(spans, GetParam());
        std::vector<window_hit> from_block(count, window_hit{-7, -7.0L});
        s.best_windows(block, from_block);
        for (std::size_t i = 0; i < count; ++i) {
            EXPECT_EQ(from_block[i].best_pos, hits[i].best_pos) << "trial " << trial << ", sequence " << i;
            EXPECT_EQ(bits_of(from_block[i].max_rs), bits_of(hits[i].max_rs)) << "trial " << trial << ", sequence " << i;
        }
    }
}

TEST_P(FastScan, NearTiesThatRoundingCanReorder)
{
    // Every row has two bases whose quotients differ by a factor of up to e^0.3 (about a step
    // of the coarsest table scale) or by under 1%, and the sequences hold only those two:
    // many windows lie within a rounding step of the best, so a margin short of what the
    // rounding needs drops the true winner.
    std::mt19937 rng(29);
    std::uniform_real_distribution<float> u(0.0f, 1.0f);
    for (int trial = 0; trial < 400; ++trial) {
        const int width = 3 + static_cast<int>(rng() % 28);
        std::vector<float> q;
        for (int r = 0; r < width; ++r) {
            const float a = 0.5f + 1.5f * u(rng);
            const float spread = trial % 2 == 0 ? 0.3f : 0.02f;
            q.insert(q.end(), {a, a * std::exp(spread * (u(rng) - 0.5f)), 0.05f, 0.04f, 0.1f});
        }
        const motif_quotients mq = direct_motif(width, q);
        const fast_scanner s = scanner(mq);
        codes_t c(300);
        for (auto& x : c)
            x = static_cast<std::uint8_t>(rng() % 2);
        expect_same(s, mq, c, "trial " + std::to_string(trial));
    }
}

namespace {

// 18 rows that each want A: in a sequence of T the best window lies far below what the
// 8-bit scale resolves.
motif_quotients wants_a_everywhere()
{
    const int width = 18;
    std::vector<float> q;
    for (int r = 0; r < width; ++r)
        q.insert(q.end(), {3.2f, 0.02f, 0.03f, 0.01f, 0.5f});
    return direct_motif(width, q);
}

// Sequence i of `len` codes for a pair of motifs: at times with an N or so, at times all T
// (where wants_a_everywhere's best is too far down for 8 bits).
codes_t pair_codes(std::mt19937& rng, int i, std::size_t len)
{
    codes_t c = random_codes(rng, len, i % 11 == 4 ? 0.01 : 0.0);
    if (i % 8 == 1)
        std::fill(c.begin(), c.end(), static_cast<std::uint8_t>(3));
    return c;
}

// One motif of a trial's pair: random counts of a random width; in every fifth trial, for the
// one `hard` marks, wants_a_everywhere; in some, rows all equal.
motif_quotients pair_motif(std::mt19937& rng, int trial, bool hard)
{
    const int width = 1 + static_cast<int>(rng() % 40);
    if (hard && trial % 5 == 0)
        return wants_a_everywhere();
    if (trial % 7 == 3)
        return direct_motif(width, std::vector<float>(static_cast<std::size_t>(width) * 5, 1.25f));
    return counts_motif(rng, width);
}

}  // namespace

TEST_P(FastScan, WhatEightBitsCannotTellGoesToTheSixteenBitPass)
{
    // A motif that wants A everywhere: in a sequence of T its best window lies far below
    // what the 8-bit scale resolves; an N or a sequence beyond the 8-bit buffers goes to the
    // 16-bit pass as well. Every result stays exact, and the 8-bit path says it handed over.
    const motif_quotients mq = wants_a_everywhere();
    const fast_scanner s = scanner(mq);
    std::mt19937 rng(28);
    std::vector<codes_t> seqs{codes_t(300, 3), codes_t(300, 0), random_codes(rng, 300),
        random_codes(rng, 300, 0.01), random_codes(rng, 7000)};
    seqs[0][150] = 0;  // one A among the T: the only window that stands out, barely
    seqs[3][40] = 4;
    scan_counts counts;
    for (std::size_t i = 0; i < seqs.size(); ++i)
        expect_same(s, mq, seqs[i], "sequence " + std::to_string(i));
    for (const codes_t& c : seqs)
        s.best_window(c, &counts);
    if (eight_bit(GetParam()))
        EXPECT_GE(counts.rescanned, 3);
    else
        EXPECT_EQ(counts.rescanned, 0);
}

TEST_P(FastScan, NeighboursOfABlockScoredTogetherKeepTheirOwnResults)
{
    // Sequences of one length, so that neighbours in a block are scored two at a time,
    // each kind of sequence in each place of a pair: a best window too far down for 8 bits
    // (scanned again by the 16-bit pass), every window equal (the earliest wins), an N
    // (no term indices: it goes alone and the pairs after it shift by one), a planted
    // best site and plain random letters; 25 pairs, across a batch's end.
    const motif_quotients mq = wants_a_everywhere();
    const int width = mq.width;
    std::mt19937 rng(33);
    for (const auto& shape : {std::pair{std::size_t{40}, scan_strand::given},
             std::pair{std::size_t{300}, scan_strand::given}, std::pair{std::size_t{529}, scan_strand::given},
             std::pair{std::size_t{300}, scan_strand::reverse_complement}}) {
        const std::size_t length = shape.first;  // not a structured binding: the lambda below takes it
        const scan_strand strand = shape.second;
        const fast_scanner s = scanner(mq, true, strand);
        const auto kind = [&](int k) {
            codes_t c = k == 1 ? codes_t(length, 0) : k == 0 ? codes_t(length, 3) : random_codes(rng, length);
            if (k == 0)
                c[length / 2] = 0;  // one A among the T
            if (k == 2)
                c[rng() % length] = 4;
            if (k == 3)
                std::fill_n(c.begin() + static_cast<long>(rng() % (length - width + 1)), width, 0);
            return c;
        };
        std::vector<codes_t> seqs;
        for (int first = 0; first < 5; ++first)
            for (int second = 0; second < 5; ++second) {
                seqs.push_back(kind(first));
                seqs.push_back(kind(second));
            }
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        scan_block block;
        block.assign(spans, GetParam());
        std::vector<window_hit> hits(seqs.size(), window_hit{-7, -7.0L});
        scan_counts counts;
        s.best_windows(block, hits, &counts);
        for (std::size_t i = 0; i < seqs.size(); ++i) {
            const window_hit want = reference_on(strand, mq, seqs[i]);
            EXPECT_EQ(hits[i].best_pos, want.best_pos) << "length " << length << ", sequence " << i;
            EXPECT_EQ(bits_of(hits[i].max_rs), bits_of(want.max_rs)) << "length " << length << ", sequence " << i;
        }
        if (eight_bit(GetParam())) {
            EXPECT_GE(counts.rescanned, 10);  // each sequence of T with its one A, at least
        }
    }
}

TEST_P(FastScan, SeveralNearBestSitesPerSequenceAcrossABatch)
{
    // Each sequence holds the motif's best site and copies of it or one base off it (or
    // second best sites: ties the earliest copy wins), two to seven in all, near or far
    // apart: several candidates per sequence, whose products several sequences work out
    // together. Each must land in its own sequence's result, a later one beating an earlier
    // only when strictly larger. Read as its reverse complement, a tie goes to the copy
    // last here, which comes first there.
    std::mt19937 rng(31);
    for (int trial = 0; trial < 24; ++trial) {
        const scan_strand strand = trial % 4 == 3 ? scan_strand::reverse_complement : scan_strand::given;
        const int width = 6 + static_cast<int>(rng() % 15);
        const std::size_t copies = 2 + static_cast<std::size_t>(trial) % 6;
        const motif_quotients mq = counts_motif(rng, width);
        codes_t best(static_cast<std::size_t>(width));
        for (int r = 0; r < width; ++r) {
            const float* row = mq.q.data() + static_cast<std::size_t>(r) * 5;
            best[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(std::max_element(row, row + 4) - row);
        }
        const fast_scanner s = scanner(mq, true, strand);
        std::vector<codes_t> seqs;
        const std::size_t count = 20 + rng() % 50;
        for (std::size_t i = 0; i < count; ++i) {
            codes_t c = random_codes(rng, static_cast<std::size_t>(copies * best.size() + 10 + rng() % 600));
            std::size_t slack = c.size() - copies * best.size();
            std::size_t at = 0;
            const std::size_t exact = rng() % copies;  // at least one the best itself
            for (std::size_t k = 0; k < copies; ++k) {
                const std::size_t gap = rng() % (slack / (copies - k) + 1);
                slack -= gap;
                at += gap;
                codes_t copy = best;
                if (k != exact && rng() % 3 != 0)
                    copy[rng() % copy.size()] ^= 1;
                std::copy(copy.begin(), copy.end(), c.begin() + static_cast<long>(at));
                at += best.size();
            }
            seqs.push_back(std::move(c));
        }
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        scan_block block;
        block.assign(spans, GetParam());
        std::vector<window_hit> hits(count, window_hit{-7, -7.0L});
        std::vector<window_hit> from_block(count, window_hit{-7, -7.0L});
        s.best_windows(spans, hits);
        s.best_windows(block, from_block);
        for (std::size_t i = 0; i < count; ++i) {
            const window_hit want = reference_on(strand, mq, seqs[i]);
            for (const window_hit& got : {hits[i], from_block[i]}) {
                EXPECT_EQ(got.best_pos, want.best_pos) << "trial " << trial << ", sequence " << i;
                EXPECT_EQ(bits_of(got.max_rs), bits_of(want.max_rs)) << "trial " << trial << ", sequence " << i;
            }
        }
    }
}

TEST_P(FastScan, BatchFillsOnlyAsManyResultsAsBothSpansHold)
{
    std::mt19937 rng(27);
    const motif_quotients mq = counts_motif(rng, 8);
    const fast_scanner s = scanner(mq);
    std::vector<codes_t> seqs;
    for (int i = 0; i < 9; ++i)
        seqs.push_back(random_codes(rng, 100));
    std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
    std::vector<window_hit> hits(9, window_hit{-7, -7.0L});
    s.best_windows(std::span(spans).first(6), hits);
    for (std::size_t i = 0; i < 6; ++i)
        EXPECT_EQ(hits[i].best_pos, reference_scan(mq, seqs[i]).best_pos);
    for (std::size_t i = 6; i < 9; ++i)
        EXPECT_EQ(hits[i].best_pos, -7);
    s.best_windows(spans, std::span(hits).first(2));
    EXPECT_EQ(hits[6].best_pos, -7);
}

// ---- Two motifs in one pass ----

TEST_P(FastScan, TwoMotifsTogetherKeepEachMotifsOwnResults)
{
    // Two motifs scored from the same loads of a block's term indices must each get
    // exactly what they get alone: widths apart (term counts and window counts differ, the
    // vectors of windows at times too), either strand for either, one motif's best too far
    // down for 8 bits while the other's is not, every window equal, N, sequences shorter
    // than a motif and longer than the registers hold.
    std::mt19937 rng(43);
    for (int trial = 0; trial < 60; ++trial) {
        motif_quotients mq[2] = {pair_motif(rng, trial, true), pair_motif(rng, trial, false)};
        // Now and then the widest motif beside a narrow one: their windows end vectors apart,
        // and the wider one's terms read furthest past a sequence's end.
        if (trial % 6 == 5)
            mq[1] = counts_motif(rng, fast_scanner::max_width);
        const scan_strand strands[2] = {trial % 4 == 1 ? scan_strand::reverse_complement : scan_strand::given,
            trial % 3 == 2 ? scan_strand::reverse_complement : scan_strand::given};
        const fast_scanner scanners[2] = {scanner(mq[0], true, strands[0]), scanner(mq[1], true, strands[1])};
        std::vector<codes_t> seqs;
        for (int i = 0; i < 45; ++i) {
            // Lengths near a multiple of 64 windows for one of the widths, and the rest.
            const std::size_t near = static_cast<std::size_t>(64 * (1 + rng() % 8) + mq[rng() % 2].width - 1);
            const std::size_t len = i % 9 == 0 ? rng() % 12
                : i % 5 == 0                   ? 520 + rng() % 900
                : i % 3 == 0                   ? near - 2 + rng() % 5
                                               : 1 + rng() % 520;
            seqs.push_back(pair_codes(rng, i, len));
        }
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        scan_block block;
        block.assign(spans, GetParam());
        std::vector<window_hit> hits[2] = {std::vector<window_hit>(seqs.size() + 1, window_hit{-7, -7.0L}),
            std::vector<window_hit>(seqs.size(), window_hit{-7, -7.0L})};
        scan_counts together;
        fast_scanner::best_windows_of_two(scanners[0], scanners[1], block, hits[0], hits[1], &together);
        // The same windows flagged, evaluated and scanned again as by each motif alone: each
        // has its own threshold and margin.
        scan_counts alone;
        std::vector<window_hit> scratch(seqs.size());
        for (const fast_scanner& s : scanners)
            s.best_windows(block, scratch, &alone);
        EXPECT_EQ(together.windows, alone.windows) << "trial " << trial;
        EXPECT_EQ(together.flagged, alone.flagged) << "trial " << trial;
        EXPECT_EQ(together.exact, alone.exact) << "trial " << trial;
        EXPECT_EQ(together.rescanned, alone.rescanned) << "trial " << trial;
        for (int k = 0; k < 2; ++k)
            for (std::size_t i = 0; i < seqs.size(); ++i) {
                const window_hit want = reference_on(strands[k], mq[k], seqs[i]);
                const std::string where = "trial " + std::to_string(trial) + ", motif " + std::to_string(k) +
                    " (width " + std::to_string(mq[k].width) + "), sequence " + std::to_string(i) + " of length " +
                    std::to_string(seqs[i].size());
                EXPECT_EQ(hits[k][i].best_pos, want.best_pos) << where;
                EXPECT_EQ(bits_of(hits[k][i].max_rs), bits_of(want.max_rs)) << where;
            }
        EXPECT_EQ(hits[0].back().best_pos, -7) << "only as many sequences as all three hold";
    }
}

TEST_P(FastScan, EveryPairOfNarrowWidthsTogether)
{
    // Narrow pairs are scored a vector at a time with every row at hand, the pair's narrower
    // motif given rows that add nothing past its own: every term count there and just past
    // it, beside an equal width, the next one (one term more, at odd widths) and one term
    // fewer, on sequences ending in every lane of a vector, the windows of the two ending in
    // different vectors.
    std::mt19937 rng(53);
    for (int width = 1; width <= 19; ++width)
        for (const int other : {width, width + 1, std::max(1, width - 2)}) {
            const motif_quotients mq[2] = {counts_motif(rng, width), counts_motif(rng, other)};
            const fast_scanner scanners[2] = {scanner(mq[0]), scanner(mq[1])};
            std::vector<codes_t> seqs;
            for (std::size_t len = 200; len < 200 + 40; ++len)
                seqs.push_back(random_codes(rng, len + rng() % 3 * 32));
            std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
            scan_block block;
            block.assign(spans, GetParam());
            std::vector<window_hit> hits[2] = {
                std::vector<window_hit>(seqs.size()), std::vector<window_hit>(seqs.size())};
            fast_scanner::best_windows_of_two(scanners[0], scanners[1], block, hits[0], hits[1]);
            for (int k = 0; k < 2; ++k)
                for (std::size_t i = 0; i < seqs.size(); ++i) {
                    const window_hit want = reference_scan(mq[k], seqs[i]);
                    const std::string where = "widths " + std::to_string(width) + " and " + std::to_string(other) +
                        ", motif " + std::to_string(k) + ", length " + std::to_string(seqs[i].size());
                    EXPECT_EQ(hits[k][i].best_pos, want.best_pos) << where;
                    EXPECT_EQ(bits_of(hits[k][i].max_rs), bits_of(want.max_rs)) << where;
                }
        }
}

TEST_P(FastScan, TwoMotifsFarApartInWidthLeaveOutTheWindowsPastTheWiderOnesEnd)
{
    // Scored beside the narrowest motif, the widest one's lanes run vectors past its own last
    // window, into the next sequence's indices: here each next sequence starts with the wide
    // motif's best site, so such a lane, left in, would be the lowest penalty of all.
    std::mt19937 rng(47);
    const motif_quotients wide = counts_motif(rng, fast_scanner::max_width);
    const fast_scanner scanners[2] = {scanner(counts_motif(rng, 1)), scanner(wide)};
    codes_t site(static_cast<std::size_t>(wide.width));
    for (int r = 0; r < wide.width; ++r)
        for (int b = 1; b < 4; ++b)
            if (wide.ratio(r, b) > wide.ratio(r, site[static_cast<std::size_t>(r)]))
                site[static_cast<std::size_t>(r)] = static_cast<std::uint8_t>(b);
    std::vector<codes_t> seqs;
    for (int i = 0; i < 16; ++i) {
        codes_t c = random_codes(rng, static_cast<std::size_t>(wide.width + 1 + 32 * (i % 4) + i));
        if (i % 2 == 1)
            std::copy(site.begin(), site.end(), c.begin());
        seqs.push_back(c);
    }
    std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
    scan_block block;
    block.assign(spans, GetParam());
    std::vector<window_hit> hits[2] = {std::vector<window_hit>(seqs.size()), std::vector<window_hit>(seqs.size())};
    fast_scanner::best_windows_of_two(scanners[0], scanners[1], block, hits[0], hits[1]);
    for (std::size_t i = 0; i < seqs.size(); ++i) {
        const window_hit want = reference_scan(wide, seqs[i]);
        EXPECT_EQ(hits[1][i].best_pos, want.best_pos) << "sequence " << i << " of length " << seqs[i].size();
        EXPECT_EQ(bits_of(hits[1][i].max_rs), bits_of(want.max_rs)) << "sequence " << i;
    }
}

// ---- Both strands in one pass ----

TEST_P(FastScan, BothStrandsTogetherGiveTheBestOverBoth)
{
    // Of the two hits a sequence gets, the better by reverse_wins must be the
    // straightforward best over both strands: the larger product, the given strand's on
    // equal ones. Hard cases: products equal across the strands (quotients that are powers
    // of two multiply exactly in any order, and a sequence that is its own reverse
    // complement has the same windows on both), every window equal, a best too far down
    // for 8 bits, N, and sequences long enough for penalties kept in memory and for more
    // than 64 vectors of windows.
    std::mt19937 rng(41);
    const auto palindrome = [&](std::size_t half) {
        codes_t c = random_codes(rng, half);
        const codes_t rc = reverse_complement(c);
        c.insert(c.end(), rc.begin(), rc.end());
        return c;
    };
    std::vector<std::pair<std::string, motif_quotients>> motifs{{"wants A", wants_a_everywhere()}};
    for (int width : {1, 4, 9, 16, 31})
        motifs.emplace_back("counts, width " + std::to_string(width), counts_motif(rng, width));
    std::vector<float> powers;
    for (int r = 0; r < 7; ++r)
        for (int b = 0; b < 5; ++b)
            powers.push_back(std::ldexp(1.0f, static_cast<int>(rng() % 5) - 2));
    motifs.emplace_back("powers of two", direct_motif(7, powers));
    motifs.emplace_back("uniform", direct_motif(6, std::vector<float>(30, 0.75f)));
    for (const auto& [name, mq] : motifs) {
        std::vector<codes_t> seqs{palindrome(150), palindrome(700), codes_t(300, 3), random_codes(rng, 300, 0.01),
            random_codes(rng, 2), random_codes(rng, 5000)};
        seqs[2][100] = 0;
        for (int i = 0; i < 40; ++i)
            seqs.push_back(random_codes(rng, 1 + rng() % 1200));
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        scan_block block;
        block.assign(spans, GetParam());
        const both_strands_scanner both(mq, GetParam());
        // A strand left as it was would win with this.
        const window_hit stale{-7, scan_product(3.0e38f) * scan_product(3.0e38f)};
        std::vector<window_hit> given(seqs.size(), stale);
        std::vector<window_hit> reverse(seqs.size(), stale);
        both.best_windows(block, given, reverse);
        int reverse_won = 0;
        for (std::size_t i = 0; i < seqs.size(); ++i) {
            const window_hit want_given = reference_scan(mq, seqs[i]);
            const window_hit want_reverse = reference_scan(mq, reverse_complement(seqs[i]));
            const bool want = reverse_wins(want_given, want_reverse);
            const bool got = reverse_wins(given[i], reverse[i]);
            const window_hit& w = want ? want_reverse : want_given;
            const window_hit& g = got ? reverse[i] : given[i];
            const std::string what = name + ", sequence " + std::to_string(i);
            EXPECT_EQ(got, want) << what;
            EXPECT_EQ(g.best_pos, w.best_pos) << what << ": got " << describe(g) << ", want " << describe(w);
            EXPECT_EQ(bits_of(g.max_rs), bits_of(w.max_rs)) << what;
            reverse_won += want;
        }
        // Both strands must really compete (of one letter, the best is on both).
        if (name.starts_with("counts") && mq.width > 1) {
            EXPECT_GT(reverse_won, 5) << name;
        }
    }
}

TEST_P(FastScan, ScalesChosenForATypicalLengthStayExact)
{
    // Tuned for short sequences, the 8-bit scale is coarser (more windows flagged, fewer
    // left to the 16-bit pass); scanners tuned for one length scan sequences of any, two
    // motifs together and a motif on both strands.
    std::mt19937 rng(61);
    for (const long typical : {2L, 30L, 200L, 1000L}) {
        std::vector<codes_t> seqs;
        for (int i = 0; i < 40; ++i)
            seqs.push_back(random_codes(rng, i % 2 == 0 ? static_cast<std::size_t>(typical) : 1 + rng() % 700));
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        scan_block block;
        block.assign(spans, GetParam());
        for (int trial = 0; trial < 6; ++trial) {
            const motif_quotients mq[2] = {counts_motif(rng, 1 + static_cast<int>(rng() % 30)),
                counts_motif(rng, 1 + static_cast<int>(rng() % 30))};
            const fast_scanner scanners[2] = {fast_scanner(mq[0], GetParam(), scan_strand::given, typical),
                fast_scanner(mq[1], GetParam(), scan_strand::given, typical)};
            std::vector<window_hit> hits[2] = {
                std::vector<window_hit>(seqs.size()), std::vector<window_hit>(seqs.size())};
            fast_scanner::best_windows_of_two(scanners[0], scanners[1], block, hits[0], hits[1]);
            std::vector<window_hit> given(seqs.size());
            std::vector<window_hit> reverse(seqs.size());
            both_strands_scanner(mq[0], GetParam(), typical).best_windows(block, given, reverse);
            for (std::size_t i = 0; i < seqs.size(); ++i) {
                const std::string what =
                    "typical length " + std::to_string(typical) + ", sequence " + std::to_string(i);
                for (int m = 0; m < 2; ++m) {
                    const window_hit want = reference_scan(mq[m], seqs[i]);
                    EXPECT_EQ(hits[m][i].best_pos, want.best_pos) << what << ", motif " << m;
                    EXPECT_EQ(bits_of(hits[m][i].max_rs), bits_of(want.max_rs)) << what << ", motif " << m;
                }
                const window_hit want_given = reference_scan(mq[0], seqs[i]);
                const window_hit want_reverse = reference_scan(mq[0], reverse_complement(seqs[i]));
                const window_hit& w = reverse_wins(want_given, want_reverse) ? want_reverse : want_given;
                const window_hit& g = reverse_wins(given[i], reverse[i]) ? reverse[i] : given[i];
                EXPECT_EQ(g.best_pos, w.best_pos) << what << ", both strands";
                EXPECT_EQ(bits_of(g.max_rs), bits_of(w.max_rs)) << what << ", both strands";
            }
        }
    }
}

TEST_P(FastScan, BothStrandsTogetherSpareTheWeakerStrandItsExactProducts)
{
    // One threshold for both strands: the strand whose best lies well below the other's
    // flags nothing, so a sequence mostly needs one exact product, not one per strand.
    if (!eight_bit(GetParam()))
        GTEST_SKIP() << "only the 8-bit paths score both strands in one pass";
    std::mt19937 rng(43);
    std::vector<codes_t> seqs;
    for (int i = 0; i < 400; ++i)
        seqs.push_back(random_codes(rng, 500));
    std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
    scan_block block;
    block.assign(spans, GetParam());
    std::vector<window_hit> given(seqs.size());
    std::vector<window_hit> reverse(seqs.size());
    for (int width : {8, 12, 20}) {
        const motif_quotients mq = counts_motif(rng, width);
        scan_counts apart;
        fast_scanner(mq, GetParam()).best_windows(block, given, &apart);
        fast_scanner(mq, GetParam(), scan_strand::reverse_complement).best_windows(block, reverse, &apart);
        scan_counts together;
        both_strands_scanner(mq, GetParam()).best_windows(block, given, reverse, &together);
        EXPECT_GE(apart.exact, 2 * static_cast<long long>(seqs.size())) << "width " << width;
        EXPECT_LT(together.exact, apart.exact * 3 / 4) << "width " << width;
    }
}

TEST_P(FastScan, TwoMotifsOnBothStrandsTogetherKeepEachMotifsOwnResults)
{
    // Two motifs' strands scored from the same loads must each get exactly the two hits the
    // motif gets alone on both strands (whose better one is pinned to the straightforward
    // scan above): widths apart, one motif's best too far down for 8 bits, every window
    // equal, N, a sequence held in registers for one motif and in memory for the other, and
    // sequences of more than 64 vectors of windows.
    std::mt19937 rng(47);
    for (int trial = 0; trial < 40; ++trial) {
        const motif_quotients mq[2] = {pair_motif(rng, trial, false), pair_motif(rng, trial, true)};
        const both_strands_scanner scanners[2] = {
            both_strands_scanner(mq[0], GetParam()), both_strands_scanner(mq[1], GetParam())};
        std::vector<codes_t> seqs;
        for (int i = 0; i < 40; ++i) {
            // Lengths at the edge of what registers hold for one of the widths, and the rest.
            const std::size_t edge = static_cast<std::size_t>(512 + mq[rng() % 2].width - 1);
            const std::size_t len = i % 9 == 0 ? rng() % 12
                : i % 7 == 2                   ? 4200 + rng() % 1900
                : i % 3 == 0                   ? edge - 3 + rng() % 7
                                               : 500 + rng() % 1500;
            seqs.push_back(pair_codes(rng, i, len));
        }
        std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
        scan_block block;
        block.assign(spans, GetParam());
        const std::size_t n = seqs.size();
        std::vector<window_hit> together[2][2];
        std::vector<window_hit> alone[2][2];
        for (auto* hits : {&together, &alone})
            for (auto& motif : *hits)
                for (auto& strand : motif)
                    strand.assign(n, window_hit{-7, -7.0L});
        scan_counts together_counts;
        both_strands_scanner::best_windows_of_two(scanners[0], scanners[1], block, together[0][0], together[0][1],
            together[1][0], together[1][1], &together_counts);
        scan_counts alone_counts;
        for (int k = 0; k < 2; ++k)
            scanners[k].best_windows(block, alone[k][0], alone[k][1], &alone_counts);
        EXPECT_EQ(together_counts.windows, alone_counts.windows) << "trial " << trial;
        EXPECT_EQ(together_counts.flagged, alone_counts.flagged) << "trial " << trial;
        EXPECT_EQ(together_counts.exact, alone_counts.exact) << "trial " << trial;
        EXPECT_EQ(together_counts.rescanned, alone_counts.rescanned) << "trial " << trial;
        for (int k = 0; k < 2; ++k)
            for (int strand = 0; strand < 2; ++strand)
                for (std::size_t i = 0; i < n; ++i) {
                    const std::string where = "trial " + std::to_string(trial) + ", motif " + std::to_string(k) +
                        " (width " + std::to_string(mq[k].width) + "), strand " + std::to_string(strand) +
                        ", sequence " + std::to_string(i) + " of length " + std::to_string(seqs[i].size());
                    const window_hit& got = together[k][strand][i];
                    const window_hit& want = alone[k][strand][i];
                    EXPECT_EQ(got.best_pos, want.best_pos) << where;
                    EXPECT_EQ(bits_of(got.max_rs), bits_of(want.max_rs)) << where;
                }
    }
}

std::string path_label(const testing::TestParamInfo<scan_path>& info)
{
    switch (info.param) {
    case scan_path::exact:
        return "Exact";
    case scan_path::avx2:
        return "Avx2";
    case scan_path::avx512:
        return "Avx512";
    case scan_path::neon:
        return "Neon";
    case scan_path::avx512vbmi:
        return "Avx512Vbmi";
    case scan_path::avx512bytes:
        return "Avx512Bytes";
    case scan_path::avx2bytes:
        return "Avx2Bytes";
    }
    return "Unknown";
}

INSTANTIATE_TEST_SUITE_P(Paths, FastScan,
    testing::Values(scan_path::exact, scan_path::avx2, scan_path::avx512, scan_path::neon, scan_path::avx512vbmi,
        scan_path::avx512bytes, scan_path::avx2bytes),
    path_label);

// ---- The default choice ----

TEST(FastScanDefault, UsesTheWidestSupportedPath)
{
    std::mt19937 rng(24);
    const motif_quotients mq = counts_motif(rng, 10);
    const fast_scanner s(mq);
    EXPECT_EQ(s.path(), fast_scanner::best_path());
    EXPECT_TRUE(fast_scanner::supported(s.path()));
    for (int k = 0; k < 20; ++k)
        expect_same(s, mq, random_codes(rng, 300, 0.01), "default path");
}

TEST(FastScanDefault, AgreesWithTheProjectsExactScan)
{
    std::mt19937 rng(25);
    for (int k = 0; k < 50; ++k) {
        const motif_quotients mq = counts_motif(rng, 1 + static_cast<int>(rng() % 25));
        const codes_t c = random_codes(rng, 400, 0.01);
        const window_hit want = best_window_exact(mq, c);
        const window_hit got = fast_scanner(mq).best_window(c);
        EXPECT_EQ(got.best_pos, want.best_pos);
        EXPECT_EQ(bits_of(got.max_rs), bits_of(want.max_rs));
    }
}

TEST(FastScanDefault, AScannerReadsOnlyTheTermIndicesOfItsOwnPath)
{
    // Each 8-bit path reads its own kind of term index (three codes, or two): a block made
    // for one must leave a scanner of the other to make its own.
    if (!fast_scanner::supported(scan_path::avx512vbmi))
        GTEST_SKIP() << "needs both 8-bit paths";
    std::mt19937 rng(26);
    std::vector<codes_t> seqs;
    for (int i = 0; i < 40; ++i)
        seqs.push_back(random_codes(rng, 100 + rng() % 400));
    const std::vector<std::span<const std::uint8_t>> spans(seqs.begin(), seqs.end());
    const motif_quotients mq[2] = {counts_motif(rng, 9), counts_motif(rng, 14)};
    for (const auto& [block_path, scan_on] : {std::pair{scan_path::avx512vbmi, scan_path::avx512bytes},
             std::pair{scan_path::avx512bytes, scan_path::avx512vbmi}}) {
        scan_block block;
        block.assign(spans, block_path);
        const fast_scanner first(mq[0], scan_on);
        const fast_scanner second(mq[1], scan_on);
        const both_strands_scanner both(mq[0], scan_on);
        std::vector<window_hit> hits[4];
        for (auto& h : hits)
            h.resize(seqs.size());
        fast_scanner::best_windows_of_two(first, second, block, hits[0], hits[1]);
        both.best_windows(block, hits[2], hits[3]);
        for (std::size_t i = 0; i < seqs.size(); ++i) {
            const std::string where = std::string(fast_scanner::path_name(scan_on)) + ", sequence " + std::to_string(i);
            for (int k = 0; k < 2; ++k) {
                const window_hit want = best_window_exact(mq[k], seqs[i]);
                EXPECT_EQ(hits[k][i].best_pos, want.best_pos) << where;
                EXPECT_EQ(bits_of(hits[k][i].max_rs), bits_of(want.max_rs)) << where;
            }
            // Both strands: the better of the two is the best over both.
            const window_hit given = best_window_exact(mq[0], seqs[i]);
            const window_hit reverse = reference_on(scan_strand::reverse_complement, mq[0], seqs[i]);
            const window_hit& want = reverse_wins(given, reverse) ? reverse : given;
            const window_hit& got = reverse_wins(hits[2][i], hits[3][i]) ? hits[3][i] : hits[2][i];
            EXPECT_EQ(got.best_pos, want.best_pos) << where << ", both strands";
            EXPECT_EQ(bits_of(got.max_rs), bits_of(want.max_rs)) << where << ", both strands";
        }
    }
}

}  // namespace
