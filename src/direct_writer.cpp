#include "direct_writer.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <pthread.h>
#include <system_error>
#include <unistd.h>

#include "mapped_memory.h"

namespace {

// Direct writes must start at, and be as long as, a multiple of the device's block, from
// a buffer aligned as much: 4096 bytes satisfies every common device.
constexpr std::size_t alignment = 4096;

// A block in 2 MiB pages where the system gives them, mapped on its own (mapped_memory.h
// says why): filled in 4 KiB pages, a block cost a thousand faults, taken by the workers
// that hand their lines over (half of a real-data run's faults).
char* new_block()
{
    return static_cast<char*>(map_memory(direct_writer::block_bytes, true));
}

}  // namespace

void direct_writer::freer::operator()(char* p) const
{
    unmap_memory(p, direct_writer::block_bytes);
}

std::unique_ptr<direct_writer> direct_writer::open(int fd, bool background)
{
#if defined(O_DIRECT)
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_DIRECT) != 0)
        return nullptr;
    return std::make_unique<direct_writer>(fd, background);
#else
    (void)fd;
    (void)background;
    return nullptr;
#endif
}

direct_writer::direct_writer(int fd, bool background) : fd_(fd), alone_(!background)
{
}

direct_writer::~direct_writer()
{
    if (thread_.joinable()) {
        {
            const std::lock_guard hold(lock_);
            stop_ = true;
        }
        changed_.notify_all();
        thread_.join();
    }
    if (fd_ >= 0)
        ::close(fd_);
}

int direct_writer::write(std::string_view text)
{
    while (error_ == 0 && !text.empty()) {
        if (filling_ == nullptr) {
            filling_.reset(new_block());
            if (filling_ == nullptr)
                return error_ = ENOMEM;
        }
        const std::size_t n = std::min(text.size(), block_bytes - used_);
        std::memcpy(filling_.get() + used_, text.data(), n);
        used_ += n;
        text.remove_prefix(n);
        if (used_ < block_bytes)
            continue;
        if (!writing_thread()) {  // none to be had: written here
            error_ = write_all(filling_.get(), block_bytes);
            used_ = 0;
            continue;
        }
        // The block before this one is written by now, nearly always: its buffer is reused.
        if ((error_ = wait_for_writes()) != 0)
            return error_;
        {
            const std::lock_guard hold(lock_);
            handed_ = std::move(filling_);
            handed_size_ = block_bytes;
            filling_ = std::move(spare_);  // the block written last, if any
        }
        changed_.notify_all();
        used_ = 0;
    }
    if (ending_ && error_ == 0)
        hand_over_filled();
    return error_;
}

void direct_writer::expect_end()
{
    ending_ = true;
    if (error_ == 0)
        hand_over_filled();
}

void direct_writer::hand_over_filled()
{
    // Pieces shorter than this wait for more: each write is a request of its own, and what
    // is left at the close is written then.
    constexpr std::size_t least_piece = std::size_t{256} << 10;
    const std::size_t whole = used_ & ~(alignment - 1);
    if (whole < least_piece || !writing_thread())
        return;
    block next;
    {
        const std::lock_guard hold(lock_);
        if (handed_ != nullptr || write_error_ != 0)
            return;  // busy (or failed): a later write hands it over, or the close writes it
        next = std::move(spare_);
    }
    if (next == nullptr) {
        next.reset(new_block());
        if (next == nullptr)
            return;  // no room for another block: the close writes this one
    }
    // The part of a device block beyond the whole ones starts the next block.
    std::memcpy(next.get(), filling_.get() + whole, used_ - whole);
    {
        const std::lock_guard hold(lock_);
        handed_ = std::move(filling_);
        handed_size_ = whole;
        filling_ = std::move(next);
    }
    changed_.notify_all();
    used_ -= whole;
}

int direct_writer::close()
{
    if (error_ == 0)
        error_ = wait_for_writes();
    // The last block's whole device blocks still go past the page cache, and only the rest,
    // shorter than a direct write may be, through it: the end of a run waits for this write
    // alone, and copying up to a block into the page cache took it twice as long.
    if (error_ == 0 && used_ > 0) {
        const std::size_t whole = direct_ ? used_ & ~(alignment - 1) : 0;
        if (whole > 0)
            error_ = write_all(filling_.get(), whole);
        if (error_ == 0 && used_ > whole && (error_ = without_direct()) == 0)
            error_ = write_all(filling_.get() + whole, used_ - whole);
    }
    used_ = 0;
    const int fd = fd_;
    fd_ = -1;
    if (::close(fd) != 0 && error_ == 0)
        error_ = errno;
    return error_;
}

bool direct_writer::writing_thread()
{
    // Started with the first full block (or the first piece handed over once the end is
    // expected): an output shorter than either has none.
    if (!thread_.joinable() && !alone_)
        start_thread();
    return !alone_;
}

void direct_writer::start_thread()
{
    try {
        thread_ = std::thread([this] {
            // Signals are the run's to handle, on its own threads.
            sigset_t all;
            sigfillset(&all);
            pthread_sigmask(SIG_BLOCK, &all, nullptr);
            write_blocks();
        });
    } catch (const std::system_error&) {
        alone_ = true;
    }
}

int direct_writer::wait_for_writes()
{
    std::unique_lock hold(lock_);
    changed_.wait(hold, [&] { return handed_ == nullptr || write_error_ != 0; });
    return write_error_;
}

void direct_writer::write_blocks()
{
    std::unique_lock hold(lock_);
    for (;;) {
        changed_.wait(hold, [&] { return handed_ != nullptr || stop_; });
        if (handed_ == nullptr)
            return;  // stopped with nothing left
        const std::size_t size = handed_size_;
        hold.unlock();
        const int err = write_error_ == 0 ? write_all(handed_.get(), size) : write_error_;
        hold.lock();
        write_error_ = err;
        if (err == 0)
            spare_ = std::move(handed_);  // for the caller to fill again
        changed_.notify_all();
        if (err != 0)
            return;
    }
}

int direct_writer::write_all(const char* data, std::size_t size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd_, data, size);
        if (n < 0 && errno == EINTR)
            continue;
        // A file system may refuse direct writes only when they come.
        if (n < 0 && errno == EINVAL && direct_) {
            if (const int err = without_direct(); err != 0)
                return err;
            continue;
        }
        if (n < 0)
            return errno;
        if (n == 0)
            return EIO;
        data += n;
        size -= static_cast<std::size_t>(n);
        // A short write leaves the file's end unaligned for the next direct one.
        if (size > 0 && direct_)
            if (const int err = without_direct(); err != 0)
                return err;
    }
    return 0;
}

int direct_writer::without_direct()
{
#if defined(O_DIRECT)
    if (!direct_)
        return 0;
    const int flags = fcntl(fd_, F_GETFL);
    if (flags < 0 || fcntl(fd_, F_SETFL, flags & ~O_DIRECT) != 0)
        return errno;
#endif
    direct_ = false;
    return 0;
}
