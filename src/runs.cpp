#include "runs.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <memory>
#include <numeric>
#include <span>
#include <system_error>
#include <thread>
#include <vector>

#if defined(__linux__)
#include <sched.h>
#endif

#include "analyses.h"
#include "errors.h"
#include "loading.h"
#include "messages.h"
#include "motif_pipeline.h"
#include "output_file.h"
#include "output_safety.h"
#include "progress.h"
#include "result_lines.h"
#include "run_figures.h"
#include "settings.h"
#include "thread_start.h"

namespace {

// The sample each motif of the sampled run is tested against: rdm_n sequences, or all
// of them when there are fewer.
int sample_size()
{
    if (rdm_n <= seq_n)
        return rdm_n;
    std::fprintf(messages(), "warning: sample size %d is larger than the %d loaded sequences; sampling %d\n", rdm_n,
        seq_n, seq_n);
    return seq_n;
}

// Motifs first to end - 1: all of them, or the --motif-range slice. Throws fatal_error
// when the slice runs past the motifs loaded.
struct motif_slice {
    int first = 0;
    int end = 0;
    int size() const { return end - first; }
};

motif_slice motifs_to_analyse(const std::string& motif_file)
{
    if (motif_range_first == 0)
        return {0, motif_n};
    if (motif_range_last > motif_n)
        throw fatal_error("--motif-range " + std::to_string(motif_range_first) + "-" +
            std::to_string(motif_range_last) + ": " + (motif_file == "-" ? "standard input" : motif_file) + " holds " +
            std::to_string(motif_n) + " motif(s)");
    return {motif_range_first - 1, motif_range_last};
}

// The cores this process may run on (fewer than the machine's under taskset).
int usable_cores()
{
#if defined(__linux__)
    cpu_set_t cpus;
    if (sched_getaffinity(0, sizeof cpus, &cpus) == 0 && CPU_COUNT(&cpus) > 0)
        return CPU_COUNT(&cpus);
#endif
    const unsigned n = std::thread::hardware_concurrency();
    return n > 0 ? static_cast<int>(n) : 1;
}

// Workers that analyse at once: thread_n, at most one per core (or the hooks' count).
int busy_workers(const threaded_run_hooks& hooks)
{
    return std::min(thread_n, hooks.busy > 0 ? hooks.busy : usable_cores());
}

// The workers' site_tally.
struct shared_tally {
    std::atomic<long long> left_out = 0;
    std::atomic<long long> misplaced = 0;
};

// Motif mi's figures, and its lines into text, from its analysis just done in ws.
void motif_lines(int mi, const analysis_workspace& ws, std::string& text, site_tally& tally, run_figures* figures)
{
    if (figures != nullptr)  // each motif's own entry: no lock needed
        figures->collect(mi, ws);
    text.clear();
    append_reported_lines(text, std::span<const match>(ws.matchs.data(), ws.reported_at.size()), tally);
}

// motif_lines, the lines handed over to be written in turn. False once the run has failed.
bool hand_over_motif(int mi, const analysis_workspace& ws, std::string& text, motif_pipeline& pipeline,
    shared_tally& tally, run_figures* figures)
{
    site_tally motif_tally;
    motif_lines(mi, ws, text, motif_tally, figures);
    tally.left_out += motif_tally.left_out;
    tally.misplaced += motif_tally.misplaced;
    return pipeline.hand_over(mi, text);
}

// Whether a loaded title gives no strand: every scan of its sequence is reported ("unknown
// strand!") as it happens.
bool titles_without_strand()
{
    return std::any_of(seq_db.begin(), seq_db.end(), [](const seq& s) { return s.strand != '+' && s.strand != '-'; });
}

constexpr report_rule sampled_rule = report_rule::abs_t_reaches_threshold;

// The sampled run's motifs one after another on this thread, each drawing its sample as
// it starts.
void sample_in_turn(motif_slice slice, int sample_n, output_file& out, site_tally& tally, run_figures* figures)
{
    analysis_workspace ws(sample_n);
    progress shown(slice.size());
    std::string lines;
    for (int mi = slice.first; mi < slice.end; ++mi) {
        shown.step(mi - slice.first + 1);
        int matchs_n = 0;
        random_matchs(mi, sample_n, ws, ws.matchs, matchs_n, sampled_rule, record_set::reported);
        motif_lines(mi, ws, lines, tally, figures);
        out.write(lines);
    }
}

// The buffers of one worker of the sampled run, made by the worker on first use.
struct sample_slot {
    explicit sample_slot(int sample_n) : ws(sample_n) { }
    analysis_workspace ws;
    std::string text;
};

// The sampled run's motifs analysed by `busy` workers at once, one motif at a time each.
// A motif's sample is drawn as it is handed out, under the pipeline's lock: motifs are
// handed out in order, so the generator draws every sample in the same order as on one
// thread, and each motif is tested against the same sample. Its lines are written in
// motif order. Should no worker start, this thread analyses every motif.
void sample_side_by_side(motif_slice slice, int sample_n, int busy, const threaded_run_hooks& hooks, output_file& out,
    site_tally& run_tally, run_figures* figures)
{
    const auto draws = static_cast<std::size_t>(std::max(sample_n, 0));
    // Each slot's sample and pool made here, so that drawing under the lock allocates nothing.
    std::vector<std::vector<int>> samples(static_cast<std::size_t>(busy), std::vector<int>(draws));
    std::vector<std::vector<int>> pools(
        static_cast<std::size_t>(busy), std::vector<int>(static_cast<std::size_t>(seq_n)));
    std::vector<std::unique_ptr<sample_slot>> slots(static_cast<std::size_t>(busy));
    shared_tally tally;
    finished_n = 0;
    progress shown(slice.size());
    const pipeline_limits limits{1, hooks.parked_budget, busy};
    motif_pipeline pipeline(
        slice.first, slice.end, limits, out, [&](int finished) { shown.step(finished); },
        [&](int, int, int slot) {
            const auto k = static_cast<std::size_t>(slot);
            sampling_noputback(seq_n, static_cast<int>(draws), samples[k], pools[k]);
        });
    // Groups of one motif, each drawn into its slot's one sample.
    const motif_pipeline::analyse_fn analyse = [&](int mi, int, int slot) {
        const auto k = static_cast<std::size_t>(slot);
        std::unique_ptr<sample_slot>& buffers = slots[k];
        if (!buffers)
            buffers = std::make_unique<sample_slot>(sample_n);
        analysis_workspace& ws = buffers->ws;
        int matchs_n = 0;
        analyse_motif(mi, samples[k], ws, ws.matchs, matchs_n, sampled_rule, record_set::reported);
        hand_over_motif(mi, ws, buffers->text, pipeline, tally, figures);  // a failure: finish() says what
    };
    const auto work = [&] {
        try {
            pipeline.work(analyse);
        } catch (...) {  // the worker's own bookkeeping failed: stop the run, do not abort it
            pipeline.fail("out of memory");
        }
    };
    std::vector<std::thread> workers;
    workers.reserve(static_cast<std::size_t>(busy));
    for (int i = 0; i < busy; ++i) {
        try {
            if (hooks.fail_start && hooks.fail_start(i))
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            workers.push_back(start_on_core<std::thread>(i, work));
        } catch (const std::exception&) {  // refused by the system: the others take its share
        }
    }
    pipeline.open();
    if (workers.empty())
        work();
    for (std::thread& worker : workers)
        worker.join();
    pipeline.finish();
    run_tally.left_out += tally.left_out;
    run_tally.misplaced += tally.misplaced;
}

}  // namespace

