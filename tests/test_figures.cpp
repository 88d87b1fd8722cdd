// The per-motif figures, the summary file and the checks of the summary and report paths.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <filesystem>
#include <limits>
#include <map>
#include <numeric>
#include <random>
#include <set>
#include <span>

#include "analyses.h"
#include "loading.h"
#include "motif_figures.h"
#include "run_figures.h"
#include "scan.h"
#include "sequence_logo.h"
#include "settings.h"
#include "test_util.h"

namespace {

// A motif reading AC, and sequences of ten letters whose best windows score in several
// steps, one of them (AC) far above the rest (AG and AT), and one sequence too short for a window.
const std::string ac_motif = ">m AC\n10\t0\t0\t0\n0\t10\t0\t0\n";

std::string hand_made_sequences()
{
    std::vector<std::string> bodies{"GGGGACGGGG"};
    for (int i = 0; i < 24; ++i) {
        std::string body(10, 'G');
        body[static_cast<std::size_t>(i % 9)] = 'A';
        if (i % 7 == 3)
            body[static_cast<std::size_t>(i % 9 + 1)] = 'T';
        bodies.push_back(body);
    }
    bodies.emplace_back("G");
    std::string text;
    int i = 0;
    for (const std::string& body : bodies) {
        text += ">s" + std::to_string(i) + "::chr1:" + std::to_string(100 * i) + "-" +
            std::to_string(100 * i + static_cast<int>(body.size())) + (i % 2 ? "(-)\n" : "(+)\n") + body + "\n";
        ++i;
    }
    return text;
}

double population_sd(const std::vector<double>& v, double mean)
{
    double sum = 0.0;
    for (const double x : v)
        sum += (x - mean) * (x - mean);
    return std::sqrt(sum / static_cast<double>(v.size()));
}

double mean_of(const std::vector<double>& v)
{
    double sum = 0.0;
    for (const double x : v)
        sum += x;
    return sum / static_cast<double>(v.size());
}

// Lines per motif name in an output file (field `name_field`).
std::map<std::string, int> lines_per_motif(const std::string& path, std::size_t name_field)
{
    std::map<std::string, int> counts;
    for (const std::string& line : split(read_file(path), '\n'))
        ++counts[split(line, '\t').at(name_field)];
    return counts;
}

std::vector<std::vector<std::string>> summary_rows(const std::string& text)
{
    std::vector<std::vector<std::string>> rows;
    for (const std::string& line : split(text, '\n'))
        rows.push_back(split(line, '\t'));
    return rows;
}

std::size_t column(const std::vector<std::string>& header, const std::string& name)
{
    const auto at = std::find(header.begin(), header.end(), name);
    EXPECT_NE(at, header.end()) << name;
    return static_cast<std::size_t>(at - header.begin());
}

}  // namespace

