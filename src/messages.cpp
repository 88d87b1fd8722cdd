#include "messages.h"

namespace {

std::FILE* message_stream = nullptr;

}  // namespace

void send_messages_to(std::FILE* stream)
{
    message_stream = stream;
}

std::FILE* messages()
{
    // stdout is not a constant expression, so the default is taken here.
    return message_stream != nullptr ? message_stream : stdout;
}
