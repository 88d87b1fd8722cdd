// Where the run's progress lines and other messages go. Standard output, unless the
// results themselves are written there (-o -): then standard error, so that standard
// output holds nothing but result lines.
#pragma once

#include <cstddef>
#include <cstdio>

// Chosen once, after the command line is parsed and before anything is loaded.
void send_messages_to(std::FILE* stream);

// The stream chosen; standard output until send_messages_to is called. On a thread that
// holds its messages back (hold_messages_in), that thread's holding stream.
std::FILE* messages();

// messages() on the calling thread is `stream` until this is called again with nullptr.
void hold_messages_in(std::FILE* stream);

// Messages held back in memory, so that a thread working beside another prints its own
// after the other's, in the order a single thread would have printed them.
class held_messages {
public:
    held_messages();
    ~held_messages();
    held_messages(const held_messages&) = delete;
    held_messages& operator=(const held_messages&) = delete;

    // The holding stream; nullptr when no memory stream could be made.
    std::FILE* stream() const { return stream_; }
    // Writes what was held to messages() of the calling thread, and holds nothing more.
    void write_out();

private:
    char* text_ = nullptr;
    std::size_t size_ = 0;
    std::FILE* stream_ = nullptr;
};
