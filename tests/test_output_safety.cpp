// A run never destroys an input, never lets a broken standard stream corrupt the output
// file, and never reports a failure as success.
#include <gtest/gtest.h>

#include <csignal>
#include <cstdint>
#include <filesystem>
#include <limits>
#include <set>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "direct_writer.h"
#include "mapped_memory.h"
#include "test_util.h"

namespace {

const std::string motifs = ">m1\n10\t0\t0\t0\n0\t10\t0\t0\n>m2\n0\t0\t10\t0\n>m3\n0\t0\t0\t10\n1\t1\t1\t1\n";

std::string some_seqs(int n)
{
    std::string text;
    const std::string letters = "ACGTTGCAACCGGTTAGCATGCAAGT";
    for (int i = 0; i < n; ++i)
        text += ">s" + std::to_string(i) + "::chr1:" + std::to_string(100 * i) + "-" + std::to_string(100 * i + 12) +
            (i % 2 ? "(-)\n" : "(+)\n") + letters.substr(static_cast<std::size_t>(i % 13), 12) + "\n";
    return text;
}

bool contains(const std::string& text, const std::string& part)
{
    return text.find(part) != std::string::npos;
}

}  // namespace

TEST(OutputSafety, OutputNamingAnInputIsRefusedAndTheInputKept)
{
    scratch_dir dir;
    const std::string m = dir.write("m.txt", motifs);
    const std::string s = dir.write("s.fa", some_seqs(20));
    std::filesystem::create_hard_link(s, dir.file("hard.fa"));
    std::filesystem::create_symlink(m, dir.file("soft.txt"));
    struct attempt {
        std::string output, option;
    };
    for (const attempt& a : {attempt{s, "-i/--input"}, attempt{m, "-m/--motif"},
             attempt{dir.file("hard.fa"), "-i/--input"}, attempt{dir.file("soft.txt"), "-m/--motif"}}) {
        for (const std::vector<std::string>& run : {std::vector<std::string>{}, std::vector<std::string>{"-n", "5"}}) {
            std::vector<std::string> args{"-m", m, "-i", s, "-o", a.output};
            args.insert(args.end(), run.begin(), run.end());
            const process_result r = run_tarnel(args);
            EXPECT_EQ(r.status, 1) << a.output;
            EXPECT_TRUE(contains(r.err, "-o/--output: " + a.output + " is the same file as the " + a.option)) << r.err;
            EXPECT_EQ(r.out, "");  // stopped before loading anything
        }
    }
    EXPECT_EQ(read_file(s), some_seqs(20));
    EXPECT_EQ(read_file(m), motifs);
}

TEST(OutputSafety, ClosedStandardStreamsNeverReachTheOutputFile)
{
    scratch_dir dir;
    const std::vector<std::string> args{
        "-m", dir.write("m.txt", motifs), "-i", dir.write("s.fa", some_seqs(30) + ">plain\nACGTACGTACGT\n"), "-r", "0"};
    auto with_output = [&](const std::string& name) {
        std::vector<std::string> a = args;
        a.insert(a.end(), {"-o", dir.file(name)});
        return a;
    };
    const process_result normal = run_tarnel(with_output("normal.txt"));
    ASSERT_EQ(normal.status, 0);
    const std::string expected = read_file(dir.file("normal.txt"));
    ASSERT_FALSE(expected.empty());
    ASSERT_TRUE(contains(normal.out, "unknown strand!"));

    // Without standard output the progress has nowhere to go; the file stays clean.
    process_result r = run_tarnel(with_output("no_stdout.txt"), "", child_streams::stdout_closed);
    EXPECT_EQ(r.status, 0) << r.err;
    EXPECT_EQ(read_file(dir.file("no_stdout.txt")), expected);
    // Without standard error a warning must not land in the file either.
    std::vector<std::string> empty_motifs = with_output("no_stderr.txt");
    empty_motifs[1] = dir.write("none.txt", "");
    r = run_tarnel(empty_motifs, "", child_streams::stderr_closed);
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(read_file(dir.file("no_stderr.txt")), "");
}