void random_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    const threaded_run_hooks& hooks, run_figures* figures)
{
    const std::vector<named_input> inputs = inputs_of_run(motif_file, seq_file);
    refuse_output_over_input(output_file_name, inputs);
    const int busy = busy_workers(hooks);
    output_file out(output_file_name, inputs, busy > 1);  // with workers, they go on while it is written
    read_inputs(motif_file, seq_file);

    const motif_slice slice = motifs_to_analyse(motif_file);
    if (figures != nullptr)
        figures->begin(slice.first, slice.end);
    const int sample_n = sample_size();
    // The motifs before the slice draw their samples all the same, so that every motif of
    // the slice gets the sample it gets in a whole run.
    {
        std::vector<int> sample(static_cast<std::size_t>(std::max(sample_n, 0)));
        std::vector<int> pool;
        for (int mi = 0; mi < slice.first; ++mi)
            sampling_noputback(seq_n, std::max(sample_n, 0), sample, pool);
    }
    site_tally tally;
    // Strandless titles' messages are written as their scans happen, between the progress
    // lines: on one thread, in the order they always have.
    if (busy > 1 && slice.size() > 1 && !titles_without_strand())
        sample_side_by_side(slice, sample_n, busy, hooks, out, tally, figures);
    else
        sample_in_turn(slice, sample_n, out, tally, figures);
    out.close();
    warn_about(tally);
    if (figures != nullptr)
        figures->finish();
}

