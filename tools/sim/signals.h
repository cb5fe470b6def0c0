// Signals as bytes on a pipe, so that a poll loop waits for them beside its
// sockets: each signal of `signals` writes its number to the pipe.
#pragma once

#include <initializer_list>

namespace sim {

// The pipe's read end, or -1 (errno set) when it cannot be made.
int signalPipe(std::initializer_list<int> signals);

}  // namespace sim