TEST(MotifFigures, AgreeWithADirectComputationFromTheStraightforwardScan)
{
    reset_settings();
    score_th = 0.5;
    scratch_dir dir;
    read_inputs(dir.write("m.txt", ac_motif), dir.write("s.fa", hand_made_sequences()));
    const int width = motif_db[0].len;

    // Directly: every sequence's best window, trimming at 3 sd, the kept set's statistics.
    std::vector<match> best;
    std::vector<double> scores;
    for (int si = 0; si < seq_n; ++si) {
        const match m = scan_seq_match(0, si);
        if (m.location >= 0) {
            best.push_back(m);
            scores.push_back(m.rs);
        }
    }
    const double all_mean = mean_of(scores);
    const double all_sd = population_sd(scores, all_mean);
    std::vector<match> kept;
    for (const match& m : best)
        if (3.0 * all_sd > std::fabs(m.rs - all_mean))
            kept.push_back(m);
    ASSERT_LT(kept.size(), best.size()) << "the case must trim a score";
    std::vector<double> kept_scores;
    for (const match& m : kept)
        kept_scores.push_back(m.rs);
    const double mean = mean_of(kept_scores);
    const double sd = population_sd(kept_scores, mean);
    int written = 0;
    int central = 0;
    double max_t = -1e300;
    int max_si = -1;
    for (const match& m : kept) {
        const double t = (m.rs - mean) / sd;
        if (t > max_t) {
            max_t = t;
            max_si = m.si;
        }
        if (t >= score_th) {
            ++written;
            const double centre = m.location + width / 2.0;
            central += (centre * 5 >= 2.0 * 10 && centre * 5 < 3.0 * 10) ? 1 : 0;
        }
    }

    analysis_workspace ws(seq_n);
    int kept_n = 0;
    all_matchs(0, ws, ws.matchs, kept_n, report_rule::t_reaches_threshold);
    const motif_figures f = collect_figures(0, ws, true);
    EXPECT_EQ(f.set_n, seq_n);
    EXPECT_EQ(f.scored_n, static_cast<int>(best.size()));
    EXPECT_EQ(f.kept_n, static_cast<int>(kept.size()));
    EXPECT_NEAR(f.mean, mean, 1e-12);
    EXPECT_NEAR(f.sd, sd, 1e-12);
    EXPECT_EQ(f.written, written);
    EXPECT_GT(written, 0);
    EXPECT_NEAR(f.max_t, max_t, 1e-9);
    EXPECT_EQ(f.max_t_si, max_si);
    EXPECT_EQ(f.central_n, central);
    EXPECT_NEAR(f.central_chance_sum, written * central_chance(10, width), 1e-12);

    // Every histogram counts each of its sites once; the top sites are the highest kept.
    ASSERT_TRUE(f.details);
    const motif_details& d = *f.details;
    const auto total = [](const auto& bins) { return std::accumulate(bins.begin(), bins.end(), 0); };
    EXPECT_EQ(total(d.kept_scores), f.kept_n);
    EXPECT_EQ(total(d.trimmed_scores), f.scored_n - f.kept_n);
    EXPECT_EQ(total(d.best_positions), f.scored_n);
    EXPECT_EQ(total(d.written_positions), f.written);
    EXPECT_EQ(d.trimmed_scores[score_bins - 1], 1);  // the AC site, highest of all
    std::stable_sort(kept.begin(), kept.end(), [](const match& a, const match& b) { return a.rs > b.rs; });
    ASSERT_EQ(d.top_n, std::min<int>(top_sites_kept, static_cast<int>(kept.size())));
    for (int k = 0; k < d.top_n; ++k) {
        EXPECT_EQ(d.top[static_cast<std::size_t>(k)].si, kept[static_cast<std::size_t>(k)].si) << k;
        EXPECT_EQ(d.top[static_cast<std::size_t>(k)].score, kept[static_cast<std::size_t>(k)].rs) << k;
    }
}

TEST(MotifFigures, CentralFifthAndPositionBinsCountWindowsExactly)
{
    for (int length = 1; length <= 60; ++length) {
        for (int width = 1; width <= length; ++width) {
            int inside = 0;
            for (int p = 0; p + width <= length; ++p) {
                const double centre = p + width / 2.0;  // exact in binary for these sizes
                const bool in = centre * 5 >= 2.0 * length && centre * 5 < 3.0 * length;
                inside += in ? 1 : 0;
                EXPECT_EQ(centred(p, length, width), in) << length << " " << width << " " << p;
                const int bin = position_bin(p, length, width);
                EXPECT_TRUE(bin >= 0 && bin < position_bins);
                EXPECT_LE(bin, static_cast<int>(centre / length * position_bins));
            }
            EXPECT_DOUBLE_EQ(central_chance(length, width), static_cast<double>(inside) / (length - width + 1))
                << length << " " << width;
        }
    }
    EXPECT_EQ(position_bin(45, 100, 10), position_bins / 2);  // centred exactly: the upper middle bin
}