namespace {

// The buffers of one pipeline slot, made on first use and reused from group to group.
struct buffer_set {
    explicit buffer_set(int group_size) : ws(seq_n, group_size) { }
    analysis_workspace ws;
    std::string text;  // the lines of the motif formatted last
    std::vector<int> group;
};

// Motifs first to end - 1 against every sequence: scanned together over blocks of
// sequences, then trimmed, tested and handed over one by one, as if analysed alone.
void extream_threading(
    int first, int end, buffer_set& buffers, motif_pipeline& pipeline, shared_tally& tally, run_figures* figures)
{
    constexpr report_rule rule = report_rule::t_reaches_threshold;
    analysis_workspace& ws = buffers.ws;
    buffers.group.resize(static_cast<std::size_t>(end - first));
    std::iota(buffers.group.begin(), buffers.group.end(), first);
    const auto set = std::span<const int>(ws.index_rdm.data(), static_cast<std::size_t>(seq_n));
    std::iota(ws.index_rdm.begin(), ws.index_rdm.begin() + seq_n, 0);
    scan_group(buffers.group, set, ws);
    for (std::size_t g = 0; g < buffers.group.size(); ++g) {
        int matchs_n = 0;
        analyse_hits(buffers.group[g], set, ws.hits_of(g, set.size()), ws.reversed_of(g, set.size()), ws, ws.matchs,
            matchs_n, rule, record_set::reported);
        if (!hand_over_motif(buffers.group[g], ws, buffers.text, pipeline, tally, figures))
            return;  // the run has failed
    }
}

}  // namespace

void extream_gene_set(const std::string& motif_file, const std::string& seq_file, const std::string& output_file_name,
    const threaded_run_hooks& hooks, run_figures* figures)
{
    const std::vector<named_input> inputs = inputs_of_run(motif_file, seq_file);
    refuse_output_over_input(output_file_name, inputs);
    output_file out(output_file_name, inputs, true);  // the workers go on while it is written
    read_inputs(motif_file, seq_file, input_reading::at_once);
    const motif_slice slice = motifs_to_analyse(motif_file);
    if (figures != nullptr)
        figures->begin(slice.first, slice.end);

    // At most one worker per core analyses at once, each with its own set of buffers.
    const int group_size =
        hooks.group_size > 0 ? hooks.group_size : motifs_per_group(static_cast<std::size_t>(seq_n), both_strands);
    const pipeline_limits limits{group_size, hooks.parked_budget, busy_workers(hooks)};
    // Each worker makes its slot's buffers as it starts, in its own heap: made by the main
    // thread, their first touch had kept the second core idle for 1 to 4 ms on the real
    // data.
    std::vector<std::unique_ptr<buffer_set>> slots(static_cast<std::size_t>(limits.busy));
    shared_tally tally;
    finished_n = 0;
    progress shown(slice.size());
    motif_pipeline pipeline(slice.first, slice.end, limits, out, [&](int finished) { shown.step(finished); });
    const motif_pipeline::analyse_fn analyse = [&](int first, int end, int slot) {
        std::unique_ptr<buffer_set>& buffers = slots[static_cast<std::size_t>(slot)];
        if (hooks.before_group)
            hooks.before_group(first);
        if (!buffers)
            buffers = std::make_unique<buffer_set>(limits.group_size);
        extream_threading(first, end, *buffers, pipeline, tally, figures);
    };

    std::fputs("start threading\n", messages());
    // Only as many threads start as can be busy at once: the workers beyond them would
    // only wait for the run to end, and starting and ending the six idle ones of a
    // default run on two cores cost 3% of a run of the real data. Every worker's line is
    // printed; one that fails to start is replaced by the next.
    std::vector<std::thread> tids(static_cast<std::size_t>(thread_n));
    int not_started = 0;
    int started = 0;
    for (int i = 0; i < thread_n; ++i) {
        std::fprintf(messages(), "start thread %d\n", i + 1);
        if (started == limits.busy)
            continue;
        try {
            if (hooks.fail_start && hooks.fail_start(i))
                throw std::system_error(std::make_error_code(std::errc::resource_unavailable_try_again));
            // Each on a core of its own: two started by the system on one core waited for
            // each other.
            tids[static_cast<std::size_t>(i)] = start_on_core<std::thread>(started, [&] {
                try {
                    pipeline.work(analyse);
                } catch (...) {  // the worker's own bookkeeping failed: stop the run, do not abort it
                    pipeline.fail("out of memory");
                }
            });
            ++started;
        } catch (const std::exception&) {  // refused by the system, or no memory for it
            // The workers that started share out its motifs: nothing is lost.
            std::fprintf(messages(), "pthread_create error: %d", i);
            std::fflush(messages());
            ++not_started;
        }
    }
    pipeline.open();
    for (std::thread& tid : tids)
        if (tid.joinable())
            tid.join();
    if (hooks.peak_parked != nullptr)
        *hooks.peak_parked = pipeline.peak_parked();

    pipeline.finish();
    out.close();
    warn_about({tally.left_out, tally.misplaced});
    if (not_started > 0)
        std::fprintf(stderr,
            "Tarnel: warning: %d of %d worker(s) could not be started; the others analysed every motif\n", not_started,
            thread_n);
    if (figures != nullptr)
        figures->finish();
}
