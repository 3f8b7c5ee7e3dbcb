// Delivery of SIGINT and SIGTERM (asked to end) and SIGUSR1 and SIGUSR2 (the
// connect and user-switch buttons of a program without a window) to the
// event loop: the signals are blocked in every thread and read from a
// signalfd, so they arrive as ordinary events on the event-loop thread. blockTerminationSignals() must run
// before any thread is started.
#pragma once

void blockTerminationSignals();

// A descriptor that becomes readable when one of the four arrives, or -1.
int terminationSignalFd();

// Reads one pending signal from the descriptor; returns its number or 0.
int readTerminationSignal(int fd);
