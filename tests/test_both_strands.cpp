// --both-strands: the best window over a sequence and its reverse complement, against a
// straightforward scan of both written here, and where such a site lies on the genome.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>
#include <numeric>
#include <random>
#include <string>
#include <vector>

#include "analyses.h"
#include "loading.h"
#include "seq_reader.h"
#include "settings.h"
#include "test_util.h"

namespace {

char complement(char c)
{
    const std::string from = "ACGTacgt";
    const std::string to = "TGCAtgca";
    const auto at = from.find(c);
    return at == std::string::npos ? c : to[at];
}

std::string reverse_complement(const std::string& letters)
{
    std::string rc(letters.rbegin(), letters.rend());
    std::transform(rc.begin(), rc.end(), rc.begin(), complement);
    return rc;
}

std::string random_letters(std::mt19937& rng, std::size_t n)
{
    const std::string alphabet = "ACGTACGTACGTacgtacgtN";
    std::string s(n, 'A');
    for (char& c : s)
        c = alphabet[rng() % alphabet.size()];
    return s;
}

// Every window of `letters`, rows in motif order, products in extended precision; the
// earliest of the largest products, as a window offset, or -1 when none is positive.
struct reference_hit {
    int at = -1;
    scan_product product{};
};

reference_hit reference_scan(const motif_quotients& mq, const std::string& letters)
{
    const std::string bases = "ACGT";
    reference_hit best;
    for (int n = 0; n + mq.width <= static_cast<int>(letters.size()); ++n) {
        scan_product product(1.0f);
        for (int r = 0; r < mq.width; ++r) {
            const auto b = bases.find(static_cast<char>(std::toupper(letters[static_cast<std::size_t>(n + r)])));
            product *= mq.ratio(r, b == std::string::npos ? 4 : static_cast<int>(b));
        }
        if (product > best.product)
            best = {n, product};
    }
    return best;
}

struct both_strands_on {
    both_strands_on() { both_strands = true; }
    ~both_strands_on() { reset_settings(); }
};

}  // namespace

TEST(BothStrands, SiteLettersAreReverseComplementedLetterByLetter)
{
    std::string out;
    append_reverse_complement(out, "aCgTNnxR-");
    EXPECT_EQ(out, "-RxnNAcGt");
}

TEST(BothStrands, BestWindowOverBothStrandsAsAStraightforwardScanFindsIt)
{
    both_strands_on on;
    std::mt19937 rng(31);
    std::string motifs;
    for (int m = 0; m < 12; ++m) {
        motifs += ">m" + std::to_string(m) + "\n";
        const int width = 1 + static_cast<int>(rng() % 16);
        for (int r = 0; r < width; ++r) {
            for (int b = 0; b < 4; ++b)
                motifs += std::to_string(rng() % 3 == 0 ? rng() % 60 : rng() % 8) + (b < 3 ? "\t" : "\n");
        }
    }
    // Random sequences, long ones enough for the set to span several scan blocks;
    // sequences that are their own reverse complement, whose best products tie between
    // the strands; copies of one stretch and of its reverse complement, which tie within
    // a strand and across.
    std::vector<std::string> letters;
    for (int i = 0; i < 400; ++i) {
        std::string s = random_letters(rng, i % 8 == 3 ? 3000 + rng() % 2500 : 1 + rng() % 300);
        if (i % 4 == 1)
            s += reverse_complement(s);
        if (i % 4 == 2) {
            const std::string unit = random_letters(rng, 1 + rng() % 20);
            s = random_letters(rng, rng() % 30) + unit + random_letters(rng, rng() % 30) + reverse_complement(unit) +
                random_letters(rng, rng() % 30) + reverse_complement(unit);
        }
        letters.push_back(s);
    }
    std::string seqs;
    for (std::size_t i = 0; i < letters.size(); ++i)
        seqs += ">s" + std::to_string(i) + "::chr1:1000-" + std::to_string(1000 + letters[i].size()) +
            (i % 2 ? "(-)\n" : "(+)\n") + letters[i] + "\n";
    scratch_dir dir;
    read_inputs(dir.write("m.txt", motifs), dir.write("s.fa", seqs));

    // The motifs in two groups over the set, as the threaded run scans them: of odd sizes,
    // so that each has a motif scanned without a pair.
    const auto n = static_cast<std::size_t>(seq_n);
    std::vector<int> set(n);
    std::iota(set.begin(), set.end(), 0);
    std::vector<int> group(static_cast<std::size_t>(motif_n));
    std::iota(group.begin(), group.end(), 0);
    constexpr int first_group = 7;
    analysis_workspace ws(seq_n, motif_n);
    std::vector<match> kept(n);
    int compared = 0;
    int reverse_won = 0;
    int ties = 0;
    for (int mi = 0; mi < motif_n; ++mi) {
        if (mi == 0 || mi == first_group) {
            const auto begin = group.begin() + mi;
            scan_group(std::span(begin, mi == 0 ? begin + first_group : group.end()), set, ws);
        }
        const motif_quotients mq = make_quotients(motif_db[static_cast<std::size_t>(mi)], background_frqs);
        int kept_n = 0;
        const auto g = static_cast<std::size_t>(mi < first_group ? mi : mi - first_group);
        analyse_hits(mi, set, ws.hits_of(g, n), ws.reversed_of(g, n), ws, kept, kept_n);
        for (int k = 0; k < kept_n; ++k) {
            const match& m = kept[static_cast<std::size_t>(k)];
            const std::string& s = letters[static_cast<std::size_t>(m.si)];
            const reference_hit given = reference_scan(mq, s);
            const reference_hit other = reference_scan(mq, reverse_complement(s));
            const bool reverse = other.product > given.product;
            ties += other.product == given.product;
            const int width = mq.width;
            const int at = reverse ? static_cast<int>(s.size()) - width - other.at : given.at;
            const std::string what = "motif " + std::to_string(mi) + ", sequence " + std::to_string(m.si);
            ASSERT_EQ(m.reverse, reverse) << what;
            ASSERT_EQ(m.location, at) << what;
            EXPECT_EQ(m.bsite, s.substr(static_cast<std::size_t>(at), static_cast<std::size_t>(width))) << what;
            const char title_strand = m.si % 2 ? '-' : '+';
            EXPECT_EQ(m.strand, reverse ? (title_strand == '+' ? '-' : '+') : title_strand) << what;
            EXPECT_EQ(m.rs, window_score({0, reverse ? other.product : given.product}, width)) << what;
            ++compared;
            reverse_won += reverse;
        }
    }
    // Enough of each case to mean something.
    EXPECT_GT(compared, 4000);
    EXPECT_GT(reverse_won, compared / 4);
    EXPECT_GT(ties, compared / 5);
}

