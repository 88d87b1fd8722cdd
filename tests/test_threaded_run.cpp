// The threaded run's schedule: it always finishes, keeps its memory bound, and turns a
// worker's failure into an error instead of an abort or a hang.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "errors.h"
#include "random_generator.h"
#include "runs.h"
#include "settings.h"
#include "test_util.h"
#include "thread_start.h"

#if defined(__linux__)
#include <sched.h>
#endif

namespace {

// 120 motifs and 40 sequences; every kept site is written, so each motif has lines.
struct workload {
    scratch_dir dir;
    std::string motifs, seqs;
    workload()
    {
        std::string m, s;
        for (int i = 0; i < 120; ++i)
            m += ">m" + std::to_string(i) + "\n" + std::to_string(i % 17) + "\t3\t2\t1\n1\t" + std::to_string(i % 5) +
                "\t0\t2\n";
        for (int i = 0; i < 40; ++i)
            s += ">s" + std::to_string(i) + "::c:0-8(+)\n" + std::string("ACGTACGTTGCA").substr(i % 4, 8) + "\n";
        motifs = dir.write("m.txt", m);
        seqs = dir.write("s.fa", s);
    }
    // The output of a run with these hooks (the sampled run with `sampled`), its standard
    // output in `out`.
    std::string run(const threaded_run_hooks& hooks, std::string* out = nullptr, bool sampled = false)
    {
        const std::string file = dir.file("out.txt");
        testing::internal::CaptureStdout();
        try {
            if (sampled) {
                seed_random(7);
                random_gene_set(motifs, seqs, file, hooks);
            } else {
                extream_gene_set(motifs, seqs, file, hooks);
            }
        } catch (...) {
            testing::internal::GetCapturedStdout();
            throw;
        }
        const std::string captured = testing::internal::GetCapturedStdout();
        if (out != nullptr)
            *out = captured;
        return read_file(file);
    }
};

void set_up(int workers)
{
    reset_settings();
    score_th = -1e9;
    thread_n = workers;
}

}  // namespace

TEST(ThreadedRun, WorkersThatCannotStartLeaveTheirShareToTheOthers)
{
    workload w;
    set_up(1);
    const std::string whole = w.run({});
    ASSERT_GT(split(whole, '\n').size(), 2000u);

    // One worker parks more than the budget while another waits for it and a third
    // cannot start: the next takes its place, the workers beyond the three that can be
    // busy are not started, the run must still end, and nothing is lost.
    set_up(8);
    threaded_run_hooks hooks;
    std::vector<int> tried;
    hooks.fail_start = [&tried](int worker) {
        tried.push_back(worker);
        return worker == 2 || worker == 5;
    };
    hooks.parked_budget = 1;
    hooks.group_size = 1;
    hooks.busy = 3;
    std::string out;
    EXPECT_EQ(w.run(hooks, &out), whole);
    EXPECT_NE(out.find("start thread 3\npthread_create error: 2start thread 4\n"), std::string::npos) << out;
    EXPECT_NE(out.find("start thread 8\n"), std::string::npos) << out;
    EXPECT_NE(out.find("120/120\n"), std::string::npos);
    EXPECT_EQ(tried, (std::vector<int>{0, 1, 2, 3}));

    // Every start of the first three fails: the next three take their places.
    tried.clear();
    hooks.fail_start = [&tried](int worker) {
        tried.push_back(worker);
        return worker < 3;
    };
    EXPECT_EQ(w.run(hooks), whole);
    EXPECT_EQ(tried, (std::vector<int>{0, 1, 2, 3, 4, 5}));

    hooks.fail_start = [](int) { return true; };
    EXPECT_THROW(w.run(hooks), fatal_error);
}

#if defined(__linux__)
TEST(ThreadedRun, AThreadStartedOnACoreThenRunsOnAnyAsOthersDo)
{
    cpu_set_t usable;
    ASSERT_EQ(sched_getaffinity(0, sizeof usable, &usable), 0);
    for (const int k : {-1, 0, 1, 7}) {
        bool ran = false;
        cpu_set_t seen;
        CPU_ZERO(&seen);
        std::thread t = start_on_core<std::thread>(k, [&] {
            ran = true;
            sched_getaffinity(0, sizeof seen, &seen);
        });
        t.join();
        EXPECT_TRUE(ran) << k;
        EXPECT_TRUE(CPU_EQUAL(&seen, &usable)) << "left on fewer cores, k " << k;
    }
}
#endif

