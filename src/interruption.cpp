#include "interruption.h"

#include <atomic>
#include <csignal>
#include <cstring>
#include <limits.h>
#include <pthread.h>
#include <unistd.h>

namespace {

// A signal handler can only read what is already in memory: the path is kept in a fixed
// buffer, published through an atomic flag.
char pending_path[PATH_MAX + 1];
std::atomic<bool> pending{false};

extern "C" void remove_and_reraise(int signal_number)
{
    if (pending.load())
        unlink(pending_path);
    std::signal(signal_number, SIG_DFL);
    std::raise(signal_number);
}

}  // namespace

signals_held::signals_held()
{
    sigset_t held;
    sigemptyset(&held);
    for (const int s : {SIGINT, SIGTERM, SIGHUP})
        sigaddset(&held, s);
    pthread_sigmask(SIG_BLOCK, &held, &before_);
}

signals_held::~signals_held()
{
    pthread_sigmask(SIG_SETMASK, &before_, nullptr);
}

void remove_on_signal(const std::string& path)
{
    if (path.size() > PATH_MAX)
        return;  // such a path could not have been created
    pending.store(false);
    std::memcpy(pending_path, path.c_str(), path.size() + 1);
    pending.store(true);
    static const bool installed = [] {
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) {
            struct sigaction action { };
            action.sa_handler = remove_and_reraise;
            sigemptyset(&action.sa_mask);
            sigaction(s, &action, nullptr);
        }
        return true;
    }();
    (void)installed;
}

void forget_on_signal()
{
    pending.store(false);
}
