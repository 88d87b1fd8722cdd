#include "errors.h"

#include <cstring>

std::string system_reason(const std::string& file, int errnum)
{
    std::string text = file;
    text += ": ";
    text += std::strerror(errnum);
    return text;
}
