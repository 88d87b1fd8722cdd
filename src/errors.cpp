#include "errors.h"

#include <cstring>

std::string system_reason(const std::string& file, int errnum)
{
    return file + ": " + std::strerror(errnum);
}