TEST(OutputSafety, ProgressReaderGoingAwayStillGivesACompleteFile)
{
    scratch_dir dir;
    // Enough motifs that the progress outgrows any pipe buffer before the run ends.
    std::string many;
    for (int i = 0; i < 3000; ++i)
        many += ">motif" + std::to_string(i) + "\n" + std::to_string(i % 7) + "\t3\t1\t2\n2\t" + std::to_string(i % 5) +
            "\t4\t1\n";
    const std::string m = dir.write("m.txt", many);
    const std::string s = dir.write("s.fa", some_seqs(40));
    for (const std::vector<std::string>& run : {std::vector<std::string>{}, std::vector<std::string>{"-n", "10"}}) {
        std::vector<std::string> args{"-m", m, "-i", s, "-r", "0.5"};
        args.insert(args.end(), run.begin(), run.end());
        std::vector<std::string> whole = args;
        whole.insert(whole.end(), {"-o", dir.file("whole.txt")});
        ASSERT_EQ(run_tarnel(whole).status, 0);
        args.insert(args.end(), {"-o", dir.file("cut.txt")});
        const process_result r = run_tarnel(args, "", child_streams::stdout_reader_gone);
        EXPECT_EQ(r.status, 1);  // not killed by the signal, and not a success either
        EXPECT_TRUE(contains(r.err, "cannot write to standard output")) << r.err;
        EXPECT_EQ(read_file(dir.file("cut.txt")), read_file(dir.file("whole.txt")));
    }
}

TEST(OutputSafety, TabsInsideNamesDoNotAddFields)
{
    scratch_dir dir;
    const std::string m = dir.write("m.txt", ">MA0001.1\tAGL3\n10\t0\t0\t0\n0\t10\t0\t0\n");
    std::string seqs;
    for (int i = 0; i < 12; ++i)
        seqs += ">peak\t" + std::to_string(i) + "::chr\t1:" + std::to_string(10 * i) + "-" +
            std::to_string(10 * i + 6) + (i == 0 ? "(\t+)\n" : "(+)\n") + (i % 3 ? "GGGGTT\n" : "GACGTT\n");
    const process_result r =
        run_tarnel({"-m", m, "-i", dir.write("s.fa", seqs), "-o", dir.file("out.txt"), "-r", "-100"});
    ASSERT_EQ(r.status, 0) << r.err;
    const auto lines = split(read_file(dir.file("out.txt")), '\n');
    ASSERT_EQ(lines.size(), 12u);
    for (const std::string& line : lines) {
        const auto f = split(line, '\t');
        ASSERT_EQ(f.size(), 10u) << line;
        EXPECT_EQ(f[0], "MA0001.1 AGL3");
        EXPECT_EQ(f[1].substr(0, 5), "peak ");
        EXPECT_EQ(f[2], "chr 1");
    }
    EXPECT_EQ(split(lines[0], '\t')[5], " ");  // the strand piece began with the tab
}

// Lines too long for the room a line is built in are written whole by the other way.
TEST(OutputSafety, LongNamesAreWrittenWholeInBothFormats)
{
    scratch_dir dir;
    const std::string motif = "M" + std::string(1200, 'm') + "\t" + std::string(1200, 'n');
    const std::string peak = "P" + std::string(1200, 'p') + "\t" + std::string(1200, 'q');
    const std::string m = dir.write("m.txt", ">" + motif + "\n10\t0\t0\t0\n0\t10\t0\t0\n");
    std::string seqs;
    for (int i = 0; i < 6; ++i)
        seqs += ">" + peak + std::to_string(i) + "::chr1:" + std::to_string(100 + i) + "-" + std::to_string(106 + i) +
            "(+)\nGACGTT\n";
    const std::string s = dir.write("s.fa", seqs);
    auto spaced = [](std::string text) {
        std::replace(text.begin(), text.end(), '\t', ' ');
        return text;
    };
    for (const bool bed : {false, true}) {
        std::vector<std::string> args{"-m", m, "-i", s, "-o", dir.file("out.txt"), "-r", "-100"};
        if (bed)
            args.push_back("--bed");
        const process_result r = run_tarnel(args);
        ASSERT_EQ(r.status, 0) << r.err;
        const auto lines = split(read_file(dir.file("out.txt")), '\n');
        ASSERT_EQ(lines.size(), 6u);
        for (std::size_t i = 0; i < lines.size(); ++i) {
            const auto f = split(lines[i], '\t');
            ASSERT_EQ(f.size(), bed ? 11u : 10u);
            EXPECT_EQ(f[bed ? 3 : 0], spaced(motif));
            EXPECT_EQ(f[bed ? 6 : 1].substr(0, peak.size()), spaced(peak));
            EXPECT_EQ(f[bed ? 7 : 6], "AC");
        }
    }
}

TEST(OutputSafety, WorkersWithoutMotifsTakeNoMemory)
{
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "sanitizers keep their own memory per thread";
#else
    scratch_dir dir;
    std::string seqs;
    for (int i = 0; i < 20000; ++i)
        seqs += ">s" + std::to_string(i) + "::chr1:0-8(+)\nACGTTGCA\n";
    const std::string m = dir.write("m.txt", ">m\n10\t0\t0\t0\n0\t10\t0\t0\n");
    const std::string s = dir.write("s.fa", seqs);
    const process_result one = run_tarnel({"-m", m, "-i", s, "-o", dir.file("a.txt"), "-t", "1"});
    const process_result many = run_tarnel({"-m", m, "-i", s, "-o", dir.file("b.txt"), "-t", "1024"});
    ASSERT_EQ(one.status, 0);
    ASSERT_EQ(many.status, 0);
    EXPECT_EQ(read_file(dir.file("a.txt")), read_file(dir.file("b.txt")));
    // One worker's buffers for 20000 sequences take a few megabytes; 1023 idle copies of
    // them would take gigabytes.
    EXPECT_LT(many.peak_rss_kb, one.peak_rss_kb + 64 * 1024) << one.peak_rss_kb << " kB with one worker";
#endif
}

