#include "motif_pipeline.h"

#include <algorithm>
#include <exception>
#include <new>
#include <numeric>

#include "errors.h"

std::mutex thread_lock;
int finished_n = 0;

motif_pipeline::motif_pipeline(
    int first, int end, pipeline_limits limits, output_file& out, written_fn written, taken_fn taken)
    : first_(first), end_(end), limits_(limits), out_(out), written_(std::move(written)), taken_(std::move(taken)),
      next_group_(first), next_write_(first)
{
    free_slots_.resize(static_cast<std::size_t>(std::max(limits_.busy, 1)));
    spare_.reserve(free_slots_.size());
    std::iota(free_slots_.rbegin(), free_slots_.rend(), 0);  // slot 0 is taken first
}

void motif_pipeline::open()
{
    std::lock_guard lock(thread_lock);
    open_ = true;
    may_go_on_.notify_all();
}

bool motif_pipeline::in_last_groups(int left) const
{
    return left < std::max(limits_.group_size, 1) * std::max(limits_.busy, 1);
}

int motif_pipeline::next_group_size(int left) const
{
    // In the last groups, the groups shrink to a share of what is left: whole groups to
    // the end left one worker analysing the last while the others had nothing to do. A
    // run of one group stays one: split, its workers' messages (unknown strands) would
    // mingle with its progress lines.
    const int size = std::max(limits_.group_size, 1);
    if (!in_last_groups(left) || end_ - first_ <= size)
        return size;
    const int busy = std::max(limits_.busy, 1);
    // Even where it can be: motifs are scanned two at a time, an odd one in a pass alone.
    const int share = (left + busy - 1) / busy;
    return std::max(1, std::min({size, left, share + share % 2}));
}

bool motif_pipeline::may_start() const
{
    if (!open_)
        return false;
    return failed_ || next_group_ >= end_ || parked_bytes_ <= limits_.parked_budget || next_group_ == next_write_;
}

void motif_pipeline::work(const analyse_fn& analyse)
{
    std::unique_lock lock(thread_lock);
    // A worker keeps its slot from group to group: the workers beyond `busy` only wait
    // for the run to end, and no group changes hands between threads.
    slot_freed_.wait(lock, [&] { return !free_slots_.empty() || failed_ || next_group_ >= end_; });
    if (free_slots_.empty())
        return;  // the run is over
    const int slot = free_slots_.back();
    free_slots_.pop_back();
    for (;;) {
        may_go_on_.wait(lock, [&] { return may_start(); });
        if (failed_ || next_group_ >= end_)
            break;
        const int first = next_group_;
        const int last = std::min(end_, first + next_group_size(end_ - first));
        next_group_ = last;
        if (taken_)
            taken_(first, last, slot);
        lock.unlock();
        try {
            analyse(first, last, slot);
        } catch (const fatal_error& e) {
            fail(e.what());
        } catch (const std::bad_alloc&) {
            fail("out of memory while analysing motifs " + std::to_string(first + 1) + " to " + std::to_string(last));
        } catch (const std::exception& e) {
            fail(std::string("a worker failed while analysing motifs ") + std::to_string(first + 1) + " to " +
                std::to_string(last) + ": " + e.what());
        } catch (...) {
            fail("a worker failed while analysing motifs " + std::to_string(first + 1) + " to " + std::to_string(last));
        }
        lock.lock();
    }
    free_slots_.push_back(slot);
    slot_freed_.notify_all();  // the waiting workers find the run over
}

void motif_pipeline::fail(const std::string& message)
{
    std::lock_guard lock(thread_lock);
    try {
        if (!failed_)
            failure_ = message;
    } catch (...) {  // no memory left even for the message: finish() says what it can
    }
    failed_ = true;
    may_go_on_.notify_all();
    slot_freed_.notify_all();
}

bool motif_pipeline::hand_over(int mi, std::string& text)
{
    std::unique_lock lock(thread_lock);
    if (failed_)
        return false;  // the output is incomplete anyway; nothing more is written
    if (writing_ || mi != next_write_) {
        // The buffer itself, not a copy: with two workers, many motifs wait for their
        // turn, and each copy took the allocator's lock and all of its lines.
        const std::size_t size = text.size();
        parked_[mi].swap(text);
        if (!spare_.empty()) {
            text.swap(spare_.back());
            spare_.pop_back();
        }
        parked_bytes_ += size;
        peak_parked_ = std::max(peak_parked_, parked_bytes_);
        write_ready(lock);
        return !failed_;
    }
    write_in_turn(lock, text);
    write_ready(lock);
    return !failed_;
}

void motif_pipeline::write_in_turn(std::unique_lock<std::mutex>& lock, const std::string& text)
{
    writing_ = true;
    // In the run's last groups, what is written may go to the file as it comes, so that
    // the close does not wait for a whole block.
    const bool ending = in_last_groups(end_ - next_group_);
    lock.unlock();
    std::string error;
    try {
        out_.write(text);
        if (ending)
            out_.expect_end();
    } catch (const fatal_error& e) {
        error = e.what();
    }
    lock.lock();
    writing_ = false;
    if (!error.empty()) {
        if (!failed_)
            failure_ = std::move(error);
        failed_ = true;
        slot_freed_.notify_all();
    } else {
        ++next_write_;
        written_(++finished_n);
    }
    may_go_on_.notify_all();
}

void motif_pipeline::write_ready(std::unique_lock<std::mutex>& lock)
{
    while (!writing_ && !failed_) {
        const auto ready = parked_.find(next_write_);
        if (ready == parked_.end())
            return;
        std::string text = std::move(ready->second);
        parked_.erase(ready);
        parked_bytes_ -= text.size();
        write_in_turn(lock, text);
        if (spare_.size() < static_cast<std::size_t>(std::max(limits_.busy, 1))) {
            text.clear();
            spare_.push_back(std::move(text));
        }
    }
}

void motif_pipeline::finish() const
{
    std::lock_guard lock(thread_lock);
    if (failed_)
        throw fatal_error(failure_.empty() ? "out of memory" : failure_);
    if (next_write_ < end_)
        throw fatal_error(
            std::to_string(end_ - next_write_) + " motif(s) were not analysed: no worker could be started");
}
