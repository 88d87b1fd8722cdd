#include "messages.h"

#include <cstdlib>

namespace {

std::FILE* message_stream = nullptr;
thread_local std::FILE* held_stream = nullptr;

}  // namespace

void send_messages_to(std::FILE* stream)
{
    message_stream = stream;
}

std::FILE* messages()
{
    if (held_stream != nullptr)
        return held_stream;
    // stdout is not a constant expression, so the default is taken here.
    return message_stream != nullptr ? message_stream : stdout;
}

void hold_messages_in(std::FILE* stream)
{
    held_stream = stream;
}

held_messages::held_messages() : stream_(open_memstream(&text_, &size_))
{
}

held_messages::~held_messages()
{
    if (stream_ != nullptr)
        std::fclose(stream_);
    std::free(text_);
}

void held_messages::write_out()
{
    if (stream_ == nullptr)
        return;
    std::fclose(stream_);  // sets text_ and size_ to all that was written
    stream_ = nullptr;
    if (size_ > 0)
        std::fwrite(text_, 1, size_, messages());
}
