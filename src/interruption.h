// What happens to an unfinished output file when the run is interrupted (SIGINT, SIGTERM,
// SIGHUP): it is removed, and the process then ends by the signal, as it would have without
// a handler (status 128 + the signal's number in a shell).
#pragma once

#include <csignal>
#include <string>

// Holds back SIGINT, SIGTERM and SIGHUP while it lives (they arrive when it ends), so that
// a file is never created without being registered for removal.
class signals_held {
public:
    signals_held();
    ~signals_held();
    signals_held(const signals_held&) = delete;
    signals_held& operator=(const signals_held&) = delete;

private:
    sigset_t before_;
};

// Installs the handlers once; `path` (the file being written) is removed on a signal until
// forget_on_signal() is called.
void remove_on_signal(const std::string& path);
void forget_on_signal();
