// The wake-up from the connection threads to the event loop: a thread that
// has queued a packet for the peer signals, and the loop lets the streams
// send it without waiting for their next tick. One process-wide eventfd,
// made on first use and kept for the life of the process.
#pragma once

#include <cstdint>

// The descriptor the event loop watches; -1 when none could be made.
int32_t outboundSignalFd();
// Any thread.
void signalOutbound();
// Event-loop thread: takes the pending signals.
void drainOutboundSignal();