TEST(OutputSafety, StandardStreamsOnAnInputAreRefused)
{
    scratch_dir dir;
    const std::string m = dir.write("m.txt", motifs);
    const std::string s = dir.write("s.fa", some_seqs(20));
    const std::string run = std::string(TARNEL_BINARY) + " -m " + m + " -i " + s + " -r -9 ";
    // Results (-o -) or progress (-o file) sent by the shell into an input: refused
    // before anything is written, in either run.
    for (const std::string sampled : {"", "-n 5 "})
        for (const std::string& redirect : {"-o - 1<> " + s + " 2>/dev/null", "-o - >> " + s + " 2>/dev/null",
                 "-o - 1<> " + m + " 2>/dev/null", "-o " + dir.file("o.txt") + " 1<> " + s + " 2>/dev/null"}) {
            EXPECT_EQ(shell(run + sampled + redirect), 1) << redirect;
            EXPECT_EQ(read_file(s), some_seqs(20)) << redirect;
            EXPECT_EQ(read_file(m), motifs) << redirect;
        }
    EXPECT_EQ(shell(run + "-o - 2>" + dir.file("err.txt") + " 1<> " + s), 1);
    EXPECT_TRUE(contains(
        read_file(dir.file("err.txt")), "-o/--output: standard output is the same file as the -i/--input input"));
}

TEST(OutputSafety, ClosedStreamsThatWouldCarryResultsOrInputsFail)
{
    scratch_dir dir;
    const std::string m = dir.write("m.txt", motifs);
    const std::string s = dir.write("s.fa", some_seqs(20));
    const std::string err = dir.file("err.txt");
    const std::string tarnel = std::string(TARNEL_BINARY);
    struct attempt {
        std::string command, message;
    };
    for (const attempt& a : {
             attempt{"-m " + m + " -i " + s + " -o - >&-", "standard output is closed"},
             attempt{"-m " + m + " -i " + s + " -o - --bed -n 5 >&-", "standard output is closed"},
             attempt{"-m " + m + " -i " + s + " -o /dev/stdout >&-", "standard output is closed"},
             attempt{"-m " + m + " -i - -o " + dir.file("o.txt") + " <&-", "-i/--input: standard input is closed"},
             attempt{"-m - -i " + s + " -o " + dir.file("o.txt") + " <&-", "-m/--motif: standard input is closed"},
         }) {
        EXPECT_EQ(shell(tarnel + " " + a.command + " 2>" + err), 1) << a.command;
        EXPECT_TRUE(contains(read_file(err), a.message)) << a.command << ": " << read_file(err);
    }
    EXPECT_FALSE(std::filesystem::exists(dir.file("o.txt")));
}

TEST(OutputSafety, FailedOrInterruptedRunsLeaveNoPartialOutput)
{
    scratch_dir dir;
    const std::string m = dir.write("m.txt", motifs);
    const std::string out = dir.write("out.txt", "results of an earlier run\n");
    const auto files_in_dir = [&] {
        std::set<std::string> names;
        for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
            names.insert(entry.path().filename().string());
        return names;
    };
    const std::set<std::string> before = files_in_dir();

    // A failure after the output was opened leaves the earlier file as it was.
    const process_result r = run_tarnel({"-m", m, "-i", dir.file("missing.fa"), "-o", out});
    EXPECT_EQ(r.status, 1);
    EXPECT_EQ(read_file(out), "results of an earlier run\n");
    EXPECT_EQ(files_in_dir(), before);

    // A signal while the run waits for its input (a pipe nobody writes yet): the
    // unfinished file goes, and the process ends by that signal.
    const std::string fifo = dir.file("seqs.fifo");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    for (const int sig : {SIGINT, SIGTERM, SIGHUP}) {
        const pid_t pid = fork();
        ASSERT_GE(pid, 0);
        if (pid == 0) {
            execl(TARNEL_BINARY, TARNEL_BINARY, "-m", m.c_str(), "-i", fifo.c_str(), "-o", dir.file("new.txt").c_str(),
                static_cast<char*>(nullptr));
            _exit(127);
        }
        // Wait until the run has opened its output (a temporary file beside it).
        while (files_in_dir().size() == before.size() + 1)
            usleep(1000);
        kill(pid, sig);
        int status = 0;
        ASSERT_EQ(waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == sig) << status;
        std::set<std::string> after = files_in_dir();
        after.erase("seqs.fifo");
        EXPECT_EQ(after, before) << "signal " << sig;
    }
}

