// The one way a failure leaves the program's own code: main reports it and exits 1.
#pragma once

#include <stdexcept>
#include <string>

struct fatal_error : std::runtime_error {
    using std::runtime_error::runtime_error;
};

// "<file>: <the system's reason for errno>"
std::string system_reason(const std::string& file, int errnum);