TEST(MotifFigures, ShortcutsAgreeWithThePlainFormulas)
{
    // Score bins: ranges whose edges fall exactly on scores, uneven and extreme ones; scores
    // on the edges, a hair off them, outside the range, infinite.
    const double inf = std::numeric_limits<double>::infinity();
    for (const auto& [low, high] : std::vector<std::pair<double, double>>{
             {0.0, 40.0}, {-1.0, 0.0}, {-3.7, 2.9}, {0.1, 0.1 + 1e-12}, {1.0, 1.0}, {-1e308, 1e308}}) {
        const score_binning bins(low, high);
        std::vector<double> scores{low, high, -inf, inf, low - 1.0, high + 1.0};
        for (int b = 0; b <= 1000; ++b)  // the bins' edges, then points between them
            for (const double at : {low + (high - low) / (b <= score_bins ? score_bins : 1000) * b})
                scores.insert(scores.end(), {at, std::nextafter(at, -inf), std::nextafter(at, inf)});
        for (const double s : scores)
            EXPECT_EQ(bins.bin(s), score_bin(s, low, high)) << low << " " << high << " " << s;
    }
    // Position bins and central chances for every length a sequence can have, changing
    // back and forth as they do in a set.
    long long mismatched = 0;
    for (const int width : {1, 6, 21}) {
        length_figures per_length(width);
        for (int length = width + 1; length <= max_seq_len; ++length) {
            for (const int l : {length, length - 1, length}) {
                per_length.use_length(l);
                mismatched += per_length.central_chance() != central_chance(l, width);
                for (int p = 0; p + width <= l; ++p)
                    mismatched += per_length.position_bin(p) != position_bin(p, l, width);
            }
        }
    }
    EXPECT_EQ(mismatched, 0);
}

TEST(MotifFigures, AgreeWithTheRecordsOverAManyLengthSet)
{
    // Random letters, lengths in runs and a few too short for a window; both rules, and a
    // BED file leaving out the titles without a strand.
    std::string text;
    std::uint32_t state = 12345;
    for (int i = 0; i < 1200; ++i) {
        const int length = i % 97 == 5 ? 3 : 30 + (i / 9) * 37 % 400;
        text += ">s" + std::to_string(i) + "::chr2:" + std::to_string(1000 * i) + "-" +
            std::to_string(1000 * i + length) + (i % 5 == 0 ? "" : i % 2 ? "(-)" : "(+)") + "\n";
        for (int k = 0; k < length; ++k)
            text += "ACGT"[(state = state * 1664525u + 1013904223u) >> 30];
        text += "\n";
    }
    for (const bool bed : {false, true}) {
        for (const report_rule rule : {report_rule::t_reaches_threshold, report_rule::abs_t_reaches_threshold}) {
            reset_settings();
            score_th = 0.8;
            bed_output = bed;
            scratch_dir dir;
            read_inputs(example_data_path("jaspar_core.motifs"), dir.write("s.fa", text));
            analysis_workspace ws(seq_n);
            for (int mi = 0; mi < 6; ++mi) {
                SCOPED_TRACE(std::to_string(mi) + (bed ? " bed" : "") + (rule == report_rule::t_reaches_threshold ? "" : " |t|"));
                const int width = motif_db[static_cast<std::size_t>(mi)].len;
                int kept_n = 0;
                all_matchs(mi, ws, ws.matchs, kept_n, rule);
                const motif_figures f = collect_figures(mi, ws, true);
                // The scored sequences' best windows from the straightforward scan.
                std::vector<match> scored;
                for (int si = 0; si < seq_n; ++si)
                    if (const match m = scan_seq_match(mi, si); m.location >= 0)
                        scored.push_back(m);
                const auto range = std::minmax_element(
                    scored.begin(), scored.end(), [](const match& a, const match& b) { return a.rs < b.rs; });
                const double low = range.first->rs;
                const double high = range.second->rs;
                const auto bin = [&](double s) { return static_cast<std::size_t>(score_bin(s, low, high)); };
                const auto place = [&](const match& m) { return static_cast<std::size_t>(position_bin(m.location, seq_db[m.si].len, width)); };
                motif_figures want;
                motif_details& d = want.details.emplace();
                for (const match& m : scored) {
                    ++d.trimmed_scores[bin(m.rs)];
                    ++d.best_positions[place(m)];
                }
                // The written sites and the largest t from the kept records.
                for (const match& m : std::span(ws.matchs.data(), static_cast<std::size_t>(kept_n))) {
                    ++d.kept_scores[bin(m.rs)];
                    --d.trimmed_scores[bin(m.rs)];
                    if (want.max_t_si < 0 || m.tvalue > want.max_t) {
                        want.max_t = m.tvalue;
                        want.max_t_si = m.si;
                    }
                    const char strand = seq_db[m.si].strand;
                    if (!reported(m.tvalue, rule) || (bed && strand != '+' && strand != '-'))
                        continue;
                    ++want.written;
                    want.central_n += centred(m.location, seq_db[m.si].len, width) ? 1 : 0;
                    want.central_chance_sum += central_chance(seq_db[m.si].len, width);
                    ++d.written_positions[place(m)];
                }
                EXPECT_TRUE(want.written > 0 && want.written < kept_n);
                for (const motif_figures& got : {f, collect_figures(mi, ws, false)}) {
                    EXPECT_EQ(got.written, want.written);
                    EXPECT_EQ(got.central_n, want.central_n);
                    EXPECT_EQ(got.central_chance_sum, want.central_chance_sum);
                    EXPECT_EQ(got.max_t, want.max_t);
                    EXPECT_EQ(got.max_t_si, want.max_t_si);
                }
                ASSERT_TRUE(f.details);
                EXPECT_TRUE(f.details->kept_scores == d.kept_scores && f.details->trimmed_scores == d.trimmed_scores);
                EXPECT_TRUE(f.details->best_positions == d.best_positions);
                EXPECT_TRUE(f.details->written_positions == d.written_positions);
            }
        }
    }
    reset_settings();
}