namespace {

struct genome_region {
    std::string chrom;
    long start = 0;
    long end = 0;
    char strand = '+';
};

}  // namespace

TEST(BothStrands, SitesOnEitherStrandCarryTheGenomicIntervalTheyCover)
{
    // A made-up genome cut into regions as bedtools getfasta -name -s would cut them.
    std::mt19937 rng(32);
    const std::map<std::string, std::string> genome{
        {"chrA", random_letters(rng, 30000)}, {"chrB", random_letters(rng, 20000)}};
    std::map<std::string, genome_region> regions;
    std::string seqs;
    for (int i = 0; i < 600; ++i) {
        genome_region g;
        g.chrom = i % 3 ? "chrA" : "chrB";
        const long len = 20 + static_cast<long>(rng() % 300);
        g.start = static_cast<long>(rng() % (genome.at(g.chrom).size() - static_cast<std::size_t>(len)));
        g.end = g.start + len;
        g.strand = i % 2 ? '-' : '+';
        std::string letters =
            genome.at(g.chrom).substr(static_cast<std::size_t>(g.start), static_cast<std::size_t>(len));
        if (g.strand == '-')
            letters = reverse_complement(letters);
        const std::string name = "r" + std::to_string(i);
        for (const std::string& piece : {">" + name, "::" + g.chrom, ":" + std::to_string(g.start),
                 "-" + std::to_string(g.end), std::string("(") + g.strand + ")\n", letters + "\n"})
            seqs += piece;
        regions[name] = g;
    }
    scratch_dir dir;
    const std::string motifs = std::string(TARNEL_SOURCE_DIR) + "/examples/motifs.txt";
    const process_result r = run_tarnel(
        {"-m", motifs, "-i", dir.write("s.fa", seqs), "-o", dir.file("out.txt"), "--both-strands", "-r", "-100"});
    ASSERT_EQ(r.status, 0) << r.err;

    std::map<std::string, int> reverse_sites;  // by title strand
    const auto lines = split(read_file(dir.file("out.txt")), '\n');
    for (const std::string& line : lines) {
        const auto f = split(line, '\t');
        ASSERT_EQ(f.size(), 10u) << line;
        const genome_region& g = regions.at(f[1]);
        EXPECT_EQ(f[2], g.chrom);
        // Written numbers follow the title's strand: 1-based on '+', 0-based on '-'.
        const long start = std::stol(f[3]) - (g.strand == '+' ? 1 : 0);
        const long end = std::stol(f[4]) + (g.strand == '+' ? 0 : 1);
        ASSERT_TRUE(start >= g.start && end <= g.end && end - start == static_cast<long>(f[6].size())) << line;
        const std::string forward =
            genome.at(g.chrom).substr(static_cast<std::size_t>(start), static_cast<std::size_t>(end - start));
        ASSERT_TRUE(f[5] == "+" || f[5] == "-") << line;
        EXPECT_EQ(f[6], f[5] == "+" ? forward : reverse_complement(forward)) << line;
        if (f[5][0] != g.strand)
            ++reverse_sites[std::string(1, g.strand)];
    }
    EXPECT_GT(lines.size(), 1500u);
    EXPECT_GT(reverse_sites["+"], 100);
    EXPECT_GT(reverse_sites["-"], 100);
}
