// Options, defaults, the usage line and the exit statuses.
#include <gtest/gtest.h>

#include "command_line.h"
#include "settings.h"
#include "test_util.h"

namespace {

const std::string usage = "Tarnel -m motif -i seq [-s seed] [-n rand_n] [-r score] -o output\n";

command_line parse(std::vector<std::string> args)
{
    args.insert(args.begin(), "Tarnel");
    std::vector<char*> argv;
    for (std::string& a : args)
        argv.push_back(a.data());
    argv.push_back(nullptr);
    testing::internal::CaptureStdout();
    command_line cl = parse_command_line(static_cast<int>(args.size()), argv.data());
    testing::internal::GetCapturedStdout();
    return cl;
}

}  // namespace

TEST(CommandLine, DefaultsAndTheThreadedRun)
{
    const command_line cl = parse({"-s", "7"});
    EXPECT_TRUE(cl.run);
    EXPECT_EQ(cl.motif_file, "motif.txt");
    EXPECT_EQ(cl.seq_file, "seq.txt");
    EXPECT_EQ(cl.output_file, "output.txt");
    EXPECT_EQ(random_seed, 7u);
    EXPECT_EQ(run_sampling, 0);
    EXPECT_EQ(rdm_n, 2000);
    EXPECT_EQ(score_th, 1.0);
    EXPECT_EQ(thread_n, 8);
    EXPECT_FALSE(both_strands);
    EXPECT_FALSE(bed_output);
}

TEST(CommandLine, EveryFormOfTheSampleSizeSelectsTheSampledRun)
{
    for (const auto& args :
        std::vector<std::vector<std::string>>{{"--rand_n=500"}, {"--rand_n", "500"}, {"-n", "500"}, {"--rand=500"}}) {
        const command_line cl = parse(args);
        EXPECT_TRUE(cl.run);
        EXPECT_EQ(rdm_n, 500) << args[0];
        EXPECT_EQ(run_sampling, 1) << args[0];
    }
    parse({"-n", "abc"});  // numbers are never rejected
    EXPECT_EQ(rdm_n, 0);
    EXPECT_EQ(run_sampling, 1);
}

TEST(CommandLine, LastValueWinsAndNumbersConvertLikeAtoi)
{
    const command_line cl = parse({"-r", "2.5", "-r", "1.5", "-m", "a", "--motif", "b", "-s", "-1", "stray"});
    EXPECT_EQ(score_th, 1.5);
    EXPECT_EQ(cl.motif_file, "b");
    EXPECT_EQ(cl.seq_file, "seq.txt");  // the stray argument is ignored
    EXPECT_EQ(random_seed, 4294967295u);
    parse({"-r", "x", "-s", " 42abc"});
    EXPECT_EQ(score_th, 0.0);
    EXPECT_EQ(random_seed, 42u);
}

TEST(CommandLine, ThreadCountMustBeAPositiveWholeNumber)
{
    EXPECT_EQ(parse({"-t", "3"}).run, true);
    EXPECT_EQ(thread_n, 3);
    EXPECT_EQ(parse({"--threads=1"}).run, true);
    EXPECT_EQ(thread_n, 1);
    for (const char* bad : {"0", "-2", "x", "4x", ""}) {
        const command_line cl = parse({"-t", bad});
        EXPECT_FALSE(cl.run) << bad;
        EXPECT_EQ(cl.exit_status, 1) << bad;
    }
}

TEST(CommandLineProcess, NoArgumentsPrintsUsageAndFails)
{
    const process_result r = run_tarnel({});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(r.out, usage);
}

TEST(CommandLineProcess, HelpPrintsUsageAndRunsNothing)
{
    scratch_dir dir;
    const std::string out = dir.file("out.txt");
    for (const auto& args : std::vector<std::vector<std::string>>{
             {"-h"}, {"-s", "5", "-h"}, {"--help", "-o", out}, {"-o", out, "-h", "-x"}}) {
        const process_result r = run_tarnel(args);
        EXPECT_EQ(r.status, 0);
        EXPECT_EQ(r.out.substr(0, usage.size()), usage);  // the fixed line first, for callers that parse it
    }
    EXPECT_FALSE(std::filesystem::exists(out));
    // Every option of the README's options table is listed.
    const std::string help = run_tarnel({"--help"}).out;
    int listed = 0;
    for (const std::string& line : split(read_file(std::string(TARNEL_SOURCE_DIR) + "/README.md"), '\n')) {
        const auto at = line.find("`--");
        if (line.rfind("| `", 0) != 0 || at == std::string::npos)
            continue;
        const std::string option = line.substr(at + 1, line.find('`', at + 1) - at - 1);
        EXPECT_NE(help.find(option + " "), std::string::npos) << option << " is missing from --help";
        ++listed;
    }
    EXPECT_GE(listed, 14);
}

TEST(CommandLineProcess, BadOptionFailsBeforeAnyFileIsTouched)
{
    scratch_dir dir;
    const std::string out = dir.file("out.txt");
    const process_result unknown = run_tarnel({"-o", out, "-x"});
    EXPECT_EQ(unknown.status, 1);
    EXPECT_EQ(unknown.out, "invalid option: -x");
    EXPECT_NE(unknown.err.find("invalid option"), std::string::npos);  // the parser's own words
    const process_result missing = run_tarnel({"-o", out, "-m"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out.rfind("invalid option: ", 0), 0u);
    const process_result long_unknown = run_tarnel({"-o", out, "--bogus"});
    EXPECT_EQ(long_unknown.status, 1);
    EXPECT_EQ(long_unknown.out, "invalid option: --bogus");
    EXPECT_FALSE(std::filesystem::exists(out));
}

TEST(CommandLineProcess, OverlongFileNameStopsBeforeAnythingIsOpened)
{
    const std::string name(2500, 'f');
    for (const char* option : {"-m", "-i", "-o"}) {
        const process_result r = run_tarnel({option, name});
        EXPECT_EQ(r.status, 1) << option;
        EXPECT_NE(r.err.find(std::string(option) + "/"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("2499"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "");
    }
    // 2499 characters are accepted: the run starts and fails only at opening the file.
    const process_result fits = run_tarnel({"-m", std::string(2499, 'f'), "-o", "/nonexistent-dir/x"});
    EXPECT_EQ(fits.status, 1);
    EXPECT_NE(fits.err.find("/nonexistent-dir/x"), std::string::npos) << fits.err;
}

TEST(CommandLineProcess, VersionNamesTheTool)
{
    const process_result r = run_tarnel({"--version"});
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(r.out.rfind("Tarnel ", 0), 0u);
    EXPECT_EQ(split(r.out, '\n').size(), 1u);
}

TEST(CommandLine, MotifFormatIsOneOfTheKnownNames)
{
    EXPECT_TRUE(parse({"--motif-format", "jaspar"}).run);
    EXPECT_EQ(motif_file_format, motif_format::jaspar);
    EXPECT_TRUE(parse({"--motif-format=meme"}).run);
    EXPECT_EQ(motif_file_format, motif_format::meme);
    EXPECT_TRUE(parse({"-s", "1"}).run);
    EXPECT_EQ(motif_file_format, motif_format::tarnel);
    const command_line bad = parse({"--motif-format", "transfac"});
    EXPECT_FALSE(bad.run);
    EXPECT_EQ(bad.exit_status, 1);
}