TEST(ThreadedRun, ParkedLinesStayWithinTheBudget)
{
    workload w;
    set_up(1);
    const std::string whole = w.run({});
    // The first motif is slow, so the other workers run ahead of it and park their lines.
    set_up(4);
    std::size_t peak = 0;
    threaded_run_hooks hooks;
    hooks.group_size = 1;
    hooks.busy = 4;
    hooks.parked_budget = 2000;
    hooks.peak_parked = &peak;
    hooks.before_group = [](int first) {
        if (first == 0)
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
    };
    EXPECT_EQ(w.run(hooks), whole);
    // A worker starts only within the budget, and then parks at most its one motif.
    const std::size_t largest_motif = 40 * 60;
    EXPECT_LE(peak, hooks.parked_budget + 3 * largest_motif);
    EXPECT_GT(peak, 0u);
}

TEST(ThreadedRun, FailureInAWorkerStopsTheRunWithAMessage)
{
    workload w;
    set_up(8);
    threaded_run_hooks hooks;
    hooks.group_size = 4;
    hooks.before_group = [](int first) {
        if (first == 40)
            throw std::bad_alloc();
    };
    try {
        w.run(hooks);
        FAIL() << "the run reported success";
    } catch (const fatal_error& e) {
        EXPECT_STREQ(e.what(), "out of memory while analysing motifs 41 to 44");
    }
    // The lines written stop before the failed group: nothing after it.
    const std::string written = read_file(w.dir.file("out.txt"));
    EXPECT_EQ(written.find("m40\t"), std::string::npos);
}

TEST(ThreadedRun, TheLastGroupsShrinkSoThatTheWorkersFinishTogether)
{
    workload w;
    set_up(1);
    const std::string whole = w.run({});
    // Groups of 8 for two workers while 16 motifs are left, then each a half of the rest,
    // made even (motifs are scanned in pairs).
    set_up(2);
    std::mutex lock;
    std::vector<int> firsts;
    threaded_run_hooks hooks;
    hooks.group_size = 8;
    hooks.busy = 2;
    hooks.before_group = [&](int first) {
        const std::lock_guard hold(lock);
        firsts.push_back(first);
    };
    EXPECT_EQ(w.run(hooks), whole);
    std::sort(firsts.begin(), firsts.end());
    ASSERT_EQ(firsts.size(), 17u);
    EXPECT_EQ(firsts[13], 104);
    EXPECT_EQ(std::vector<int>(firsts.begin() + 14, firsts.end()), (std::vector<int>{112, 116, 118}));
    // A run of one group stays one.
    firsts.clear();
    hooks.group_size = 120;
    EXPECT_EQ(w.run(hooks), whole);
    EXPECT_EQ(firsts, std::vector<int>{0});
}

TEST(SampledRun, MotifsSideBySideAreTestedAgainstTheSamplesOfOneThread)
{
    workload w;
    set_up(1);
    rdm_n = 25;
    std::string printed;
    const std::string alone = w.run({}, &printed, true);
    ASSERT_GT(split(alone, '\n').size(), 500u);
    const std::string printed_alone = printed;

    // Three workers, every motif's lines parked until their turn; then with a worker that
    // cannot start, and with none: this thread then analyses every motif.
    set_up(8);
    rdm_n = 25;
    threaded_run_hooks hooks;
    hooks.busy = 3;
    hooks.parked_budget = 1;
    EXPECT_EQ(w.run(hooks, &printed, true), alone);
    EXPECT_EQ(printed, printed_alone);
    hooks.fail_start = [](int worker) { return worker == 1; };
    EXPECT_EQ(w.run(hooks, nullptr, true), alone);
    hooks.fail_start = [](int) { return true; };
    EXPECT_EQ(w.run(hooks, &printed, true), alone);
    EXPECT_EQ(printed, printed_alone);
}
