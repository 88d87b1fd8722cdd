// The threaded run's schedule: motifs handed out in groups, in file order, to whichever
// worker asks next; their lines written in file order by whoever holds the motif whose
// turn it is.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "output_file.h"

// Guards the pipeline's state, the output file's turn, the progress lines and finished_n.
extern std::mutex thread_lock;
// Motifs whose lines have been written.
extern int finished_n;

struct pipeline_limits {
    int group_size = 8;                                 // motifs scanned together over each block of sequences
    std::size_t parked_budget = std::size_t{32} << 20;  // bytes of finished lines that may wait for their turn
    int busy = 1;                                       // workers analysing at once: one buffer slot each
};

// Motifs first to end - 1 go through the pipeline. Every worker thread runs work(): it
// takes the next group, analyses it with `analyse` and hands each motif's lines over with
// hand_over(), until no group is left or the run has failed. Groups hold group_size
// motifs, but once fewer are left than a group for each of the `busy` workers, each
// takes its share of what is left, so that the workers finish together (a run of one
// group stays one).
//
// Memory follows neither the output's size nor the number of workers: at most `busy`
// workers analyse at once, each in its own slot (the caller keeps one set of buffers per
// slot), and a group is started only while the lines waiting for their turn are within
// the budget, or when it holds the motif whose turn it is (so the run always moves on:
// every group taken is being analysed, and the one holding that motif is among them).
class motif_pipeline {
public:
    // Analyses motifs first to end - 1 in the given slot, calling hand_over for each.
    using analyse_fn = std::function<void(int first, int end, int slot)>;
    // Called under the lock, in order, as each motif's lines have been written, with
    // finished_n counting it.
    using written_fn = std::function<void(int finished)>;
    // Called under the lock as a group is taken, before it is analysed: groups are taken
    // in motif order, so what it does happens in that order whichever worker takes them.
    // It must not throw.
    using taken_fn = std::function<void(int first, int end, int slot)>;

    motif_pipeline(
        int first, int end, pipeline_limits limits, output_file& out, written_fn written, taken_fn taken = {});

    // Lets the workers take work: once every worker has been started, so that the
    // progress lines follow the "start thread" lines.
    void open();

    // The body of one worker. A failure in it (out of memory, a write error) stops the
    // run in order: no worker takes more work, nothing more is written, and finish()
    // reports it.
    void work(const analyse_fn& analyse);

    // The lines of motif mi: written now when it is the motif's turn and nobody is
    // writing, else parked, the buffer itself taken and `text` given an empty one in its
    // place (one whose lines were written, with its room kept, where there is one). False
    // once the run has failed: the worker should stop.
    bool hand_over(int mi, std::string& text);

    // Stops the run with this failure (the first one is kept).
    void fail(const std::string& message);

    // After every worker has ended: throws fatal_error with the first failure, or when
    // motifs were left unwritten (no worker could be started).
    void finish() const;

    // The largest number of bytes parked at once.
    std::size_t peak_parked() const { return peak_parked_; }

private:
    // All with the lock held.
    void write_in_turn(std::unique_lock<std::mutex>& lock, const std::string& text);
    void write_ready(std::unique_lock<std::mutex>& lock);
    bool may_start() const;
    // Whether, with `left` motifs not yet handed out, fewer are left than a group for each
    // busy worker.
    bool in_last_groups(int left) const;
    int next_group_size(int left) const;  // of a group taken with `left` motifs not yet handed out

    const int first_;
    const int end_;
    const pipeline_limits limits_;
    output_file& out_;
    written_fn written_;
    taken_fn taken_;

    int next_group_;        // first motif of the next group to hand out
    int next_write_;        // the motif whose lines are written next
    bool writing_ = false;  // a worker is writing, outside the lock
    std::map<int, std::string> parked_;
    std::vector<std::string> spare_;  // buffers of parked lines since written, at most one a slot
    std::size_t parked_bytes_ = 0;
    std::size_t peak_parked_ = 0;
    std::vector<int> free_slots_;
    bool open_ = false;
    bool failed_ = false;
    std::string failure_;                 // what failed first
    std::condition_variable slot_freed_;  // for workers waiting for a slot
    std::condition_variable may_go_on_;   // for slot holders waiting for the budget
};
