// What happens to an unfinished output file when the run is interrupted (SIGINT, SIGTERM,
// SIGHUP): it is removed, and the process then ends by the signal, as it would have without
// a handler (status 128 + the signal's number in a shell).
#pragma once

#include <string>

// Installs the handlers once; `path` (the file being written) is removed on a signal until
// forget_on_signal() is called.
void remove_on_signal(const std::string& path);
void forget_on_signal();
