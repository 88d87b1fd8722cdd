#include "progress.h"

#include <cstdio>
#include <unistd.h>

#include "messages.h"

progress::progress(int total)
    : total_(total), in_place_(isatty(fileno(messages())) == 1), start_(std::chrono::steady_clock::now()),
      last_shown_(start_)
{
}

void progress::step(int done)
{
    // Once the stream has failed (its reader went away) nothing more is shown: the run
    // still finishes its output and reports the failure at the end.
    std::FILE* out = messages();
    if (std::ferror(out))
        return;
    if (!in_place_) {
        std::fprintf(out, "%d/%d\n", done, total_);
        return;
    }
    const auto now = std::chrono::steady_clock::now();
    const bool last = done >= total_;
    // A terminal is slow: a few updates a second are enough to watch.
    if (!last && done > 1 && now - last_shown_ < std::chrono::milliseconds(100))
        return;
    last_shown_ = now;
    const double elapsed = std::chrono::duration<double>(now - start_).count();
    const double share = total_ > 0 ? static_cast<double>(done) / total_ : 1.0;
    std::fprintf(out, "\r%d/%d  %5.1f%%  %.1f s elapsed", done, total_, 100.0 * share, elapsed);
    if (done > 0 && !last)
        std::fprintf(out, ", about %.0f s left", elapsed / share - elapsed);
    std::fputs(last ? "\x1b[K\n" : "\x1b[K", out);  // clear what a longer line left
    std::fflush(out);
}
