// Where the run's progress lines and other messages go. Standard output, unless the
// results themselves are written there (-o -): then standard error, so that standard
// output holds nothing but result lines.
#pragma once

#include <cstdio>

// Chosen once, after the command line is parsed and before anything is loaded.
void send_messages_to(std::FILE* stream);

// The stream chosen; standard output until send_messages_to is called.
std::FILE* messages();
