// Writing a regular file past the page cache (O_DIRECT), in large aligned blocks, on a
// thread of its own. Copied into the page cache, a run's output costs the kernel more
// than the run spends making it on some machines (3.5 s of system time per GB measured on
// one virtual machine, against 0.2 s written directly); the output is read later, if at
// all, by another program. The writes may wait for the device on a thread of their own
// (started by the first full block, or by the first piece once the end is expected), so
// that a run's workers keep every core busy.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <memory>
#include <mutex>
#include <string_view>
#include <thread>

class direct_writer {
public:
    // Bytes of a full block. Fewer, larger writes cost the system less (on a virtual
    // machine each request is a trip to the host: 1 MiB blocks took 2.4 to 3.6% more of a
    // run's processor time than 4 MiB ones), but the end of a run waits for the last one.
    static constexpr std::size_t block_bytes = std::size_t{4} << 20;

    // Takes the descriptor of an empty regular file opened for writing, to close it at the
    // end; null when the file system does not take direct writes (the descriptor is then
    // left as it was, open and not direct).
    // With `background`, full blocks are written on a thread of the writer's own, so that
    // the caller goes on meanwhile; without, by the caller.
    static std::unique_ptr<direct_writer> open(int fd, bool background);
    direct_writer(int fd, bool background);  // open() decides whether it may be used
    ~direct_writer();
    direct_writer(const direct_writer&) = delete;
    direct_writer& operator=(const direct_writer&) = delete;

    // Each returns 0, or the errno of the first failure (every later call then fails too).
    // One caller at a time.
    int write(std::string_view text);
    // Little more is coming. From now on, whatever has been filled goes to the writing
    // thread whenever it is idle, whole device blocks at a time, not only full blocks: the
    // close then waits for a short piece, not for up to a whole block (3.7 ms for 4 MiB
    // at the 1.1 GB/s measured, at the end of a real-data run of 70 ms). Without a
    // background thread it changes nothing.
    void expect_end();
    // Writes what is left and closes the file.
    int close();

private:
    struct freer {
        void operator()(char* p) const;
    };
    using block = std::unique_ptr<char[], freer>;

    bool writing_thread();    // started where there is none yet; false where none can be had
    void start_thread();      // or, where none can be had, write on the caller's
    void hand_over_filled();  // the filled whole device blocks, if the thread is idle
    int wait_for_writes();    // until the block handed over is written; its error
    void write_blocks();      // the writing thread
    int write_all(const char* data, std::size_t size);
    int without_direct();  // what is left goes through the page cache

    int fd_;
    bool direct_ = true;  // read and changed by whichever side writes: never both at once
    int error_ = 0;       // the caller's side
    block filling_;       // the block being filled, used_ bytes of it
    std::size_t used_ = 0;
    bool alone_;           // no writing thread: none asked for, or none could be started
    bool ending_ = false;  // expect_end() was called

    std::mutex lock_;
    std::condition_variable changed_;
    block handed_;                 // a block for the writing thread, or null
    std::size_t handed_size_ = 0;  // its bytes to write: all of them, or whole device blocks of them
    block spare_;                  // one it has written, for the caller to fill again
    int write_error_ = 0;          // its first failure
    bool stop_ = false;
    std::thread thread_;
};