// Written past the page cache in blocks, with what the last one holds beyond whole device
// blocks through it: every byte lands in order, whatever the pieces' sizes and wherever
// they cross a block's end (the last block shorter than a device block, a whole number of
// them, or more), on a file system that takes direct writes and on one that may not
// (/dev/shm); and once the end is expected (from the start, or from a third of the way),
// when partly filled blocks go to the writing thread with their last partial device
// block carried over to the next.
TEST(OutputSafety, DirectWritesKeepEveryByte)
{
    scratch_dir dir;
    std::vector<std::string> folders{dir.path().string()};
    if (std::filesystem::is_directory("/dev/shm"))
        folders.push_back("/dev/shm");
    constexpr std::size_t block = direct_writer::block_bytes;
    constexpr std::size_t never = std::numeric_limits<std::size_t>::max();
    for (const std::string& folder : folders) {
        for (const bool background : {false, true}) {
            for (const std::size_t total :
                {std::size_t{0}, std::size_t{100}, std::size_t{8192}, block, block + 1, block + 8192, 2 * block + 4097})
                for (const std::size_t ending_at : {never, std::size_t{0}, total / 3}) {
                    std::string path = folder + "/tarnel-direct-XXXXXX";
                    const int fd = mkstemp(path.data());
                    ASSERT_GE(fd, 0);
                    std::string want;
                    std::unique_ptr<direct_writer> w = direct_writer::open(fd, background);
                    for (std::size_t piece = 1; want.size() < total; piece = piece * 3 + 1) {
                        if (w != nullptr && want.size() >= ending_at)
                            w->expect_end();
                        std::string text(std::min(piece, total - want.size()), '\0');
                        for (char& c : text)
                            c = static_cast<char>('a' + (want.size() + (&c - text.data())) % 23);
                        want += text;
                        if (w != nullptr)
                            ASSERT_EQ(w->write(text), 0);
                        else
                            ASSERT_EQ(::write(fd, text.data(), text.size()), static_cast<ssize_t>(text.size()));
                    }
                    if (w != nullptr)
                        EXPECT_EQ(w->close(), 0);
                    else
                        ::close(fd);
                    EXPECT_TRUE(read_file(path) == want)
                        << folder << ", " << total << " bytes, end expected from " << ending_at;
                    std::filesystem::remove(path);
                }
        }
    }
}

// The output's blocks, mapped on their own: every byte of one usable and zero at first,
// aligned to 2 MiB where large pages are asked for (the map is trimmed to that).
TEST(OutputSafety, MappedBlocksHoldEveryByteAsked)
{
    constexpr std::size_t large_page = std::size_t{2} << 20;
    EXPECT_EQ(map_memory(0, true), nullptr);
    for (const bool large : {false, true})
        for (const std::size_t bytes : {std::size_t{1}, std::size_t{4096}, large_page - 1, 2 * large_page + 4097}) {
            auto* p = static_cast<unsigned char*>(map_memory(bytes, large));
            ASSERT_NE(p, nullptr);
            EXPECT_EQ(reinterpret_cast<std::uintptr_t>(p) % (large ? large_page : 4096), 0u) << bytes;
            EXPECT_EQ(p[0] + p[bytes / 2] + p[bytes - 1], 0) << bytes;
            p[0] = p[bytes / 2] = p[bytes - 1] = 7;
            EXPECT_EQ(p[0] + p[bytes / 2] + p[bytes - 1], 21) << bytes;
            unmap_memory(p, bytes);
        }
}

// A file that cannot grow (here by the file size limit, with its signal ignored, as a full
// disk would refuse it) fails the run even when the refusal comes to the writing thread.
TEST(OutputSafety, AnOutputThatCannotGrowFailsTheRun)
{
    scratch_dir dir;
    const std::string out = dir.file("sites.txt");
    const int status = shell("trap '' XFSZ; ulimit -f 6000; exec '" + std::string(TARNEL_BINARY) + "' -m '" +
        example_data_path("jaspar_core.motifs") + "' -i '" + example_data_path("real_seqs.fa") + "' -o '" + out +
        "' >/dev/null 2>'" + dir.file("err") + "'");
    EXPECT_EQ(status, 1);
    EXPECT_TRUE(contains(read_file(dir.file("err")), out)) << read_file(dir.file("err"));
    EXPECT_FALSE(std::filesystem::exists(out));
    for (const auto& entry : std::filesystem::directory_iterator(dir.path()))
        EXPECT_EQ(entry.path().filename().string().rfind(".sites.txt.tarnel-", 0), std::string::npos) << entry.path();
}