TEST(SequenceLogo, LetterHeightsAreBitsOfInformation)
{
    const auto uniform = letter_heights({0.25f, 0.25f, 0.25f, 0.25f, 0.0f});
    for (const double h : uniform)
        EXPECT_NEAR(h, 0.0, 1e-12);
    const auto certain = letter_heights({0.0f, 0.0f, 1.0f, 0.0f, 0.0f});
    EXPECT_NEAR(certain[2], 2.0, 1e-12);
    const auto two = letter_heights({0.5f, 0.0f, 0.0f, 0.5f, 0.0f});  // one bit, shared
    EXPECT_NEAR(two[0], 0.5, 1e-12);
    EXPECT_NEAR(two[3], 0.5, 1e-12);
    const auto negative = letter_heights({-0.2f, 0.6f, 0.0f, 0.0f, 0.0f});  // counted as 0
    EXPECT_NEAR(negative[1], 2.0, 1e-12);
    EXPECT_EQ(negative[0], 0.0);
}

TEST(SummaryFile, CountsAgreeWithTheOutputFileInEveryRun)
{
    scratch_dir dir;
    const std::string motifs = example_data_path("jaspar_core.motifs");
    const std::string seqs = example_data_path("real_seqs.fa");
    std::vector<std::string> names;
    for (const std::string& line : split(read_file(motifs), '\n'))
        if (!line.empty() && line[0] == '>')
            names.push_back(line.substr(1));
    const std::vector<std::vector<std::string>> runs{
        {}, {"--both-strands", "--bed"}, {"-n", "300", "--bed"}, {"-n", "300", "-r", "2", "--both-strands"}};
    for (const auto& options : runs) {
        std::vector<std::string> args{"-m", motifs, "-i", seqs, "-o", dir.file("out"), "--summary", dir.file("s.tsv")};
        args.insert(args.end(), options.begin(), options.end());
        const process_result r = run_tarnel(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const bool bed = std::find(options.begin(), options.end(), "--bed") != options.end();
        const bool sampled = std::find(options.begin(), options.end(), "-n") != options.end();
        const auto lines = lines_per_motif(dir.file("out"), bed ? 3 : 0);
        const auto rows = summary_rows(read_file(dir.file("s.tsv")));
        ASSERT_EQ(rows.size(), names.size() + 1);
        const auto& header = rows[0];
        EXPECT_EQ(header.size(), sampled ? 15u : 14u);
        for (std::size_t k = 1; k < rows.size(); ++k) {
            const auto& row = rows[k];
            ASSERT_EQ(row.size(), header.size());
            EXPECT_EQ(row[column(header, "motif")], names[k - 1]);  // motif-file order
            const int written = std::stoi(row[column(header, "written")]);
            EXPECT_EQ(written, lines.count(names[k - 1]) ? lines.at(names[k - 1]) : 0) << names[k - 1];
            EXPECT_EQ(row[column(header, "sequences")], sampled ? "300" : "1500");
            const int kept = std::stoi(row[column(header, "kept")]);
            EXPECT_LE(kept, std::stoi(row[column(header, "with_window")]));
            EXPECT_NEAR(std::stod(row[column(header, "written_share")]), static_cast<double>(written) / kept, 1e-6);
        }
    }
}

TEST(SummaryFile, HandWorkedCaseAndPlainTitlesLeftOutOfABedFile)
{
    scratch_dir dir;
    const std::string motifs = dir.write("m.txt", ">m1 AC\n10\t0\t0\t0\n0\t10\t0\t0\n");
    // s1 AC at offset 2 of 6 (centred), s2 AC at 0, s3 no AC, s4 too short, s5 a plain title.
    const std::string seqs = dir.write("s.fa",
        ">s1::chr1:100-106(+)\nGGACGG\n>s2::chr2:200-206(-)\nacg\nggg\n>s3::chr3:300-306(+)\nGGGGTT\n"
        ">s4::chr4:400-401(+)\nA\n>s5\nACGGGG\n");
    for (const bool bed : {false, true}) {
        std::vector<std::string> args{"-m", motifs, "-i", seqs, "-o", dir.file("out"), "--summary", dir.file("s.tsv"),
            "-r", "0.5"};
        if (bed)
            args.push_back("--bed");
        const process_result r = run_tarnel(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto rows = summary_rows(read_file(dir.file("s.tsv")));
        ASSERT_EQ(rows.size(), 2u);
        const auto& h = rows[0];
        const auto& row = rows[1];
        EXPECT_EQ(row[column(h, "sequences")], "5");
        EXPECT_EQ(row[column(h, "with_window")], "4");
        EXPECT_EQ(row[column(h, "kept")], "4");
        // The kept mean and sd from the written scores of a run that writes all of them.
        run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("all"), "-r", "-100"});
        std::vector<double> scores;
        for (const std::string& line : split(read_file(dir.file("all")), '\n'))
            scores.push_back(std::stod(split(line, '\t').at(7)));
        ASSERT_EQ(scores.size(), 4u);
        const double mean = mean_of(scores);
        EXPECT_NEAR(std::stod(row[column(h, "mean")]), mean, 2e-6);
        EXPECT_NEAR(std::stod(row[column(h, "sd")]), population_sd(scores, mean), 2e-6);
        // s1, s2 and s5 reach t 0.5; a BED file cannot place s5.
        const int lines = static_cast<int>(split(read_file(dir.file("out")), '\n').size());
        EXPECT_EQ(lines, bed ? 2 : 3);
        EXPECT_EQ(row[column(h, "written")], std::to_string(lines));
        EXPECT_EQ(row[column(h, "central_share")], bed ? "0.500000" : "0.333333");  // s1 only
        EXPECT_EQ(row[column(h, "central_chance")], "0.200000");                   // 1 window of 5
        EXPECT_EQ(row[column(h, "max_t_sequence")], "s1");
    }
}

TEST(SummaryFile, DashWritesItToStandardOutputAndTheMessagesToStandardError)
{
    scratch_dir dir;
    const std::string motifs = example_data_path("jaspar_core.motifs");
    const std::string seqs = example_data_path("real_seqs.fa");
    const process_result to_file =
        run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("a"), "--summary", dir.file("s.tsv")});
    const process_result to_stdout = run_tarnel({"-m", motifs, "-i", seqs, "-o", dir.file("b"), "--summary", "-"});
    ASSERT_EQ(to_stdout.status, 0) << to_stdout.err;
    EXPECT_EQ(to_stdout.out, read_file(dir.file("s.tsv")));
    EXPECT_EQ(to_stdout.err, to_file.out);  // the progress lines, unchanged
    EXPECT_EQ(read_file(dir.file("a")), read_file(dir.file("b")));
}

TEST(FigureOutputs, BadPathsAreRefusedBeforeAnythingIsOpened)
{
    scratch_dir dir;
    const std::string motifs = dir.write("m.txt", ac_motif);
    const std::string seqs = dir.write("s.fa", hand_made_sequences());
    std::filesystem::create_symlink(seqs, dir.file("link.fa"));
    std::filesystem::create_directory(dir.file("folder"));
    const std::string out = dir.file("out.txt");
    struct refused {
        std::vector<std::string> options;
        std::string message;
    };
    const std::vector<refused> cases{
        {{"--summary", motifs}, "--summary: " + motifs + " is the same file as the -m/--motif input"},
        {{"--report", dir.file("link.fa")}, "is the same file as the -i/--input input '" + seqs + "'"},
        {{"--summary", out}, "is the same file as the -o/--output file"},
        {{"--report", dir.path().string() + "/./out.txt"}, "is the same file as the -o/--output file"},
        {{"--summary", dir.file("x"), "--report", dir.file("x")}, "is the same file as the --report file"},
        {{"--report", dir.file("folder")}, "--report: " + dir.file("folder") + ": Is a directory"},
        {{"--summary", dir.file("no/such/s.tsv")}, dir.file("no/such/s.tsv") + ": No such file or directory"},
        {{"--report", motifs + "/r.html"}, "Not a directory"},
        {{"--report", "-"}, "cannot go to standard output"},
    };
    for (const refused& c : cases) {
        std::vector<std::string> args{"-m", motifs, "-i", seqs, "-o", out};
        args.insert(args.end(), c.options.begin(), c.options.end());
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 1) << c.message;
        EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");  // nothing loaded, no progress
        EXPECT_FALSE(std::filesystem::exists(out)) << c.message;
        EXPECT_FALSE(std::filesystem::exists(dir.file("x")));
    }
    const process_result both = run_tarnel({"-m", motifs, "-i", seqs, "-o", "-", "--summary", "-"});
    EXPECT_EQ(both.status, 1);
    EXPECT_EQ(both.out, "");
    EXPECT_NE(both.err.find("--summary -: the results already go to standard output"), std::string::npos);
    EXPECT_EQ(read_file(motifs), ac_motif);
    EXPECT_EQ(read_file(seqs), hand_made_sequences());
}

TEST(FigureOutputs, AFileThatCannotBeWrittenFailsTheRun)
{
    scratch_dir dir;
    const std::string motifs = dir.write("m.txt", ac_motif);
    const std::string seqs = dir.write("s.fa", hand_made_sequences());
    for (const char* option : {"--report", "--summary"}) {
        for (const char* run : {"", "-n"}) {
            std::vector<std::string> args{"-m", motifs, "-i", seqs, "-o", dir.file("out"), option, "/dev/full"};
            if (*run)
                args.insert(args.end(), {run, "5"});
            const process_result r = run_tarnel(args);
            EXPECT_EQ(r.status, 1) << option << run;
            EXPECT_NE(r.err.find("/dev/full: No space left on device"), std::string::npos) << r.err;
        }
    }
}

// The report's details are worked out only for the motifs among the top when they come:
// every motif of the final top must be, in any order, equal counts included.
TEST(Figures, EveryFinalTopMotifIsAmongTheTopWhenItComes)
{
    std::mt19937 rng(5);
    for (const int top : {1, 3, 20}) {
        for (int round = 0; round < 50; ++round) {
            const int n = 1 + static_cast<int>(rng() % 60);
            std::vector<int> written(static_cast<std::size_t>(n));
            for (int& w : written)
                w = static_cast<int>(rng() % 8);  // many equal counts
            std::vector<int> order(written.size());
            std::iota(order.begin(), order.end(), 0);
            std::stable_sort(order.begin(), order.end(), [&](int a, int b) { return written[a] > written[b]; });
            std::vector<int> arrival = order;
            std::shuffle(arrival.begin(), arrival.end(), rng);
            if (round % 5 == 0)  // the worst order: each one beats all before it
                std::reverse_copy(order.begin(), order.end(), arrival.begin());
            top_motifs shown(top);
            std::set<int> taken;
            for (const int mi : arrival)
                if (shown.offer(mi, written[static_cast<std::size_t>(mi)]))
                    taken.insert(mi);
            for (std::size_t rank = 0; rank < std::min<std::size_t>(top, order.size()); ++rank)
                ASSERT_TRUE(taken.count(order[rank])) << "rank " << rank << " of " << n << ", top " << top;
        }
    }
    top_motifs none(0);
    EXPECT_FALSE(none.offer(0, 100));
}
